// The Windows module's real dialogs, opened through its exports and operated from a helper thread as a
// person would. The decisions behind each button are in unit/dialog_logic_test.cpp; here the wiring:
// controls filled and read back, message boxes as shown, the system pickers, what gets saved.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <initializer_list>
#include <thread>

#include "browse/browse_fixture.h"
#include "dialog_driver.h"
#include "core/files.h"
#include "ui/resource.h"

namespace {

// The controls' texts joined by "|", so one comparison checks a whole dialog's fields.
std::wstring Texts(HWND dlg, std::initializer_list<int> ids) {
  std::wstring joined;
  for (int id : ids) joined += (joined.empty() ? L"" : L"|") + ControlText(dlg, id);
  return joined;
}

// Expects a message box with exactly this text, title and flags and answers it with `button`.
void ExpectBox(const std::wstring& text, const std::wstring& title, UINT flags, int button) {
  const SeenMessageBox box = WaitForMessageBox(
      [&](const SeenMessageBox& seen) { return seen.text == text && seen.title == title && seen.flags == flags; });
  ASSERT_TRUE(box.window) << "no message box titled " << std::string(title.begin(), title.end());
  EXPECT_EQ(box.text, text);
  EXPECT_EQ(box.title, title);
  EXPECT_EQ(box.flags, flags);
  Answer(box, button);
  EXPECT_TRUE(WaitClosed(box.window));
}

class DialogTest : public BrowseTest {
 protected:
  void Configure(json entries, const json& options = json::object()) {
    for (json& e : entries) e["id"] = e["display_name"];  // the entry dialog finds its entry again by id
    BrowseTest::Configure(entries, "", "", options);
  }
  // FsExecuteFileW while `script` operates the dialog captioned `caption`; `*buffer` receives the
  // remote-name buffer.
  int32_t Execute(const std::string& path, const std::string& verb, const std::wstring& caption,
                  const std::function<void(HWND)>& script, std::string* buffer = nullptr) {
    std::basic_string<HostChar> remote = H(path), v = H(verb);
    remote.resize(260, 0);
    const int64_t result = RunDialog([&] { return module_.m.FsExecuteFileW(nullptr, remote.data(), v.data()); },
                                     [&] {
                                       const HWND dlg = WaitForDialog(caption);
                                       ASSERT_TRUE(dlg);
                                       script(dlg);
                                       EXPECT_TRUE(WaitClosed(dlg));
                                     });
    if (buffer) *buffer = FromHostString(remote.c_str());
    return static_cast<int32_t>(result);
  }
  json Favorites() { return json::parse(ReadTextFile(JoinFsPath(config_, u"favorites.json"))); }
  std::wstring Hub(const std::string& rest) { return Wide(HubUrl() + rest); }
  std::wstring File(const std::string& name) {
    const std::u16string path = LocalPath(name);
    return std::wstring(path.begin(), path.end());
  }
};

TEST_F(DialogTest, AddEntryClassifiesAsksAndAddsOnlyWhatIsTicked) {
  Configure(json::array());
  std::string buffer;
  EXPECT_EQ(Execute("\\[Add New Entry]", "open", L"Add HuggingFace Entry", [&](HWND dlg) {
    EXPECT_EQ(Texts(dlg, {IDC_ADD_STATUS, IDC_ADD_LIMIT_COUNT}), L"Enter a HuggingFace URL above|300");
    EXPECT_TRUE(IsChecked(dlg, IDC_ADD_MODELS) && IsChecked(dlg, IDC_ADD_DATASETS) &&
                IsChecked(dlg, IDC_ADD_COLLECTIONS) && IsChecked(dlg, IDC_ADD_LIMIT));
    EXPECT_FALSE(IsChecked(dlg, IDC_ADD_CACHE));

    // Typing classifies at once; a single repository disables the kind boxes, keeping their ticks.
    for (const auto& [url, status, kinds] :
         {std::tuple<std::wstring, std::wstring, bool>{Hub("coll-org/some-model/"),
                                                       L"Single model → added as one root folder (ticks below ignored)", false},
          {L"coll-org", L"Organization → adds the entries ticked below", true}}) {
      TypeText(dlg, IDC_ADD_URL, url);
      EXPECT_EQ(ControlText(dlg, IDC_ADD_STATUS), status);
      EXPECT_EQ(IsEnabled(dlg, IDC_ADD_MODELS) && IsEnabled(dlg, IDC_ADD_COLLECTIONS), kinds);
      EXPECT_TRUE(IsChecked(dlg, IDC_ADD_DATASETS));
    }

    // Every field is read back on Add: the trimmed URL, the ticks, the cache box and the limit.
    TypeText(dlg, IDC_ADD_URL, L" " + Hub("coll-org?sort=trending") + L" ");
    SetChecked(dlg, IDC_ADD_DATASETS, false);
    SetChecked(dlg, IDC_ADD_CACHE, true);
    TypeText(dlg, IDC_ADD_LIMIT_COUNT, L"7");
    const std::wstring warning =
        L"Offline caching will fetch the full file list from HuggingFace.\nThis may take a while and the UI will "
        L"be unresponsive during the process.\n\nContinue?";
    Press(dlg, IDOK);
    ExpectBox(warning, L"Offline Cache Warning", MB_YESNO | MB_ICONWARNING, IDNO);
    EXPECT_TRUE(IsWindowVisible(dlg) && IsChecked(dlg, IDC_ADD_CACHE));  // No keeps the dialog as it was
    Press(dlg, IDOK);
    ExpectBox(warning, L"Offline Cache Warning", MB_YESNO | MB_ICONWARNING, IDYES);
  }, &buffer), -2);
  EXPECT_EQ(buffer, "\\");
  const json entries = Favorites()["entries"];
  ASSERT_EQ(entries.size(), 2u) << entries.dump();
  EXPECT_EQ(entries[0]["display_name"], "coll-org - models");
  EXPECT_EQ(entries[0]["limit_count"], 10);
  EXPECT_EQ(entries[0]["cache_enabled"], true);
  EXPECT_EQ(entries[1]["type"], "org-collections");
}

// The Spaces box, off on opening, adds the organisation's Spaces; a Space's folder then tells its SDK in
// a message box, and a single Space's settings show it in the kind line.
TEST_F(DialogTest, TheSpacesTickAddsTheSpacesEntryWhosePropertiesTellTheSdk) {
  Configure(json::array({json{{"display_name", "Docker"}, {"type", "single-model"}, {"kind", "space"},
                              {"repo_id", "spaces-org/docker-app"}}}));
  Execute("\\[Add New Entry]", "open", L"Add HuggingFace Entry", [&](HWND dlg) {
    EXPECT_FALSE(IsChecked(dlg, IDC_ADD_SPACES));
    TypeText(dlg, IDC_ADD_URL, Hub("spaces/spaces-org/chat-demo"));
    EXPECT_EQ(ControlText(dlg, IDC_ADD_STATUS), L"Space → added as one root folder (ticks below ignored)");
    EXPECT_FALSE(IsEnabled(dlg, IDC_ADD_SPACES));
    TypeText(dlg, IDC_ADD_URL, Hub("spaces-org"));
    EXPECT_TRUE(IsEnabled(dlg, IDC_ADD_SPACES));
    for (int box : {IDC_ADD_MODELS, IDC_ADD_DATASETS, IDC_ADD_COLLECTIONS}) SetChecked(dlg, box, false);
    SetChecked(dlg, IDC_ADD_SPACES, true);
    Press(dlg, IDOK);
  });
  const json added = Favorites()["entries"][1];
  EXPECT_EQ(added["display_name"].get<std::string>() + " " + added["type"].get<std::string>() + " " +
                added["kind"].get<std::string>(),
            "spaces-org - spaces org-models space");

  std::vector<ListedRecord> records;
  ASSERT_TRUE(ListThroughModule(module_.m, "\\spaces-org - spaces", &records));
  std::basic_string<HostChar> remote = H("\\spaces-org - spaces\\chat-demo"), verb = H("properties");
  remote.resize(260, 0);
  EXPECT_EQ(RunDialog([&] { return module_.m.FsExecuteFileW(nullptr, remote.data(), verb.data()); },
                      [&] {
                        ExpectBox(L"Space: spaces-org/chat-demo\nSDK: gradio", L"Space properties",
                                  MB_OK | MB_ICONINFORMATION, IDOK);
                      }),
            0);
  Execute("\\Docker", "properties", L"Entry Settings", [&](HWND dlg) {
    EXPECT_EQ(Texts(dlg, {IDC_ENT_TYPE, IDC_ENT_URL}), L"Space (docker)|" + Hub("spaces/spaces-org/docker-app"));
    Press(dlg, IDCANCEL);
  });
}

TEST_F(DialogTest, SettingsTestsTheKeyAndAppliesOnOk) {
  Configure(json::array({EntryJson("Files", "org-models", "files-org")}),
            {{"api_key", "hf_old"}, {"cache_ttl_hours", 5}});
  const std::wstring cache = File("my cache");
  Execute("\\[Settings]", "open", L"Tarnfs - Settings", [&](HWND dlg) {
    EXPECT_EQ(Texts(dlg, {IDC_SET_API_KEY, IDC_SET_TTL, IDC_SET_STATUS}), L"hf_old|5|");
    EXPECT_EQ(SendDlgItemMessageW(dlg, IDC_SET_API_KEY, EM_GETPASSWORDCHAR, 0, 0), L'*');
    for (const auto& [key, status] : {std::pair<std::wstring, std::wstring>{L"hf_test_good", L"✓ API key valid"},
                                      {L"hf_nobody", L"✗ API key invalid or no connection"}}) {
      TypeText(dlg, IDC_SET_API_KEY, key);
      Press(dlg, IDC_SET_TEST);
      EXPECT_EQ(WaitForText(dlg, IDC_SET_STATUS, status), status);
    }
    TypeText(dlg, IDC_SET_API_KEY, L"");
    TypeText(dlg, IDC_SET_CACHE_FOLDER, cache);
    TypeText(dlg, IDC_SET_TTL, L"0");
    Press(dlg, IDOK);
  });
  const json saved = Favorites();
  EXPECT_FALSE(saved.contains("api_key") || saved.contains("api_key_enc")) << saved.dump();
  EXPECT_EQ(saved["cache_ttl_hours"], 1);
  EXPECT_EQ(Wide(saved["cache_path"].get<std::string>()), cache);
  EXPECT_TRUE(std::filesystem::is_directory(cache));
}

// Fault: Export and Import put the typed fields into the options before the user answered, and the
// command saved after any close: clearing the key, pressing Export and then Cancel lost the key.
// On the way, the system pickers: the file written where the picker says, the picked folder in the field.
TEST_F(DialogTest, SettingsCancelLeavesFavoritesAsItWas) {
  Configure(json::array({EntryJson("Files", "org-models", "files-org")}),
            {{"api_key", "hf_old"}, {"cache_ttl_hours", 5}});
  const std::u16string favorites = JoinFsPath(config_, u"favorites.json");
  const std::string before = ReadTextFile(favorites);
  const std::wstring broken = File("broken.json"), exported = File("backup.json"), picked = File("picked");
  WriteTextFile(std::u16string(broken.begin(), broken.end()), R"({"entries": 3})");
  std::filesystem::create_directories(picked);
  const std::wstring warning = L"The exported file will contain your HuggingFace API key in plain text.\n\nKeep it "
                               L"somewhere private, and don't share it.\n\nContinue?";
  Execute("\\[Settings]", "open", L"Tarnfs - Settings", [&](HWND dlg) {
    TypeText(dlg, IDC_SET_API_KEY, L"");
    TypeText(dlg, IDC_SET_TTL, L"9");
    Press(dlg, IDC_SET_EXPORT);  // no key, no warning: the file dialog, cancelled
    const HWND picker = WaitForDialog(L"Export Tarnfs settings");
    ASSERT_TRUE(picker);
    Press(picker, IDCANCEL);
    EXPECT_TRUE(WaitClosed(picker));
    TypeText(dlg, IDC_SET_API_KEY, L"hf_typed");
    Press(dlg, IDC_SET_EXPORT);
    ExpectBox(warning, L"Export settings", MB_YESNO | MB_ICONWARNING, IDNO);
    Press(dlg, IDC_SET_IMPORT);
    ASSERT_TRUE(ChooseFile(L"Import Tarnfs settings", broken));
    ExpectBox(L"Replace your current entries with the ones in this file?\n\nYes — replace everything (also restores "
              L"the cache TTL).\nNo — merge: keep what you have and add what's missing.\nCancel — do nothing.",
              L"Import settings", MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2, IDYES);
    ExpectBox(L"This is not a Tarnfs settings file (no \"entries\" list).", L"Import failed", MB_OK | MB_ICONERROR, IDOK);
    Press(dlg, IDC_SET_EXPORT);
    ExpectBox(warning, L"Export settings", MB_YESNO | MB_ICONWARNING, IDYES);
    ASSERT_TRUE(ChooseFile(L"Export Tarnfs settings", exported));
    EXPECT_EQ(WaitForText(dlg, IDC_SET_STATUS, L"Exported 1 entries."), L"Exported 1 entries.");
    Press(dlg, IDC_SET_BROWSE);
    ASSERT_TRUE(ChooseFolder(picked));
    EXPECT_EQ(WaitForText(dlg, IDC_SET_CACHE_FOLDER, picked), picked);
    Press(dlg, IDCANCEL);
  });
  EXPECT_EQ(ReadTextFile(favorites), before);
  const json file = json::parse(ReadTextFile(std::u16string(exported.begin(), exported.end())));
  EXPECT_EQ(file["api_key"], "hf_typed");
  EXPECT_EQ(file["cache_ttl_hours"], 9);
  EXPECT_EQ(file["entries"].size(), 1u);
}

TEST_F(DialogTest, EntrySettingsShowsEditsClearsAndRemovesTheEntry) {
  json org = EntryJson("Files", "org-models", "files-org");
  org["cached_at"] = 86400;
  org["created_at"] = 0;
  json pr = EntryJson("PR", "single-model", "rev-org/checkpoints");
  pr["revision"] = "refs/pr/1";
  Configure(json::array({org, EntryJson("One", "single-model", "space owner/model one"), pr}));
  const auto confirm_remove = [](HWND dlg, int button) {
    Press(dlg, IDC_ENT_REMOVE);
    ExpectBox(L"Remove this entry from the plugin?", L"Confirm", MB_YESNO | MB_ICONQUESTION, button);
  };
  std::string buffer;
  EXPECT_EQ(Execute("\\Files", "properties", L"Entry Settings", [&](HWND dlg) {
    EXPECT_EQ(Texts(dlg, {IDC_ENT_NAME, IDC_ENT_TYPE, IDC_ENT_ADDED, IDC_ENT_URL, IDC_ENT_REVISION, IDC_ENT_LAST_CACHED}),
              L"Files|Organization (models)|Unknown|" + Hub("files-org") + L"|main|1970-01-02  00:00");
    EXPECT_TRUE(IsEnabled(dlg, IDC_ENT_LIMIT_COUNT));
    const std::wstring cleared = L"Cache cleared — will refresh on next browse";
    Press(dlg, IDC_ENT_REFRESH);
    EXPECT_EQ(WaitForText(dlg, IDC_ENT_LAST_CACHED, cleared), cleared);
    Press(dlg, IDC_ENT_DELETE_CACHE);
    EXPECT_EQ(WaitForText(dlg, IDC_ENT_LAST_CACHED, L"Never"), L"Never");
    confirm_remove(dlg, IDNO);
    TypeText(dlg, IDC_ENT_NAME, L"Renamed");
    TypeText(dlg, IDC_ENT_LIMIT_COUNT, L"3");
    Press(dlg, IDOK);
  }, &buffer), -2);
  EXPECT_EQ(buffer, "\\");
  const json saved = Favorites()["entries"][0];
  EXPECT_EQ(saved["display_name"], "Renamed");
  EXPECT_EQ(saved["limit_count"], 10);
  EXPECT_EQ(saved["cached_at"], 0);

  // A repository at a revision shows it, and its page is the revision's.
  Execute("\\PR", "properties", L"Entry Settings", [&](HWND dlg) {
    EXPECT_EQ(Texts(dlg, {IDC_ENT_URL, IDC_ENT_REVISION}),
              Hub("rev-org/checkpoints/tree/refs%2Fpr%2F1") + L"|refs/pr/1");
    Press(dlg, IDOK);
  });
  EXPECT_EQ(Favorites()["entries"][2]["revision"], "refs/pr/1");

  Execute("\\One", "properties", L"Entry Settings", [&](HWND dlg) {
    EXPECT_EQ(ControlText(dlg, IDC_ENT_TYPE), L"Single model");
    EXPECT_FALSE(IsEnabled(dlg, IDC_ENT_LIMIT) || IsEnabled(dlg, IDC_ENT_LIMIT_COUNT));
    confirm_remove(dlg, IDYES);
  });
  const json entries = Favorites()["entries"];
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0]["display_name"], "Renamed");
  EXPECT_EQ(entries[1]["display_name"], "PR");
}

// A click the dialog has handled when this returns (the box or the choice neither asks nor closes).
void ClickNow(HWND dlg, int id) { SendMessageW(GetDlgItem(dlg, id), BM_CLICK, 0, 0); }

TEST_F(DialogTest, EntrySettingsAllowsChangesAndChoosesWhereTheyGo) {
  json pinned = EntryJson("Pinned", "single-model", "rev-org/checkpoints");
  pinned["revision"] = "0123456789abcdef0123456789abcdef01234567";
  Configure(json::array({EntryJson("One", "single-model", "owner/model-one"), pinned}));
  const auto saved = [&](size_t i) {
    const json entry = Favorites()["entries"][i];
    return std::make_pair(entry.value("allow_changes", false), entry.value("changes_as_pull_request", false));
  };
  const auto choice_enabled = [](HWND dlg) {
    const bool label = IsEnabled(dlg, IDC_ENT_CHANGES_LABEL), branch = IsEnabled(dlg, IDC_ENT_TO_BRANCH);
    EXPECT_EQ(IsEnabled(dlg, IDC_ENT_TO_PULL_REQUEST), branch);
    EXPECT_EQ(label, branch);
    return branch;
  };
  std::wstring to_branch;
  Execute("\\One", "properties", L"Entry Settings", [&](HWND dlg) {
    EXPECT_FALSE(IsChecked(dlg, IDC_ENT_ALLOW_CHANGES) || choice_enabled(dlg));
    EXPECT_TRUE(IsChecked(dlg, IDC_ENT_TO_BRANCH) && !IsChecked(dlg, IDC_ENT_TO_PULL_REQUEST));
    to_branch = ControlText(dlg, IDC_ENT_CHANGES_WHERE);
    EXPECT_NE(to_branch.find(L"main"), std::wstring::npos);
    ClickNow(dlg, IDC_ENT_ALLOW_CHANGES);
    EXPECT_TRUE(choice_enabled(dlg));
    ClickNow(dlg, IDC_ENT_TO_PULL_REQUEST);
    EXPECT_FALSE(IsChecked(dlg, IDC_ENT_TO_BRANCH));
    EXPECT_NE(ControlText(dlg, IDC_ENT_CHANGES_WHERE), to_branch);
    EXPECT_NE(ControlText(dlg, IDC_ENT_CHANGES_WHERE).find(L"pull request against main"), std::wstring::npos);
    Press(dlg, IDOK);
  });
  EXPECT_EQ(saved(0), std::make_pair(true, true));

  // Cancel keeps what was saved, whatever the controls showed.
  Execute("\\One", "properties", L"Entry Settings", [&](HWND dlg) {
    EXPECT_TRUE(IsChecked(dlg, IDC_ENT_ALLOW_CHANGES) && IsChecked(dlg, IDC_ENT_TO_PULL_REQUEST) && choice_enabled(dlg));
    ClickNow(dlg, IDC_ENT_TO_BRANCH);
    EXPECT_EQ(ControlText(dlg, IDC_ENT_CHANGES_WHERE), to_branch);
    ClickNow(dlg, IDC_ENT_ALLOW_CHANGES);
    EXPECT_FALSE(choice_enabled(dlg));
    Press(dlg, IDCANCEL);
  });
  EXPECT_EQ(saved(0), std::make_pair(true, true));

  // Turned off, the choice stays as it was for the next time.
  Execute("\\One", "properties", L"Entry Settings", [&](HWND dlg) {
    ClickNow(dlg, IDC_ENT_ALLOW_CHANGES);
    Press(dlg, IDOK);
  });
  EXPECT_EQ(saved(0), std::make_pair(false, true));

  // At a commit the line says changes are refused, with either choice.
  Execute("\\Pinned", "properties", L"Entry Settings", [&](HWND dlg) {
    EXPECT_EQ(ControlText(dlg, IDC_ENT_CHANGES_WHERE).rfind(L"Refused", 0), 0u);
    ClickNow(dlg, IDC_ENT_ALLOW_CHANGES);
    ClickNow(dlg, IDC_ENT_TO_PULL_REQUEST);
    EXPECT_EQ(ControlText(dlg, IDC_ENT_CHANGES_WHERE).rfind(L"Refused", 0), 0u);
    Press(dlg, IDOK);
  });
  EXPECT_EQ(saved(1), std::make_pair(true, true));
}

// Fault: the entry dialog took a name with a separator or of dots, a folder the host then could neither
// open nor rename nor delete.
TEST_F(DialogTest, EntrySettingsKeepsTheNameWhenTheNewOneIsNoFolderName) {
  Configure(json::array({EntryJson("Files", "org-models", "files-org")}));
  int limit = 20;
  for (const std::wstring typed : {L"evil/name", L"back\\slash", L"..", L"tab\there"}) {
    Execute("\\Files", "properties", L"Entry Settings", [&](HWND dlg) {
      TypeText(dlg, IDC_ENT_NAME, typed);
      TypeText(dlg, IDC_ENT_LIMIT_COUNT, std::to_wstring(++limit));
      Press(dlg, IDOK);
    });
    const json saved = Favorites()["entries"][0];
    EXPECT_EQ(saved["display_name"], "Files");
    EXPECT_EQ(saved["limit_count"], limit) << "the other settings are saved";
  }
}

TEST_F(DialogTest, PropertiesAndTemporaryBrowse) {
  Configure(json::array({EntryJson("Files", "org-models", "files-org")}));
  EXPECT_EQ(Execute("\\", "properties", L"Tarnvue VFS Plugin Properties", [&](HWND dlg) {
    EXPECT_EQ(Texts(dlg, {IDC_PROP_NAME, IDC_PROP_VERSION, IDC_PROP_ENTRIES, IDC_PROP_CONFIG_FOLDER}),
              L"Tarnvue VFS plugin|" TARN_VERSION_TEXT L"|1|" + std::wstring(config_.begin(), config_.end()));
    EXPECT_FALSE(ControlText(dlg, IDC_PROP_AUTHOR).empty());
    Press(dlg, IDOK);
  }), 0);

  // The temporary folder asks for an address each time it is entered from the root.
  std::vector<ListedRecord> records;
  for (const auto& [typed, button, listed] :
       {std::tuple<std::wstring, int, size_t>{L" " + Hub("files-org") + L" ", IDOK, 9}, {Hub("files-org"), IDCANCEL, 0}}) {
    ListThroughModule(module_.m, "\\", &records);
    RunDialog([&] { return static_cast<int64_t>(ListThroughModule(module_.m, "\\***_TEMPORARY_***", &records)); },
              [&] {
                const HWND dlg = WaitForDialog(L"Browse temporary repository");
                ASSERT_TRUE(dlg);
                // The focus settles once the window manager has activated the dialog.
                EXPECT_TRUE(WaitUntil([&] { return FocusedControl() == GetDlgItem(dlg, IDC_TEMP_URL); }));
                TypeText(dlg, IDC_TEMP_URL, typed);
                Press(dlg, button);
                EXPECT_TRUE(WaitClosed(dlg));
              });
    EXPECT_EQ(records.size(), listed);
  }
}

// Fault: a copy on the host's transfer thread, still walking the temporary folder after the user went
// back to the root, opened the modal address dialog on that thread.
TEST_F(DialogTest, TheTemporaryFolderAsksNothingOffTheMainThread) {
  Configure(json::array());
  std::vector<ListedRecord> records;
  ListThroughModule(module_.m, "\\", &records);
  std::atomic<bool> done{false};
  bool listed = true;
  std::thread transfer([&] {
    listed = ListThroughModule(module_.m, "\\***_TEMPORARY_***\\nested", &records);
    done = true;
  });
  bool shown = false;
  while (!done) {  // a dialog there would wait for the user: it is cancelled, so the listing always returns
    if (const HWND dialog = FindWindowW(nullptr, L"Browse temporary repository")) {
      shown = true;
      PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    }
    Sleep(20);
  }
  transfer.join();
  EXPECT_FALSE(shown);
  EXPECT_FALSE(listed);
}

}  // namespace
