// The API operations against the fake hub: URLs as sent, paging and page limits, parsing of the
// hub's shapes, and the statuses trees report.
#include <gtest/gtest.h>

#include "hub/api.h"
#include "support/fakehub_client.h"

namespace {

using HubOperations = FakeHubTest;
using Strings = std::vector<std::string>;

Strings Ids(const std::vector<RepoInfo>& items) {
  Strings ids;
  for (const RepoInfo& i : items) ids.push_back(i.repo_id);
  return ids;
}

std::map<std::string, TreeItem> ByPath(const std::vector<TreeItem>& items) {
  std::map<std::string, TreeItem> by_path;
  for (const TreeItem& i : items) by_path[i.path] = i;
  return by_path;
}

}  // namespace

// Fault: model listings came without dates, because the hub sends lastModified on models only when asked.
TEST_F(HubOperations, ModelListingsAskForTheirDates) {
  EXPECT_EQ(ListReposPage("big-org", "", 10, 0).items.at(9).last_modified, 1751284800 - 9 * 3600);
  EXPECT_EQ(Ids(ListReposPage("space owner", "", 0, 1).items), Strings{"space owner/data one"});
  EXPECT_EQ(ListReposPage("big-org", "", 10000, 0).items.size(), 500u);
  Strings paths;
  for (const LoggedRequest& r : FetchHubLog()) paths.push_back(r.path);
  EXPECT_EQ(paths, (Strings{"/api/models?author=big-org&limit=10&sort=lastModified&expand=lastModified",
                            "/api/datasets?author=space%20owner&limit=1&sort=lastModified",
                            "/api/models?author=big-org&limit=500&sort=lastModified&expand=lastModified"}));
  // ListAllRepos pages to the end, or to the maximum asked for (500 a page).
  EXPECT_EQ(ListAllRepos("big-org", "", 0, 0).size(), 2345u);
  ResetHubLog();
  const std::vector<RepoInfo> some = ListAllRepos("big-org", "", 700, 1);
  ASSERT_EQ(some.size(), 700u);
  EXPECT_EQ(some.back().repo_id, "big-org/data-0699");
  EXPECT_EQ(FetchHubLog().size(), 2u);
}

TEST_F(HubOperations, ListingParsingRules) {
  // modelId when there is no id, id over modelId, no id at all dropped, an id without "/" is the name.
  const RepoPage page = ListReposPage("quirks-org", "", 20, 0);
  ASSERT_EQ(Ids(page.items), (Strings{"quirks-org/alpha", "quirks-org/only-modelid", "quirks-org/dup",
                                      "quirks-org/both-ids", "no-slash-id", "quirks-org/dup", "quirks-org/date-only",
                                      "quirks-org/no-date", "quirks-org/bad-date", "quirks-org/omega"}));
  EXPECT_EQ(page.items[4].name, "no-slash-id");
  for (size_t i = 6; i <= 8; ++i) EXPECT_EQ(page.items[i].last_modified, 0) << page.items[i].repo_id;
}

TEST_F(HubOperations, TreeFieldsAndParsingRules) {
  std::map<std::string, TreeItem> tree = ByPath(FetchRepoTree("files-org/basic", "", nullptr, 0));
  EXPECT_EQ(tree.size(), 16u);  // on 4 pages
  EXPECT_EQ(tree.at("donn\xc3\xa9""es/r\xc3\xa9sum\xc3\xa9 \xc3\xa9t\xc3\xa9.txt").size, 10);
  EXPECT_EQ(tree.at("nested/a").mtime, 1737331200);
  // Shapes the hub does not send: no type is a file, no size is 0, a lastCommit that is not an object
  // or a date without a time is no time; a folder takes the time of the file below it.
  tree = ByPath(FetchRepoTree("files-org/raw-tree", "", nullptr, 0));
  EXPECT_EQ(tree.at("no-type.txt").type, "file");
  EXPECT_EQ(tree.at("no-size.txt").size, 0);
  EXPECT_EQ(tree.at("commit-not-object.txt").mtime, 0);
  EXPECT_EQ(tree.at("date-only.txt").mtime, 0);
  EXPECT_EQ(tree.at("d").mtime, 1714566896);
  EXPECT_EQ(tree.at("odd").type, "unknown");
}

// Fault: a tree whose later page failed came back as if whole, and was cached as complete.
TEST_F(HubOperations, OperationsReportTheirStatusAndWhetherEveryPageArrived) {
  const struct {
    const char *fault, *repo, *key;
    uint32_t is_dataset, status;
    size_t items;
    bool complete;
  } cases[] = {
      {"", "files-org/dataset-one", "", 1, 200, 4, true},
      {"", "files-org/paged-tree", "", 0, 200, 250, true},  // 250 pages of 1: no longer cut at 200
      {"", "gated-org/gated-tree", "hf_test_nogrant", 0, 403, 0, false},
      {"", "files-org/no-such-repo", "hf_test_good", 0, 404, 0, false},
      {"fail_page=2:500", "files-org/basic", "", 0, 500, 4, false},  // shown as far as it got
      {"status=429@3", "files-org/basic", "", 0, 429, 8, false},
      {"cut_at=100@2", "files-org/basic", "", 0, 200, 4, false},
      {"malformed@4", "files-org/basic", "", 0, 200, 12, false},
      {"redirect_loop", "files-org/basic", "", 0, 0, 0, false},  // no response
  };
  for (const auto& c : cases) {
    WithFault(c.fault);
    FetchOutcome outcome{9, !c.complete};
    EXPECT_EQ(FetchRepoTree(c.repo, c.key, &outcome, c.is_dataset).size(), c.items) << c.repo << " " << c.fault;
    EXPECT_EQ(outcome.status, c.status) << c.repo << " " << c.fault;
    EXPECT_EQ(outcome.complete, c.complete) << c.repo << " " << c.fault;
  }
  for (const char* fault : {"status=503", "malformed", "cut_at=50"}) {
    WithFault(fault);
    FetchOutcome outcome{0, true};
    EXPECT_TRUE(ListOwnerCollections("coll-org", "", &outcome).empty()) << fault;
    EXPECT_FALSE(outcome.complete) << fault;
    EXPECT_FALSE(ListReposPage("big-org", "", 10, 0).outcome.complete) << fault;
    ListAllRepos("big-org", "", 0, 0, &outcome);
    EXPECT_FALSE(outcome.complete) << fault;
  }
}

// A repository folder by itself: its own items only, every page, and 404 for a folder the hub does not
// have; the first page of the recursive listing with dates hands back its next link.
TEST_F(HubOperations, TreeFoldersByThemselves) {
  TreeQuery folder;
  folder.folder = "dir-001";
  TreePages pages = ListTree("scale-org/wide", "", 0, folder);
  EXPECT_TRUE(pages.outcome.complete);
  ASSERT_EQ(pages.items.size(), 1100u);  // on two pages of 1,000
  EXPECT_EQ(ByPath(pages.items).count("dir-001/file-1099.txt"), 1u);
  EXPECT_EQ(pages.items[0].mtime, 0);  // no dates asked for
  Strings paths;
  for (const LoggedRequest& r : FetchHubLog()) paths.push_back(r.path.substr(0, r.path.find("&cursor=")));
  EXPECT_EQ(paths, (Strings{"/api/models/scale-org/wide/tree/main/dir-001?limit=1000",
                            "/api/models/scale-org/wide/tree/main/dir-001?limit=1000"}));
  folder.folder = "no-such-folder";
  pages = ListTree("scale-org/wide", "", 0, folder);
  EXPECT_EQ(pages.outcome.status, 404u);
  EXPECT_FALSE(pages.outcome.complete);

  TreeQuery whole;
  whole.recursive = whole.expand = true;
  whole.limit = kTreeDatesPageLimit;
  whole.max_pages = 1;
  pages = ListTree("scale-org/dated", "", 0, whole);
  EXPECT_TRUE(pages.outcome.complete);
  EXPECT_EQ(pages.items.size(), 100u);
  EXPECT_NE(pages.next_url.find("/api/models/scale-org/dated/tree/main?recursive=true&expand=true&limit=100&cursor="),
            std::string::npos);
  EXPECT_EQ(ByPath(pages.items).at("many/f-002.txt").mtime, 1704067200 + 2 * 86400);
}

// A failing page ends them too: see the status table above.
TEST_F(HubOperations, OwnerCollectionsAcrossPagesUpToFifty) {
  const std::vector<CollectionInfo> all = ListOwnerCollections("coll-org", "");
  ASSERT_EQ(all.size(), 6u);  // on 3 pages
  EXPECT_EQ(all[0].title, "Favourites");
  EXPECT_EQ(all[0].last_updated, 1748736000);
  EXPECT_EQ(all[0].model_ids, Strings{"files-org/basic"});  // the listing shows the first 4 items
  EXPECT_EQ(all[3].title, all[3].slug);
  EXPECT_EQ(all[4].last_updated, 0);
  // A nested "item" and "modelId" give the id, "itemType" wins over "type", no id is no model.
  EXPECT_EQ(all[5].model_ids, (Strings{"odd-org/nested-id", "odd-org/modelid-only"}));
  EXPECT_EQ(ListCollectionModels(all[0].slug, ""),
            (Strings{"files-org/basic", "big-org/model-0001", "gated-org/gated-model"}));
  ResetHubLog();
  EXPECT_EQ(ListOwnerCollections("many-coll-org", "").size(), 50u);
  EXPECT_EQ(FetchHubLog().size(), 50u);
}

TEST_F(HubOperations, CheckApiKeyAsksWhoami) {
  EXPECT_FALSE(CheckApiKey(""));
  EXPECT_TRUE(CheckApiKey("hf_test_good"));
  EXPECT_FALSE(CheckApiKey("hf_not_a_token"));
}
