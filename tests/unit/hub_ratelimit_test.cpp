// The hub's rate-limit headers as outside input, the pause of API requests on a clock of the test's
// own, and what the user is told, once per window, on the main thread only.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>
#include <tuple>

#include "core/time.h"
#include "hub/ratelimit.h"
#include "core/state.h"
#include "core/text.h"
#include "platform/platform.h"
#include "support/test_env.h"

namespace {

std::atomic<uint64_t> g_now_ms{1000000};
uint64_t TestClock() { return g_now_ms.load(); }
void Advance(double seconds) { g_now_ms += static_cast<uint64_t>(seconds * 1000); }

std::string Headers(const std::string& rate, const std::string& policy = "", const std::string& retry = "") {
  std::string raw = "Content-Type: application/json\r\n";
  if (!rate.empty()) raw += "RateLimit: " + rate + "\r\n";
  if (!policy.empty()) raw += "RateLimit-Policy: " + policy + "\r\n";
  if (!retry.empty()) raw += "Retry-After: " + retry + "\r\n";
  return raw;
}

class RateLimit : public ::testing::Test {
 protected:
  void SetUp() override {
    ForgetRateLimits();
    SetRateLimitClockForTesting(&TestClock);
    g_host.Clear();
    g_state.log = RecordLog;
    g_state.request = RecordRequest;
    g_state.main_thread_id = PlatformThreadId();
  }
  void TearDown() override {
    SetRateLimitClockForTesting(nullptr);
    ForgetRateLimits();
    g_state.log = nullptr;
    g_state.request = nullptr;
    g_state.main_thread_id = 0;
  }
};

}  // namespace

TEST(RateLimitHeaders, TheHubsFormsAreReadAndEverythingElseIsAbsent) {
  const int64_t now = 1760000800;  // Thu, 09 Oct 2025 09:06:40 GMT
  const struct {
    std::string raw, bucket;
    RateLimitHeaders want;
  } cases[] = {
      {Headers("\"api\";r=485;t=163", "\"fixed window\";\"api\";q=500;w=300"), "api", {485, 163, 500, 300, -1}},
      // Another bucket's numbers are not this one's.
      {Headers("\"resolvers\";r=0;t=124", "\"fixed window\";\"resolvers\";q=3000;w=300", "7"), "api",
       {-1, -1, -1, -1, 7}},
      // A list with both, repeated lines, other spelling of names and blanks.
      {Headers("\"pages\";r=1;t=2, \"api\";r=3;t=4") + "ratelimit-policy:  \"fixed window\" ; \"api\" ; q=9 ; w=60 \r\n",
       "api", {3, 4, 9, 60, -1}},
      {"RateLimit: \"resolvers\";r=1;t=1\r\nRateLimit: api;r=5;t=6\r\n", "api", {5, 6, -1, -1, -1}},
      // A bucket name with a quote and a comma inside stays one name.
      {Headers("\"a\\\"p,i\";r=1;t=2"), "a\"p,i", {1, 2, -1, -1, -1}},
      // Numbers: negative, fractions, signs, quoted, empty, eleven digits are nothing; ten digits are capped.
      {Headers("\"api\";r=-1;t=1.5"), "api", {-1, -1, -1, -1, -1}},
      {Headers("\"api\";r=+3;t=\"4\""), "api", {-1, -1, -1, -1, -1}},
      {Headers("\"api\";r=;t=99999999999", "\"api\";q=9999999999;w=0"), "api", {-1, -1, kMaxRateLimitNumber, 0, -1}},
      {Headers("\"api\";r=1;r=2"), "api", {2, -1, -1, -1, -1}},  // the last of a repeated key
      {Headers("api", "\"fixed window\""), "api", {-1, -1, -1, -1, -1}},
      {Headers("\"api\"\"\";r=1;;;=;t"), "api", {-1, -1, -1, -1, -1}},
      // Retry-After: seconds; each HTTP date form, a whole second more (the moment meant may lie within
      // the second the date names); a date past; a list; garbage.
      {Headers("", "", " 120 "), "api", {-1, -1, -1, -1, 120}},
      {Headers("", "", "Sun, 01 Jan 2040 00:00:00 GMT"), "api", {-1, -1, -1, -1, 2208988800 - now + 1}},
      {Headers("", "", "Thursday, 09-Oct-25 09:06:50 GMT"), "api", {-1, -1, -1, -1, 11}},
      {Headers("", "", "Thu Oct  9 09:06:50 2025"), "api", {-1, -1, -1, -1, 11}},
      {Headers("", "", "Mon, 01 Jan 2001 00:00:00 GMT"), "api", {-1, -1, -1, -1, 0}},
      {Headers("", "", "5") + "Retry-After: 6\r\n", "api", {-1, -1, -1, -1, -1}},
      {Headers("", "", "soon"), "api", {-1, -1, -1, -1, -1}},
      {Headers("", "", "-5"), "api", {-1, -1, -1, -1, -1}},
      {"", "api", {-1, -1, -1, -1, -1}},
  };
  for (const auto& c : cases) {
    const auto fields = [](const RateLimitHeaders& h) {
      return std::make_tuple(h.remaining, h.reset_seconds, h.quota, h.window_seconds, h.retry_after);
    };
    EXPECT_EQ(fields(ReadRateLimitHeaders(c.raw, c.bucket, now)), fields(c.want)) << c.raw;
  }
  ASSERT_EQ(ParseHttpDate("Thu, 09 Oct 2025 09:06:40 GMT"), now);
  for (const char* bad : {"Thu, 30 Feb 2025 09:06:40 GMT", "Thu, 09 oct 2025 09:06:40 GMT", "Thu, 09 Oct 25 09:06:40 GMT",
                          "Thu, 09 Oct 2025 24:00:00 GMT", "Thu, 09 Oct 2025 09:06:40 CET", "09 Oct 2025 09:06:40 GMT",
                          "Thu, 09 Oct 1969 09:06:40 GMT", "Thu, 09 Oct 2025 9:06:40 GMT", ""}) {
    EXPECT_EQ(ParseHttpDate(bad), 0) << bad;
  }
}

// After a 429 the pause is RateLimit's "t", else Retry-After (seconds or a date), else 60 s, within
// 1 s and the window; headers of another bucket do not count.
TEST_F(RateLimit, APauseLastsTheResetTheHubAnnounced) {
  const std::string date_in_25s = [] {
    const time_t when = static_cast<time_t>(UnixNow() + 25);
    char text[64];  // day and month names in the "C" locale the tests run in
    std::strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&when));
    return std::string(text);
  }();
  const struct {
    std::string raw;
    uint32_t status;
    int64_t seconds;  // 0: no pause
  } cases[] = {
      {Headers("\"api\";r=0;t=12", "", "40"), 429, 12},
      {Headers("", "", "40"), 429, 40},
      {Headers("\"resolvers\";r=0;t=5", "", "40"), 429, 40},
      {Headers("", "", date_in_25s), 429, 25},
      {Headers(""), 429, 60},
      {Headers("\"api\";r=0;t=0"), 200, 1},
      {Headers("\"api\";r=0;t=99999"), 200, 300},
      {Headers("\"api\";r=0"), 200, 60},
      {Headers("\"api\";r=1;t=5", "", "40"), 200, 0},
      // Another limit's 429 (the commit quota) while the API has requests left pauses no listing.
      {Headers("\"api\";r=7;t=5", "", "40"), 429, 0},
  };
  for (const auto& c : cases) {
    ForgetRateLimits();
    NoteApiAnswer(c.status, c.raw);
    const RateLimitView view = ApiRateLimit();
    EXPECT_EQ(view.paused, c.seconds > 0) << c.raw;
    if (c.seconds == 25) {
      EXPECT_NEAR(view.seconds_left, 25, 2) << c.raw;  // the date is read against the system clock
    } else {
      EXPECT_EQ(view.seconds_left, c.seconds) << c.raw;
    }
  }
  // A later 429 in the same pause only ever lengthens it. The pause ends on the second it named, and
  // the count of its window says nothing of the next one.
  ForgetRateLimits();
  NoteApiAnswer(429, Headers("\"api\";r=0;t=30"));
  NoteApiAnswer(429, Headers("\"api\";r=0;t=10"));
  Advance(29.5);
  EXPECT_TRUE(ApiRateLimit().paused);
  EXPECT_EQ(ApiRateLimit().seconds_left, 1);
  Advance(0.5);
  EXPECT_FALSE(ApiRateLimit().paused);
  EXPECT_EQ(ApiRateLimit().remaining, -1);
}

// Fault: a 429 naming a reset far away (a Retry-After date in 2099, a huge "t") paused every listing for
// an hour, although the hub's windows are fixed and announced ("w=300").
TEST_F(RateLimit, NoPauseOutlastsTheWindowTheHubAnnounced) {
  const std::string in_2099 = "Thu, 01 Jan 2099 00:00:00 GMT";
  const std::string window_300 = "\"fixed window\";\"api\";q=500;w=300";
  const struct {
    std::string raw;
    int64_t seconds;
  } cases[] = {
      {Headers("", "", in_2099), 300},
      {Headers("\"api\";r=0;t=99999"), 300},
      {Headers("\"api\";r=0;t=-5", "", in_2099), 300},
      {Headers("\"api\";r=0;t=99999", window_300, in_2099), 300},
      {Headers("\"api\";r=0;t=99999", "\"fixed window\";\"api\";q=500;w=60"), 60},
      {Headers("\"api\";r=0;t=40", "\"fixed window\";\"api\";q=500;w=60"), 40},
      // Another bucket's window bounds nothing here; a window of a day is no hub's and still ends in an hour.
      {Headers("\"api\";r=0;t=99999", "\"fixed window\";\"resolvers\";q=500;w=60"), 300},
      {Headers("\"api\";r=0;t=99999", "\"fixed window\";\"api\";q=500;w=86400"), 3600},
  };
  for (const auto& c : cases) {
    ForgetRateLimits();
    NoteApiAnswer(429, c.raw);
    EXPECT_EQ(ApiRateLimit().seconds_left, c.seconds) << c.raw;
  }
  // A window announced by an earlier answer bounds a later 429 that announces none.
  ForgetRateLimits();
  NoteApiAnswer(200, Headers("\"api\";r=9;t=30", "\"fixed window\";\"api\";q=500;w=120"));
  NoteApiAnswer(429, Headers("", "", in_2099));
  EXPECT_EQ(ApiRateLimit().seconds_left, 120);

  // A copy refused the same way is told to wait no longer than the window either.
  RateLimitHeaders limited;
  limited.retry_after = ReadRateLimitHeaders(Headers("", "", in_2099), "resolvers", UnixNow()).retry_after;
  NoteDownloadRateLimited(limited);
  limited.retry_after = -1;
  limited.reset_seconds = 99999;
  limited.quota = 3000;
  limited.window_seconds = 60;
  Advance(301);
  NoteDownloadRateLimited(limited);
  TellRateLimitsOnMainThread();
  const std::string failed = "The HuggingFace download limit is reached. Try the copy again in ";
  EXPECT_EQ(g_host.log_lines, (std::vector<std::string>{failed + "300 s.",
                                                        "The HuggingFace download limit is reached (3000 requests per minute). "
                                                        "Try the copy again in 60 s."}));
}

TEST_F(RateLimit, TheUserIsToldOncePerWindowOnTheMainThreadOnly) {
  const std::string told = "The HuggingFace API limit is reached (500 requests per 5 minutes). Listings continue in 42 s.";
  NoteApiAnswer(429, Headers("\"api\";r=0;t=42", "\"fixed window\";\"api\";q=500;w=300"));
  std::thread([] { TellRateLimitsOnMainThread(); }).join();  // a copy's thread tells nothing
  EXPECT_TRUE(g_host.questions.empty());
  TellRateLimitsOnMainThread();
  TellRateLimitsOnMainThread();
  EXPECT_EQ(g_host.questions, std::vector<std::string>{told});  // (its log line: browse/ratelimit_test)
  // Another 429 in the same window is not news.
  Advance(10);
  NoteApiAnswer(429, Headers("\"api\";r=0;t=50"));
  TellRateLimitsOnMainThread();
  EXPECT_EQ(g_host.questions.size(), 1u);
  // The next window is told again; a pause over before the main thread came is not told at all.
  Advance(51);
  NoteApiAnswer(200, Headers("\"api\";r=0;t=5"));
  TellRateLimitsOnMainThread();
  ASSERT_EQ(g_host.questions.size(), 2u);
  EXPECT_EQ(g_host.questions[1], "The HuggingFace API limit is reached (500 requests per 5 minutes). Listings continue in 5 s.");
  Advance(6);
  NoteApiAnswer(429, Headers("\"api\";r=0;t=5"));
  Advance(6);
  TellRateLimitsOnMainThread();
  EXPECT_EQ(g_host.questions.size(), 2u);

  // A copy that ended on a 429: logged when it fails, told once at the main thread.
  g_host.Clear();
  RateLimitHeaders limited;
  limited.quota = 3000;
  limited.window_seconds = 300;
  limited.retry_after = 95;
  NoteDownloadRateLimited(limited);
  Advance(5);
  limited.retry_after = 80;  // within the window of the first
  NoteDownloadRateLimited(limited);
  TellRateLimitsOnMainThread();
  TellRateLimitsOnMainThread();
  const std::string failed = "The HuggingFace download limit is reached (3000 requests per 5 minutes). Try the copy again in ";
  EXPECT_EQ(g_host.log_lines, (std::vector<std::string>{failed + "95 s.", failed + "80 s."}));
  EXPECT_EQ(g_host.questions, std::vector<std::string>{failed + "90 s."});
}

TEST(RateLimitMessages, NameOnlyTheCountsTheHeadersGave) {
  const struct {
    std::u16string got;
    const char16_t* want;
  } cases[] = {
      {ApiLimitMessage(1000, 300, 7), u"The HuggingFace API limit is reached (1000 requests per 5 minutes). Listings continue in 7 s."},
      {ApiLimitMessage(1, 60, 1), u"The HuggingFace API limit is reached (1 request per minute). Listings continue in 1 s."},
      {ApiLimitMessage(5, 7200, 60), u"The HuggingFace API limit is reached (5 requests per 2 hours). Listings continue in 60 s."},
      {ApiLimitMessage(3, 90, 2), u"The HuggingFace API limit is reached (3 requests per 90 seconds). Listings continue in 2 s."},
      {ApiLimitMessage(3, -1, 2), u"The HuggingFace API limit is reached (3 requests). Listings continue in 2 s."},
      {ApiLimitMessage(-1, 300, 2), u"The HuggingFace API limit is reached. Listings continue in 2 s."},
      {DownloadLimitMessage(3000, 3600, -1), u"The HuggingFace download limit is reached (3000 requests per hour). Try the copy again later."},
      {DownloadLimitMessage(-1, -1, 0), u"The HuggingFace download limit is reached. Try the copy again."},
  };
  for (const auto& c : cases) EXPECT_EQ(WideToUtf8(c.got), WideToUtf8(c.want));
}
