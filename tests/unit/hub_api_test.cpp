// The API operations over scripted bodies: URLs, parsing rules and defaults, hostile shapes, paging.
#include <gtest/gtest.h>

#include "hub/api.h"
#include "hub_scripted_exchange.h"

namespace {
const std::string kApi = "https://hub.test/api";
}  // namespace

TEST(ListReposPage, BuildsTheListingUrl) {
  ScriptedHub hub;
  ListReposPage("my org/x", "", 0, 0);
  ListReposPage("org", "", 10000, 1);
  ListReposPage("org", "", 300, 7);
  EXPECT_EQ(hub.RequestedUrls(),
            (std::vector<std::string>{
                // Model listings must ask for lastModified: the hub leaves it out otherwise.
                "https://hub.test:443/api/models?author=my%20org%2Fx&limit=1&sort=lastModified&expand=lastModified",
                "https://hub.test:443/api/datasets?author=org&limit=500&sort=lastModified",
                "https://hub.test:443/api/models?author=org&limit=300&sort=lastModified&expand=lastModified"}));
}

TEST(ListReposPage, ReadsIdsNamesAndDates) {
  ScriptedHub hub;
  hub.Answer(kApi + "/datasets?author=o&limit=5&sort=lastModified",
             R"([{"id":"o/a","lastModified":"2024-01-02T03:04:05.000Z"},
                 {"modelId":"o/b"},
                 {"id":"o/c","modelId":"o/ignored"},
                 {"_id":"x"},
                 {"id":""},
                 {"id":"solo","lastModified":"2024-01-02"}])")
      .link = u"<https://hub.test/api/datasets?cursor=2>; rel=\"next\"";
  const RepoPage page = ListReposPage("o", "", 5, 1);
  ASSERT_EQ(page.items.size(), 4u);
  EXPECT_EQ(page.items[0].repo_id, "o/a");
  EXPECT_EQ(page.items[0].name, "a");
  EXPECT_EQ(page.items[0].last_modified, 1704164645);
  EXPECT_EQ(page.items[1].repo_id, "o/b");
  EXPECT_EQ(page.items[1].last_modified, 0);
  EXPECT_EQ(page.items[2].repo_id, "o/c");
  EXPECT_EQ(page.items[3].name, "solo");
  EXPECT_EQ(page.items[3].last_modified, 0);
  EXPECT_EQ(page.next_url, "https://hub.test/api/datasets?cursor=2");
}

TEST(ListReposPage, SkipsOnlyTheElementsOfUnexpectedShape) {
  ScriptedHub hub;
  hub.Answer(kApi + "/datasets?author=o&limit=5&sort=lastModified",
             R"([1, "o/str", null, [], {"id":5}, {"id":"o/nulldate","lastModified":null},
                 {"id":"o/good","lastModified":"2024-01-02T03:04:05Z"}, {"id":"o/numdate","lastModified":3}])");
  const RepoPage page = ListReposPage("o", "", 5, 1);
  ASSERT_EQ(page.items.size(), 1u);
  EXPECT_EQ(page.items[0].repo_id, "o/good");
}

TEST(ListReposPage, KeepsTheNextLinkOfAPageWithoutItems) {
  ScriptedHub hub;
  for (const char* body : {"", "not json", "{\"error\":\"Rate limited\"}", "[1,2", "// c\n[]"}) {
    hub.Answer(kApi + "/datasets?author=o&limit=5&sort=lastModified", body, 429).link = u"<n>; rel=next";
    const RepoPage page = ListReposPage("o", "", 5, 1);
    EXPECT_TRUE(page.items.empty()) << body;
    EXPECT_EQ(page.next_url, "n") << body;
  }
}

TEST(ListAllRepos, EndsAnEndlessChainAfterAThousandPages) {
  ScriptedHub hub;
  hub.Answer(kApi + "/datasets?author=o&limit=500&sort=lastModified", R"([{"id":"o/x"}])").link =
      u"<https://hub.test/api/loop>; rel=\"next\"";
  hub.Answer(kApi + "/loop", R"([{"id":"o/x"}])").link = u"<https://hub.test/api/loop>; rel=\"next\"";
  EXPECT_EQ(ListAllRepos("o", "", -1, 1).size(), 1000u);
  EXPECT_EQ(hub.requests.size(), 1000u);
}

TEST(FetchRepoTree, ReadsItemsWithDefaultsAcrossPages) {
  ScriptedHub hub;
  const std::string first = kApi + "/datasets/o/my%20set/tree/main?recursive=true&expand=true";
  hub.Answer(first, R"([{"type":"directory","path":"a"},
                        {"path":"a/x","size":5,"lastCommit":{"date":"2024-01-02T03:04:05.000Z"}},
                        {"type":"file","path":"odd","lastCommit":"2024-01-02T03:04:05.000Z"},
                        {"type":"file","path":"big","size":5000000000}])")
      .link = u"<https://hub.test/api/tree2>; rel=\"next\"";
  hub.Answer(kApi + "/tree2", R"([{"type":"file","path":"a/b/y","size":1,"lastCommit":{"date":null}},
                                   {"type":"directory","path":"a/b"}])");
  uint32_t status = 0;
  const std::vector<TreeItem> items = FetchRepoTree("o/my set", "k", &status, 1);
  EXPECT_EQ(status, 200u);
  ASSERT_EQ(items.size(), 5u);  // a/b/y has a null date: dropped
  EXPECT_EQ(items[0].type, "directory");
  EXPECT_EQ(items[0].mtime, 1704164645);  // from a/x
  EXPECT_EQ(items[1].type, "file");
  EXPECT_EQ(items[1].size, 5);
  EXPECT_EQ(items[2].mtime, 0);  // lastCommit that is not an object
  EXPECT_EQ(items[2].size, 0);
  EXPECT_EQ(items[3].size, 5000000000);
  EXPECT_EQ(items[4].path, "a/b");
  EXPECT_EQ(items[4].mtime, 0);
}

TEST(FetchRepoTree, ReportsTheFirstStatusAndDropsPartialTrees) {
  ScriptedHub hub;
  const std::string first = kApi + "/models/o/m/tree/main?recursive=true&expand=true";
  hub.Answer(first, "{\"error\":\"Access restricted\"}", 403);
  uint32_t status = 0;
  EXPECT_TRUE(FetchRepoTree("o/m", "", &status, 0).empty());
  EXPECT_EQ(status, 403u);

  hub.Answer(first, R"([{"path":"a"}])").link = u"<https://hub.test/api/t2>; rel=\"next\"";
  hub.Answer(kApi + "/t2", "oops", 500);
  status = 0;
  EXPECT_TRUE(FetchRepoTree("o/m", "", &status, 0).empty());
  EXPECT_EQ(status, 200u);

  // A body that is not an array ends the chain with what was gathered.
  hub.Answer(kApi + "/t2", "{}");
  EXPECT_EQ(FetchRepoTree("o/m", "", nullptr, 0).size(), 1u);

  hub.responses[ScriptedHub::Key(first)].no_response = true;
  status = 9;
  EXPECT_TRUE(FetchRepoTree("o/m", "", &status, 0).empty());
  EXPECT_EQ(status, 0u);
}

TEST(FillDirectoryTimes, GivesFoldersTheirLatestFileTime) {
  std::vector<TreeItem> items(6);
  items[0] = {"directory", "a", 0, 0};
  items[1] = {"directory", "a/b", 0, 0};
  items[2] = {"file", "a/x", 1, 100};
  items[3] = {"file", "a/b/y", 1, 300};
  items[4] = {"directory", "kept", 0, 50};
  items[5] = {"directory", "empty", 0, 0};
  items.push_back({"file", "kept/z", 1, 900});
  items.push_back({"unknown", "empty/w", 1, 700});
  FillDirectoryTimes(&items);
  EXPECT_EQ(items[0].mtime, 300);
  EXPECT_EQ(items[1].mtime, 300);
  EXPECT_EQ(items[4].mtime, 50);
  EXPECT_EQ(items[5].mtime, 0);
}

TEST(ListCollectionModels, AppliesTheItemRule) {
  ScriptedHub hub;
  hub.Answer(kApi + "/collections/o/picks-1", R"({"items":[
      {"type":"model","id":"o/m1"},
      {"itemType":"dataset","type":"model","id":"o/d1"},
      {"itemType":"model","modelId":"o/m2"},
      {"type":"model","item":{"id":"o/m3"}},
      {"type":"model","id":"","item":{"modelId":"o/m4"}},
      {"type":"paper","id":"2311.1"},
      {"type":"model","id":7},
      {"type":"model"},
      "o/str",
      {"type":"model","id":"o/m5","item":"x"}]})");
  EXPECT_EQ(ListCollectionModels("o/picks-1", ""),
            (std::vector<std::string>{"o/m1", "o/m2", "o/m3", "o/m4", "o/m5"}));
  hub.Answer(kApi + "/collections/o/arr", "[]");
  hub.Answer(kApi + "/collections/o/noitems", R"({"items":{}})");
  EXPECT_TRUE(ListCollectionModels("o/arr", "").empty());
  EXPECT_TRUE(ListCollectionModels("o/noitems", "").empty());
}

TEST(ListOwnerCollections, ReadsPagesUntilAFailureAndKeepsWhatCame) {
  ScriptedHub hub;
  hub.Answer(kApi + "/collections?owner=the%20org&limit=100",
             R"([{"slug":"o/a-1","title":"A","lastUpdated":"2024-01-02T03:04:05.000Z",
                  "items":[{"type":"model","id":"o/m"},{"type":"space","id":"o/s"}]},
                 {"slug":"o/b-2"},
                 {"title":"no slug"},
                 {"slug":3},
                 {"slug":"o/c-3","items":"none"}])")
      .link = u"<https://hub.test/api/c2>; rel=\"next\"";
  hub.Answer(kApi + "/c2", "[]", 429);
  const std::vector<CollectionInfo> all = ListOwnerCollections("the org", "");
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].title, "A");
  EXPECT_EQ(all[0].last_updated, 1704164645);
  EXPECT_EQ(all[0].model_ids, (std::vector<std::string>{"o/m"}));
  EXPECT_EQ(all[1].title, "o/b-2");
  EXPECT_EQ(all[2].slug, "");
  EXPECT_EQ(all[2].title, "no slug");
  EXPECT_TRUE(all[3].model_ids.empty());
  EXPECT_EQ(hub.requests.size(), 2u);
}

