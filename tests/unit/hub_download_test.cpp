// DownloadFile over a scripted exchange: the progress throttle on an injected clock, results, the
// temporary file and what becomes of a file already standing at the target.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "hub/download.h"
#include "hub_scripted_exchange.h"
#include "support/test_env.h"

namespace {

uint64_t g_now = 0;
uint64_t FakeClock() { return g_now; }

struct Report {
  int64_t done;
  int64_t total;
  bool operator==(const Report& o) const { return done == o.done && total == o.total; }
};

class DownloadUnit : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 1000;
    SetDownloadTickSourceForTesting(&FakeClock);
    folder_ = MakeTempFolder("hub-download-unit");
    target_ = JoinFsPath(folder_, u"out.bin");
  }
  void TearDown() override { SetDownloadTickSourceForTesting(nullptr); }

  static const std::string& Url() {
    static const std::string url = "https://hub.test/o/m/resolve/main/w.bin";
    return url;
  }
  ScriptedResponse& Body(std::vector<std::string> chunks, int64_t length) {
    ScriptedResponse& r = hub_.Answer(Url(), "");
    r.chunks = std::move(chunks);
    r.has_length = length >= 0;
    r.content_length = std::to_string(length);
    return r;
  }
  DownloadResult Run() {
    reports_.clear();
    return DownloadFile("o/m", "w.bin", target_, "", [this](int64_t done, int64_t total) {
      reports_.push_back({done, total});
      return true;
    }, 0);
  }
  size_t FilesInFolder() const {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(FsPath(folder_))) n += e.is_regular_file() ? 1 : 0;
    return n;
  }

  ScriptedHub hub_;
  std::u16string folder_;
  std::u16string target_;
  std::vector<Report> reports_;
};

}  // namespace

TEST_F(DownloadUnit, ReportsEachPercentChangeAndOtherwiseEveryHundredMs) {
  // 200 bytes in 1-byte pieces: a new percent every second piece; the clock stands still.
  Body(std::vector<std::string>(200, "x"), 200);
  ASSERT_EQ(Run(), DownloadOk);
  ASSERT_EQ(reports_.size(), 101u + 1u);  // 0..100 % (the first piece is 0 %), then the final report
  EXPECT_EQ(reports_[0], (Report{1, 200}));
  EXPECT_EQ(reports_[1], (Report{2, 200}));
  EXPECT_EQ(reports_[2], (Report{4, 200}));
  EXPECT_EQ(reports_[100], (Report{200, 200}));
  EXPECT_EQ(reports_[101], (Report{200, 200}));

  // Without a length the percent never changes: only time brings a report.
  Body(std::vector<std::string>(10, "y"), -1);
  hub_.before_chunk = [](size_t i) { g_now += i == 0 ? 0 : 40; };  // pieces at +0, +40, +80, ... ms
  g_now = 1000;
  ASSERT_EQ(Run(), DownloadOk);
  EXPECT_EQ(reports_, (std::vector<Report>{{1, -1}, {4, -1}, {7, -1}, {10, -1}, {10, -1}}));
  EXPECT_EQ(ReadTextFile(target_), "yyyyyyyyyy");
}

// Fault: a failed download truncated, then deleted, the file the user already had at the target.
TEST_F(DownloadUnit, EveryFailureLeavesAnExistingTargetAsItWas) {
  struct Case {
    uint32_t status;
    bool break_body;
    int64_t length;
    DownloadResult expected;
  };
  const Case cases[] = {
      {401, false, 6, DownloadDenied},  {403, false, 6, DownloadDenied},  {404, false, 6, DownloadNotFound},
      {500, false, 6, DownloadFailed},  {200, true, 6, DownloadFailed},   {200, false, 9, DownloadFailed},
      {200, false, 4, DownloadFailed},  {206, false, 6, DownloadFailed},
  };
  for (const Case& c : cases) {
    WriteTextFile(target_, "keep me");
    ScriptedResponse& r = Body({"abc", "def"}, c.length);
    r.status = c.status;
    r.fail_after_chunks = c.break_body;
    EXPECT_EQ(Run(), c.expected) << c.status << " " << c.length;
    EXPECT_EQ(ReadTextFile(target_), "keep me") << c.status;
    EXPECT_EQ(FilesInFolder(), 1u) << c.status;
  }
  hub_.responses[ScriptedHub::Key(Url())].no_response = true;
  EXPECT_EQ(Run(), DownloadFailed);
  EXPECT_EQ(ReadTextFile(target_), "keep me");
}

TEST_F(DownloadUnit, AnUnwritableTargetFailsWithoutReadingTheBody) {
  Body({"abc"}, 3);
  target_ = JoinFsPath(JoinFsPath(folder_, u"missing-folder"), u"x.bin");
  EXPECT_EQ(Run(), DownloadFailed);
  EXPECT_TRUE(reports_.empty());
}

TEST_F(DownloadUnit, AThrowingProgressCallbackIsAFailureAndTheCallbackIsReleased) {
  Body({"abc"}, 3);
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  const auto throwing = [held = std::move(token)](int64_t, int64_t) -> bool {
    throw std::runtime_error("host went away");
  };
  EXPECT_EQ(DownloadFile("o/m", "w.bin", target_, "", throwing, 0), DownloadFailed);
  EXPECT_FALSE(watch.expired());  // `throwing` still holds it here; DownloadFile held only a copy
  EXPECT_EQ(watch.use_count(), 1);
  EXPECT_EQ(FilesInFolder(), 0u);
}

TEST_F(DownloadUnit, FollowsARedirectFromHttpsToPlainHttpWithoutTheKey) {
  hub_.Redirect("https://hub.test/datasets/o/d%20s/resolve/main/dir/caf%C3%A9%20x.txt", "http://cdn.test/blob", 302);
  hub_.Answer("http://cdn.test/blob", "payload");
  EXPECT_EQ(DownloadFile("o/d s", "dir/caf\xc3\xa9 x.txt", target_, "hf_secret", nullptr, 1), DownloadOk);
  EXPECT_EQ(ReadTextFile(target_), "payload");
  ASSERT_EQ(hub_.requests.size(), 2u);
  EXPECT_EQ(hub_.requests[0].bearer_key, "hf_secret");
  EXPECT_EQ(hub_.requests[0].receive_timeout_ms, 120000u);
  EXPECT_EQ(hub_.requests[0].read_chunk, 262144u);
  EXPECT_EQ(hub_.requests[1].bearer_key, "");  // the CDN never sees the key

}

