// The API operations against the fake hub: URLs as sent, paging and page limits, parsing of the
// hub's shapes, and the statuses of refused and missing repositories.
#include <gtest/gtest.h>

#include <algorithm>

#include "hub/api.h"
#include "plugin/state.h"
#include "support/fakehub_client.h"

namespace {

class HubOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(HubUrl().empty()) << "run through tools/fakehub/run_with_hub.py";
    UseFakeHub();
    ResetHubLog();
  }
  void TearDown() override { UseFakeHub(); }
  // Every request of this test carries the fault prefix, next-page links included.
  static void WithFault(const std::string& mode) {
    StateLock guard(g_state.lock);
    g_state.hub_site_url = HubUrl() + "__fault/" + mode + "/";
  }
  static std::vector<std::string> Paths() {
    std::vector<std::string> paths;
    for (const LoggedRequest& r : FetchHubLog()) paths.push_back(r.path);
    return paths;
  }
};

std::vector<std::string> Ids(const std::vector<RepoInfo>& items) {
  std::vector<std::string> ids;
  for (const RepoInfo& i : items) ids.push_back(i.repo_id);
  return ids;
}

const TreeItem* Find(const std::vector<TreeItem>& items, const std::string& path) {
  for (const TreeItem& i : items) {
    if (i.path == path) return &i;
  }
  return nullptr;
}

}  // namespace

// Fault: model listings came without dates, because the hub only sends lastModified when asked.
TEST_F(HubOperations, ModelListingsCarryTheirDates) {
  const RepoPage page = ListReposPage("big-org", "", 10, 0);
  ASSERT_EQ(page.items.size(), 10u);
  EXPECT_EQ(page.items[0].repo_id, "big-org/model-0000");
  EXPECT_EQ(page.items[0].name, "model-0000");
  EXPECT_EQ(page.items[0].last_modified, 1751284800);
  EXPECT_EQ(page.items[9].last_modified, 1751284800 - 9 * 3600);
  EXPECT_EQ(Paths(), (std::vector<std::string>{
                         "/api/models?author=big-org&limit=10&sort=lastModified&expand=lastModified"}));
}

TEST_F(HubOperations, ListingParsingRules) {
  const RepoPage models = ListReposPage("quirks-org", "", 20, 0);
  EXPECT_EQ(Ids(models.items),
            (std::vector<std::string>{"quirks-org/alpha", "quirks-org/only-modelid", "quirks-org/dup",
                                      "quirks-org/both-ids", "no-slash-id", "quirks-org/dup", "quirks-org/date-only",
                                      "quirks-org/no-date", "quirks-org/bad-date", "quirks-org/omega"}));
  EXPECT_EQ(models.items[0].last_modified, 1746835200);
  EXPECT_EQ(models.items[4].name, "no-slash-id");
  for (size_t i = 6; i <= 8; ++i) EXPECT_EQ(models.items[i].last_modified, 0) << models.items[i].repo_id;
  EXPECT_TRUE(models.next_url.empty());

  const RepoPage datasets = ListReposPage("quirks-org", "", 20, 1);
  EXPECT_EQ(Ids(datasets.items), (std::vector<std::string>{"quirks-org/ds-normal", "quirks-org/ds-dup",
                                                            "quirks-org/ds-dup", "quirks-org/ds-last"}));
  EXPECT_NE(datasets.items[0].last_modified, 0);
}

TEST_F(HubOperations, OwnerNamesArePercentEncoded) {
  EXPECT_EQ(Ids(ListReposPage("space owner", "", 5, 0).items), (std::vector<std::string>{"space owner/model one"}));
  EXPECT_EQ(Ids(ListReposPage("caf\xc3\xa9-org", "", 5, 0).items),
            (std::vector<std::string>{"caf\xc3\xa9-org/caf\xc3\xa9-model"}));
  const std::vector<std::string> paths = Paths();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[0], "/api/models?author=space%20owner&limit=5&sort=lastModified&expand=lastModified");
  EXPECT_EQ(paths[1], "/api/models?author=caf%C3%A9-org&limit=5&sort=lastModified&expand=lastModified");
}

TEST_F(HubOperations, ListAllReposPagesToTheEndOrTheMaximum) {
  const std::vector<RepoInfo> all = ListAllRepos("big-org", "", 0, 0);
  ASSERT_EQ(all.size(), 2345u);
  EXPECT_EQ(all.front().repo_id, "big-org/model-0000");
  EXPECT_EQ(all.back().repo_id, "big-org/model-2344");
  EXPECT_EQ(FetchHubLog().size(), 5u);

  ResetHubLog();
  const std::vector<RepoInfo> some = ListAllRepos("big-org", "", 700, 1);
  ASSERT_EQ(some.size(), 700u);
  EXPECT_EQ(some.back().repo_id, "big-org/data-0699");
  const std::vector<std::string> paths = Paths();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[0], "/api/datasets?author=big-org&limit=500&sort=lastModified");
  EXPECT_NE(paths[1].find("&cursor="), std::string::npos);

  // A listing ending on a page boundary: the second page has no Link.
  ResetHubLog();
  EXPECT_EQ(ListAllRepos("boundary-org", "", 0, 0).size(), 1000u);
  EXPECT_EQ(FetchHubLog().size(), 2u);
}

TEST_F(HubOperations, AMalformedPageHasNoItemsButKeepsItsLink) {
  WithFault("malformed");
  const RepoPage page = ListReposPage("big-org", "", 10, 0);
  EXPECT_TRUE(page.items.empty());
  EXPECT_NE(page.next_url.find("cursor="), std::string::npos);
}

TEST_F(HubOperations, TreePagesAndFields) {
  uint32_t status = 0;
  const std::vector<TreeItem> tree = FetchRepoTree("files-org/basic", "", &status, 0);
  EXPECT_EQ(status, 200u);
  ASSERT_EQ(tree.size(), 16u);
  EXPECT_EQ(FetchHubLog().size(), 4u);
  const TreeItem* nested = Find(tree, "donn\xc3\xa9""es/r\xc3\xa9sum\xc3\xa9 \xc3\xa9t\xc3\xa9.txt");
  ASSERT_NE(nested, nullptr);
  EXPECT_EQ(nested->type, "file");
  EXPECT_EQ(nested->size, 10);
  const TreeItem* deep = Find(tree, "nested/a/b/deep.txt");
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(deep->mtime, 1737331200);
  const TreeItem* folder = Find(tree, "nested/a");
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(folder->type, "directory");
  EXPECT_EQ(folder->mtime, 1737331200);
  const TreeItem* big = Find(tree, "big.bin");
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->size, 3000000);

  ResetHubLog();
  EXPECT_EQ(FetchRepoTree("files-org/dataset-one", "", &status, 1).size(), 4u);
  EXPECT_EQ(Paths(), (std::vector<std::string>{
                         "/api/datasets/files-org/dataset-one/tree/main?recursive=true&expand=true"}));
}

TEST_F(HubOperations, TreeParsingRulesAndFolderTimes) {
  const std::vector<TreeItem> raw = FetchRepoTree("files-org/raw-tree", "", nullptr, 0);
  ASSERT_EQ(raw.size(), 7u);
  EXPECT_EQ(Find(raw, "no-type.txt")->type, "file");
  EXPECT_EQ(Find(raw, "no-size.txt")->size, 0);
  EXPECT_EQ(Find(raw, "commit-not-object.txt")->mtime, 0);
  EXPECT_EQ(Find(raw, "date-only.txt")->mtime, 0);
  EXPECT_EQ(Find(raw, "d")->mtime, 1714566896);
  EXPECT_EQ(Find(raw, "odd")->type, "unknown");

  const std::vector<TreeItem> times = FetchRepoTree("files-org/dir-times", "", nullptr, 0);
  ASSERT_NE(Find(times, "a"), nullptr);
  EXPECT_EQ(Find(times, "a")->mtime, 300);
  EXPECT_EQ(Find(times, "a/b")->mtime, 300);

  uint32_t status = 0;
  EXPECT_TRUE(FetchRepoTree("files-org/empty-repo", "", &status, 0).empty());
  EXPECT_EQ(status, 200u);
}

TEST_F(HubOperations, TreeStopsAfterTwoHundredPages) {
  uint32_t status = 0;
  EXPECT_EQ(FetchRepoTree("files-org/paged-tree", "", &status, 0).size(), 200u);
  EXPECT_EQ(status, 200u);
  EXPECT_EQ(FetchHubLog().size(), 200u);
}

TEST_F(HubOperations, TreeStatusesOfRefusedAndMissingRepositories) {
  struct Case {
    const char* repo;
    const char* key;
    uint32_t status;
  };
  const Case cases[] = {
      {"gated-org/gated-tree", "", 401},           {"gated-org/gated-tree", "hf_test_nogrant", 403},
      {"secret-org/private-model", "", 401},       {"secret-org/private-model", "hf_test_nogrant", 404},
      {"files-org/no-such-repo", "hf_test_good", 404}, {"files-org/disabled-model", "", 403},
  };
  for (const Case& c : cases) {
    uint32_t status = 0;
    EXPECT_TRUE(FetchRepoTree(c.repo, c.key, &status, 0).empty()) << c.repo;
    EXPECT_EQ(status, c.status) << c.repo << " " << c.key;
  }
  uint32_t status = 0;
  EXPECT_EQ(FetchRepoTree("gated-org/gated-tree", "hf_test_good", &status, 0).size(), 2u);
  EXPECT_EQ(status, 200u);
  // A renamed repository answers 307 with a relative Location: followed, same origin, key kept.
  ResetHubLog();
  EXPECT_EQ(FetchRepoTree("files-org/renamed-old", "hf_test_good", &status, 0).size(), 16u);
  const std::vector<LoggedRequest> log = FetchHubLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[1].Header("Authorization"), "Bearer hf_test_good");
}

TEST_F(HubOperations, ATreeWhoseLaterPageFailsIsEmptyWithStatus200) {
  WithFault("fail_page=2:500");
  uint32_t status = 0;
  EXPECT_TRUE(FetchRepoTree("files-org/basic", "", &status, 0).empty());
  EXPECT_EQ(status, 200u);
  EXPECT_EQ(FetchHubLog().size(), 2u);
}

TEST_F(HubOperations, OwnerCollectionsAcrossPages) {
  const std::vector<CollectionInfo> all = ListOwnerCollections("coll-org", "");
  ASSERT_EQ(all.size(), 6u);
  EXPECT_EQ(FetchHubLog().size(), 3u);
  EXPECT_EQ(all[0].slug, "coll-org/favourites-65f000000000000000000001");
  EXPECT_EQ(all[0].title, "Favourites");
  EXPECT_EQ(all[0].last_updated, 1748736000);
  EXPECT_EQ(all[0].model_ids, (std::vector<std::string>{"files-org/basic"}));  // the listing shows 4 items
  EXPECT_EQ(all[3].title, all[3].slug);
  EXPECT_EQ(all[4].last_updated, 0);
  EXPECT_EQ(all[5].model_ids, (std::vector<std::string>{"odd-org/nested-id", "odd-org/modelid-only"}));

  EXPECT_EQ(ListCollectionModels(all[0].slug, ""),
            (std::vector<std::string>{"files-org/basic", "big-org/model-0001", "gated-org/gated-model"}));
  EXPECT_TRUE(ListCollectionModels("coll-org/no-such-1", "").empty());
}

TEST_F(HubOperations, CollectionsStopAtFiftyPagesOrAtAFailingPage) {
  EXPECT_EQ(ListOwnerCollections("many-coll-org", "").size(), 50u);
  EXPECT_EQ(FetchHubLog().size(), 50u);

  ResetHubLog();
  WithFault("fail_page=2:429");
  const std::vector<CollectionInfo> first_page = ListOwnerCollections("coll-org", "");
  ASSERT_EQ(first_page.size(), 2u);
  EXPECT_EQ(first_page[1].slug, "coll-org/nested-pick-0123456789abcdef01234567");
}

TEST_F(HubOperations, CheckApiKeyAsksWhoami) {
  EXPECT_FALSE(CheckApiKey(""));
  EXPECT_TRUE(CheckApiKey("hf_test_good"));
  EXPECT_FALSE(CheckApiKey("hf_not_a_token"));
  const std::vector<LoggedRequest> log = FetchHubLog();
  ASSERT_EQ(log.size(), 3u);
  bool found = true;
  log[0].Header("Authorization", &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(log[1].path, "/api/whoami-v2");
  EXPECT_EQ(log[1].Header("Authorization"), "Bearer hf_test_good");
}
