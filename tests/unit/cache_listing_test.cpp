// The listing cache on disk: file names, load defaults, freshness by the file's time and the deletion
// of an owner's collection items. The writer's form and failures: config_favorites_test (the same
// writer); a save read back through the module: tests/browse/guard_cache_test.cpp.
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
      {OrgReposCacheName("acme", ModelRepo), "org_models_acme"}, {OrgReposCacheName("acme", DatasetRepo), "org_datasets_acme"},
      {OrgReposCacheName("acme", SpaceRepo), "org_spaces_acme"},
      {OrgCollectionsCacheName("a:b|c"), "org_collections_a_b_c"},
      {CollectionItemsCacheName("owner/picks-0123"), "collection_items_owner_picks-0123"}};
  for (const auto& [name, expected] : cases) EXPECT_EQ(name, expected);
}

TEST_F(ListingCache, MembersOfTheWrongTypeOrRangeLoadTheirDefaultsAndOnlyANonObjectIsAbsent) {
  OrgReposCache absent;
  EXPECT_FALSE(LoadFreshOrgReposCache("acme", ModelRepo, &absent));
  EXPECT_EQ(absent.page_size, 300);
  WriteTextFile(CacheFilePath("org_models_o"), R"({"fetched_at": "x", "page_size": 1.5, "has_more": 1,
      "models": [{"repo_id": "o/a", "last_modified": 1e300}, {"name": 7, "last_modified": 18446744073709551615},
      {"last_modified": 2048.0}, 5]})");
  OrgReposCache repos;
  ASSERT_TRUE(LoadFreshOrgReposCache("o", ModelRepo, &repos));
  EXPECT_EQ(repos.org, "o");
  EXPECT_EQ(std::tie(repos.fetched_at, repos.page_size, repos.has_more), std::make_tuple(int64_t{0}, 0, true));
  using Model = std::tuple<std::string, std::string, int64_t>;  // name, id, time
  std::vector<Model> models;
  for (const RepoInfo& m : repos.models) models.emplace_back(m.name, m.repo_id, m.last_modified);
  EXPECT_EQ(models, (std::vector<Model>{{"", "o/a", 0}, {"", "", 0}, {"", "", 2048}, {"", "", 0}}));
  WriteTextFile(CacheFilePath("collection_items_o_c"), R"({"model_ids": ["a/b", 7, null, "c/d"]})");
  CollectionItemsCache items;
  ASSERT_TRUE(LoadFreshCollectionItemsCache("o/c", &items));
  EXPECT_EQ(items.model_ids, (std::vector<std::string>{"a/b", "c/d"}));
  for (const char* text : {"[1, 2]", "{\"models\": [", ""}) {
    WriteTextFile(CacheFilePath("org_models_o"), text);
    EXPECT_FALSE(LoadFreshOrgReposCache("o", ModelRepo, &repos)) << text;
  }
}

// A Space's SDK is kept with its listing and read back at any age (the properties command takes it from
// there); a model's entry carries no "sdk" member, so the files of models keep the bytes they had.
TEST_F(ListingCache, SpacesKeepTheirSdkAtAnyAgeAndModelsWriteNone) {
  OrgReposCache record;
  record.org = "o";
  record.repo_type = SpaceRepo;
  record.models = {{"chat", "o/chat", 5, "gradio"}, {"plain", "o/plain", 6, ""}};
  SaveOrgReposCache(record);
  record.repo_type = ModelRepo;
  record.models = {{"m", "o/m", 7, ""}};
  SaveOrgReposCache(record);
  EXPECT_EQ(ReadTextFile(CacheFilePath("org_models_o")).find("sdk"), std::string::npos);
  fs::last_write_time(FsPath(CacheFilePath("org_spaces_o")), fs::file_time_type::clock::now() - std::chrono::hours(48));
  OrgReposCache loaded;
  EXPECT_FALSE(LoadFreshOrgReposCache("o", SpaceRepo, &loaded));
  ASSERT_TRUE(LoadOrgReposCacheOfAnyAge("o", SpaceRepo, &loaded));
  std::vector<std::pair<std::string, std::string>> sdks;
  for (const RepoInfo& space : loaded.models) sdks.emplace_back(space.repo_id, space.sdk);
  EXPECT_EQ(sdks, (std::vector<std::pair<std::string, std::string>>{{"o/chat", "gradio"}, {"o/plain", ""}}));
  EXPECT_EQ(loaded.repo_type, SpaceRepo);
}

TEST_F(ListingCache, FreshnessFollowsTheFileTimeAndTheTimeToLive) {
  using std::chrono::hours, std::chrono::minutes, std::chrono::seconds;
  SaveCollectionItemsCache({"o/c"});
  // A file from "the future" (the clock moved back) is not fresh; a negative TTL is a hand-edited file.
  const std::tuple<seconds, int32_t, bool> cases[] = {{hours(23) + minutes(59), 24, true}, {hours(24), 24, false},
                                                      {-hours(1), 24, false}, {minutes(1), 0, false},
                                                      {minutes(1), -5, false},
                                                      // Overflowed (undefined) from about 2.5 million hours.
                                                      {hours(1000), 2147483647, true}, {minutes(1), 2600000, true}};
  for (const auto& [age, ttl, fresh] : cases) {
    g_state.cache_ttl_hours = ttl;
    fs::last_write_time(FsPath(CacheFilePath("collection_items_o_c")), fs::file_time_type::clock::now() - age);
    CollectionItemsCache record;
    EXPECT_EQ(LoadFreshCollectionItemsCache("o/c", &record), fresh) << age.count() << " s old, TTL " << ttl;
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
