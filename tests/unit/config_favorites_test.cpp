// favorites.json through LoadFavorites and SaveFavorites on the plugin state: file bytes, backups,
// failed saves, the API key's protection, "hub_url", and unreadable files kept beside the new one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/favorites.h"
#include "platform/platform.h"
#include "plugin/state.h"
#include "plugin/text.h"
#include "support/test_env.h"

using nlohmann::json;

namespace {

const char kUndecryptable[] =
    "Stored API key could not be decrypted on this account \xe2\x80\x94 re-enter it in Settings, or import a "
    "settings backup.";

#if defined(_WIN32)
const char kLineBreak[] = "\r\n";
#else
const char kLineBreak[] = "\n";
// Where the per-user key file lives on POSIX; a different folder stands for a different account.
void UseKeyFolder(const std::u16string& folder) { setenv("XDG_DATA_HOME", WideToUtf8(folder).c_str(), 1); }
#endif

std::vector<std::string> FolderNames(const std::u16string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(FsPath(folder), ec)) {
    names.push_back(item.path().filename().u8string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Entry MakeEntry(const std::u16string& name, const std::string& org) {
  Entry e;
  e.id = "id-" + org;
  e.org = org;
  e.display_name = name;
  return e;
}

void ExpectSameEntries(const std::vector<Entry>& a, const std::vector<Entry>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].id, b[i].id);
    EXPECT_EQ(a[i].type, b[i].type);
    EXPECT_EQ(a[i].is_dataset, b[i].is_dataset);
    EXPECT_EQ(a[i].org, b[i].org);
    EXPECT_EQ(a[i].repo_id, b[i].repo_id);
    EXPECT_EQ(a[i].display_name, b[i].display_name);
    EXPECT_EQ(a[i].cache_enabled, b[i].cache_enabled);
    EXPECT_EQ(a[i].cached_at, b[i].cached_at);
    EXPECT_EQ(a[i].created_at, b[i].created_at);
    EXPECT_EQ(a[i].limit_enabled, b[i].limit_enabled);
    EXPECT_EQ(a[i].limit_count, b[i].limit_count);
  }
}

class Favorites : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder("favorites");
    path_ = JoinFsPath(folder_, u"favorites.json");
#if !defined(_WIN32)
    UseKeyFolder(JoinFsPath(folder_, u"data"));
#endif
    ResetState();
    g_host.Clear();
    g_state.log = RecordLog;
  }
  void TearDown() override {
    g_state.log = nullptr;
    ResetState();
    std::error_code ec;
    std::filesystem::remove_all(FsPath(folder_), ec);
  }
  // The startup values FsInitW leaves before its load.
  void ResetState() {
    StateLock guard(g_state.lock);
    g_state.config_folder = folder_;
    g_state.favorites_path = path_;
    g_state.cache_folder = JoinFsPath(folder_, u"cache");
    g_state.api_key.clear();
    g_state.cache_ttl_hours = 24;
    g_state.entries.clear();
    g_state.delete_suppressed.clear();
    g_state.hub_site_url = PluginState::kDefaultHubSiteUrl;
  }
  json SavedDocument() { return json::parse(ReadTextFile(path_)); }

  std::u16string folder_;
  std::u16string path_;
};

TEST_F(Favorites, FirstRunStartsEmptyAndTheFirstSaveWritesTheExactBytes) {
  LoadFavorites();
  EXPECT_TRUE(g_state.entries.empty());
  EXPECT_TRUE(g_state.api_key.empty());
  EXPECT_EQ(g_state.cache_ttl_hours, 24);
  EXPECT_EQ(g_state.cache_folder, JoinFsPath(folder_, u"cache"));

  SaveFavorites();
  const std::string nl = kLineBreak;
  const std::string expected = "{" + nl + "  \"cache_path\": " + json(WideToUtf8(JoinFsPath(folder_, u"cache"))).dump() +
                               "," + nl + "  \"cache_ttl_hours\": 24," + nl + "  \"entries\": []" + nl + "}";
  EXPECT_EQ(ReadTextFile(path_), expected);
  // No backup on the first save, and no temporary file left behind.
  EXPECT_EQ(FolderNames(folder_), std::vector<std::string>{"favorites.json"});
  EXPECT_TRUE(g_host.Log().empty());
}

TEST_F(Favorites, LoadGivesBackWhatSaveWrote) {
  Entry a = MakeEntry(u"Mod\u00e8les \u65e5\u672c", "acme");
  a.cache_enabled = true;
  a.cached_at = 1700000000;
  a.created_at = 1600000000;
  Entry b = MakeEntry(u"Single", "owner");
  b.type = SingleModel;
  b.is_dataset = 1;
  b.repo_id = "owner/data";
  b.limit_enabled = false;
  b.limit_count = 5000;
  const std::vector<Entry> entries = {a, b, MakeEntry(u"Collections", "c")};
  const std::u16string cache = JoinFsPath(JoinFsPath(folder_, u"elsewhere"), u"cache");
  {
    StateLock guard(g_state.lock);
    g_state.entries = entries;
    g_state.entries[2].type = OrgCollections;
    g_state.api_key = u"hf_secret_\u00fc";
    g_state.cache_ttl_hours = -3;
    g_state.cache_folder = cache;
  }
  const std::vector<Entry> saved = g_state.entries;
  SaveFavorites();
  const std::string bytes = ReadTextFile(path_);
  EXPECT_NE(bytes.find("\"display_name\": \"Mod\xc3\xa8les \xe6\x97\xa5\xe6\x9c\xac\""), std::string::npos);
  EXPECT_EQ(bytes.find("hf_secret"), std::string::npos);
  EXPECT_EQ(bytes.find("\"api_key\""), std::string::npos);
  EXPECT_EQ(bytes.find("hub_url"), std::string::npos);
  EXPECT_EQ(bytes.back(), '}');

  ResetState();
  LoadFavorites();
  ExpectSameEntries(g_state.entries, saved);
  EXPECT_EQ(g_state.api_key, u"hf_secret_\u00fc");
  EXPECT_EQ(g_state.cache_ttl_hours, -3);
  EXPECT_EQ(g_state.cache_folder, cache);
  EXPECT_TRUE(FileExists(cache));  // a configured cache folder is created on load
  EXPECT_TRUE(g_host.Log().empty());
}

TEST_F(Favorites, EachSaveKeepsThePreviousFileAsBak) {
  // Pins: on Windows the ".bak" was written once and never replaced (copy_file refused to overwrite).
  g_state.entries = {MakeEntry(u"One", "one")};
  SaveFavorites();
  const std::string first = ReadTextFile(path_);
  EXPECT_FALSE(FileExists(path_ + u".bak"));
  g_state.entries.push_back(MakeEntry(u"Two", "two"));
  SaveFavorites();
  const std::string second = ReadTextFile(path_);
  EXPECT_EQ(ReadTextFile(path_ + u".bak"), first);
  g_state.entries.clear();
  SaveFavorites();
  EXPECT_EQ(ReadTextFile(path_ + u".bak"), second);
  EXPECT_EQ(FolderNames(folder_), (std::vector<std::string>{"favorites.json", "favorites.json.bak"}));
}

TEST_F(Favorites, AFailedSaveLeavesTheOldFileAndNoTemporaryFile) {
  g_state.entries = {MakeEntry(u"Kept", "k")};
  SaveFavorites();
  const std::string old = ReadTextFile(path_);
  g_state.entries.clear();

  // The temporary name taken by a folder: the temporary file cannot be created.
  const std::u16string temporary = path_ + u"." + WideDecimal(PlatformThreadId()) + u".tmp";
  std::filesystem::create_directory(FsPath(temporary));
  SaveFavorites();
  EXPECT_EQ(ReadTextFile(path_), old);
  EXPECT_FALSE(WriteJsonFileAtomic(path_, json::object(), true));
  std::filesystem::remove(FsPath(temporary));

  // The target itself is a folder: the replace is refused and the temporary file removed.
  const std::u16string folder_target = JoinFsPath(folder_, u"target");
  std::filesystem::create_directory(FsPath(folder_target));
  EXPECT_FALSE(WriteJsonFileAtomic(folder_target, json::object(), false));
  // The target's folder is missing: nothing can be written.
  EXPECT_FALSE(WriteJsonFileAtomic(JoinFsPath(folder_, u"missing/favorites.json"), json::object(), true));
  // The failed save stopped before the backup step, so there is still no ".bak".
  EXPECT_EQ(FolderNames(folder_), (std::vector<std::string>{"favorites.json", "target"}));
  EXPECT_EQ(ReadTextFile(path_), old);
}

TEST_F(Favorites, WriterReplacesInvalidUtf8InsteadOfThrowing) {
  // Pins: an org name with invalid UTF-8 made the serialiser throw out of SaveFavorites.
  g_state.entries = {MakeEntry(u"Broken", std::string("ac\xff" "me"))};
  EXPECT_NO_THROW(SaveFavorites());
  EXPECT_EQ(SavedDocument()["entries"][0]["org"], "ac\xef\xbf\xbd" "me");
}

TEST_F(Favorites, EncryptedKeyIsPreferredEvenWhenItCannotBeUnprotected) {
  const std::string enc = ProtectApiKey("from-enc");
  ASSERT_FALSE(enc.empty());
  WriteTextFile(path_, json{{"api_key_enc", enc}, {"api_key", "plain"}}.dump());
  LoadFavorites();
  EXPECT_EQ(g_state.api_key, u"from-enc");

  // A damaged blob: the plain key beside it is still not used.
  std::string sealed = Base64Decode(enc);
  sealed.back() ^= 0x20;
  WriteTextFile(path_, json{{"api_key_enc", Base64Encode(sealed)}, {"api_key", "plain"}}.dump());
  LoadFavorites();
  EXPECT_TRUE(g_state.api_key.empty());
  EXPECT_EQ(g_host.Log(), std::vector<std::string>{kUndecryptable});

  // The next save drops the unreadable blob along with the key.
  SaveFavorites();
  const json saved = SavedDocument();
  EXPECT_FALSE(saved.contains("api_key_enc"));
  EXPECT_FALSE(saved.contains("api_key"));
}

TEST_F(Favorites, PlainKeyIsReadWhenNoEncryptedOneIsThere) {
  WriteTextFile(path_, json{{"api_key_enc", ""}, {"api_key", "plain \xc3\xa9"}}.dump());
  LoadFavorites();
  EXPECT_EQ(g_state.api_key, u"plain \u00e9");
  SaveFavorites();
  const json saved = SavedDocument();
  EXPECT_EQ(UnprotectApiKey(saved.value("api_key_enc", "")), "plain \xc3\xa9");
  EXPECT_FALSE(saved.contains("api_key"));
}

TEST_F(Favorites, InvalidBase64KeyLoadsNoKeyAndLogsNothing) {
  for (const char* text : {"not base64!", "QUJD\n", "QUJ", "QUJ="}) {
    g_state.api_key = u"before";
    WriteTextFile(path_, json{{"api_key_enc", text}, {"api_key", "plain"}}.dump());
    LoadFavorites();
    EXPECT_TRUE(g_state.api_key.empty()) << text;
  }
  EXPECT_TRUE(g_host.Log().empty());
}

#if !defined(_WIN32)
TEST_F(Favorites, KeyProtectedUnderAnotherKeyFileIsDroppedWithOneLogLine) {
  g_state.api_key = u"secret";
  SaveFavorites();
  const std::u16string key_file = JoinFsPath(folder_, u"data/tarnfs/key");
  ASSERT_TRUE(FileExists(key_file));
  EXPECT_EQ(std::filesystem::status(FsPath(key_file)).permissions(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(std::filesystem::status(FsPath(JoinFsPath(folder_, u"data/tarnfs"))).permissions(), std::filesystem::perms::owner_all);

  UseKeyFolder(JoinFsPath(folder_, u"other-account"));
  ResetState();
  LoadFavorites();
  EXPECT_TRUE(g_state.api_key.empty());
  EXPECT_EQ(g_host.Log(), std::vector<std::string>{kUndecryptable});
  EXPECT_FALSE(FileExists(JoinFsPath(folder_, u"other-account/tarnfs/key")));  // reading never creates one
}

TEST_F(Favorites, ThreadsRacingToCreateTheKeyFileAllUseTheSameKey) {
  std::vector<std::string> sealed(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < sealed.size(); ++i) {
    threads.emplace_back([&sealed, i] { sealed[i] = ProtectApiKey("k" + std::to_string(i)); });
  }
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < sealed.size(); ++i) EXPECT_EQ(UnprotectApiKey(sealed[i]), "k" + std::to_string(i));
  EXPECT_TRUE(g_host.Log().empty());
}
#endif

TEST_F(Favorites, HubUrlIsReadAndWrittenOnlyWhenNotTheDefault) {
  WriteTextFile(path_, R"({"hub_url": "http://127.0.0.1:9/mirror", "entries": [{"display_name": "E"}]})");
  LoadFavorites();
  EXPECT_EQ(g_state.hub_site_url, "http://127.0.0.1:9/mirror/");
  SaveFavorites();
  EXPECT_EQ(SavedDocument()["hub_url"], "http://127.0.0.1:9/mirror/");

  for (const char* ignored : {"\"\"", "5", "null"}) {
    WriteTextFile(path_, std::string(R"({"entries": [{"display_name": "E"}], "hub_url": )") + ignored + "}");
    LoadFavorites();
    EXPECT_EQ(g_state.hub_site_url, PluginState::kDefaultHubSiteUrl) << ignored;
    EXPECT_EQ(g_state.entries.size(), 1u) << ignored;
  }
  SaveFavorites();
  EXPECT_FALSE(SavedDocument().contains("hub_url"));
}

TEST_F(Favorites, OptionsAreUsedUnchangedAndNamelessEntriesDroppedSilently) {
  WriteTextFile(path_, R"({"cache_ttl_hours": 0, "entries": [{"org": "x"}, {"display_name": "B", "limit_count": 3},
                {"display_name": ""}, {"display_name": "B"}]})");
  LoadFavorites();
  EXPECT_EQ(g_state.cache_ttl_hours, 0);
  ASSERT_EQ(g_state.entries.size(), 2u);  // names need not be unique
  EXPECT_EQ(g_state.entries[0].limit_count, 10);
  EXPECT_EQ(g_state.entries[1].display_name, u"B");
  EXPECT_EQ(FolderNames(folder_), std::vector<std::string>{"favorites.json"});
  EXPECT_TRUE(g_host.Log().empty());
}

TEST_F(Favorites, UnreadableFileStartsEmptyAndIsKeptThroughTwoSaves) {
  const std::string cases[] = {
      "{\"entries\": [ {\"display_name\": \"Mine\"} ",  // cut short
      "{\"entries\": \"Mine\"}",
      "{\"cache_ttl_hours\": \"24\", \"entries\": [{\"display_name\": \"Mine\"}]}",
      "{\"api_key\": 5, \"entries\": [{\"display_name\": \"Mine\"}]}",
      "[{\"display_name\": \"Mine\"}]",
      "// comment\n{\"entries\": [{\"display_name\": \"Mine\"}]}",
  };
  for (const std::string& user_bytes : cases) {
    std::filesystem::remove_all(FsPath(folder_));
    std::filesystem::create_directories(FsPath(folder_));
    ResetState();
    g_state.api_key = u"startup";
    g_host.Clear();
    WriteTextFile(path_, user_bytes);
    LoadFavorites();
    EXPECT_TRUE(g_state.entries.empty()) << user_bytes;
    EXPECT_EQ(g_state.cache_ttl_hours, 24) << user_bytes;
    EXPECT_EQ(g_state.api_key, u"startup") << user_bytes;

    const std::vector<std::string> log = g_host.Log();
    ASSERT_EQ(log.size(), 1u) << user_bytes;
    const std::string prefix = "Unreadable favorites.json kept as ";
    ASSERT_EQ(log[0].rfind(prefix, 0), 0u) << log[0];
    const std::u16string kept = Utf8ToWide(log[0].substr(prefix.size()));
    EXPECT_EQ(kept.rfind(path_ + u".unreadable-", 0), 0u);

    SaveFavorites();
    SaveFavorites();
    EXPECT_EQ(ReadTextFile(kept), user_bytes);
    const std::vector<std::string> names = FolderNames(folder_);
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.rfind("favorites", 0) == 0; }),
              3);  // favorites.json, its .bak and the kept file
  }
}

TEST_F(Favorites, EachUnreadableLoadKeepsItsOwnCopy) {
  WriteTextFile(path_, "not json");
  LoadFavorites();
  LoadFavorites();
  const std::vector<std::string> log = g_host.Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[0], log[1]);
  EXPECT_EQ(FolderNames(folder_).size(), 3u);
}

TEST_F(Favorites, ABadEntryIsDroppedAloneAndTheFileKept) {
  const std::string user_bytes =
      R"({"entries": [{"display_name": "Good"}, {"display_name": "Bad", "limit_count": "300"}, 7]})";
  WriteTextFile(path_, user_bytes);
  LoadFavorites();
  ASSERT_EQ(g_state.entries.size(), 1u);
  EXPECT_EQ(g_state.entries[0].display_name, u"Good");
  const std::vector<std::string> log = g_host.Log();
  ASSERT_EQ(log.size(), 1u);
  const std::string prefix = "Unreadable entry in favorites.json, file kept as ";
  ASSERT_EQ(log[0].rfind(prefix, 0), 0u) << log[0];
  SaveFavorites();
  SaveFavorites();
  EXPECT_EQ(ReadTextFile(Utf8ToWide(log[0].substr(prefix.size()))), user_bytes);
}

TEST(Base64, MatchesTheStandardAlphabetAndPadding) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode("\xfb\xff\xbf"), "+/+/");
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(255 - i));
  for (size_t n : {1, 2, 3, 4, 5, 254, 256}) {
    const std::string bytes = all.substr(0, n);
    EXPECT_EQ(Base64Decode(Base64Encode(bytes)), bytes) << n;
  }
}

TEST(Base64, DecodeRejectsAnythingEncodeWouldNotWrite) {
  const std::string texts[] = {"",     "Zg",   "Zg=",  "Zg===", "Zm9=",     "Zh==",    "Z g==",
                               "Zg==\r\n", "\nZg==", "Zm8=Zm8=", "Zm-_", "=Zm8", std::string("Zm9v\0YmFy", 9)};
  for (const std::string& text : texts) EXPECT_EQ(Base64Decode(text), "") << text;
  EXPECT_EQ(Base64Decode("Zm9vYmFy"), "foobar");
}

TEST(ProtectApiKey, SealsTheKeyWithRandomnessAndReversesIt) {
#if !defined(_WIN32)
  UseKeyFolder(MakeTempFolder("protect"));
#endif
  const std::string one = ProtectApiKey("hf_key");
  const std::string two = ProtectApiKey("hf_key");
  ASSERT_FALSE(one.empty());
  EXPECT_NE(one, two);
  EXPECT_EQ(Base64Encode(Base64Decode(one)), one);
  EXPECT_EQ(UnprotectApiKey(one), "hf_key");
  EXPECT_EQ(UnprotectApiKey(two), "hf_key");
}

}  // namespace
