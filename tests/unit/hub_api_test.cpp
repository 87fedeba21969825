// The API operations on what the fake hub never sends: hostile element shapes, an endless chain of
// pages, and folder times.
#include <gtest/gtest.h>

#include "hub/api.h"
#include "hub_scripted_exchange.h"

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

TEST(FillDirectoryTimes, GivesAFolderWithoutATimeTheLatestTimeOfTheFilesBelow) {
  std::vector<TreeItem> items = {{"directory", "a", 0, 0},  {"directory", "a/b", 0, 0}, {"file", "a/x", 1, 100},
                                 {"file", "a/b/y", 1, 300}, {"directory", "kept", 0, 50}, {"file", "kept/z", 1, 900},
                                 {"directory", "e", 0, 0},  {"unknown", "e/w", 1, 700}};
  FillDirectoryTimes(&items);
  std::vector<int64_t> times;
  for (const TreeItem& item : items) times.push_back(item.mtime);
  EXPECT_EQ(times, (std::vector<int64_t>{300, 300, 100, 300, 50, 900, 0, 700}));
}
