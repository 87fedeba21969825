// Organisation listings page by page: limits 10 and 1000, the paging item appearing and
// disappearing, pages loaded through execute, copy and open. Merging pages is a unit test (MergeRepos).
#include "browse/browse_fixture.h"
#include "platform/platform.h"

namespace {

using Paging = BrowseTest;

TEST_F(Paging, LimitTenLoadsTenMoreThroughExecuteCopyAndOpen) {
  Configure(json::array({EntryJson("Big", "org-models", "big-org", false, 10)}));
  std::vector<ListedRecord> records = List("\\Big");
  ASSERT_EQ(records.size(), 11u);
  EXPECT_EQ(records[10].name, "[Load next 10 models]");
  EXPECT_FALSE(records[10].folder);
  EXPECT_NE(TakeRequests().at(0).find("limit=10&"), std::string::npos);

  std::string buffer;
  EXPECT_EQ(Execute("\\Big\\[Load next 10 models]", &buffer), -2);
  // The host is sent back to the entry's folder, written with its platform's separator.
  EXPECT_EQ(buffer, std::string(1, static_cast<char>(PlatformPathSeparator())) + "Big");
  const std::vector<std::string> requests = TakeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].find("cursor="), std::string::npos);  // the hub's next link, not page one again
  records = List("\\Big");
  ASSERT_EQ(records.size(), 21u);
  EXPECT_EQ(records[19].name, "model-0019");
  EXPECT_TRUE(TakeRequests().empty());

  EXPECT_EQ(GetFile("\\Big\\[Load next 10 models]", LocalPath("item")), 6);
  EXPECT_FALSE(FileExists(LocalPath("item")));
  EXPECT_EQ(List("\\Big").size(), 31u);
  records = List("\\Big\\[Load next 10 models]");  // opened as a folder it loads and lists the entry
  ASSERT_EQ(records.size(), 41u);
  EXPECT_EQ(records[39].name, "model-0039");
}

// A limit of 1000 is capped at the hub's 500 a page (300 is the dispatch suite's default).
TEST_F(Paging, ALimitOfAThousandLoadsFiveHundredAtATime) {
  Configure(json::array({EntryJson("Cap", "org-models", "big-org", true, 1000)}));
  std::vector<std::string> names = Names("\\Cap");
  ASSERT_EQ(names.size(), 501u);
  EXPECT_EQ(names[0], "data-0000");
  EXPECT_EQ(names[500], "[Load next 500 datasets]");
  EXPECT_EQ(Execute("\\Cap\\[Load next 500 datasets]"), -2);
  EXPECT_EQ(Execute("\\Cap\\[Load next 500 models]"), -2);  // the name earlier versions listed still loads
  names = Names("\\Cap");
  ASSERT_EQ(names.size(), 1234u);  // 500 + 500 + 234: no paging item after the last page
  EXPECT_EQ(names.back(), "data-1233");
  const std::vector<std::string> requests = TakeRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[0].find("/api/datasets?author=big-org&limit=500&"), std::string::npos);
  EXPECT_EQ(Execute("\\Cap\\[Load next 500 models]"), -2);  // all loaded: the host is still sent back
  EXPECT_TRUE(TakeRequests().empty());
}

// Fault: a page whose next link left the hub was dropped; the folder listed only its paging item.
TEST_F(Paging, APageWhoseNextLinkLeavesTheHubIsShownWithoutAPagingItem) {
  json whole = EntryJson("BigDs", "org-models", "big-org", true);
  whole["limit_enabled"] = false;
  // The first page lands on the second host, whose next links point there: another origin.
  Configure(json::array({EntryJson("Big", "org-models", "big-org", false, 10), whole}), "__fault/redirect_host2/",
            "hf_test_good");
  for (int listing = 0; listing < 2; ++listing) {
    const std::vector<std::string> names = Names("\\Big");
    ASSERT_EQ(names.size(), 10u) << "listing " << listing;
    EXPECT_EQ(names.front(), "model-0000");
    EXPECT_EQ(names.back(), "model-0009");
  }
  const std::vector<std::string> all = Names("\\BigDs");
  ASSERT_EQ(all.size(), 500u);  // the first page of a listing fetched whole
  EXPECT_EQ(all.back(), "data-0499");
  for (const LoggedRequest& r : FetchHubLog()) {
    EXPECT_EQ(r.path.find("cursor="), std::string::npos) << "a link elsewhere is never requested: " << r.path;
    if (r.host == "host2") EXPECT_EQ(r.Header("authorization"), "(absent)") << r.path;
  }
}

}  // namespace
