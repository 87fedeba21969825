// favorites.json through LoadFavorites and SaveFavorites on the plugin state: file bytes, backups,
// failed saves, the API key's protection and base64 form, and "hub_url".
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "config/entry.h"
#include "config/favorites.h"
#include "core/json.h"
#include "platform/platform.h"
#include "core/state.h"
#include "core/text.h"
#include "support/test_env.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::set<std::string> FolderNames(const std::u16string& folder) {
  std::set<std::string> names;
  for (const auto& item : fs::directory_iterator(FsPath(folder))) names.insert(item.path().filename().u8string());
  return names;
}

class Favorites : public ::testing::Test {
 protected:
  void SetUp() override {
#if !defined(_WIN32)
    setenv("XDG_DATA_HOME", WideToUtf8(JoinFsPath(folder_, u"data")).c_str(), 1);  // the per-user key file
#endif
    ResetState();
    g_host.Clear();
    g_state.log = RecordLog;
  }
  void TearDown() override {
    g_state.log = nullptr;
    ResetState();
  }
  void ResetState() {  // what FsInitW leaves before its load
    ResetLinkedState(folder_);
    g_state.hub_site_url = PluginState::kDefaultHubSiteUrl;
  }
  json Saved() { return json::parse(ReadTextFile(path_)); }

  const std::u16string folder_ = MakeTempFolder("favorites"), path_ = JoinFsPath(folder_, u"favorites.json");
};

TEST_F(Favorites, LoadGivesBackWhatSaveWrote) {
  const std::vector<Entry> entries = {
      // id, type, is_dataset, org, repo_id, display_name, cache_enabled, cached_at, created_at, limit_*, revision
      {"a", OrgCollections, ModelRepo, "acme", "", u"Mod\u00e8les \u65e5\u672c", true, 1700000000, 1600000000, true, 300},
      {"b", SingleModel, DatasetRepo, "owner", "owner/data", u"Single", false, 0, 0, false, 5000, "refs/convert/parquet"}};
  g_state.entries = entries;
  g_state.api_key = u"hf_secret_\u00fc";
  g_state.cache_ttl_hours = -3;
  g_state.use_local_hf_cache = false;
  g_state.check_changes_seconds = 0;
  g_state.cache_folder = JoinFsPath(folder_, u"elsewhere");
  SaveFavorites();
  EXPECT_NE(ReadTextFile(path_).find("\"Mod\xc3\xa8les \xe6\x97\xa5\xe6\x9c\xac\""), std::string::npos);
  EXPECT_EQ(ReadTextFile(path_).find("hf_secret"), std::string::npos);  // neither in plain text nor as "api_key"

  ResetState();
  LoadFavorites();
  ASSERT_EQ(g_state.entries.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(EntryToJson(g_state.entries[i]), EntryToJson(entries[i])) << i;
  EXPECT_EQ(g_state.api_key, u"hf_secret_\u00fc");
  EXPECT_EQ(g_state.cache_ttl_hours, -3);
  EXPECT_FALSE(g_state.use_local_hf_cache);
  EXPECT_EQ(g_state.check_changes_seconds, 0);
  EXPECT_EQ(g_state.cache_folder, JoinFsPath(folder_, u"elsewhere"));
}

TEST_F(Favorites, SavesWriteTheExactBytesKeepThePreviousFileAsBakAndFailWithoutALeftover) {
  // Pins: on Windows the ".bak" was written once and never replaced (copy_file refused to overwrite).
  const std::string nl = fs::path::preferred_separator == '\\' ? "\r\n" : "\n";  // CR LF on Windows
  SaveFavorites();
  const std::string first = ReadTextFile(path_), cache = json(WideToUtf8(g_state.cache_folder)).dump();
  EXPECT_EQ(first, "{" + nl + "  \"cache_path\": " + cache + "," + nl + "  \"cache_ttl_hours\": 24," + nl +
                       "  \"check_changes_seconds\": 60," + nl +
                       "  \"download_connections\": 8," + nl + "  \"entries\": []," + nl +
                       "  \"use_local_hf_cache\": true" + nl + "}");
  EXPECT_EQ(FolderNames(folder_), std::set<std::string>{"favorites.json"});  // no ".bak" yet, no temporary file
  g_state.cache_ttl_hours = 1;
  SaveFavorites();
  const std::string second = ReadTextFile(path_);
  EXPECT_EQ(ReadTextFile(path_ + u".bak"), first);
  g_state.cache_ttl_hours = 2;
  SaveFavorites();
  EXPECT_EQ(ReadTextFile(path_ + u".bak"), second);
  EXPECT_EQ(FolderNames(folder_), (std::set<std::string>{"favorites.json", "favorites.json.bak"}));

  // A failed save leaves the old file and no temporary file.
  const std::string old = ReadTextFile(path_);
  g_state.cache_ttl_hours = 3;
  const std::u16string temporary = path_ + u"." + WideDecimal(PlatformThreadId()) + u".tmp";
  fs::create_directory(FsPath(temporary));  // the temporary file cannot be created
  SaveFavorites();
  EXPECT_EQ(ReadTextFile(path_), old);
  fs::remove(FsPath(temporary));
  fs::create_directory(FsPath(JoinFsPath(folder_, u"target")));  // the replace is refused
  EXPECT_FALSE(WriteJsonFileAtomic(JoinFsPath(folder_, u"target"), json::object(), false));
  EXPECT_EQ(FolderNames(folder_), (std::set<std::string>{"favorites.json", "favorites.json.bak", "target"}));
}

// Fault: a save removed, as a killed save's leftover, the temporary file another thread of the same
// process was still writing; that save failed, and the date worker's retry then wrote the folder record
// it had read before over a newer one. On Windows one of two replaces of one file at once was refused.
TEST_F(Favorites, TwoThreadsSavingOneFileEachSucceedAndLeaveOneWholeFile) {
  const std::u16string target = JoinFsPath(folder_, u"shared.json");
  const json padding(std::vector<std::string>(2000, std::string(40, 'x')));  // wide windows between the steps
  std::atomic<int> failed{0};
  const auto saves = [&](int who) {
    for (int i = 0; i < 150; ++i) failed += !WriteJsonFileAtomic(target, {{"who", who}, {"i", i}, {"pad", padding}}, false);
  };
  std::thread first(saves, 1), second(saves, 2);
  first.join();
  second.join();
  EXPECT_EQ(failed.load(), 0);
  const json last = json::parse(ReadTextFile(target), nullptr, false);
  EXPECT_EQ(last.value("i", -1), 149);  // the last save of whichever thread ended last
  EXPECT_EQ(FolderNames(folder_), std::set<std::string>{"shared.json"});
}

TEST_F(Favorites, WriterReplacesInvalidUtf8InsteadOfThrowing) {
  // Pins: an org name with invalid UTF-8 made the serialiser throw out of SaveFavorites.
  g_state.entries = {{"1", OrgModels, ModelRepo, "ac\xff" "me", "", u"Broken"}};
  EXPECT_NO_THROW(SaveFavorites());
  EXPECT_EQ(Saved()["entries"][0]["org"], "ac\xef\xbf\xbd" "me");
}

TEST_F(Favorites, TheEncryptedKeyIsPreferredAndOneThatCannotBeUnprotectedIsLoggedAndDropped) {
  const std::string enc = ProtectApiKey("from-enc");
  ASSERT_FALSE(enc.empty());
  std::string damaged = Base64Decode(enc);
  damaged.back() ^= 0x20;
  std::vector<std::pair<std::string, std::u16string>> cases = {
      {enc, u"from-enc"}, {"", u"plain \u00e9"}, {"not base64!", u""},
      {Base64Encode(damaged), u""}};  // the only one logged; the plain key beside it is still not used
  // Base64 that Base64Encode never writes is refused before any unprotecting.
  for (const char* text : {"Zg", "Zg=", "Zg===", "Zm9=", "Zh==", "Z g==", "Zg==\r\n", "\nZg==", "Zm8=Zm8=", "Zm-_",
                           "=Zm8", "QUJD\n", "QUJ", "QUJ="}) {
    cases.push_back({text, u""});
    EXPECT_EQ(Base64Decode(text), "") << text;
  }
  EXPECT_EQ(Base64Decode(std::string("Zm9v\0YmFy", 9)), "");
  for (const auto& [stored, want] : cases) {
    WriteTextFile(path_, json{{"api_key_enc", stored}, {"api_key", "plain \xc3\xa9"}}.dump());
    LoadFavorites();
    EXPECT_EQ(g_state.api_key, want) << stored;
  }
  EXPECT_EQ(g_host.Log(), std::vector<std::string>{"Stored API key could not be decrypted on this account \xe2\x80\x94 "
                                                   "re-enter it in Settings, or import a settings backup."});
  SaveFavorites();
  EXPECT_FALSE(Saved().contains("api_key_enc") || Saved().contains("api_key"));
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(255 - i));
  for (size_t n : {1, 2, 3, 4, 5, 256}) EXPECT_EQ(Base64Decode(Base64Encode(all.substr(0, n))), all.substr(0, n)) << n;
}

// "hub_url" is written only when not the default; the local HuggingFace cache is used unless the file
// turns it off with a boolean; a check interval that is no whole number is the default minute.
TEST_F(Favorites, WrongTypedOptionsReadAsTheirDefaults) {
  WriteTextFile(path_, R"({"hub_url": "http://127.0.0.1:9/mirror", "entries": [{"display_name": "E"}]})");
  LoadFavorites();
  EXPECT_EQ(g_state.hub_site_url, "http://127.0.0.1:9/mirror/");
  SaveFavorites();
  EXPECT_EQ(Saved()["hub_url"], "http://127.0.0.1:9/mirror/");
  for (const char* wrong : {R"("no")", "0"}) {  // ignored; the file is still read
    WriteTextFile(path_, std::string(R"({"hub_url": 5, "check_changes_seconds": 1.5, "use_local_hf_cache": )") +
                             wrong + R"(, "entries": [{"display_name": "E"}]})");
    g_state.use_local_hf_cache = false;
    g_state.check_changes_seconds = 5;
    LoadFavorites();
    EXPECT_EQ(g_state.hub_site_url, PluginState::kDefaultHubSiteUrl);
    EXPECT_TRUE(g_state.use_local_hf_cache) << wrong;
    EXPECT_EQ(g_state.check_changes_seconds, PluginState::kDefaultCheckChangesSeconds) << wrong;
    EXPECT_EQ(g_state.entries.size(), 1u);
  }
}

}  // namespace

#if !defined(_WIN32)
// Fault: a key file of the wrong size was never replaced, so every save wrote the plain key into
// favorites.json and its ".bak", readable by every user, and nothing said so.
TEST_F(Favorites, AKeyFileOfTheWrongSizeIsKeptAsideAndReplacedAndTheFilesAreTheUsersAlone) {
  const std::u16string keys = JoinFsPath(JoinFsPath(folder_, u"data"), u"tarnfs");
  const std::u16string key_file = JoinFsPath(keys, u"key");
  fs::create_directories(FsPath(keys));
  WriteTextFile(key_file, "short");
  WriteTextFile(path_, "{}");  // a file from before, with the default mode
  g_state.api_key = u"hf_secret";
  SaveFavorites();
  EXPECT_TRUE(!Saved().contains("api_key") && Saved().contains("api_key_enc"));
  EXPECT_EQ(fs::file_size(FsPath(key_file)), 32u);
  const std::vector<std::string> log = g_host.Log();
  const std::string prefix = "Key file of the wrong size kept as ";
  ASSERT_TRUE(log.size() == 1 && log[0].rfind(prefix, 0) == 0) << ::testing::PrintToString(log);
  EXPECT_EQ(ReadTextFile(Utf8ToWide(log[0].substr(prefix.size(), log[0].find(';') - prefix.size()))), "short");
  for (const std::u16string& file : {path_, path_ + u".bak", key_file}) {
    EXPECT_EQ(fs::status(FsPath(file)).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write)
        << WideToUtf8(file);
  }
  g_state.api_key.clear();
  LoadFavorites();
  EXPECT_EQ(g_state.api_key, u"hf_secret");
}
#endif
