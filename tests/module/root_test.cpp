// The root listing and the simple exports, driven through the loaded module as a host drives them.
#include <gtest/gtest.h>

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

TEST_F(RootTest, WithoutEntriesListsExactlyTheThreeFixedRecords) {
  ASSERT_TRUE(module_.Load());
  std::vector<ListedRecord> records;
  ASSERT_TRUE(ListThroughModule(module_.m, "\\", &records));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].name, "***_TEMPORARY_***");
  EXPECT_TRUE(records[0].folder);
  EXPECT_EQ(records[1].name, "[Add New Entry]");
  EXPECT_FALSE(records[1].folder);
  EXPECT_EQ(records[2].name, "[Settings]");
  EXPECT_FALSE(records[2].folder);
  for (const auto& r : records) EXPECT_EQ(r.write_time, 0u);
  EXPECT_TRUE(g_host.HasLogLine("Tarnfs plugin loaded"));
  EXPECT_TRUE(FileExists(JoinFsPath(config_, u"cache"))) << "start-up makes the cache folder";
}

TEST_F(RootTest, ListsEntriesInOrderWithTheirTimesAndCutsLongNames) {
  const std::string long_name(300, 'n');
  WriteFavorites(R"([
    {"display_name": "first", "created_at": 1704164645},
    {"display_name": "caf\u00e9", "cached_at": 1704164700, "created_at": 1704164645},
    {"display_name": ")" + long_name + R"("}])");
  ASSERT_TRUE(module_.Load());
  std::vector<ListedRecord> records;
  ASSERT_TRUE(ListThroughModule(module_.m, "\\", &records));
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[3].name, "first");
  EXPECT_TRUE(records[3].folder);
  EXPECT_EQ(records[3].write_time, 133486382450000000ULL);
  EXPECT_EQ(records[4].name, "caf\xc3\xa9");
  EXPECT_EQ(records[4].write_time, 133486382450000000ULL + 55 * 10000000ULL) << "cached_at wins";
  EXPECT_EQ(records[5].name, long_name.substr(0, 259));
  EXPECT_EQ(records[5].write_time, 0u);
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
  EXPECT_TRUE(g_host.HasLogLine("FindFirst empty: \\E\\sub"));
  EXPECT_TRUE(ListThroughModule(module_.m, "\\", &records)) << "the root is still listed";
  int active = 0;
  for (const auto& l : g_host.Log()) active += l == "Delete suppression active";
  EXPECT_EQ(active, 2);

  module_.m.FsStatusInfoW(folder.data(), 1, 18);  // the end of either delete operation ends it
  EXPECT_TRUE(g_host.HasLogLine("Delete suppression ended"));
  g_host.Clear();
  EXPECT_FALSE(ListThroughModule(module_.m, "\\E\\sub", &records));
  EXPECT_FALSE(g_host.HasLogLine("Delete suppression: \\E\\sub"));
}

TEST_F(RootTest, SimpleExports) {
  ASSERT_TRUE(module_.Load(false));  // no callbacks: start-up still works
  char name[32];
  std::memset(name, 'x', sizeof(name));
  module_.m.FsGetDefRootName(name, 5);
  EXPECT_STREQ(name, "Hugg");
  EXPECT_EQ(name[5], 'x');
  std::memset(name, 'x', sizeof(name));
  module_.m.FsGetDefRootName(name, 1);
  EXPECT_EQ(name[0], '\0');
  EXPECT_EQ(name[1], 'x');
  std::memset(name, 'x', sizeof(name));
  module_.m.FsGetDefRootName(name, 0);
  EXPECT_EQ(name[0], 'x') << "size 0 writes nothing";
  module_.m.FsGetDefRootName(name, sizeof(name));
  EXPECT_STREQ(name, "HuggingFace");
  EXPECT_EQ(module_.m.FsGetBackgroundFlags(), 1);
  module_.m.FsSetDefaultParams(nullptr);
}
