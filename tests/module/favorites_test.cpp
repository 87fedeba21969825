// favorites.json as the loaded module sees it: the root listing at start-up, a rename saved with a
// backup, and an unreadable file kept through the saves that follow.
#include <gtest/gtest.h>

#include <vector>

#include <nlohmann/json.hpp>

#include "plugin/text.h"
#include "support/test_env.h"

using nlohmann::json;

namespace {

// FILETIME of a Unix time: 100 ns steps since 1601-01-01.
uint64_t FileTimeOf(int64_t unix_seconds) { return static_cast<uint64_t>(unix_seconds) * 10000000ULL + 116444736000000000ULL; }

std::vector<std::string> EntryNames(const std::vector<ListedRecord>& records) {
  std::vector<std::string> names;
  for (const ListedRecord& r : records) {
    if (r.name != "***_TEMPORARY_***" && r.name != "[Add New Entry]" && r.name != "[Settings]") names.push_back(r.name);
  }
  return names;
}

const ListedRecord* Find(const std::vector<ListedRecord>& records, const std::string& name) {
  for (const ListedRecord& r : records) {
    if (r.name == name) return &r;
  }
  return nullptr;
}

TEST(ModuleFavorites, RootListsTheEntriesOfTheFileWithTheirTimes) {
  const std::u16string config = ResetConfigFolder();
  WriteTextFile(JoinFsPath(config, u"favorites.json"), R"({
    "cache_ttl_hours": 24,
    "entries": [
      {"display_name": "Cached", "org": "a", "cached_at": 1700000000, "created_at": 1600000000},
      {"display_name": "Caf\u00e9", "org": "b", "created_at": 1600000000},
      {"org": "nameless"},
      {"display_name": "Timeless", "type": "single-model", "repo_id": "c/d"}
    ]
  })");
  g_host.Clear();
  LoadedModule module;
  ASSERT_TRUE(module.Load());

  std::vector<ListedRecord> records;
  ASSERT_TRUE(ListThroughModule(module.m, "\\", &records));
  EXPECT_EQ(EntryNames(records), (std::vector<std::string>{"Cached", "Caf\xc3\xa9", "Timeless"}));
  ASSERT_NE(Find(records, "Cached"), nullptr);
  EXPECT_TRUE(Find(records, "Cached")->folder);
  EXPECT_EQ(Find(records, "Cached")->write_time, FileTimeOf(1700000000));
  EXPECT_EQ(Find(records, "Caf\xc3\xa9")->write_time, FileTimeOf(1600000000));
  EXPECT_EQ(Find(records, "Timeless")->write_time, 0u);
  EXPECT_EQ(g_host.Log(), std::vector<std::string>{"Tarnfs plugin loaded"});
}

TEST(ModuleFavorites, RenameSavesTheNewNameAndKeepsTheOldFileAsBak) {
  const std::u16string config = ResetConfigFolder();
  const std::u16string path = JoinFsPath(config, u"favorites.json");
  const std::string before = R"({"entries": [{"display_name": "Old", "org": "acme", "limit_count": 50}]})";
  WriteTextFile(path, before);
  LoadedModule module;
  ASSERT_TRUE(module.Load());

  EXPECT_EQ(module.m.FsRenMovFileW(H("\\Old").data(), H("\\New name").data(), 0, 0, nullptr), kFileOk);
  EXPECT_EQ(ReadTextFile(path + u".bak"), before);
  const json saved = json::parse(ReadTextFile(path));
  ASSERT_EQ(saved["entries"].size(), 1u);
  EXPECT_EQ(saved["entries"][0]["display_name"], "New name");
  EXPECT_EQ(saved["entries"][0]["org"], "acme");
  EXPECT_EQ(saved["entries"][0]["limit_count"], 50);

  // A fresh load (a restart) lists the renamed entry.
  ASSERT_TRUE(module.Load());
  std::vector<ListedRecord> records;
  ASSERT_TRUE(ListThroughModule(module.m, "\\", &records));
  EXPECT_EQ(EntryNames(records), std::vector<std::string>{"New name"});
}

TEST(ModuleFavorites, UnreadableFileIsKeptBeforeTheSavesReplaceIt) {
  const std::u16string config = ResetConfigFolder();
  const std::u16string path = JoinFsPath(config, u"favorites.json");
  const std::string user_bytes = R"({"entries": [{"display_name": "Mine", "org": "me"}], "cache_ttl_hours": "48"})";
  WriteTextFile(path, user_bytes);
  g_host.Clear();
  LoadedModule module;
  ASSERT_TRUE(module.Load());

  std::vector<ListedRecord> records;
  ASSERT_TRUE(ListThroughModule(module.m, "\\", &records));
  EXPECT_TRUE(EntryNames(records).empty());
  const std::vector<std::string> log = g_host.Log();
  ASSERT_EQ(log.size(), 2u);
  const std::string prefix = "Unreadable favorites.json kept as ";
  ASSERT_EQ(log[0].rfind(prefix, 0), 0u) << log[0];
  EXPECT_EQ(log[1], "Tarnfs plugin loaded");
  const std::u16string kept = Utf8ToWide(log[0].substr(prefix.size()));
  EXPECT_EQ(kept.rfind(path + u".unreadable-", 0), 0u);

  // Deleting a name that is no entry still saves: two saves rotate the ".bak" past the user's file.
  EXPECT_TRUE(module.m.FsDeleteFileW(H("\\Nothing").data()));
  EXPECT_TRUE(module.m.FsDeleteFileW(H("\\Nothing").data()));
  EXPECT_NE(ReadTextFile(path + u".bak"), user_bytes);
  EXPECT_EQ(ReadTextFile(kept), user_bytes);
  EXPECT_EQ(json::parse(ReadTextFile(path))["entries"], json::array());
}

}  // namespace
