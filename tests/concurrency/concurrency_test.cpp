// Host threads inside the module at once: downloads (with the listings and page loads they need) on
// background threads while the main thread lists folders and renames an entry, which saves the
// configuration. Run under ThreadSanitizer (label tsan): a race or a lock-order problem fails the run.
#include <atomic>
#include <thread>

#include "browse/browse_fixture.h"

namespace {

class Concurrency : public BrowseTest {
 protected:
  void Configure(const std::string& hub_suffix = "") {
    json entries = AllKinds();
    entries.push_back(EntryJson("Big", "org-models", "big-org", false, 10));
    BrowseTest::Configure(entries, hub_suffix);
    ASSERT_EQ(List("\\One").size(), 2u);  // stored folders for the main thread
    ASSERT_EQ(List("\\Files\\basic").size(), 11u);
  }
  void MainThreadWork() {  // the rename saves favorites.json twice
    EXPECT_EQ(List("\\").size(), 10u);  // seven entries and the fixed records
    EXPECT_EQ(List("\\One").size(), 2u);
    EXPECT_EQ(List("\\Files\\basic\\nested").size(), 1u);
    std::basic_string<HostChar> one = H("\\One"), uno = H("\\Uno");
    EXPECT_EQ(module_.m.FsRenMovFileW(one.data(), uno.data(), 0, 0, nullptr), 0);
    EXPECT_EQ(module_.m.FsRenMovFileW(uno.data(), one.data(), 0, 0, nullptr), 0);
  }
  // Waits until the fake hub has received a request whose path contains `part` and not answered it.
  bool WaitForRequestInProgress(const std::string& part) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const LoggedRequest& r : FetchHubLog()) {
        if (r.path.find(part) != std::string::npos && r.status == -1) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
};

TEST_F(Concurrency, DownloadsRunWhileTheMainThreadListsAndSaves) {
  Configure();
  std::atomic<int> failures{0}, finished{0};
  const auto downloader = [&](int id) {
    for (int i = 0; i < 4; ++i) {
      const std::string n = std::to_string(id) + "-" + std::to_string(i);
      failures += GetFile("\\Files\\basic\\weights.safetensors", LocalPath("w" + n)) != 0;
      failures += GetFile("\\Colls\\Favourites\\basic\\config.json", LocalPath("c" + n)) != 0;
      // The paging item loads a page on this thread and writes the entry's cache time back.
      failures += GetFile("\\Big\\[Load next 10 models]", LocalPath("p" + n)) != 6;
    }
    ++finished;
  };
  std::thread a(downloader, 1), b(downloader, 2);
  for (int rounds = 0; finished < 2 || rounds < 3; ++rounds) {
    MainThreadWork();
    List("\\Big");
  }
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0);
  const json saved = json::parse(ReadTextFile(JoinFsPath(config_, u"favorites.json")));
  EXPECT_GT(saved["entries"][6].value("cached_at", int64_t{0}), 0);
}

TEST_F(Concurrency, NoRequestHoldsTheLock) {
  Configure();
  Configure("__fault/hold/");  // every request now waits at the hub until the test releases it
  const struct { const char* remote; const char* request; int32_t result; } jobs[] = {
      {"\\Files\\basic\\README.md", "/resolve/main/README.md", 0},
      {"\\Big\\[Load next 10 models]", "author=big-org", 6}};
  for (const auto& job : jobs) {
    std::atomic<bool> finished{false};
    int32_t result = -1;
    std::thread background([&] {
      result = GetFile(job.remote, LocalPath("slow"), 1);
      finished = true;
    });
    ASSERT_TRUE(WaitForRequestInProgress(job.request)) << job.request;
    // The request cannot end before the release below, so if the background thread held the lock
    // across it, this would not return until then.
    MainThreadWork();
    EXPECT_TRUE(WaitForRequestInProgress(job.request)) << job.request << ": answered before the release";
    EXPECT_FALSE(finished.load()) << job.remote;
    ReleaseHeldRequests();
    background.join();
    EXPECT_EQ(result, job.result) << job.remote;
  }
}

}  // namespace
