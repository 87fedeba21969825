// The hub's rate limits through the exports, with small quotas on the fake hub: listings send nothing
// while the API waits for its window's end, and the user hears of a limit once per window, on the
// host's main thread, through the request callback, with a log line of the same text.
#include <chrono>
#include <thread>

#include "browse/browse_fixture.h"

namespace {

class RateLimits : public BrowseTest {
 protected:
  void TearDown() override { SetHubLimits("lift=true"); }
  std::vector<std::string> Questions() {
    std::lock_guard<std::mutex> guard(g_host.lock);
    return g_host.questions;
  }
};

const std::string kApiLimit = "The HuggingFace API limit is reached (2 requests per 2 seconds). Listings continue in ";

TEST_F(RateLimits, ListingsWaitForTheWindowsEndAndTheUserIsToldOncePerWindow) {
  Configure(AllKinds());
  ASSERT_TRUE(SetHubLimits("api=2&window=2"));
  EXPECT_EQ(Names("\\Files").size(), 9u);
  EXPECT_TRUE(Questions().empty());
  EXPECT_EQ(Names("\\FilesDs").size(), 1u);  // the window's last request: the API waits from here
  std::vector<std::string> told = Questions();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_TRUE(told[0] == kApiLimit + "2 s." || told[0] == kApiLimit + "1 s.") << told[0];
  EXPECT_TRUE(g_host.HasLogLine(told[0]));
  EXPECT_EQ(TakeRequests().size(), 2u);

  EXPECT_TRUE(List("\\Colls").empty());
  EXPECT_TRUE(TakeRequests().empty());
  EXPECT_FALSE(FileExists(CacheFile("org_collections_coll-org")));  // nothing arrived, nothing stored
  EXPECT_EQ(Questions().size(), 1u);

  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // the window's end
  EXPECT_FALSE(List("\\One").empty());  // its commit, then its tree: the next window's last request
  EXPECT_EQ(TakeRequests().size(), 2u);
  told = Questions();
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told[1].rfind(kApiLimit, 0), 0u) << told[1];
}

TEST_F(RateLimits, ALimitACopyRanIntoOnAnotherThreadIsToldAtTheNextMainThreadExport) {
  Configure(AllKinds());
  EXPECT_EQ(Names("\\Files\\basic").size(), 11u);
  ASSERT_TRUE(SetHubLimits("resolvers=1&window=60&retry_after=seconds"));
  ASSERT_EQ(GetFile("\\Files\\basic\\lfs-note.txt", LocalPath("a")), 0);
  int32_t result = -1;
  std::thread copy([&] { result = GetFile("\\Files\\basic\\lfs-note.txt", LocalPath("b")); });
  copy.join();
  EXPECT_EQ(result, 3);
  EXPECT_FALSE(FileExists(LocalPath("b")));
  const std::string failed = "The HuggingFace download limit is reached (1 request per minute). Try the copy again in ";
  EXPECT_EQ(CountWithPrefix(g_host.Log(), failed), 1u);
  EXPECT_TRUE(Questions().empty());  // not on the copy's thread

  List("\\Files");
  std::vector<std::string> told = Questions();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].rfind(failed, 0), 0u) << told[0];
  // Another copy in the same window, on the main thread: logged, not told again.
  EXPECT_EQ(GetFile("\\Files\\basic\\lfs-note.txt", LocalPath("c")), 3);
  EXPECT_EQ(CountWithPrefix(g_host.Log(), failed), 2u);
  EXPECT_EQ(Questions().size(), 1u);
}

}  // namespace
