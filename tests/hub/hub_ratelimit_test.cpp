// The hub's API rate limit against the fake hub with a small quota (through both transports): no
// request goes out before the window's end, and a client that missed its end is paused by the hub's
// own 429. Copies under the download limit: hub_ranges_test.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "hub/api.h"
#include "hub/ratelimit.h"
#include "support/fakehub_client.h"

namespace {

class HubRateLimits : public FakeHubTest {
 protected:
  void TearDown() override {
    SetHubLimits("lift=true");
    FakeHubTest::TearDown();
  }
};

}  // namespace

TEST_F(HubRateLimits, NoApiRequestGoesOutBeforeTheWindowEnds) {
  ASSERT_TRUE(SetHubLimits("api=3&window=2"));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(ListReposPage("files-org", "", 10, ModelRepo).outcome.complete) << i;
  // (The quota, window and seconds left read off these answers: the message browse/ratelimit_test checks.)
  const RepoPage held = ListReposPage("files-org", "", 10, ModelRepo);
  EXPECT_TRUE(held.outcome.rate_limited);
  EXPECT_FALSE(held.outcome.complete);
  EXPECT_EQ(held.outcome.status, 429u);
  EXPECT_FALSE(CheckApiKey("hf_test_good"));
  std::vector<LoggedRequest> log = FetchHubLog();
  ASSERT_EQ(log.size(), 3u);  // the fourth and fifth were never sent: the hub answered no 429
  for (const LoggedRequest& r : log) EXPECT_EQ(r.status, 200) << r.path;

  for (int i = 0; i < 200 && ApiRateLimit().paused; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(ListReposPage("files-org", "", 10, ModelRepo).outcome.complete);  // a new window

  // A client that knows nothing of the exhausted window meets the hub's own 429: paused by its "t".
  for (int i = 0; i < 2; ++i) ListReposPage("files-org", "", 10, ModelRepo);
  ForgetRateLimits();
  ResetHubLog();
  const RepoPage refused = ListReposPage("files-org", "", 10, ModelRepo);
  EXPECT_TRUE(refused.outcome.rate_limited);
  EXPECT_EQ(refused.outcome.status, 429u);
  ListReposPage("files-org", "", 10, ModelRepo);
  log = FetchHubLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].status, 429);
  EXPECT_TRUE(ApiRateLimit().paused);
  EXPECT_LE(ApiRateLimit().seconds_left, 2);
}
