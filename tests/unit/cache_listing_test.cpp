// The listing cache on disk: file names, the four record forms, load defaults, freshness by the
// file's time, the writer's temporary files, damaged files and the per-entry deletions.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cache/listing_cache.h"
#include "plugin/state.h"
#include "plugin/text.h"
#include "support/test_env.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

#if defined(_WIN32)
const char kLineBreak[] = "\r\n";
#else
const char kLineBreak[] = "\n";
#endif

class ListingCache : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder("cache");
    StateLock guard(g_state.lock);
    saved_folder_ = g_state.cache_folder;
    saved_ttl_ = g_state.cache_ttl_hours;
    g_state.cache_folder = folder_;
    g_state.cache_ttl_hours = 24;
  }
  void TearDown() override {
    StateLock guard(g_state.lock);
    g_state.cache_folder = saved_folder_;
    g_state.cache_ttl_hours = saved_ttl_;
  }

  void WriteFile(const std::string& name, const std::string& text) {
    WriteTextFile(JoinFsPath(folder_, Utf8ToWide(name)), text);
  }
  void Age(const std::string& cache_name, std::chrono::seconds age) {
    fs::last_write_time(FsPath(CacheFilePath(cache_name)), fs::file_time_type::clock::now() - age);
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(FsPath(folder_))) {
      names.push_back(WideToUtf8(item.path().filename().u16string()));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::u16string folder_;
  std::u16string saved_folder_;
  int32_t saved_ttl_ = 24;
};

TEST_F(ListingCache, NamesFollowTheKindAndSanitizeIds) {
  EXPECT_EQ(OrgReposCacheName("acme", 0), "org_models_acme");
  EXPECT_EQ(OrgReposCacheName("acme", 1), "org_datasets_acme");
  EXPECT_EQ(TreeCacheName("owner/model", 0), "tree_owner_model");
  EXPECT_EQ(TreeCacheName("owner/model", 1), "tree_ds_owner_model");
  EXPECT_EQ(OrgCollectionsCacheName("a:b|c"), "org_collections_a_b_c");
  EXPECT_EQ(CollectionItemsCacheName("owner/picks-0123"), "collection_items_owner_picks-0123");
  // Documented collisions: both pairs share one file.
  EXPECT_EQ(OrgReposCacheName("a:b", 0), OrgReposCacheName("a|b", 0));
  EXPECT_EQ(TreeCacheName("ds_x/y", 0), TreeCacheName("x/y", 1));
  EXPECT_EQ(CacheFilePath("tree_o_m"), JoinFsPath(folder_, u"tree_o_m.json"));
}

TEST_F(ListingCache, LoadsWithoutAFileGiveTheEmptyRecordsWithTheirIdentity) {
  const OrgReposCache repos = LoadOrgReposCache("acme", 1);
  EXPECT_EQ(repos.org, "acme");
  EXPECT_EQ(repos.is_dataset, 1u);
  EXPECT_EQ(repos.page_size, 300);
  EXPECT_EQ(repos.pages_loaded, 0);
  EXPECT_TRUE(repos.has_more);
  EXPECT_EQ(repos.fetched_at, 0);
  EXPECT_TRUE(repos.next_url.empty());
  EXPECT_TRUE(repos.models.empty());
  EXPECT_EQ(LoadTreeCache("o/m", 0).repo_id, "o/m");
  EXPECT_TRUE(LoadTreeCache("o/m", 0).files.empty());
  EXPECT_EQ(LoadOrgCollectionsCache("acme").org, "acme");
  EXPECT_EQ(LoadCollectionItemsCache("acme/x").slug, "acme/x");
  EXPECT_FALSE(IsOrgReposCacheFresh("acme", 1));
  EXPECT_FALSE(IsTreeCacheFresh("o/m", 0));
  EXPECT_FALSE(IsOrgCollectionsCacheFresh("acme"));
  EXPECT_FALSE(IsCollectionItemsCacheFresh("acme/x"));
}

TEST_F(ListingCache, MissingMembersTakeTheFileDefaults) {
  // Identity comes from the arguments, never from the file.
  WriteFile("org_models_acme.json", R"({"org": "someone-else", "models": [{}]})");
  const OrgReposCache repos = LoadOrgReposCache("acme", 0);
  EXPECT_EQ(repos.org, "acme");
  EXPECT_EQ(repos.page_size, 0);  // a file without "page_size" is not the fresh record's 300
  EXPECT_EQ(repos.pages_loaded, 0);
  EXPECT_TRUE(repos.has_more);
  ASSERT_EQ(repos.models.size(), 1u);  // an empty element is kept
  EXPECT_EQ(repos.models[0].repo_id, "");
  EXPECT_EQ(repos.models[0].last_modified, 0);

  WriteFile("tree_o_m.json", R"({"files": [{"path": "a.txt"}, {"type": "directory", "path": "d", "size": 3}]})");
  const TreeCache tree = LoadTreeCache("o/m", 0);
  ASSERT_EQ(tree.files.size(), 2u);
  EXPECT_EQ(tree.files[0].type, "file");
  EXPECT_EQ(tree.files[0].size, 0);
  EXPECT_EQ(tree.files[1].type, "directory");
  EXPECT_EQ(tree.files[1].size, 3);

  WriteFile("collection_items_o_c.json", R"({"fetched_at": 5, "model_ids": ["a/b", 7, null, "c/d"]})");
  const CollectionItemsCache items = LoadCollectionItemsCache("o/c");
  EXPECT_EQ(items.fetched_at, 5);
  EXPECT_EQ(items.model_ids, (std::vector<std::string>{"a/b", "c/d"}));

  WriteFile("org_collections_o.json", R"({"collections": [{"slug": "o/s"}]})");
  const OrgCollectionsCache colls = LoadOrgCollectionsCache("o");
  ASSERT_EQ(colls.collections.size(), 1u);
  EXPECT_EQ(colls.collections[0].slug, "o/s");
  EXPECT_EQ(colls.collections[0].title, "");
  EXPECT_TRUE(colls.collections[0].model_ids.empty());
}

TEST_F(ListingCache, RecordsSurviveASaveAndALoad) {
  OrgReposCache repos;
  repos.org = "acme";
  repos.is_dataset = 1;
  repos.fetched_at = 1700000000;
  repos.page_size = 10;
  repos.pages_loaded = 2;
  repos.has_more = true;
  repos.next_url = "http://hub/api/datasets?cursor=x";
  repos.models = {{"caf\xc3\xa9", "acme/caf\xc3\xa9", 1600000000}, {"b", "acme/b", 0}};
  SaveOrgReposCache(repos);
  const OrgReposCache back = LoadOrgReposCache("acme", 1);
  EXPECT_EQ(back.fetched_at, repos.fetched_at);
  EXPECT_EQ(back.page_size, 10);
  EXPECT_EQ(back.pages_loaded, 2);
  EXPECT_EQ(back.next_url, repos.next_url);
  ASSERT_EQ(back.models.size(), 2u);
  EXPECT_EQ(back.models[0].name, "caf\xc3\xa9");
  EXPECT_EQ(back.models[0].repo_id, "acme/caf\xc3\xa9");
  EXPECT_EQ(back.models[0].last_modified, 1600000000);
  EXPECT_FALSE(IsOrgReposCacheFresh("acme", 0));  // the dataset flag is part of the name
  EXPECT_TRUE(IsOrgReposCacheFresh("acme", 1));

  TreeCache tree;
  tree.repo_id = "o/m";
  tree.fetched_at = 42;
  tree.files = {{"directory", "d", 0, 9}, {"file", "d/x.bin", 5000000000LL, 8}};
  SaveTreeCache(tree);
  const TreeCache tree_back = LoadTreeCache("o/m", 0);
  ASSERT_EQ(tree_back.files.size(), 2u);
  EXPECT_EQ(tree_back.files[1].path, "d/x.bin");
  EXPECT_EQ(tree_back.files[1].size, 5000000000LL);
  EXPECT_EQ(tree_back.files[0].mtime, 9);

  OrgCollectionsCache colls;
  colls.org = "o";
  colls.fetched_at = 3;
  colls.collections = {{"o/s-1", "Title", 77, {"a/b", "c/d"}}};
  SaveOrgCollectionsCache(colls);
  const OrgCollectionsCache colls_back = LoadOrgCollectionsCache("o");
  ASSERT_EQ(colls_back.collections.size(), 1u);
  EXPECT_EQ(colls_back.collections[0].title, "Title");
  EXPECT_EQ(colls_back.collections[0].last_updated, 77);
  EXPECT_EQ(colls_back.collections[0].model_ids, (std::vector<std::string>{"a/b", "c/d"}));

  CollectionItemsCache items;
  items.slug = "o/s-1";
  items.fetched_at = 4;
  items.model_ids = {"x/y"};
  SaveCollectionItemsCache(items);
  EXPECT_EQ(LoadCollectionItemsCache("o/s-1").model_ids, items.model_ids);

  EXPECT_EQ(Names(), (std::vector<std::string>{"collection_items_o_s-1.json", "org_collections_o.json",
                                               "org_datasets_acme.json", "tree_o_m.json"}));
}

TEST_F(ListingCache, FilesArePrettySortedRawUtf8TextWithTheirKind) {
  CollectionItemsCache items;
  items.slug = "o/caf\xc3\xa9";
  items.fetched_at = 12;
  items.model_ids = {"o/\xc3\xa9t\xc3\xa9"};
  SaveCollectionItemsCache(items);
  const std::string text = ReadTextFile(CacheFilePath(CollectionItemsCacheName(items.slug)));
  const std::string nl = kLineBreak;
  EXPECT_EQ(text, "{" + nl + "  \"fetched_at\": 12," + nl + "  \"model_ids\": [" + nl + "    \"o/\xc3\xa9t\xc3\xa9\"" +
                      nl + "  ]," + nl + "  \"slug\": \"o/caf\xc3\xa9\"," + nl + "  \"type\": \"collection-items\"" +
                      nl + "}");

  OrgReposCache repos;
  repos.org = "acme";
  SaveOrgReposCache(repos);
  TreeCache tree;
  tree.repo_id = "o/m";
  SaveTreeCache(tree);
  OrgCollectionsCache colls;
  colls.org = "o";
  SaveOrgCollectionsCache(colls);
  EXPECT_EQ(ReadCacheJson("org_models_acme").value("type", ""), "org-models");
  EXPECT_EQ(ReadCacheJson("tree_o_m").value("type", ""), "model-tree");
  EXPECT_EQ(ReadCacheJson("org_collections_o").value("type", ""), "org-collections");
  EXPECT_EQ(ReadCacheJson("tree_o_m").value("repo_id", ""), "o/m");
}

TEST_F(ListingCache, FreshnessFollowsTheFileTimeAndTheTimeToLive) {
  TreeCache tree;
  tree.repo_id = "o/m";
  SaveTreeCache(tree);
  const std::string name = TreeCacheName("o/m", 0);
  using std::chrono::hours;
  using std::chrono::minutes;

  Age(name, hours(23) + minutes(59));
  EXPECT_TRUE(IsCacheFresh(name));
  EXPECT_TRUE(IsTreeCacheFresh("o/m", 0));
  Age(name, hours(24));
  EXPECT_FALSE(IsCacheFresh(name));
  EXPECT_FALSE(IsTreeCacheFresh("o/m", 0));
  Age(name, -hours(1));  // written "in the future": the clock moved back
  EXPECT_FALSE(IsCacheFresh(name));

  Age(name, minutes(1));
  EXPECT_TRUE(IsCacheFresh(name));
  {
    StateLock guard(g_state.lock);
    g_state.cache_ttl_hours = 0;
  }
  EXPECT_FALSE(IsCacheFresh(name));
  {
    StateLock guard(g_state.lock);
    g_state.cache_ttl_hours = -5;  // hand-edited configuration: treated like 0
  }
  EXPECT_FALSE(IsCacheFresh(name));
  {
    StateLock guard(g_state.lock);
    g_state.cache_ttl_hours = 1;
  }
  EXPECT_TRUE(IsCacheFresh(name));
  EXPECT_FALSE(IsCacheFresh("tree_no_such"));
}

// Regression: a fresh file that does not parse counted as fresh, so its folder stayed empty until
// the time-to-live ran out; now it counts as absent and the next listing fetches again.
TEST_F(ListingCache, DamagedFreshFilesCountAsAbsent) {
  WriteFile("org_models_acme.json", R"({"fetched_at": 1, "models": [)");
  WriteFile("tree_o_m.json", "");
  WriteFile("org_collections_o.json", "{\"collections\": [] ");
  WriteFile("collection_items_o_c.json", "not json");
  EXPECT_TRUE(IsCacheFresh("tree_o_m"));  // the time alone says fresh
  EXPECT_FALSE(IsOrgReposCacheFresh("acme", 0));
  EXPECT_FALSE(IsTreeCacheFresh("o/m", 0));
  EXPECT_FALSE(IsOrgCollectionsCacheFresh("o"));
  EXPECT_FALSE(IsCollectionItemsCacheFresh("o/c"));
  EXPECT_TRUE(ReadCacheJson("tree_o_m").is_null());
  EXPECT_EQ(LoadOrgReposCache("acme", 0).page_size, 300);  // the empty record
  TreeCache out;
  out.fetched_at = 99;
  EXPECT_FALSE(LoadFreshTreeCache("o/m", 0, &out));
  EXPECT_EQ(out.fetched_at, 99);  // untouched
}

TEST_F(ListingCache, FilesOfAnotherShapeLoadAsTheEmptyRecord) {
  WriteFile("org_models_acme.json", R"({"page_size": 10, "models": [{"name": 5}]})");
  WriteFile("tree_o_m.json", R"([1, 2, 3])");
  WriteFile("org_collections_o.json", R"({"collections": [{"slug": "o/s", "model_ids": ["a/b", 3]}]})");
  WriteFile("collection_items_o_c.json", R"({"model_ids": "a/b"})");
  WriteFile("tree_o_n.json", R"({"fetched_at": "yesterday", "files": []})");
  const OrgReposCache repos = LoadOrgReposCache("acme", 0);
  EXPECT_EQ(repos.page_size, 300);
  EXPECT_TRUE(repos.models.empty());
  EXPECT_TRUE(LoadTreeCache("o/m", 0).files.empty());
  EXPECT_TRUE(LoadOrgCollectionsCache("o").collections.empty());
  EXPECT_TRUE(LoadCollectionItemsCache("o/c").model_ids.empty());
  EXPECT_EQ(LoadTreeCache("o/n", 0).fetched_at, 0);
  // Unusable content is as good as none: fetch again.
  EXPECT_FALSE(IsOrgReposCacheFresh("acme", 0));
  EXPECT_FALSE(IsTreeCacheFresh("o/m", 0));
  EXPECT_FALSE(IsOrgCollectionsCacheFresh("o"));
  EXPECT_FALSE(IsCollectionItemsCacheFresh("o/c"));
}

TEST_F(ListingCache, AFailedMoveLeavesTheOldStateAndNoTemporaryFile) {
  // A folder standing at the final name makes the replacing move fail.
  fs::create_directories(FsPath(CacheFilePath("tree_o_m")));
  TreeCache tree;
  tree.repo_id = "o/m";
  tree.files = {{"file", "a", 1, 1}};
  SaveTreeCache(tree);
  EXPECT_EQ(Names(), (std::vector<std::string>{"tree_o_m.json"}));
  EXPECT_TRUE(fs::is_directory(FsPath(CacheFilePath("tree_o_m"))));
  EXPECT_FALSE(IsCacheFresh("tree_o_m"));  // a folder is no listing
  EXPECT_TRUE(ReadCacheJson("tree_o_m").is_null());
}

TEST_F(ListingCache, AMissingFolderSavesNothingAndLoadsEmpty) {
  {
    StateLock guard(g_state.lock);
    g_state.cache_folder = JoinFsPath(folder_, u"missing");
  }
  CollectionItemsCache items;
  items.slug = "o/c";
  items.model_ids = {"a/b"};
  SaveCollectionItemsCache(items);
  EXPECT_FALSE(IsCollectionItemsCacheFresh("o/c"));
  EXPECT_TRUE(LoadCollectionItemsCache("o/c").model_ids.empty());
  EXPECT_TRUE(Names().empty());
}

TEST_F(ListingCache, TwoThreadsSavingOneListingLeaveOneCompleteFile) {
  auto save = [](int64_t stamp) {
    for (int i = 0; i < 40; ++i) {
      TreeCache tree;
      tree.repo_id = "o/m";
      tree.fetched_at = stamp;
      for (int k = 0; k < 200; ++k) tree.files.push_back({"file", "f" + std::to_string(k), k, stamp});
      SaveTreeCache(tree);
    }
  };
  std::thread a(save, 1);
  std::thread b(save, 2);
  a.join();
  b.join();
  EXPECT_EQ(Names(), (std::vector<std::string>{"tree_o_m.json"}));
  const TreeCache back = LoadTreeCache("o/m", 0);
  ASSERT_EQ(back.files.size(), 200u);
  EXPECT_TRUE(back.fetched_at == 1 || back.fetched_at == 2);
  EXPECT_EQ(back.files[199].mtime, back.fetched_at);
}

TEST_F(ListingCache, DeletionsRemoveOnlyTheirFiles) {
  for (const char* name : {"org_models_abc.json", "org_datasets_abc.json", "tree_abc_m.json", "tree_ds_abc_m.json",
                           "org_collections_abc.json", "collection_items_abc_one.json",
                           "collection_items_abc_x_two.json", "collection_items_abcd_three.json",
                           "collection_items_other_abc.json", "collection_items_abc_.txt"}) {
    WriteFile(name, "{}");
  }
  fs::create_directories(FsPath(JoinFsPath(folder_, u"collection_items_abc_dir.json")));

  DeleteOrgReposCache("abc", 1);
  DeleteTreeCache("abc/m", 0);
  DeleteOrgCollectionsCache("abc");
  DeleteOwnerCollectionItems("abc");  // also takes owner abc_x's files: same pattern
  DeleteOrgReposCache("nobody", 0);   // nothing to remove is fine
  EXPECT_EQ(Names(), (std::vector<std::string>{"collection_items_abc_.txt", "collection_items_abc_dir.json",
                                               "collection_items_abcd_three.json", "collection_items_other_abc.json",
                                               "org_models_abc.json", "tree_ds_abc_m.json"}));
}

}  // namespace
