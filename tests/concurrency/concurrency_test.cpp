// Host threads inside the module at once: downloads (with the listings and page loads they need) on
// background threads while the main thread lists folders and renames an entry, which saves the
// configuration. Run under ThreadSanitizer (label tsan): a race or a lock-order problem fails the run.
#include <atomic>
#include <future>
#include <thread>

#include "browse/browse_fixture.h"
#include "config/entries_from_url.h"
#include "hub/content_hash.h"
#include "hub/download.h"
#include "hub/transfer.h"
#include "core/state.h"

namespace {

class Concurrency : public BrowseTest {
 protected:
  // Under "hold" the main thread's listings ask nothing: the commits were asked for by the listings
  // before, and are not asked again however long a held copy takes.
  void Configure(const std::string& hub_suffix = "") {
    json entries = AllKinds();
    entries.push_back(EntryJson("Big", "org-models", "big-org", false, 10));
    BrowseTest::Configure(entries, hub_suffix, "", {{"check_changes_seconds", hub_suffix.empty() ? 60 : 3600}});
    ASSERT_EQ(List("\\One").size(), 2u);  // stored folders for the main thread
    ASSERT_EQ(List("\\Files\\basic").size(), 11u);
    ASSERT_EQ(List("\\Files\\basic\\nested").size(), 1u);
  }
  void MainThreadWork() {  // the rename saves favorites.json twice
    EXPECT_EQ(List("\\").size(), 10u);  // seven entries and the fixed records
    EXPECT_EQ(List("\\One").size(), 2u);
    EXPECT_EQ(List("\\Files\\basic\\nested").size(), 1u);
    std::basic_string<HostChar> one = H("\\One"), uno = H("\\Uno");
    EXPECT_EQ(module_.m.FsRenMovFileW(one.data(), uno.data(), 0, 0, nullptr), 0);
    EXPECT_EQ(module_.m.FsRenMovFileW(uno.data(), one.data(), 0, 0, nullptr), 0);
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
      {"\\Files\\basic\\README.md", "/files-org/basic/resolve/", 0},  // at main, or the commit listed
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

using LockedWork = FakeHubTest;

// Fault: adding an organisation held the plugin-wide lock across the hub's collections pages, so a
// download needing any accessor waited for as long as those requests took.
TEST_F(LockedWork, AddingAnOrganisationAsksTheHubWithoutTheLock) {
  ResetLinkedState(MakeTempFolder("add-lock"));
  WithFault("hold");
  std::future<int> added = std::async(std::launch::async, [] {
    return AddEntriesFromUrl(u"coll-org", false, true, 300, false, true, false, false);
  });
  ASSERT_TRUE(WaitForRequestInProgress("/api/collections?owner=coll-org"));
  // The download's first accessor, while the hub still holds the request.
  std::future<std::string> key = std::async(std::launch::async, [] { return ApiKeyUtf8(); });
  const bool answered = key.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(WaitForRequestInProgress("/api/collections?owner=coll-org")) << "answered before the release";
  while (added.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) ReleaseHeldRequests();
  EXPECT_TRUE(answered) << "the accessor waited for the hub";
  EXPECT_EQ(added.get(), 1);
  StateLock guard(g_state.lock);
  ASSERT_EQ(g_state.entries.size(), 1u);
  EXPECT_EQ(g_state.entries[0].display_name, u"coll-org - collections");
}

// The date worker merging pages into a large folder's record while the main thread lists that folder
// and the host's transfer thread copies files from it (each copy reads the record for the file's
// hashes) and lists it too, which neither stops the worker nor starts another.
TEST_F(Concurrency, TheDateWorkerAgainstListingsAndCopies) {
  json entries = AllKinds();
  entries.push_back(EntryJson("Scale", "org-models", "scale-org"));
  BrowseTest::Configure(entries);
  const std::string many = "\\Scale\\dated\\many";
  ASSERT_EQ(List(many).size(), 150u);  // the worker starts
  std::atomic<int> failures{0};
  std::atomic<bool> finished{false};
  std::thread copies([&] {
    for (int i = 0; i < 12; ++i) {
      const std::string name = "f-00" + std::to_string(i % 10) + ".txt";
      failures += GetFile(many + "\\" + name, LocalPath(std::to_string(i)), 1) != 0;
      failures += List(many).size() != 150u;
    }
    finished = true;
  });
  TreeFolderRecord record;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((!finished.load() || !(ReadRecord("scale-org/dated", "many", &record) && record.dates_complete)) &&
         std::chrono::steady_clock::now() < deadline) {
    EXPECT_EQ(List(many).size(), 150u);
  }
  copies.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(record.items.at(9).mtime, 1704067200 + 9 * 86400);
}

// Three downloads of one file in the core at once, the third cancelled on the way: parallel ranges
// (connection threads, the hasher, the coordinating thread) or copies from the local HuggingFace cache
// (each hashed on a thread of its own while it copies).
class ThreeDownloads : public FakeHubTest {
 protected:
  void SetUp() override {
    FakeHubTest::SetUp();
    StateLock guard(g_state.lock);
    g_state.config_folder = folder_;
  }
  void TearDown() override {
    SetTransferTuningForTesting(0, 0);
    IsolateLocalHfCache();
    FakeHubTest::TearDown();
  }
  static std::string Pattern(size_t size) {
    std::string pattern(size, '\0');
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i % 251);
    return pattern;
  }
  // Fetches files-org/basic's big.bin, listed with `oid`, to big-0, big-1 and big-2 at once; the third
  // is cancelled at its `cancel_at`th progress call.
  void FetchThree(const std::string& pattern, const std::string& oid, int connections, size_t cancel_at) {
    const auto fetch = [&](int n, size_t cancel) {
      DownloadRequest r;
      r.repo_id = "files-org/basic";
      r.file_path = "big.bin";
      r.local_path = Big(n);
      r.listed.size = static_cast<int64_t>(pattern.size());
      r.listed.oid = oid;
      r.connections = connections;
      size_t calls = 0;
      r.progress = [&calls, cancel](int64_t, int64_t) { return ++calls != cancel; };
      return DownloadFile(std::move(r));
    };
    DownloadResult results[3] = {};
    std::thread a([&] { results[0] = fetch(0, 0); }), b([&] { results[1] = fetch(1, 0); });
    results[2] = fetch(2, cancel_at);
    a.join();
    b.join();
    EXPECT_EQ(results[0], DownloadOk);
    EXPECT_EQ(results[1], DownloadOk);
    EXPECT_EQ(results[2], DownloadCancelled);
    EXPECT_TRUE(ReadTextFile(Big(0)) == pattern);
    EXPECT_TRUE(ReadTextFile(Big(1)) == pattern);
  }
  std::u16string Big(int n) const { return JoinFsPath(folder_, Utf8ToWide("big-" + std::to_string(n))); }

  const std::u16string folder_ = MakeTempFolder("three-downloads");
};

TEST_F(ThreeDownloads, ParallelRangesAndACancel) {
  SetTransferTuningForTesting(1, 200001);
  WithFault("rate=4000000");
  FetchThree(Pattern(3000000), "7f92e5b61d46b47560d93d52fad339ef483b3491", 4, 4);
  EXPECT_TRUE(FileExists(Big(2) + u".tarnfs-part"));  // kept for the next copy
}

TEST_F(ThreeDownloads, LocalHfCacheCopiesAndACancel) {
  const std::u16string hf = MakeTempFolder("hf-hub");
  const std::string pattern = Pattern((9 << 20) + 7);
  ContentCheck check;
  check.algorithm = HashAlgorithm::Sha1;
  check.git_blob = true;
  ContentHasher hasher;
  ASSERT_TRUE(hasher.Begin(check, static_cast<int64_t>(pattern.size())));
  hasher.Update(pattern.data(), pattern.size());
  const std::string oid = hasher.EndHex();
  WriteTextFile(JoinFsPath(JoinFsPath(JoinFsPath(hf, u"models--files-org--basic"), u"blobs"), Utf8ToWide(oid)), pattern);
  SetEnvironment("HF_HUB_CACHE", hf);
  FetchThree(pattern, oid, PluginState::kDefaultDownloadConnections, 3);
  EXPECT_FALSE(FileExists(Big(2)));
  EXPECT_FALSE(FileExists(Big(2) + u".tarnfs-part"));  // a copy keeps nothing: it costs little again
  EXPECT_TRUE(FetchHubLog().empty());
}

}  // namespace
