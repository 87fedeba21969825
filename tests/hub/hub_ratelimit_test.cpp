// The hub's rate limits against the fake hub with small quotas (through both transports): API requests
// held back until the window's end, and downloads that wait a short Retry-After once, hear a cancel
// meanwhile and never ask in a loop. (The hub's word on a file, X-Linked-*, read off its redirect:
// unit/hub_download_test; the header lines of a real answer reach it as the RateLimit ones do here.)
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "hub/api.h"
#include "hub/download.h"
#include "hub/ratelimit.h"
#include "hub/transfer.h"
#include "core/state.h"
#include "core/text.h"
#include "support/fakehub_client.h"
#include "support/test_env.h"

namespace {

class HubRateLimits : public FakeHubTest {
 protected:
  void SetUp() override {
    FakeHubTest::SetUp();
    g_host.Clear();
    StateLock guard(g_state.lock);
    g_state.config_folder = MakeTempFolder("ratelimit-config");  // where kept parts are recorded
    g_state.cache_folder = JoinFsPath(g_state.config_folder, u"cache");
    g_state.log = RecordLog;
  }
  void TearDown() override {
    SetHubLimits("lift=true");
    SetTransferTuningForTesting(0, 0);
    g_state.log = nullptr;
    FakeHubTest::TearDown();
  }
  DownloadResult Fetch(const std::string& path, size_t cancel_at = 0, int connections = 8) {
    DownloadRequest r;
    r.repo_id = "files-org/basic";
    r.file_path = path;
    r.local_path = target_;
    r.connections = connections;
    reports_ = 0;
    r.progress = [this, cancel_at](int64_t, int64_t) { return ++reports_ != cancel_at; };
    return DownloadFile(std::move(r));
  }
  // The statuses the hub answered since the last reset, to requests that count against downloads.
  static std::vector<int> Resolves() {
    std::vector<int> statuses;
    for (const LoggedRequest& r : FetchHubLog()) {
      if (r.host == "hub" && r.path.find("/api/models") == std::string::npos) statuses.push_back(r.status);
    }
    return statuses;
  }
  static size_t LogLinesStarting(const std::string& prefix) {
    size_t n = 0;
    for (const std::string& l : g_host.Log()) n += l.rfind(prefix, 0) == 0;
    return n;
  }

  std::u16string target_ = JoinFsPath(MakeTempFolder("ratelimit"), u"target.bin");
  size_t reports_ = 0;
};

}  // namespace

TEST_F(HubRateLimits, NoApiRequestGoesOutBeforeTheWindowEnds) {
  ASSERT_TRUE(SetHubLimits("api=3&window=2"));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(ListReposPage("files-org", "", 10, 0).outcome.complete) << i;
  // (The quota, window and seconds left read off these answers: the message browse/ratelimit_test checks.)
  const RepoPage held = ListReposPage("files-org", "", 10, 0);
  EXPECT_TRUE(held.outcome.rate_limited);
  EXPECT_FALSE(held.outcome.complete);
  EXPECT_EQ(held.outcome.status, 429u);
  EXPECT_FALSE(CheckApiKey("hf_test_good"));
  std::vector<LoggedRequest> log = FetchHubLog();
  ASSERT_EQ(log.size(), 3u);  // the fourth and fifth were never sent: the hub answered no 429
  for (const LoggedRequest& r : log) EXPECT_EQ(r.status, 200) << r.path;

  for (int i = 0; i < 200 && ApiRateLimit().paused; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(ListReposPage("files-org", "", 10, 0).outcome.complete);  // a new window

  // A client that knows nothing of the exhausted window meets the hub's own 429: paused by its "t".
  for (int i = 0; i < 2; ++i) ListReposPage("files-org", "", 10, 0);
  ForgetRateLimits();
  ResetHubLog();
  const RepoPage refused = ListReposPage("files-org", "", 10, 0);
  EXPECT_TRUE(refused.outcome.rate_limited);
  EXPECT_EQ(refused.outcome.status, 429u);
  ListReposPage("files-org", "", 10, 0);
  log = FetchHubLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].status, 429);
  EXPECT_TRUE(ApiRateLimit().paused);
  EXPECT_LE(ApiRateLimit().seconds_left, 2);
}

TEST_F(HubRateLimits, ADownloadWaitsAShortRetryAfterOnceAndNeverAsksInALoop) {
  const std::string failed = "The HuggingFace download limit is reached (1 request per ";
  const struct {
    const char* limits;
    const char* path;
    bool use_up;        // one copy first spends the window's quota
    size_t cancel_at;   // progress report that cancels; 0: none
    DownloadResult expected;
    std::vector<int> resolves;  // the hub's answers to the copy's download requests
  } cases[] = {
      {"resolvers=1&window=2&retry_after=seconds", "lfs-note.txt", true, 0, DownloadOk, {429, 302}},
      {"resolvers=1&window=2&retry_after=date", "lfs-note.txt", true, 0, DownloadOk, {429, 302}},
      // A small file's second hop counts too: refused again after the one wait, the copy fails.
      {"resolvers=1&window=2&retry_after=seconds", "README.md", false, 0, DownloadFailed, {307, 429, 307, 429}},
      {"resolvers=1&window=60&retry_after=seconds", "lfs-note.txt", true, 0, DownloadFailed, {429}},  // over 30 s
      {"resolvers=1&window=5&retry_after=none", "lfs-note.txt", true, 0, DownloadFailed, {429}},
      // The host is asked while the copy waits, and its cancel ends the wait.
      {"resolvers=1&window=20&retry_after=seconds", "lfs-note.txt", true, 3, DownloadCancelled, {429}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(SetHubLimits(c.limits)) << c.limits;
    if (c.use_up) ASSERT_EQ(Fetch(c.path), DownloadOk) << c.limits;
    std::filesystem::remove(FsPath(target_));
    ResetHubLog();
    g_host.Clear();
    EXPECT_EQ(Fetch(c.path, c.cancel_at), c.expected) << c.limits << " " << c.path;
    EXPECT_EQ(Resolves(), c.resolves) << c.limits << " " << c.path;
    EXPECT_EQ(LogLinesStarting(failed), c.expected == DownloadFailed ? 1u : 0u) << c.limits << " " << c.path;
    EXPECT_EQ(FileExists(target_), c.expected == DownloadOk) << c.limits << " " << c.path;
    if (c.cancel_at) EXPECT_EQ(reports_, c.cancel_at) << c.limits;
  }
}

// Fault: a range answered 429 was asked for again at once, twice more, before the copy gave up.
TEST_F(HubRateLimits, ARangeRefusedForTheLimitIsNotAskedAgain) {
  // big.bin is a small file's cached copy on the hub: its ranges count against downloads. Its 307 and
  // first piece spend two, the second piece the third, and the third piece is refused.
  SetTransferTuningForTesting(1, 1000000);
  ASSERT_TRUE(SetHubLimits("resolvers=3&window=60"));
  EXPECT_EQ(Fetch("big.bin", 0, 1), DownloadFailed);
  EXPECT_EQ(Resolves(), (std::vector<int>{307, 200, 206, 429}));
  EXPECT_EQ(LogLinesStarting("The HuggingFace download limit is reached (3 requests per minute). Try the copy again in "), 1u);
}
