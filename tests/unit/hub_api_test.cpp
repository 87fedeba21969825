// The API operations on what the fake hub never sends: hostile element shapes, an endless chain of
// pages, and folder times.
#include <gtest/gtest.h>

#include "hub/api.h"
#include "hub_scripted_exchange.h"
#include "support/test_env.h"

TEST(ListReposPage, SkipsElementsWithoutAnIdAndReadsWrongTypesAsDefaults) {
  ScriptedHub hub;
  hub.Answer("https://hub.test:443/api/datasets?author=o&limit=5&sort=lastModified",
             R"([1, "o/str", null, [], {"id":5}, {"id":"o/nulldate","lastModified":null},
                 {"id":"o/good","lastModified":"2024-01-02T03:04:05Z"}, {"id":"o/numdate","lastModified":3}])");
  const RepoPage page = ListReposPage("o", "", 5, 1);
  ASSERT_EQ(page.items.size(), 3u);
  EXPECT_EQ(page.items[0].repo_id, "o/nulldate");
  EXPECT_EQ(page.items[0].last_modified, 0);
  EXPECT_EQ(page.items[1].repo_id, "o/good");
  EXPECT_EQ(page.items[1].last_modified, 1704164645);
  EXPECT_EQ(page.items[2].repo_id, "o/numdate");
}

TEST(ListAllRepos, EndsAnEndlessChainAfterAThousandPages) {
  ScriptedHub hub;
  for (const char* url : {"https://hub.test:443/api/datasets?author=o&limit=500&sort=lastModified",
                          "https://hub.test:443/api/loop"}) {
    hub.Answer(url, R"([{"id":"o/x"}])").head.link = u"<https://hub.test/api/loop>; rel=\"next\"";
  }
  EXPECT_EQ(ListAllRepos("o", "", -1, 1).size(), 1000u);
  EXPECT_EQ(hub.requests.size(), 1000u);
}

// Fault: a next-page link got the key whatever its origin, and a cached link was requested as it was.
TEST(Paging, ALinkOffTheHubsOriginEndsThePagingUnrequestedAndARelativeOneIsFollowed) {
  const std::string tree = "https://hub.test:443/api/models/o/m/tree/main?recursive=true&expand=true";
  for (const char* link : {"http://hub.test/api/p2", "https://hub.test:8443/api/p2", "https://evil.test/api/p2",
                           "https://hub.test.evil.test/api/p2", "/api/p2?cursor=x"}) {
    ScriptedHub hub;
    hub.Answer(tree, R"([{"path":"a"}])").head.link = Utf8ToWide(std::string("<") + link + ">; rel=\"next\"");
    hub.Answer("https://hub.test:443/api/p2?cursor=x", R"([{"path":"b"}])");
    const bool followed = link[0] == '/';  // taken from the page it came with
    FetchOutcome outcome;
    EXPECT_EQ(FetchRepoTree("o/m", "hf_secret", &outcome, 0).size(), followed ? 2u : 1u) << link;
    EXPECT_EQ(hub.requests.size(), followed ? 2u : 1u) << link;
    EXPECT_EQ(outcome.complete, followed) << link;
    if (followed) continue;
    const RepoPage cached_link = ListReposNextPage(link, "hf_secret");  // as read back from a cache file
    EXPECT_EQ(hub.requests.size(), 1u) << link;
    EXPECT_EQ(cached_link.outcome.status, 0u) << link;
  }
}

// Fault: bodies had no size limit, and sizes out of range reached a typed read with undefined behaviour.
TEST(HostileBodies, AreCutOffAndNumbersOutOfRangeReadAsNothing) {
  ScriptedHub hub;
  const std::string url = "https://hub.test:443/api/models/o/m/tree/main?recursive=true&expand=true";
  hub.Answer(url, R"([{"path":"neg","size":-5},{"path":"frac","size":1.5},{"path":"huge","size":1e300},
      {"path":"u64","size":18446744073709551615},{"path":"whole","size":300.0},{"path":"ok","size":7}])");
  FetchOutcome outcome;
  std::vector<int64_t> sizes;
  for (const TreeItem& item : FetchRepoTree("o/m", "", &outcome, 0)) sizes.push_back(item.size);
  EXPECT_TRUE(outcome.complete);
  EXPECT_EQ(sizes, (std::vector<int64_t>{0, 0, 0, 0, 300, 7}));

  const std::string element = R"({"path":"p"},)";
  std::string many = "[";
  for (size_t n = 0; n < 130000; ++n) many += element;  // 260,000 values in a 2 MB body
  many.back() = ']';
  hub.Answer(url, many);
  EXPECT_TRUE(FetchRepoTree("o/m", "", &outcome, 0).empty());
  EXPECT_EQ(outcome.status, 200u);
  EXPECT_FALSE(outcome.complete);

  ScriptedResponse& big = hub.Answer(url, "");
  big.chunks.assign(17, std::string(1u << 20, ' '));  // more than 16 MiB of white space
  big.chunks.front()[0] = '[';
  EXPECT_TRUE(FetchRepoTree("o/m", "", &outcome, 0).empty());
  EXPECT_FALSE(outcome.complete);
}

TEST(FillDirectoryTimes, GivesAFolderWithoutATimeTheLatestTimeOfTheFilesBelow) {
  std::vector<TreeItem> items = {{"directory", "a", 0, 0},  {"directory", "a/b", 0, 0}, {"file", "a/x", 1, 100},
                                 {"file", "a/b/y", 1, 300}, {"directory", "kept", 0, 50}, {"file", "kept/z", 1, 900},
                                 {"directory", "e", 0, 0},  {"unknown", "e/w", 1, 700}};
  FillDirectoryTimes(&items);
  std::vector<int64_t> times;
  for (const TreeItem& item : items) times.push_back(item.mtime);
  EXPECT_EQ(times, (std::vector<int64_t>{300, 300, 100, 300, 50, 900, 0, 700}));
}
