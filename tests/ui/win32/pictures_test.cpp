// Not a test: renders each dialog with sample contents into a BMP for the README's pictures. Runs only
// when TARN_DIALOG_PICTURES names the output folder (scripts/dialog-pictures.sh sets it); no hub is
// contacted, so the sample configuration keeps the real hub's address for what the dialogs show.
#include <gtest/gtest.h>

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "dialog_driver.h"
#include "core/files.h"
#include "core/text.h"
#include "support/test_env.h"
#include "ui/resource.h"

namespace {

TEST(DialogPictures, RenderEachDialog) {
  const char* folder = std::getenv("TARN_DIALOG_PICTURES");
  if (!folder) GTEST_SKIP() << "set TARN_DIALOG_PICTURES to render the pictures";
  const std::u16string config = ResetConfigFolder();
  const nlohmann::json entry = {{"display_name", "google - models"}, {"type", "org-models"}, {"kind", "model"},
                                {"org", "google"},          {"id", "google-models"}, {"created_at", 1767225600},
                                {"cached_at", 1767312000},  {"limit_count", 300}};
  WriteTextFile(JoinFsPath(config, u"favorites.json"),
                nlohmann::json({{"cache_ttl_hours", 24}, {"entries", {entry}}}).dump(2));
  LoadedModule module;
  ASSERT_TRUE(module.Load());

  // Opens one dialog through the module (`verb` "ls" lists the path), types `text` into `field` (if
  // any), captures it and leaves it to RunDialog to cancel.
  const auto render = [&](const std::string& path, const std::string& verb, const std::wstring& caption,
                          const std::wstring& name, int field, const std::wstring& text) {
    std::basic_string<HostChar> remote = H(path), v = H(verb);
    remote.resize(260, 0);
    std::vector<ListedRecord> records;
    RunDialog([&]() -> int64_t {
      if (verb == "ls") return ListThroughModule(module.m, path, &records);
      return module.m.FsExecuteFileW(nullptr, remote.data(), v.data());
    }, [&] {
      const HWND dlg = WaitForDialog(caption);
      ASSERT_TRUE(dlg);
      if (field) TypeText(dlg, field, text);
      SendMessageW(dlg, WM_NCACTIVATE, TRUE, 0);  // an active title bar, as in use
      Sleep(700);                                 // let the last change paint
      EXPECT_TRUE(CaptureWindow(dlg, Wide(folder) + L"\\" + name + L".bmp"));
    });
  };
  render("\\[Add New Entry]", "open", L"Add HuggingFace Entry", L"add-entry", IDC_ADD_URL, L"https://huggingface.co/google");
  render("\\[Settings]", "open", L"Tarnfs - Settings", L"settings", IDC_SET_API_KEY, L"hf_exampleexampleexample");
  render("\\google - models", "properties", L"Entry Settings", L"entry-settings", 0, L"");
  render("\\", "properties", L"Tarnvue VFS Plugin Properties", L"properties", 0, L"");
  render("\\***_TEMPORARY_***", "ls", L"Browse temporary repository", L"temporary-browse", IDC_TEMP_URL,
         L"https://huggingface.co/google/gemma-2b");
}

}  // namespace
