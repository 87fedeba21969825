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
  EXPECT_FALSE(FileExists(CacheFile("tree_files-org_basic")));  // nothing fetched, nothing stored
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
  const std::vector<std::string> folders = {"\\Files", "\\Files\\basic", "\\Colls", "\\Colls\\Favourites",
                                            "\\Colls\\Favourites\\basic", "\\One", "\\One\\sub dir"};
  std::vector<std::vector<std::string>> first;
  for (const std::string& folder : folders) first.push_back(records(folder));
  EXPECT_FALSE(TakeRequests().empty());
  ASSERT_TRUE(module_.Load());  // the files outlive the module
  for (size_t i = 0; i < folders.size(); ++i) EXPECT_EQ(records(folders[i]), first[i]) << folders[i];
  EXPECT_TRUE(TakeRequests().empty());
  // A stale file is fetched again and stored anew.
  std::filesystem::last_write_time(FsPath(CacheFile("tree_files-org_basic")),
                                   std::filesystem::file_time_type::clock::now() - std::chrono::hours(25));
  EXPECT_EQ(records("\\Files\\basic"), first[1]);
  EXPECT_EQ(CountWithPrefix(TakeRequests(), "/api/models/files-org/basic/tree/main"), 4u);  // its four pages
  EXPECT_EQ(records("\\Files\\basic"), first[1]);
  EXPECT_TRUE(TakeRequests().empty());
}

// Regression: a damaged fresh tree file was served as an empty folder until it aged out.
TEST_F(Cache, ADamagedFreshFileIsFetchedAgainAndOverwritten) {
  Configure(AllKinds());
  WriteTextFile(CacheFile("tree_files-org_basic"), "{\"files\": [{\"path\": \"README.md\"");
  EXPECT_EQ(Names("\\Files\\basic").size(), 11u);
  EXPECT_EQ(TakeRequests().size(), 4u);  // the tree's four pages
  EXPECT_EQ(json::parse(ReadTextFile(CacheFile("tree_files-org_basic")))["files"].size(), 16u);
}

// A failed one is not: see the table below.
TEST_F(Cache, AnEmptyTreeIsStored) {
  Configure(AllKinds());
  EXPECT_TRUE(List("\\Files\\empty-repo").empty());
  EXPECT_NE(ReadTextFile(CacheFile("tree_files-org_empty-repo")).find("\"files\": []"), std::string::npos);
  TakeRequests();
  EXPECT_TRUE(List("\\Files\\empty-repo").empty());
  EXPECT_TRUE(TakeRequests().empty());
}

// Fault: a tree whose later page failed was stored as complete, and a failed first organisation page
// as an empty folder, hiding the rest for the whole time-to-live.
TEST_F(Cache, ListingsThatDidNotArriveWholeAreShownAsFarAsTheyGotAndNeverStored) {
  const std::string tree = "ModelTree fetch failed: files-org/basic status=";
  const struct {
    const char *fault, *path, *cache;
    std::string log;
    size_t listed;  // of 11 in the tree's root (2 on its first page, 3 on two); the paging item alone
  } cases[] = {
      {"fail_page=2:500", "\\Files\\basic", "tree_files-org_basic", tree + "500", 2},
      {"cut_at=60@3", "\\Files\\basic", "tree_files-org_basic", tree + "200", 3},
      {"malformed@2", "\\Files\\basic", "tree_files-org_basic", tree + "200", 2},
      {"status=429", "\\Files", "org_models_files-org", "OrgRepos fetch failed: files-org status=429", 1},
      {"malformed", "\\Files", "org_models_files-org", "OrgRepos fetch failed: files-org status=200", 1},
      {"fail_page=2:503", "\\Colls", "org_collections_coll-org", "Collections fetch failed: coll-org status=503", 2},
  };
  for (const auto& c : cases) {
    Configure(AllKinds(), std::string("__fault/") + c.fault + "/");
    EXPECT_EQ(List(c.path).size(), c.listed) << c.fault << " " << c.path;
    EXPECT_TRUE(g_host.HasLogLine(c.log)) << c.fault << " " << c.path;
    EXPECT_FALSE(FileExists(CacheFile(c.cache))) << c.fault << " " << c.path;
    TakeRequests();
    List(c.path);  // the next listing asks the hub again
    // but not before the reset a 429 announced (tests/browse/ratelimit_test.cpp)
    EXPECT_EQ(TakeRequests().empty(), std::string(c.fault) == "status=429") << c.fault << " " << c.path;
  }
}

}  // namespace
