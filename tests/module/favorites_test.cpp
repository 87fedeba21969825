// favorites.json as the loaded module sees it: a rename saved with a backup, and a file it cannot
// (fully) read kept through the saves that follow.
#include <gtest/gtest.h>

#include <cstdlib>
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
// protection of the key, the typed fields if any were applied). Every command that asks comes back as
// cancelled when nobody answers (on Windows: without a display, how every suite but the ui one runs),
// with its usual result and nothing changed.
TEST(ModuleFavorites, SettingsCancelledLeavesTheFileAsItWas) {
#if defined(_WIN32)
  if (std::getenv("DISPLAY")) GTEST_SKIP() << "a display is set; the ui suite covers the dialogs";
#endif
  const std::u16string path = JoinFsPath(ResetConfigFolder(), u"favorites.json");
  // Written by hand, so that any save shows (a save reformats it); a closed port keeps it off the network.
  const std::string before = R"({"hub_url": "http://127.0.0.1:9/", "api_key": "hf_plain", "cache_ttl_hours": 7, )"
                             R"("entries": [{"display_name": "E", "type": "org-models", "org": "o", "id": "e"}]})";
  WriteTextFile(path, before);
  LoadedModule module;
  ASSERT_TRUE(module.Load());
  g_host.Clear();  // no answer typed: every box (or, without a display, every dialog) is cancelled
  const auto execute = [&](const std::string& remote, const std::string& verb, const std::string& after) {
    std::basic_string<HostChar> buffer = H(remote), v = H(verb);
    buffer.resize(260, 0);
    const int32_t result = module.m.FsExecuteFileW(nullptr, buffer.data(), v.data());
    EXPECT_EQ(FromHostString(buffer.c_str()), after) << remote << " " << verb;
    return result;
  };
#if defined(_WIN32)
  const std::string root = "\\";  // where the host is sent back to
#else
  const std::string root = "/";
#endif
  const std::tuple<std::string, std::string, int32_t, std::string> cases[] = {  // path, verb; result, buffer
      {"\\[Settings]", "open", -2, root}, {"\\E", "properties", -2, root}, {"\\Nobody", "properties", -2, root},
      {"\\", "properties", 0, "\\"}};
  for (const auto& [remote, verb, result, after] : cases) {
    EXPECT_EQ(execute(remote, verb, after), result) << remote << " " << verb;
    EXPECT_EQ(ReadTextFile(path), before) << remote << " " << verb;
  }
  EXPECT_FALSE(FileExists(path + u".bak"));
  EXPECT_EQ(execute("\\[Add New Entry]", "OPEN", root), -2);  // these two may rewrite the file
  EXPECT_EQ(execute("\\E\\x", "edit", "\\E\\x"), 0);
  std::vector<ListedRecord> records;
  ListThroughModule(module.m, "\\***_TEMPORARY_***", &records);
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(module.m.FsMkDirW(H("\\New").data()), 1);
  EXPECT_EQ(module.m.FsMkDirW(H("\\E\\New").data()), 1);
  ASSERT_TRUE(ListThroughModule(module.m, "\\", &records));
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[3].name, "E");
}

}  // namespace
