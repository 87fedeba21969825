// The root listing and the simple exports, driven through the loaded module as a host drives them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "core/text.h"
#include "support/test_env.h"

namespace {

class RootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_host.Clear();
    config_ = ResetConfigFolder();
  }
  // Listings below an entry would ask a hub; a closed loopback port keeps these tests off the network.
  void WriteFavorites(const std::string& entries) {
    WriteTextFile(JoinFsPath(config_, u"favorites.json"),
                  R"({"hub_url": "http://127.0.0.1:9/", "entries": )" + entries + "}");
  }

  std::u16string config_;
  LoadedModule module_;
};

}  // namespace

TEST_F(RootTest, ListsTheFixedRecordsThenTheEntriesWithTheirTimesAndCutsLongNames) {
  const std::string long_name(300, 'n');
  WriteFavorites(R"([
    {"display_name": "first", "created_at": 1704164645},
    {"display_name": "caf\u00e9", "cached_at": 1704164700, "created_at": 1704164645},
    {"display_name": ")" + long_name + R"("}])");
  ASSERT_TRUE(module_.Load());
  std::vector<ListedRecord> records;
  ASSERT_TRUE(ListThroughModule(module_.m, "\\", &records));
  std::vector<std::string> got;
  for (const auto& r : records) got.push_back(r.name + (r.folder ? "/ " : " ") + std::to_string(r.write_time));
  EXPECT_EQ(got, (std::vector<std::string>{"***_TEMPORARY_***/ 0", "[Add New Entry] 0", "[Settings] 0",
                                           "first/ 133486382450000000", "caf\xc3\xa9/ 133486383000000000",  // cached_at wins
                                           long_name.substr(0, 259) + "/ 0"}));
  EXPECT_TRUE(g_host.HasLogLine("Tarnfs plugin loaded"));
  EXPECT_TRUE(FileExists(JoinFsPath(config_, u"cache"))) << "start-up makes the cache folder";
}

TEST_F(RootTest, NothingToListAnswersInvalidHandleWithNoMoreFiles) {
  ASSERT_TRUE(module_.Load());
  std::vector<ListedRecord> records;
  uint32_t error = 0;
  EXPECT_FALSE(ListThroughModule(module_.m, "\\Nobody", &records, &error));
#if defined(_WIN32)
  EXPECT_EQ(error, 18u);
#else
  EXPECT_EQ(error, static_cast<uint32_t>(ENOENT));
#endif
  EXPECT_TRUE(g_host.HasLogLine("FindFirst empty: \\Nobody"));
  HostFindData data;
  std::memset(&data, 0xAB, sizeof(data));
  auto path = H("\\Nobody\\deeper");
  EXPECT_EQ(module_.m.FsFindFirstW(path.data(), &data), TARN_INVALID_HANDLE);
  EXPECT_EQ(reinterpret_cast<unsigned char*>(&data)[0], 0xAB) << "the buffer is untouched";
  EXPECT_EQ(module_.m.FsFindNextW(nullptr, &data), 0);
}

TEST_F(RootTest, DeleteSuppressionRefusesEntryFoldersUntilTheEndNotice) {
  WriteFavorites(R"([{"display_name": "E", "type": "single-model", "repo_id": "o/m"}])");
  ASSERT_TRUE(module_.Load());
  auto folder = H("\\E");
  module_.m.FsStatusInfoW(folder.data(), 0, 3);  // not a delete: ignored entirely
  EXPECT_FALSE(g_host.HasLogLine("Delete suppression active"));
  module_.m.FsStatusInfoW(folder.data(), 0, 8);
  module_.m.FsStatusInfoW(folder.data(), 0, 8);
  std::vector<ListedRecord> records;
  EXPECT_FALSE(ListThroughModule(module_.m, "\\E\\sub", &records));
  EXPECT_TRUE(g_host.HasLogLine("Delete suppression: \\E\\sub"));
  EXPECT_TRUE(ListThroughModule(module_.m, "\\", &records)) << "the root is still listed";
  const std::vector<std::string> log = g_host.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Delete suppression active"), 2);
  module_.m.FsStatusInfoW(folder.data(), 1, 18);  // the end of either delete operation ends it
  EXPECT_TRUE(g_host.HasLogLine("Delete suppression ended"));
  g_host.Clear();
  EXPECT_FALSE(ListThroughModule(module_.m, "\\E\\sub", &records));
  EXPECT_FALSE(g_host.HasLogLine("Delete suppression: \\E\\sub"));
}

TEST_F(RootTest, TheRootNameFitsAnyBufferAndTheSimpleExportsNeedNoCallbacks) {
  ASSERT_TRUE(module_.Load(false));  // no callbacks: start-up still works
  const struct { int size; const char* written; } cases[] = {{0, ""}, {1, ""}, {5, "Hugg"}, {31, "HuggingFace"}};
  for (const auto& c : cases) {
    char name[32];
    std::memset(name, 'x', sizeof(name));
    module_.m.FsGetDefRootName(name, c.size);
    if (c.size) EXPECT_STREQ(name, c.written) << c.size;
    EXPECT_EQ(name[c.size], 'x') << c.size;  // nothing beyond the size; size 0 writes nothing at all
  }
  EXPECT_EQ(module_.m.FsGetBackgroundFlags(), kBackgroundDownload | kBackgroundUpload);  // copies out and in
  module_.m.FsSetDefaultParams(nullptr);
}
