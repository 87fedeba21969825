// Organisation listings page by page: limits 10, 300 and 1000, the paging item appearing and
// disappearing, loading through execute, copy and open, duplicates across pages, and write-backs.
#include <algorithm>

#include "browse/browse_fixture.h"

using nlohmann::json;

namespace {

json OrgEntry(const std::string& name, const std::string& org, int limit, bool dataset = false) {
  return {{"display_name", name}, {"type", "org-models"},       {"org", org},
          {"kind", dataset ? "dataset" : "model"}, {"limit_enabled", true}, {"limit_count", limit}};
}

class Paging : public BrowseTest {};

bool IsPagingRecord(const ListedRecord& r, const std::string& name) { return r.name == name && !r.folder && r.size == 0; }

size_t Count(const std::vector<std::string>& names, const std::string& name) {
  return static_cast<size_t>(std::count(names.begin(), names.end(), name));
}

TEST_F(Paging, LimitTenPagesByTenThroughEveryWayOfLoading) {
  Configure(json::array({OrgEntry("Big", "big-org", 10)}));
  std::vector<ListedRecord> records = List("\\Big");
  ASSERT_EQ(records.size(), 11u);
  EXPECT_EQ(records[0].name, "model-0000");
  EXPECT_TRUE(IsPagingRecord(records[10], "[Load next 10 models]"));
  EXPECT_NE(records[10].write_time, 0u);  // the page's fetch time
  std::vector<std::string> requests = TakeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].find("limit=10&"), std::string::npos);

  std::string buffer;
  EXPECT_EQ(Execute("\\Big\\[Load next 10 models]", &buffer), -2);
  EXPECT_EQ(buffer, "\\Big");
  requests = TakeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].find("cursor="), std::string::npos);  // the hub's next link, not page one again
  records = List("\\Big");
  ASSERT_EQ(records.size(), 21u);
  EXPECT_EQ(records[19].name, "model-0019");
  EXPECT_TRUE(TakeRequests().empty());

  const std::u16string target = LocalPath("paging-item");
  EXPECT_EQ(GetFile("\\Big\\[Load next 10 models]", target), 6);
  EXPECT_FALSE(FileExists(target));
  EXPECT_EQ(List("\\Big").size(), 31u);

  records = List("\\Big\\[Load next 10 models]");  // opened as a folder it loads and lists the entry
  ASSERT_EQ(records.size(), 41u);
  EXPECT_EQ(records[39].name, "model-0039");
}

TEST_F(Paging, LimitThreeHundredAndLimitAboveFiveHundred) {
  Configure(json::array({OrgEntry("Big", "big-org", 300), OrgEntry("Cap", "big-org", 1000, true)}));
  std::vector<ListedRecord> records = List("\\Big");
  ASSERT_EQ(records.size(), 301u);
  EXPECT_TRUE(IsPagingRecord(records[300], "[Load next 300 models]"));
  EXPECT_NE(TakeRequests()[0].find("limit=300&"), std::string::npos);

  records = List("\\Cap");  // datasets, and still "models"
  ASSERT_EQ(records.size(), 501u);
  EXPECT_EQ(records[0].name, "data-0000");
  EXPECT_TRUE(IsPagingRecord(records[500], "[Load next 500 models]"));
  EXPECT_EQ(Execute("\\Cap\\[Load next 500 models]"), -2);
  EXPECT_EQ(Execute("\\Cap\\[Load next 500 models]"), -2);
  records = List("\\Cap");
  ASSERT_EQ(records.size(), 1234u);  // 500 + 500 + 234: the last page has no next link
  EXPECT_EQ(records.back().name, "data-1233");
  const std::vector<std::string> requests = TakeRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[0].find("/api/datasets?author=big-org&limit=500&"), std::string::npos);
}

TEST_F(Paging, TheItemDisappearsWhenAnEmptyLastPageArrives) {
  Configure(json::array({OrgEntry("Full", "fullpage-org", 10), OrgEntry("Edge", "boundary-org", 10, true)}));
  EXPECT_EQ(List("\\Full").size(), 11u);
  EXPECT_EQ(Execute("\\Full\\[Load next 10 models]"), -2);
  EXPECT_EQ(List("\\Full").size(), 21u);  // a full page still links on
  EXPECT_EQ(Execute("\\Full\\[Load next 10 models]"), -2);
  std::vector<std::string> names = Names("\\Full");
  EXPECT_EQ(names.size(), 20u);
  EXPECT_EQ(Count(names, "[Load next 10 models]"), 0u);
  TakeRequests();
  // Everything is loaded: a further load fetches nothing and still sends the host back.
  EXPECT_EQ(Execute("\\Full\\[Load next 10 models]"), -2);
  EXPECT_TRUE(TakeRequests().empty());

  EXPECT_EQ(List("\\Edge").size(), 11u);
  EXPECT_EQ(Execute("\\Edge\\[Load next 10 models]"), -2);
  names = Names("\\Edge");
  EXPECT_EQ(names.size(), 20u);
  EXPECT_EQ(names.back(), "bd-0019");
}

TEST_F(Paging, ARepositoryOnTwoPagesIsListedOnceAtItsFirstPlace) {
  // quirks-org lists "dup" at indexes 3 and 6. Pages of 10 hold both, so the second page is made the
  // hub's page 2 of 5 (its own cursor link) in a stored first page of 5.
  Configure(json::array({OrgEntry("Quirks", "quirks-org", 10)}));
  const json first = {{"type", "org-models"},
                      {"org", "quirks-org"},
                      {"fetched_at", NowSeconds()},
                      {"page_size", 10},
                      {"pages_loaded", 1},
                      {"has_more", true},
                      {"next_url", HubUrl() + "api/models?author=quirks-org&limit=5&sort=lastModified&cursor=" +
                                       "eyJvIjo1LCJwIjoyfQ%3D%3D"},
                      {"models", json::array({{{"repo_id", "quirks-org/alpha"}, {"name", "alpha"}},
                                              {{"repo_id", "quirks-org/only-modelid"}, {"name", "only-modelid"}},
                                              {{"repo_id", "quirks-org/dup"}, {"name", "dup"}},
                                              {{"repo_id", "quirks-org/both-ids"}, {"name", "both-ids"}}})}};
  WriteTextFile(CacheFile("org_models_quirks-org"), first.dump(2));
  EXPECT_EQ(Execute("\\Quirks\\[Load next 10 models]"), -2);
  EXPECT_EQ(Names("\\Quirks"), (std::vector<std::string>{"alpha", "only-modelid", "dup", "both-ids", "no-slash-id",
                                                          "date-only", "no-date", "bad-date", "[Load next 10 models]"}));
}

TEST_F(Paging, ANewPageSizeStartsOverAndTheEntryRecordsItsCacheTime) {
  Configure(json::array({OrgEntry("Big", "big-org", 300)}));
  EXPECT_EQ(List("\\Big").size(), 301u);
  EXPECT_EQ(Execute("\\Big\\[Load next 300 models]"), -2);
  const json favorites = ReadFavorites();
  const int64_t cached_at = favorites["entries"][0].value("cached_at", int64_t{0});
  EXPECT_GE(cached_at, NowSeconds() - 60);
  const json cache = json::parse(ReadTextFile(CacheFile("org_models_big-org")));
  EXPECT_EQ(cache.value("fetched_at", int64_t{0}), cached_at);
  EXPECT_EQ(cache.value("pages_loaded", 0), 2);
  EXPECT_EQ(cache["models"].size(), 600u);

  module_.Unload();
  Configure(json::array({OrgEntry("Big", "big-org", 100)}));
  const std::vector<ListedRecord> records = List("\\Big");
  ASSERT_EQ(records.size(), 101u);
  EXPECT_EQ(records.back().name, "[Load next 100 models]");
  const std::vector<std::string> requests = TakeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].find("limit=100&"), std::string::npos);
  EXPECT_EQ(requests[0].find("cursor="), std::string::npos);
}

TEST_F(Paging, WithoutALimitEveryRepositoryIsListedAndFetchedEachTime) {
  json entry = OrgEntry("All", "boundary-org", 300);
  entry["limit_enabled"] = false;
  Configure(json::array({entry}));
  std::vector<std::string> names = Names("\\All");
  EXPECT_EQ(names.size(), 1000u);  // 500 + 500, no paging item
  EXPECT_EQ(names.back(), "bm-0999");
  EXPECT_EQ(TakeRequests().size(), 2u);
  EXPECT_EQ(Names("\\All").size(), 1000u);
  EXPECT_EQ(TakeRequests().size(), 2u);  // never read back from the cache
  const json cache = json::parse(ReadTextFile(CacheFile("org_models_boundary-org")));
  EXPECT_EQ(cache.value("page_size", -1), 0);
  EXPECT_FALSE(cache.value("has_more", true));
  // The paging item of an unlimited entry is no command.
  EXPECT_EQ(Execute("\\All\\[Load next 300 models]"), 0);
}

}  // namespace
