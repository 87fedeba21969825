// The listing cache on disk: file names, the saved form, load defaults, freshness by the file's time
// and the deletion of an owner's collection items (the writer's failures: config_favorites_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "cache/listing_cache.h"
#include "core/state.h"
#include "core/text.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

class ListingCache : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLinkedState(MakeTempFolder("cache"));  // a TTL of 24 h
    fs::create_directories(FsPath(g_state.cache_folder));
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(FsPath(g_state.cache_folder))) {
      names.push_back(WideToUtf8(item.path().filename().u16string()));
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST(CacheNames, KindPrefixesAndSanitisedIds) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {OrgReposCacheName("acme", 0), "org_models_acme"},    {OrgReposCacheName("acme", 1), "org_datasets_acme"},
      {TreeCacheName("owner/model", 0), "tree_owner_model"}, {TreeCacheName("owner/model", 1), "tree_ds_owner_model"},
      {OrgCollectionsCacheName("a:b|c"), "org_collections_a_b_c"},
      {CollectionItemsCacheName("owner/picks-0123"), "collection_items_owner_picks-0123"}};
  for (const auto& [name, expected] : cases) EXPECT_EQ(name, expected);
}

TEST_F(ListingCache, ASaveWritesPrettySortedRawUtf8) {
  SaveCollectionItemsCache({"o/caf\xc3\xa9", 12, {"o/\xc3\xa9t\xc3\xa9"}});
#if defined(_WIN32)
  const std::string nl = "\r\n";
#else
  const std::string nl = "\n";
#endif
  EXPECT_EQ(ReadTextFile(CacheFilePath(CollectionItemsCacheName("o/caf\xc3\xa9"))),
            "{" + nl + "  \"fetched_at\": 12," + nl + "  \"model_ids\": [" + nl + "    \"o/\xc3\xa9t\xc3\xa9\"" + nl +
                "  ]," + nl + "  \"slug\": \"o/caf\xc3\xa9\"," + nl + "  \"type\": \"collection-items\"" + nl + "}");
}

TEST_F(ListingCache, MembersOfTheWrongTypeOrRangeLoadTheirDefaultsAndOnlyANonObjectIsAbsent) {
  OrgReposCache absent;
  EXPECT_FALSE(LoadFreshOrgReposCache("acme", 0, &absent));
  EXPECT_EQ(absent.page_size, 300);
  WriteTextFile(CacheFilePath("tree_o_m"), R"({"fetched_at": "x", "files": [{"path": "a.txt", "size": 1.5},
      {"type": 7, "path": "b", "size": 1e300, "mtime": 18446744073709551615}, {"size": 2048.0}, 5]})");
  TreeCache tree;
  ASSERT_TRUE(LoadFreshTreeCache("o/m", 0, &tree));
  EXPECT_EQ(tree.repo_id, "o/m");
  const std::vector<TreeItem> expected = {
      {"file", "a.txt", 0, 0}, {"file", "b", 0, 0}, {"file", "", 2048, 0}, {"file", "", 0, 0}};
  ASSERT_EQ(tree.files.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(std::tie(tree.files[i].type, tree.files[i].path, tree.files[i].size, tree.files[i].mtime),
              std::tie(expected[i].type, expected[i].path, expected[i].size, expected[i].mtime)) << i;
  }
  WriteTextFile(CacheFilePath("collection_items_o_c"), R"({"model_ids": ["a/b", 7, null, "c/d"]})");
  CollectionItemsCache items;
  ASSERT_TRUE(LoadFreshCollectionItemsCache("o/c", &items));
  EXPECT_EQ(items.model_ids, (std::vector<std::string>{"a/b", "c/d"}));
  for (const char* text : {"[1, 2]", "{\"files\": [", ""}) {
    WriteTextFile(CacheFilePath("tree_o_m"), text);
    EXPECT_FALSE(LoadFreshTreeCache("o/m", 0, &tree)) << text;
  }
}

TEST_F(ListingCache, FreshnessFollowsTheFileTimeAndTheTimeToLive) {
  using std::chrono::hours, std::chrono::minutes, std::chrono::seconds;
  SaveTreeCache({"o/m"});
  // A file from "the future" (the clock moved back) is not fresh; a negative TTL is a hand-edited file.
  const std::tuple<seconds, int32_t, bool> cases[] = {{hours(23) + minutes(59), 24, true}, {hours(24), 24, false},
                                                      {-hours(1), 24, false}, {minutes(1), 0, false},
                                                      {minutes(1), -5, false},
                                                      // Overflowed (undefined) from about 2.5 million hours.
                                                      {hours(1000), 2147483647, true}, {minutes(1), 2600000, true}};
  for (const auto& [age, ttl, fresh] : cases) {
    g_state.cache_ttl_hours = ttl;
    fs::last_write_time(FsPath(CacheFilePath("tree_o_m")), fs::file_time_type::clock::now() - age);
    TreeCache record;
    EXPECT_EQ(LoadFreshTreeCache("o/m", 0, &record), fresh) << age.count() << " s old, TTL " << ttl;
  }
}

TEST_F(ListingCache, DeletingAnOwnersCollectionItemsTakesOnlyItemsFiles) {
  for (const char* name : {"org_collections_abc.json", "collection_items_abc_one.json",
                           "collection_items_abc_x_two.json", "collection_items_abcd_three.json",
                           "collection_items_other_abc.json", "collection_items_abc_.txt"}) {
    WriteTextFile(JoinFsPath(g_state.cache_folder, Utf8ToWide(name)), "{}");
  }
  fs::create_directories(FsPath(JoinFsPath(g_state.cache_folder, u"collection_items_abc_dir.json")));
  DeleteOwnerCollectionItems("abc");  // owner abc_x's files share the pattern and go too
  EXPECT_EQ(Names(), (std::vector<std::string>{"collection_items_abc_.txt", "collection_items_abc_dir.json",
                                               "collection_items_abcd_three.json", "collection_items_other_abc.json",
                                               "org_collections_abc.json"}));
}

}  // namespace
