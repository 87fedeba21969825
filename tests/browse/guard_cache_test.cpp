// The recursive-walk guard with real open listings, and the listing cache seen from the hub's side:
// what is served without a request, what is fetched again, what is stored and what is not.
#include <filesystem>

#include "browse/browse_fixture.h"

namespace {

using Guard = BrowseTest;
using Cache = BrowseTest;

TEST_F(Guard, AnOpenListingEmptiesTheFoldersBelowItWithoutARequest) {
  Configure(AllKinds());
  const auto hold_open = [&](const std::string& path) {  // held open, as by a host walking a selection
    std::basic_string<HostChar> p = H(path);
    HostFindData data{};
    return module_.m.FsFindFirstW(p.data(), &data);
  };
  const struct { const char* parent; const char* path; const char* line; } cases[] = {
      {"\\", "\\Files", "FastPath(delete root): "}, {"\\", "\\Colls", "FastPath(delete root): "},
      {"\\", "\\One", "FastPath(delete root): "}, {"\\Files", "\\Files\\basic", "FastPath(delete): "},
      {"\\Files", "\\Files\\basic\\nested", "FastPath(delete): "}, {"\\One", "\\One\\sub dir", "FastPath(delete): "},
      {"\\Colls\\Favourites", "\\Colls\\Favourites\\basic", "FastPath(delete): "}};
  for (const auto& c : cases) {
    const HostHandle open = hold_open(c.parent);
    ASSERT_NE(open, TARN_INVALID_HANDLE) << c.parent;
    TakeRequests();
    EXPECT_TRUE(List(c.path).empty()) << c.path;
    EXPECT_TRUE(g_host.HasLogLine(c.line + std::string(c.path))) << c.path;
    EXPECT_TRUE(TakeRequests().empty()) << c.path;
    module_.m.FsFindClose(open);
  }
  // Nothing fetched, nothing stored.
  EXPECT_FALSE(FileExists(TreeRecordsFolder(CacheFolderPath(), "files-org/basic", ModelRepo, "main")));
  EXPECT_EQ(Names("\\Files\\basic").size(), 11u);                // closed again: listed
}

TEST_F(Cache, ASecondListingMakesNoRequestUntilTheFileIsStale) {
  Configure(AllKinds());
  const auto records = [&](const std::string& path) {
    std::vector<std::string> out;
    for (const ListedRecord& r : List(path)) {
      out.push_back(r.name + (r.folder ? "/ " : " ") + std::to_string(r.size) + " " + std::to_string(r.write_time));
    }
    return out;
  };
  // An empty tree is stored too (a failed one is not: see the table below).
  const std::vector<std::string> folders = {"\\Files", "\\Files\\basic", "\\Colls", "\\Colls\\Favourites",
                                            "\\Colls\\Favourites\\basic", "\\One", "\\One\\sub dir",
                                            "\\Files\\empty-repo"};
  std::vector<std::vector<std::string>> first;
  for (const std::string& folder : folders) first.push_back(records(folder));
  EXPECT_FALSE(TakeRequests().empty());
  ASSERT_TRUE(module_.Load());  // the files outlive the module
  for (size_t i = 0; i < folders.size(); ++i) EXPECT_EQ(records(folders[i]), first[i]) << folders[i];
  EXPECT_TRUE(TakeRequests().empty());
  // A record of another commit than the revision's is fetched again and stored anew. Its names come in
  // three pages of four; the dates of the items that did not change are kept, so none are asked for,
  // and the repository is known to be larger than one recursive answer.
  const std::string basic = "/api/models/files-org/basic/tree/" + HubCommitOf("models", "files-org/basic");
  TreeFolderRecord earlier;
  ASSERT_TRUE(ReadRecord("files-org/basic", "", &earlier));
  earlier.commit = std::string(40, 'e');
  ASSERT_TRUE(WriteTreeFolderRecord(CacheFolderPath(), earlier));
  EXPECT_EQ(records("\\Files\\basic"), first[1]);
  const std::vector<std::string> again = TakeRequests();
  EXPECT_EQ(again.size(), 3u);
  EXPECT_EQ(CountWithPrefix(again, basic + "?limit=1000"), 3u);
  EXPECT_EQ(records("\\Files\\basic"), first[1]);
  EXPECT_TRUE(TakeRequests().empty());

  // Regression: a damaged fresh record was served as an empty folder until it aged out.
  WriteTextFile(RecordFile("files-org/basic", ""), "{\"format\": 1, \"items\": [\"f 1 0 README.md\"");
  EXPECT_EQ(records("\\Files\\basic"), first[1]);
  EXPECT_EQ(CountWithPrefix(TakeRequests(), basic + "?limit=1000"), 3u);
  TreeFolderRecord record;
  ASSERT_TRUE(ReadRecord("files-org/basic", "", &record));
  EXPECT_EQ(record.items.size(), 11u);
}

// Fault: a tree whose later page failed was stored as complete, and a failed first organisation page
// as an empty folder, hiding the rest for the whole time-to-live. Faults on every page, or a refused
// later one, are the fault matrix's cells; here later pages cut or garbled, and what is logged.
TEST_F(Cache, ListingsThatDidNotArriveWholeAreShownAsFarAsTheyGotAndNeverStored) {
  const std::string tree = "ModelTree fetch failed: files-org/basic status=";
  const struct {
    const char *fault, *path, *cache;  // cache: "" for the tree's root record
    std::string log;
    size_t listed;  // of 11 in the tree's root (4 on each page of its names); the paging item alone
  } cases[] = {
      {"cut_at=60@3", "\\Files\\basic", "", tree + "200", 8},
      {"malformed@2", "\\Files\\basic", "", tree + "200", 4},
      {"malformed", "\\Files", "org_models_files-org", "OrgRepos fetch failed: files-org status=200", 1},
      {"fail_page=2:503", "\\Colls", "org_collections_coll-org", "Collections fetch failed: coll-org status=503", 2},
  };
  for (const auto& c : cases) {
    Configure(AllKinds(), std::string("__fault/") + c.fault + "/");
    EXPECT_EQ(List(c.path).size(), c.listed) << c.fault << " " << c.path;
    EXPECT_TRUE(g_host.HasLogLine(c.log)) << c.fault << " " << c.path;
    EXPECT_FALSE(FileExists(*c.cache ? CacheFile(c.cache) : RecordFile("files-org/basic", ""))) << c.fault << " " << c.path;
    TakeRequests();
    List(c.path);  // the next listing asks the hub again
    EXPECT_FALSE(TakeRequests().empty()) << c.fault << " " << c.path;
  }
}

}  // namespace
