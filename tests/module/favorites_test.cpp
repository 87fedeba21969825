// favorites.json as the loaded module sees it: a rename saved with a backup, and a file it cannot
// (fully) read kept through the saves that follow.
#include <gtest/gtest.h>

#include <tuple>

#include <nlohmann/json.hpp>

#include "core/text.h"
#include "support/test_env.h"

namespace {

TEST(ModuleFavorites, ARenameIsSavedWithTheOldFileAsBakAndNamelessEntriesAreDroppedQuietly) {
  const std::u16string path = JoinFsPath(ResetConfigFolder(), u"favorites.json");
  const std::string before = R"({"entries": [{"org": "x"}, {"display_name": "Old", "org": "acme"}]})";
  WriteTextFile(path, before);
  g_host.Clear();
  LoadedModule module;
  ASSERT_TRUE(module.Load());
  EXPECT_EQ(g_host.Log(), std::vector<std::string>{"Tarnfs plugin loaded"});
  EXPECT_EQ(module.m.FsRenMovFileW(H("\\Old").data(), H("\\New name").data(), 0, 0, nullptr), kFileOk);
  EXPECT_EQ(ReadTextFile(path + u".bak"), before);
  const nlohmann::json entries = nlohmann::json::parse(ReadTextFile(path))["entries"];
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0]["display_name"], "New name");
  EXPECT_EQ(entries[0]["org"], "acme");
}

TEST(ModuleFavorites, UnreadableFileIsKeptThroughTheSavesThatFollow) {
  // Pins: the saves after an unreadable load replaced the user's file and then rotated it out of the ".bak".
  const std::string file = "Unreadable favorites.json kept as ";
  const std::tuple<std::string, std::string, size_t> cases[] = {  // the user's bytes, log line, entries listed
      {R"({"entries": [ {"display_name": "Mine"} )", file, 0},  // cut short
      {R"([{"display_name": "Mine"}])", file, 0},
      {R"({"cache_ttl_hours": 48, "entries": {"display_name": "Mine"}})", file, 0},
      {R"({"entries": [{"display_name": "Mine"}, {"display_name": "Odd", "limit_count": "300"}, 7]})",
       "Unreadable entry in favorites.json, file kept as ", 2},
      {R"({"entries": [{"display_name": "Mine"}, {"display_name": ["Bad"]}]})",
       "Unreadable entry in favorites.json, file kept as ", 1},
  };
  for (const auto& [user_bytes, prefix, entries] : cases) {
    const std::u16string path = JoinFsPath(ResetConfigFolder(), u"favorites.json");
    WriteTextFile(path, user_bytes);
    g_host.Clear();
    LoadedModule module;
    ASSERT_TRUE(module.Load());
    std::vector<ListedRecord> records;
    ASSERT_TRUE(ListThroughModule(module.m, "\\", &records));
    EXPECT_EQ(records.size(), 3 + entries) << user_bytes;  // the three fixed records, then the entries
    const std::vector<std::string> log = g_host.Log();
    ASSERT_EQ(log.size(), 2u) << user_bytes;  // then "Tarnfs plugin loaded"
    ASSERT_EQ(log[0].rfind(prefix + WideToUtf8(path) + ".unreadable-", 0), 0u) << log[0];
    // Making a folder at the root opens the add dialog (cancelled: no display, or no answer) and saves:
    // two saves rotate the ".bak" past the user's file.
    for (int save = 0; save < 2; ++save) EXPECT_TRUE(module.m.FsMkDirW(H("\\New").data()));
    EXPECT_EQ(ReadTextFile(Utf8ToWide(log[0].substr(prefix.size()))), user_bytes);
  }
}

// Fault: the settings command saved favorites.json after any close, so Cancel rewrote it (a new
// protection of the key, the typed fields if any were applied).
TEST(ModuleFavorites, SettingsCancelledLeavesTheFileAsItWas) {
  const std::u16string path = JoinFsPath(ResetConfigFolder(), u"favorites.json");
  // Written by hand, so that any save shows (a save reformats it); a closed port keeps it off the network.
  const std::string before =
      R"({"hub_url": "http://127.0.0.1:9/", "api_key": "hf_plain", "cache_ttl_hours": 7, "entries": []})";
  WriteTextFile(path, before);
  LoadedModule module;
  ASSERT_TRUE(module.Load());
  g_host.Clear();  // no answer typed: the settings box (or, without a display, the dialog) is cancelled
  for (const auto& [remote, verb] : {std::pair<std::string, std::string>{"\\[Settings]", "open"},
                                     {"\\Nobody", "properties"}}) {
    std::basic_string<HostChar> buffer = H(remote), v = H(verb);
    buffer.resize(260, 0);
    EXPECT_EQ(module.m.FsExecuteFileW(nullptr, buffer.data(), v.data()), -2) << remote;
    EXPECT_EQ(ReadTextFile(path), before) << remote;
  }
  EXPECT_FALSE(FileExists(path + u".bak"));
}

}  // namespace
