// Repository folders one at a time through the module against the fake hub: every folder complete,
// the requests each listing costs, dates at once for small folders and from the date worker for large
// ones, and rate-limited listings.
#include <cstdlib>
#include <filesystem>
#include <set>

#include "browse/browse_fixture.h"
#include "cache/tree_commits.h"
#include "core/time.h"

namespace {

const char* const kMany = "\\Scale\\dated\\many";  // 150 files, dated 2024-01-01 plus i days
constexpr int64_t kManyFirstDate = 1704067200;

class TreeFolders : public BrowseTest {
 protected:
  void SetUp() override {
    BrowseTest::SetUp();
    Configure(AllKindsAndScale());
  }
  std::map<std::string, ListedRecord> ByName(const std::string& path) {
    std::map<std::string, ListedRecord> by_name;
    for (const ListedRecord& r : List(path)) by_name[r.name] = r;
    return by_name;
  }
  // The requests since the last call; those starting with `worker_prefix` (the date worker's) go to
  // `worker`. The worker is stopped first (a listing of the root joins it), so none of its requests
  // comes later.
  std::vector<std::string> ListingRequests(const std::string& worker_prefix = "",
                                           std::vector<std::string>* worker = nullptr) {
    List("\\");
    std::vector<std::string> listing;
    for (const std::string& r : TakeRequests()) {
      if (!worker_prefix.empty() && r.rfind(worker_prefix, 0) == 0) {
        if (worker) worker->push_back(r);
      } else {
        listing.push_back(r);
      }
    }
    return listing;
  }
};

// Fault: a repository was fetched as one recursive listing cut after 200 pages (or 100,000 items): the
// folders past the cut were never shown and their files never listed.
TEST_F(TreeFolders, EveryFolderOfALargeRepositoryListsCompletely) {
  std::vector<std::string> folders;
  for (int i = 0; i < 10; ++i) folders.push_back("dir-00" + std::to_string(i));
  EXPECT_EQ(Names("\\Files\\paged-tree"), folders);  // 250 items, one a page
  const std::vector<std::string> last = Names("\\Files\\paged-tree\\dir-009");
  ASSERT_EQ(last.size(), 24u);
  EXPECT_EQ(last.back(), "file-023.txt");
}

TEST_F(TreeFolders, EachListingCostsTheCheapestRequestsThatGiveACompleteAnswer) {
  using Strings = std::vector<std::string>;
  // The first listing of a repository asks for the commit its main is at, and lists at that commit.
  const std::string one = "/api/models/space%20owner/model%20one/",
                    dated = "/api/models/scale-org/dated/tree/" + HubCommitOf("models", "scale-org/dated");
  // A small repository: one answer with dates is the whole of it, and its folders cost nothing more.
  EXPECT_EQ(Names("\\One"), (Strings{"sub dir", "README.md"}));
  EXPECT_EQ(ListingRequests(), (Strings{one + "revision/main?expand=sha",
                                        one + "tree/" + HubCommitOf("models", "space owner/model one") +
                                            "?recursive=true&expand=true&limit=100"}));
  EXPECT_EQ(Names("\\One\\sub dir"), Strings{"file one.txt"});
  EXPECT_TRUE(ListingRequests().empty());

  // A repository larger than one answer: that answer's first page, then its root's names and dates.
  EXPECT_EQ(Names("\\Scale\\dated"), (Strings{"many", "small", "README.md"}));
  EXPECT_EQ(ListingRequests(), (Strings{"/api/models/scale-org/dated/revision/main?expand=sha",
                                        dated + "?recursive=true&expand=true&limit=100", dated + "?limit=1000",
                                        dated + "?expand=true&limit=100"}));
  // A folder of up to 100 items: its names, and its dates in one more request.
  EXPECT_EQ(Names("\\Scale\\dated\\small"), (Strings{"a.txt", "b.txt"}));
  EXPECT_EQ(ListingRequests(), (Strings{dated + "/small?limit=1000", dated + "/small?expand=true&limit=100"}));
  // A larger one (of more than 1,000 items): its names only, page by page; its dates are the worker's.
  const std::string folder = "/api/models/scale-org/wide/tree/" + HubCommitOf("models", "scale-org/wide") + "/dir-001?";
  const std::vector<std::string> wide = Names("\\Scale\\wide\\dir-001");
  const std::set<std::string> unique(wide.begin(), wide.end());
  ASSERT_EQ(unique.size(), 1100u);
  EXPECT_EQ(unique.count("file-1099.txt"), 1u);
  Strings worker;
  const Strings names = ListingRequests(folder + "expand=true&limit=100", &worker);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0], "/api/models/scale-org/wide/revision/main?expand=sha");
  EXPECT_EQ(names[1], folder + "limit=1000");
  EXPECT_EQ(names[2].rfind(folder + "limit=1000&cursor=", 0), 0u);
  TreeFolderRecord record;
  ASSERT_TRUE(ReadRecord("scale-org/wide", "dir-001", &record));
  EXPECT_EQ(record.items.size(), 1100u);  // both pages of names stored whole

  // Every one of them is stored: listed again, none costs a request.
  for (const char* path : {"\\One", "\\One\\sub dir", "\\Scale\\dated", "\\Scale\\dated\\small",
                           "\\Scale\\wide\\dir-001"}) {
    EXPECT_FALSE(List(path).empty()) << path;
    EXPECT_TRUE(ListingRequests(folder + "expand=true&limit=100").empty()) << path;
  }
  EXPECT_EQ(Names("\\Scale\\wide\\dir-001").size(), 1100u);
}

TEST_F(TreeFolders, SmallFoldersShowTheirDatesAtOnceLargeOnesOnceTheWorkerFetchedThem) {
  // A small repository's folders take the latest date below them when the hub gives them none.
  std::map<std::string, ListedRecord> listed = ByName("\\Files\\dir-times");
  EXPECT_EQ(listed.at("a").write_time, UnixToFileTime(300));
  EXPECT_EQ(ByName("\\Files\\dir-times\\a").at("b").write_time, UnixToFileTime(300));
  // A large repository's root and a folder of up to 100 items: the hub's dates, folders' too.
  listed = ByName("\\Scale\\dated");
  EXPECT_EQ(listed.at("README.md").write_time, UnixToFileTime(1685577600));  // 2023-06-01
  EXPECT_EQ(listed.at("small").write_time, UnixToFileTime(1690848000));      // 2023-08-01, its latest
  EXPECT_EQ(listed.at("many").write_time, UnixToFileTime(kManyFirstDate + 149 * 86400));
  listed = ByName("\\Scale\\dated\\small");
  EXPECT_EQ(listed.at("a.txt").write_time, UnixToFileTime(1688169600));  // 2023-07-01

  // A folder of more than 100: every name at once, no date made up; then the worker's (its pages:
  // unit/browse_dates_test.cpp; the names' requests: the test above).
  listed = ByName(kMany);
  ASSERT_EQ(listed.size(), 150u);
  for (const auto& [name, record] : listed) EXPECT_EQ(record.write_time, 0u) << name;
  TreeFolderRecord record;  // listing the same folder on the main thread lets the worker go on
  ASSERT_TRUE(WaitForDates("scale-org/dated", "many", [&] { List(kMany); }, &record));
  listed = ByName(kMany);
  for (int i = 0; i < 150; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f-%03d.txt", i);
    EXPECT_EQ(listed.at(name).write_time, UnixToFileTime(kManyFirstDate + i * 86400)) << name;
  }
}

TEST_F(TreeFolders, ARateLimitedListingAnswersFromTheRecordWhateverItsAgeAndStoresNothing) {
  ASSERT_EQ(Names("\\Scale\\dated\\small").size(), 2u);
  const auto stale = std::filesystem::file_time_type::clock::now() - std::chrono::hours(25);
  std::filesystem::last_write_time(FsPath(RecordFile("scale-org/dated", "small")), stale);
  // Its commit not asked for since a minute: the check is due, and meets the limit first.
  RevisionRecord revision;
  ASSERT_TRUE(ReadRevisionRecord(CacheFolderPath(), "scale-org/dated", ModelRepo, "main", &revision));
  revision.checked_at -= 61;
  ASSERT_TRUE(WriteRevisionRecord(CacheFolderPath(), "scale-org/dated", ModelRepo, "main", revision));
  Configure(AllKindsAndScale(), "__fault/status=429/");
  const std::map<std::string, ListedRecord> listed = ByName("\\Scale\\dated\\small");
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed.at("b.txt").write_time, UnixToFileTime(1690848000));
  EXPECT_TRUE(g_host.HasLogLine("ModelTree fetch failed: scale-org/dated status=429"));
  // Not written again: still as old as it was made (to the second, as file systems keep it).
  const auto age = std::filesystem::file_time_type::clock::now() -
                   std::filesystem::last_write_time(FsPath(RecordFile("scale-org/dated", "small")));
  EXPECT_GT(age, std::chrono::hours(25) - std::chrono::minutes(1));
  EXPECT_TRUE(List("\\Scale\\dated\\never-listed").empty());
}

}  // namespace
