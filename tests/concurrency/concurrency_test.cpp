// Two host threads inside the module at once: downloads (with the listings and page loads they
// need) on background threads while the main thread lists folders and saves the configuration.
// Run under ThreadSanitizer (label tsan): a race or a lock-order problem fails the run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "plugin/text.h"
#include "support/fakehub_client.h"
#include "support/test_env.h"

using nlohmann::json;

namespace {

class Concurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(HubUrl().empty()) << "run through tools/fakehub/run_with_hub.py";
    config_ = ResetConfigFolder();
    downloads_ = MakeTempFolder("concurrent");
  }
  void Configure(const std::string& hub_suffix) {
    module_.Unload();
    json entries = json::array({
        {{"display_name", "Files"}, {"type", "org-models"}, {"org", "files-org"}},
        {{"display_name", "Big"}, {"type", "org-models"}, {"org", "big-org"}, {"limit_count", 10}},
        {{"display_name", "Colls"}, {"type", "org-collections"}, {"org", "coll-org"}},
        {{"display_name", "One"}, {"type", "single-model"}, {"repo_id", "space owner/model one"}},
    });
    const json doc = {{"hub_url", HubUrl() + hub_suffix}, {"cache_ttl_hours", 24}, {"entries", entries}};
    WriteTextFile(JoinFsPath(config_, u"favorites.json"), doc.dump(2));
    ASSERT_TRUE(module_.Load());
    g_host.Clear();
  }
  size_t Count(const std::string& path) {
    std::vector<ListedRecord> records;
    ListThroughModule(module_.m, path, &records);
    return records.size();
  }
  int32_t Copy(const std::string& remote, const std::string& local, int32_t flags = 1) {
    std::basic_string<HostChar> r = H(remote);
    const std::u16string target = JoinFsPath(downloads_, Utf8ToWide(local));
    std::basic_string<HostChar> l(target.begin(), target.end());
    return module_.m.FsGetFileW(r.data(), l.data(), flags, nullptr);
  }
  int32_t Rename(const std::string& from, const std::string& to) {
    std::basic_string<HostChar> a = H(from);
    std::basic_string<HostChar> b = H(to);
    return module_.m.FsRenMovFileW(a.data(), b.data(), 0, 0, nullptr);
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

  std::u16string config_;
  std::u16string downloads_;
  LoadedModule module_;
};

TEST_F(Concurrency, DownloadsRunWhileTheMainThreadBrowsesAndSaves) {
  Configure("");
  ASSERT_EQ(Count("\\One"), 2u);  // a cached folder for the main thread
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  auto downloader = [&](int id) {
    for (int i = 0; i < 4; ++i) {
      const std::string n = std::to_string(id) + "-" + std::to_string(i);
      if (Copy("\\Files\\basic\\weights.safetensors", "w" + n) != 0) ++failures;
      if (Copy("\\Colls\\Favourites\\basic\\config.json", "c" + n) != 0) ++failures;
      // The paging item loads a page on this thread and writes the entry's cache time back.
      if (Copy("\\Big\\[Load next 10 models]", "p" + n) != 6) ++failures;
    }
  };
  std::thread a(downloader, 1);
  std::thread b(downloader, 2);
  std::thread watcher([&] {
    a.join();
    b.join();
    done = true;
  });
  int rounds = 0;
  while (!done || rounds < 3) {
    EXPECT_GE(Count("\\"), 7u);
    EXPECT_EQ(Count("\\One"), 2u);
    Count("\\Files\\basic\\nested");
    Count("\\Big");
    EXPECT_EQ(Rename("\\One", "\\Uno"), 0);  // each rename saves favorites.json
    EXPECT_EQ(Rename("\\Uno", "\\One"), 0);
    ++rounds;
  }
  watcher.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GE(Count("\\Big"), 11u);
  const json saved = json::parse(ReadTextFile(JoinFsPath(config_, u"favorites.json")), nullptr, false);
  ASSERT_TRUE(saved.is_object());
  EXPECT_EQ(saved["entries"].size(), 4u);
  EXPECT_GT(saved["entries"][1].value("cached_at", int64_t{0}), 0);
}

TEST_F(Concurrency, NoRequestOrCacheWorkHoldsTheLock) {
  Configure("");
  ASSERT_EQ(Count("\\One"), 2u);
  ASSERT_EQ(Count("\\Files\\basic"), 11u);
  // Every request now waits seconds before the hub answers.
  Configure("__fault/delay=4000/");
  ResetHubLog();
  for (const std::string remote : {"\\Files\\basic\\README.md", "\\Big\\[Load next 10 models]"}) {
    std::atomic<bool> finished{false};
    int32_t result = -1;
    std::thread background([&] {
      result = Copy(remote, "slow", 1);
      finished = true;
    });
    ASSERT_TRUE(WaitForRequestInProgress(remote.find("Big") != std::string::npos ? "author=big-org" : "README.md"));
    // The background thread is inside a request now: the main thread's work must not wait for it.
    EXPECT_EQ(Count("\\One"), 2u);
    EXPECT_EQ(Count("\\Files\\basic\\nested"), 1u);
    EXPECT_EQ(Rename("\\One", "\\Uno"), 0);
    EXPECT_EQ(Rename("\\Uno", "\\One"), 0);
    EXPECT_FALSE(finished.load()) << remote << ": the main thread waited for the request";
    background.join();
    EXPECT_EQ(result, remote.find("Big") != std::string::npos ? 6 : 0) << remote;
    ResetHubLog();
  }
}

}  // namespace
