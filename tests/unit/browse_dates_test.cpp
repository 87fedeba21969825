// The date worker without a network: pages merged into the folder's record, the rate-limit budget,
// failures that end it without a retry, and where it goes on. Its thread's lifetime (a stop ends the
// request in flight and joins) is pinned through the exports in tests/browse/date_worker_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "browse/browse.h"
#include "core/state.h"
#include "core/text.h"
#include "core/time.h"
#include "hub/http.h"
#include "hub/ratelimit.h"
#include "support/test_env.h"

namespace {

// Canned tree pages by URL; `on_request` runs before each answer.
struct Pages {
  std::map<std::string, std::pair<std::string, std::string>> by_url;  // body, next link
  std::map<std::string, uint32_t> status;
  std::vector<HttpExchangeRequest> requests;
  std::function<void(const HttpExchangeRequest&)> on_request;
};
Pages* g_pages = nullptr;

HttpExchangeResult ServePages(const HttpExchangeRequest& request, HttpResponseHead* head, const HttpHeadSink& on_head,
                              const HttpBodySink& on_body) {
  g_pages->requests.push_back(request);
  if (g_pages->on_request) g_pages->on_request(request);
  const std::string url = WideToUtf8(u"https://" + request.host + request.object);
  const bool known = g_pages->by_url.count(url) != 0;
  const auto [body, next] = known ? g_pages->by_url[url] : std::make_pair(std::string("{}"), std::string());
  head->status = g_pages->status.count(url) ? g_pages->status[url] : known ? 200 : 404;
  if (!next.empty()) head->link = Utf8ToWide("<" + next + ">; rel=\"next\"");
  if (on_head && !on_head(*head)) return HttpExchangeResult::Complete;
  if (on_body) on_body(body.data(), body.size());
  return HttpExchangeResult::Complete;
}

RateLimitView g_limit;
int64_t g_remaining_step = 0;  // added to g_limit.remaining after each read
RateLimitView ScriptedLimit() {
  const RateLimitView now = g_limit;
  if (g_limit.remaining >= 0) g_limit.remaining += g_remaining_step;
  return now;
}

// Item f<k> of folder d, with its git id and from `day` (1 to 9) of January 2024 its last commit's date.
std::string Item(int k, const std::string& oid, int day = 0) {
  const std::string date = R"(,"lastCommit":{"date":"2024-01-0)" + std::to_string(day) + R"(T00:00:00.000Z"})";
  return R"({"type":"file","path":"d/f)" + std::to_string(k) + R"(","oid":")" + oid + R"(","size":1)" +
         (day ? date : "") + "}";
}

class DateWorker : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLinkedState(MakeTempFolder("dates"));
    ForgetRateLimits();  // a 429 of an earlier case pauses every API request of the process
    g_pages = &pages_;
    SetHttpExchangeForTesting(&ServePages);
    g_limit = RateLimitView();
    g_remaining_step = 0;
    job_.repo_id = "o/m";
    job_.folder = "d";
    job_.commit = std::string(40, 'c');
    job_.fetch_id = "listing-1";
    job_.first_url = u"https://hub.test/api/models/o/m/tree/main/d?expand=true&limit=100";
    job_.api_key = "hf_key";
    job_.site_url = "https://hub.test/";
    job_.cache_folder = g_state.cache_folder;
    job_.rate_limit = &ScriptedLimit;
    // What the module itself would read is elsewhere: the worker reads nothing of it.
    StateLock guard(g_state.lock);
    g_state.hub_site_url = "https://elsewhere.test/";
    g_state.cache_folder = MakeTempFolder("not-the-cache");
  }
  void TearDown() override {
    SetHttpExchangeForTesting(nullptr);
    g_pages = nullptr;
    StateLock guard(g_state.lock);
    g_state.hub_site_url = PluginState::kDefaultHubSiteUrl;
  }
  // The folder's names as the job's listing stored them: f0 .. f<n-1>, oids "a<i>", no dates.
  void StoreNames(int n, const std::string& dates_next_url = "") {
    TreeFolderRecord record;
    record.repo_id = "o/m";
    record.folder = "d";
    record.commit = job_.commit;
    record.fetch_id = job_.fetch_id;
    record.fetched_at = UnixNow() - 3600;
    record.dates_next_url = dates_next_url;
    for (int i = 0; i < n; ++i) record.items.push_back({"file", "d/f" + std::to_string(i), 1, 0, "a" + std::to_string(i)});
    ASSERT_TRUE(WriteTreeFolderRecord(job_.cache_folder, record));
  }
  // Page k of a chain of `count` pages, one item each (f<k>); the last has no link.
  std::string PageUrl(int k) const {
    return k == 0 ? WideToUtf8(job_.first_url) : WideToUtf8(job_.first_url) + "&cursor=" + std::to_string(k);
  }
  void ServeChain(int count) {
    for (int k = 0; k < count; ++k) {
      pages_.by_url[PageUrl(k)] = {"[" + Item(k, "a" + std::to_string(k)) + "]", k + 1 < count ? PageUrl(k + 1) : ""};
    }
  }
  TreeFolderRecord Stored() {
    TreeFolderRecord record;
    EXPECT_TRUE(ReadTreeFolderRecord(job_.cache_folder, "o/m", ModelRepo, "main", "d", TreeRecordRead::Whole, &record));
    return record;
  }
  Pages pages_;
  DateJob job_;
};

TEST_F(DateWorker, EachPageIsMergedIntoTheRecordByPathAndGitIdAndTheLastCompletesIt) {
  StoreNames(5);
  pages_.by_url[PageUrl(0)] = {"[" + Item(0, "a0", 1) + "," + Item(1, "a1", 2) + "," + Item(2, "CHANGED", 3) + "]",
                               PageUrl(1)};
  pages_.by_url[PageUrl(1)] = {"[" + Item(3, "a3", 4) + "," + Item(4, "a4", 5) + "]", ""};
  const std::atomic<bool> stop{false};
  const DatesRun run = FetchFolderDates(job_, stop);
  EXPECT_EQ(run.end, DatesEnd::Complete);
  EXPECT_EQ(run.pages, 2);
  const TreeFolderRecord record = Stored();
  std::vector<int64_t> times;
  for (const TreeItem& item : record.items) times.push_back(item.mtime);
  const int64_t day = 86400, first = 1704067200;
  EXPECT_EQ(times, (std::vector<int64_t>{first, first + day, 0, first + 3 * day, first + 4 * day}));
  EXPECT_TRUE(record.dates_complete);
  EXPECT_TRUE(record.dates_next_url.empty());
  EXPECT_NEAR(UnixNow() - record.fetched_at, 3600, 5);  // still as old as its names
  ASSERT_EQ(pages_.requests.size(), 2u);
  for (const HttpExchangeRequest& r : pages_.requests) {
    EXPECT_EQ(WideToUtf8(r.host), "hub.test");  // the job's hub, not the state's
    EXPECT_EQ(r.bearer_key, "hf_key");
    EXPECT_EQ(r.abort, &stop);
  }
  // Complete: another run asks nothing.
  EXPECT_EQ(FetchFolderDates(job_, stop).end, DatesEnd::Complete);
  EXPECT_EQ(pages_.requests.size(), 2u);
}

// Fault: a copy listed the folder afresh while the worker fetched its dates; the worker merged its later
// pages into that newer record and marked it "dates complete", and a retry of its save wrote the record
// it had read before over the newer one (150 items without the new file, a changed file at its old
// size) until the record aged out.
TEST_F(DateWorker, ARecordListedAfreshMeanwhileKeepsItsNamesSizesAndHashesAndGetsNoDates) {
  ServeChain(3);
  const int64_t day = 86400, first = 1704067200;
  for (int k = 0; k < 3; ++k) pages_.by_url[PageUrl(k)].first = "[" + Item(k, "a" + std::to_string(k), k + 1) + "]";
  StoreNames(3);
  TreeFolderRecord relisted;  // as the copy's fresh listing stores it: a new file, f1 bigger
  relisted.repo_id = "o/m";
  relisted.folder = "d";
  relisted.commit = job_.commit;
  relisted.fetch_id = "listing-2";
  relisted.fetched_at = UnixNow();
  for (int i = 0; i < 4; ++i) relisted.items.push_back({"file", "d/f" + std::to_string(i), i == 1 ? 99 : 1, 0, "a" + std::to_string(i)});
  pages_.on_request = [&](const HttpExchangeRequest& request) {
    if (WideToUtf8(request.object).find("cursor=1") != std::string::npos) {
      ASSERT_TRUE(WriteTreeFolderRecord(job_.cache_folder, relisted));
    }
  };
  const std::atomic<bool> stop{false};
  DatesRun run = FetchFolderDates(job_, stop);
  EXPECT_EQ(run.end, DatesEnd::Superseded);
  EXPECT_EQ(run.pages, 2);
  TreeFolderRecord record = Stored();
  EXPECT_EQ(record.fetch_id, "listing-2");
  EXPECT_FALSE(record.dates_complete);
  ASSERT_EQ(record.items.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(std::make_pair(record.items[i].size, record.items[i].mtime), std::make_pair(i == 1 ? int64_t{99} : int64_t{1}, int64_t{0}))
        << i;
  }
  // Neither does a record of another commit, and it costs no request; the job of the new record dates it.
  pages_.on_request = nullptr;
  pages_.requests.clear();
  relisted.commit = std::string(40, 'd');
  ASSERT_TRUE(WriteTreeFolderRecord(job_.cache_folder, relisted));
  EXPECT_EQ(FetchFolderDates(job_, stop).end, DatesEnd::Superseded);
  EXPECT_TRUE(pages_.requests.empty());
  job_.commit = relisted.commit;
  job_.fetch_id = "listing-2";
  EXPECT_EQ(FetchFolderDates(job_, stop).end, DatesEnd::Complete);
  record = Stored();
  EXPECT_EQ(std::make_tuple(record.items[1].size, record.items[1].mtime, record.items[3].mtime, record.dates_complete),
            std::make_tuple(int64_t{99}, first + day, int64_t{0}, true));
}

TEST_F(DateWorker, ItKeepsToHalfOfTheBudgetItFoundAndStopsAtAPauseOrFewerThanFiftyLeft) {
  ServeChain(60);
  const struct {
    const char* what;
    RateLimitView limit;
    int64_t step;
    int pages;
    DatesEnd end;
  } cases[] = {
      {"nothing known", RateLimitView(), 0, 60, DatesEnd::Complete},
      {"paused", {true, 30, 0, 500, 300}, 0, 0, DatesEnd::RateLimited},
      {"49 left", {false, 0, 49, 500, 300}, 0, 0, DatesEnd::RateLimited},
      {"60 left: half is 30", {false, 0, 60, 500, 300}, 0, 30, DatesEnd::Budget},
      // 120 at the start, two fewer at each look (the user browses meanwhile): under 50 before page 36.
      {"120 and falling", {false, 0, 120, 500, 300}, -2, 35, DatesEnd::RateLimited},
  };
  for (const auto& c : cases) {
    StoreNames(60);
    pages_.requests.clear();
    g_limit = c.limit;
    g_remaining_step = c.step;
    const std::atomic<bool> stop{false};
    const DatesRun run = FetchFolderDates(job_, stop);
    EXPECT_EQ(run.pages, c.pages) << c.what;
    EXPECT_EQ(static_cast<int>(run.end), static_cast<int>(c.end)) << c.what;
    EXPECT_EQ(pages_.requests.size(), static_cast<size_t>(c.pages)) << c.what;
    const TreeFolderRecord record = Stored();
    // Where it stopped is kept, so that the next run goes on from there.
    EXPECT_EQ(record.dates_next_url, c.pages == 60 || c.pages == 0 ? "" : PageUrl(c.pages)) << c.what;
  }
  // The next run goes on there: the first request is where the last one stopped.
  g_limit = RateLimitView();
  pages_.requests.clear();
  const std::atomic<bool> stop{false};
  EXPECT_EQ(FetchFolderDates(job_, stop).pages, 60 - 35);
  EXPECT_EQ(WideToUtf8(u"https://" + pages_.requests.at(0).host + pages_.requests[0].object), PageUrl(35));
}

TEST_F(DateWorker, AFailingPageEndsItWithoutARetry) {
  ServeChain(3);
  StoreNames(3);
  pages_.status[PageUrl(1)] = 429;
  const std::atomic<bool> stop{false};
  DatesRun run = FetchFolderDates(job_, stop);
  EXPECT_EQ(run.end, DatesEnd::Failed);
  EXPECT_EQ(pages_.requests.size(), 2u);  // page 0, and the 429 once
  EXPECT_EQ(Stored().dates_next_url, PageUrl(1));
  // A page to go on from that is gone (a cursor the hub no longer takes) is forgotten, so the next
  // run starts from the first page; one that is off the hub's origin is never asked for.
  ForgetRateLimits();  // the 429 paused the API for the process: that pause is not this case's
  pages_.status[PageUrl(1)] = 400;
  run = FetchFolderDates(job_, stop);
  EXPECT_EQ(run.end, DatesEnd::Failed);
  EXPECT_TRUE(Stored().dates_next_url.empty());
  StoreNames(3, "https://evil.test/api/models/o/m/tree/main/d?expand=true&limit=100&cursor=1");
  pages_.status.clear();
  pages_.requests.clear();
  EXPECT_EQ(FetchFolderDates(job_, stop).end, DatesEnd::Complete);
  EXPECT_EQ(WideToUtf8(pages_.requests.at(0).host), "hub.test");
  // No record (deleted by "Delete cache" meanwhile): nothing to do, nothing asked.
  std::filesystem::remove_all(FsPath(TreeRecordsFolder(job_.cache_folder, "o/m", ModelRepo, "main")));
  pages_.requests.clear();
  EXPECT_EQ(FetchFolderDates(job_, stop).end, DatesEnd::RecordGone);
  EXPECT_TRUE(pages_.requests.empty());
}

}  // namespace
