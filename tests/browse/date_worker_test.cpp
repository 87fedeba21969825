// The date worker's lifetime through the exports: what stops and joins it (and ends its request in
// flight), what lets it go on, a process exit while it runs. The hub holds every request
// ("hold"), so a worker that is still there has its first page in flight, and an export that returns
// while the hub still holds that page has ended it rather than waited for it.
#include <cstdlib>

#include "browse/browse_fixture.h"

namespace {

const char* const kMany = "\\Scale\\dated\\many";

class DateWorkerLifetime : public BrowseTest {
 protected:
  void SetUp() override {
    BrowseTest::SetUp();
    dates_page_ = "/api/models/scale-org/dated/tree/" + HubCommitOf("models", "scale-org/dated") +
                  "/many?expand=true&limit=100";
  }
  void TearDown() override {
    ReleaseHeldRequests();
    BrowseTest::TearDown();
  }
  // The folder's names (and a small folder's) stored by a listing on another thread (which starts no
  // worker); the module loaded again against a hub that holds every request; then the main thread's
  // listing, from the record, starts the worker, whose first page stays in flight. False when any step
  // did not happen. `count_threads`: also that the worker is the one thread more.
  bool StartHeldWorker(bool count_threads = true) {
    Configure(AllKindsAndScale());
    size_t listed = 0;
    std::thread([&] { listed = Names(kMany).size() + Names("\\Scale\\dated\\small").size(); }).join();
    if (listed != 152) return false;
    // The commit was asked for a moment ago; however long this takes, none is asked under "hold".
    Configure(AllKindsAndScale(), "__fault/hold/", "", {{"check_changes_seconds", 3600}});
    threads_before_ = ProcessThreadCount();
    // Settles: under Wine, WinHTTP's own thread for kept connections may come or go meanwhile.
    return Names(kMany).size() == 150 && WaitForRequestInProgress(dates_page_) &&
           (!count_threads || ThreadCountSettlesAt(threads_before_ + 1));
  }
  int threads_before_ = 0;
  std::string dates_page_;  // the worker's first page, at the commit listed
};

TEST_F(DateWorkerLifetime, AnotherFolderOrAnyCommandOnTheMainThreadStopsAndJoinsIt) {
  const std::string file = std::string(kMany) + "\\f-000.txt";
  PluginModule& m = module_.m;  // loaded afresh for each way
  const std::vector<std::pair<std::string, std::function<void()>>> ways = {
      {"listing the root", [&] { List("\\"); }},
      {"listing another folder", [&] { EXPECT_EQ(Names("\\Scale\\dated\\small").size(), 2u); }},
      {"FsExecuteFileW", [&] { Execute(file); }},
      {"FsMkDirW", [&] { m.FsMkDirW(H("\\Scale\\new folder").data()); }},  // the entry's settings: "no", closed
      {"FsDeleteFileW", [&] { m.FsDeleteFileW(H(file).data()); }},
      {"FsRemoveDirW", [&] { m.FsRemoveDirW(H(kMany).data()); }},
      {"FsRenMovFileW", [&] { m.FsRenMovFileW(H("\\No such entry").data(), H("\\Another").data(), 0, 0, nullptr); }},
      {"FsStatusInfoW", [&] { m.FsStatusInfoW(H("\\Scale").data(), kStatusStart, 4); }},  // a copy begins
  };
  for (const auto& [how, call] : ways) {
    ASSERT_TRUE(StartHeldWorker()) << how;
    call();
    EXPECT_TRUE(WaitForRequestInProgress(dates_page_)) << how << ": the page was answered, not ended";
    EXPECT_TRUE(ThreadCountSettlesAt(threads_before_)) << how << ": the worker's thread is still there";
    ReleaseHeldRequests();
  }
}

TEST_F(DateWorkerLifetime, ListingsOfItsOwnFolderOrOnAnotherThreadLetItGoOn) {
  ASSERT_TRUE(StartHeldWorker());
  EXPECT_EQ(Names(kMany).size(), 150u);                        // its own folder again
  std::thread([&] { EXPECT_FALSE(List("\\").empty()); }).join();  // the host's transfer thread
  EXPECT_TRUE(WaitForRequestInProgress(dates_page_));
  EXPECT_TRUE(ThreadCountSettlesAt(threads_before_ + 1));
  TreeFolderRecord record;  // every request the worker makes is held until released
  EXPECT_TRUE(WaitForDates("scale-org/dated", "many", ReleaseHeldRequests, &record));
  EXPECT_EQ(record.items.at(3).mtime, 1704067200 + 3 * 86400);
}

// A host that exits while the worker waits for its page: exit runs the module's static destructors
// with the thread still there, which must touch none of them.
TEST_F(DateWorkerLifetime, AProcessExitingWhileItRunsEndsCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (!StartHeldWorker(false)) std::_Exit(3);  // its page in flight is proof enough here
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
