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
  const std::wstring out = Wide(folder) + L"\\";
  const std::u16string config = ResetConfigFolder();
  nlohmann::json entry = {{"display_name", "google - models"}, {"type", "org-models"}, {"kind", "model"},
                          {"org", "google"},          {"id", "google-models"}, {"created_at", 1767225600},
                          {"cached_at", 1767312000},  {"limit_count", 300}};
  const nlohmann::json doc = {{"cache_ttl_hours", 24}, {"entries", nlohmann::json::array({entry})}};
  WriteTextFile(JoinFsPath(config, u"favorites.json"), doc.dump(2));
  LoadedModule module;
  ASSERT_TRUE(module.Load());

  // Opens one dialog through the module, lets `fill` type sample values, captures and cancels it.
  const auto render = [&](const std::string& path, const std::string& verb, const std::wstring& caption,
                          const std::wstring& name, const std::function<void(HWND)>& fill) {
    std::basic_string<HostChar> remote = H(path), v = H(verb);
    remote.resize(260, 0);
    RunDialog([&] { return module.m.FsExecuteFileW(nullptr, remote.data(), v.data()); },
              [&] {
                const HWND dlg = WaitForDialog(caption);
                ASSERT_TRUE(dlg);
                fill(dlg);
                SendMessageW(dlg, WM_NCACTIVATE, TRUE, 0);  // an active title bar, as in use
                Sleep(700);                                 // let the last change paint
                EXPECT_TRUE(CaptureWindow(dlg, out + name + L".bmp"));
              });
  };
  render("\\[Add New Entry]", "open", L"Add HuggingFace Entry", L"add-entry",
         [](HWND dlg) { TypeText(dlg, IDC_ADD_URL, L"https://huggingface.co/google"); });
  render("\\[Settings]", "open", L"Tarnfs - Settings", L"settings",
         [](HWND dlg) { TypeText(dlg, IDC_SET_API_KEY, L"hf_exampleexampleexample"); });
  render("\\google - models", "properties", L"Entry Settings", L"entry-settings", [](HWND) {});
  render("\\", "properties", L"Tarnvue VFS Plugin Properties", L"properties", [](HWND) {});
  std::vector<ListedRecord> records;
  RunDialog([&] { return static_cast<int64_t>(ListThroughModule(module.m, "\\***_TEMPORARY_***", &records)); },
            [&] {
              const HWND dlg = WaitForDialog(L"Browse temporary repository");
              ASSERT_TRUE(dlg);
              TypeText(dlg, IDC_TEMP_URL, L"https://huggingface.co/google/gemma-2b");
              SendMessageW(dlg, WM_NCACTIVATE, TRUE, 0);
              Sleep(700);
              EXPECT_TRUE(CaptureWindow(dlg, out + L"temporary-browse.bmp"));
            });
}

}  // namespace
