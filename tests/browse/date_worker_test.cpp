// The date worker's lifetime through the exports: what stops and joins it (and ends its request in
// flight), what lets it go on, an unload and a process exit while it runs. The hub holds every request
// ("hold"), so a worker that is still there has its first page in flight, and an export that returns
// while the hub still holds that page has ended it rather than waited for it.
#include <cstdlib>

#include "browse/browse_fixture.h"

namespace {

const char* const kMany = "\\Scale\\dated\\many";
const char* const kDatesPage = "/api/models/scale-org/dated/tree/main/many?expand=true&limit=100";

json Entries() {
  json entries = AllKinds();
  entries.push_back(EntryJson("Scale", "org-models", "scale-org"));
  return entries;
}

class DateWorkerLifetime : public BrowseTest {
 protected:
  void TearDown() override {
    ReleaseHeldRequests();
    BrowseTest::TearDown();
  }
  // The folder's names (and a small folder's) stored by a listing on another thread (which starts no
  // worker); the module
  // loaded again against a hub that holds every request; then the main thread's listing, from the
  // record, starts the worker, whose first page stays in flight. False when any step did not happen.
  bool StartHeldWorker() {
    Configure(Entries());
    size_t listed = 0;
    std::thread([&] { listed = Names(kMany).size() + Names("\\Scale\\dated\\small").size(); }).join();
    if (listed != 152) return false;
    Configure(Entries(), "__fault/hold/");
    threads_before_ = ProcessThreadCount();
    return Names(kMany).size() == 150 && WaitForRequestInProgress(kDatesPage) &&
           ProcessThreadCount() == threads_before_ + 1;
  }
  // The worker's page is still held at the hub, and its thread is gone.
  void ExpectStoppedWhileHeld(const std::string& how) {
    EXPECT_TRUE(WaitForRequestInProgress(kDatesPage)) << how << ": the page was answered, not ended";
    EXPECT_TRUE(ThreadCountSettlesAt(threads_before_)) << how << ": the worker's thread is still there";
  }
  int threads_before_ = 0;
};

TEST_F(DateWorkerLifetime, AnotherFolderOrAnyCommandOnTheMainThreadStopsAndJoinsIt) {
  using Call = std::function<void(PluginModule&)>;
  const auto host = [](const std::string& text) { return H(text); };
  const std::vector<std::pair<std::string, Call>> ways = {
      {"listing the root", [&](PluginModule&) { List("\\"); }},
      {"listing another folder", [&](PluginModule&) { EXPECT_EQ(Names("\\Scale\\dated\\small").size(), 2u); }},
      {"FsExecuteFileW", [&](PluginModule& m) {
         auto path = host(std::string(kMany) + "\\f-000.txt"), verb = host("open");
         m.FsExecuteFileW(nullptr, path.data(), verb.data());
       }},
      {"FsMkDirW", [&](PluginModule& m) {
         auto path = host("\\Scale\\new folder");
         m.FsMkDirW(path.data());  // the entry's settings: answered "no" and closed
       }},
      {"FsDeleteFileW", [&](PluginModule& m) {
         auto path = host(std::string(kMany) + "\\f-000.txt");
         m.FsDeleteFileW(path.data());
       }},
      {"FsRemoveDirW", [&](PluginModule& m) {
         auto path = host(kMany);
         m.FsRemoveDirW(path.data());
       }},
      {"FsRenMovFileW", [&](PluginModule& m) {
         auto from = host("\\No such entry"), to = host("\\Another");
         m.FsRenMovFileW(from.data(), to.data(), 0, 0, nullptr);
       }},
      {"FsStatusInfoW", [&](PluginModule& m) {
         auto path = host("\\Scale");
         m.FsStatusInfoW(path.data(), kStatusStart, 4);  // a copy begins
       }},
  };
  for (const auto& [how, call] : ways) {
    ASSERT_TRUE(StartHeldWorker()) << how;
    call(module_.m);
    ExpectStoppedWhileHeld(how);
    ReleaseHeldRequests();
  }
}

TEST_F(DateWorkerLifetime, ListingsOfItsOwnFolderOrOnAnotherThreadLetItGoOn) {
  ASSERT_TRUE(StartHeldWorker());
  EXPECT_EQ(Names(kMany).size(), 150u);                        // its own folder again
  std::thread([&] { EXPECT_FALSE(List("\\").empty()); }).join();  // the host's transfer thread
  EXPECT_TRUE(WaitForRequestInProgress(kDatesPage));
  EXPECT_EQ(ProcessThreadCount(), threads_before_ + 1);
  ReleaseHeldRequests();  // from here every request the worker makes is held until released
  TreeFolderRecord record;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!(ReadRecord("scale-org/dated", "many", &record) && record.dates_complete) &&
         std::chrono::steady_clock::now() < deadline) {
    ReleaseHeldRequests();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(record.dates_complete);
  EXPECT_EQ(record.items.at(3).mtime, 1704067200 + 3 * 86400);
}

// The test's module is unloaded the way a host unloads it after its last call: the listing of the
// root that LoadedModule::Unload makes first joins the worker, and nothing of it is left running.
TEST_F(DateWorkerLifetime, AnUnloadAfterTheNextListingLeavesNoThreadBehind) {
  ASSERT_TRUE(StartHeldWorker());
  module_.Unload();
  ExpectStoppedWhileHeld("unload");
}

// A host that exits while the worker waits for its page: exit runs the module's static destructors
// with the thread still there, which must touch none of them.
TEST_F(DateWorkerLifetime, AProcessExitingWhileItRunsEndsCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (!StartHeldWorker()) std::_Exit(3);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
