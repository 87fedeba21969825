// The recursive-walk guard with real open listings, and the listing cache seen from the hub's side:
// what is served without a request, what is fetched again, what is stored and what is not.
#include <filesystem>

#include "browse/browse_fixture.h"
#include "plugin/text.h"

using nlohmann::json;

namespace {

json Entries() {
  return json::array({
      {{"display_name", "Files"}, {"type", "org-models"}, {"org", "files-org"}},
      {{"display_name", "Colls"}, {"type", "org-collections"}, {"org", "coll-org"}},
      {{"display_name", "One"}, {"type", "single-model"}, {"repo_id", "space owner/model one"}},
  });
}

// Holds a listing open the way a host does while it walks a selection.
class OpenListing {
 public:
  OpenListing(PluginModule& m, const std::string& path) : m_(m) {
    std::basic_string<HostChar> p = H(path);
    HostFindData data{};
    handle_ = m_.FsFindFirstW(p.data(), &data);
  }
  ~OpenListing() {
    if (handle_ != TARN_INVALID_HANDLE) m_.FsFindClose(handle_);
  }
  bool valid() const { return handle_ != TARN_INVALID_HANDLE; }

 private:
  PluginModule& m_;
  HostHandle handle_;
};

class Guard : public BrowseTest {};
class Cache : public BrowseTest {};

TEST_F(Guard, AnOpenRootEmptiesEveryEntryFolder) {
  Configure(Entries());
  {
    OpenListing root(module_.m, "\\");
    ASSERT_TRUE(root.valid());
    for (const char* path : {"\\Files", "\\Colls", "\\One"}) {
      bool ok = true;
      List(path, &ok);
      EXPECT_FALSE(ok) << path;
      EXPECT_TRUE(Contains(g_host.Log(), std::string("FastPath(delete root): ") + path)) << path;
      EXPECT_TRUE(Contains(g_host.Log(), std::string("FindFirst empty: ") + path)) << path;
    }
    EXPECT_TRUE(TakeRequests().empty());
  }
  EXPECT_EQ(Names("\\One").size(), 2u);
}

TEST_F(Guard, AnOpenParentEmptiesTheRepositoriesBelowIt) {
  Configure(Entries());
  {
    OpenListing entry(module_.m, "\\Files");
    ASSERT_TRUE(entry.valid());
    TakeRequests();
    bool ok = true;
    List("\\Files\\basic", &ok);
    EXPECT_FALSE(ok);
    List("\\Files\\basic\\nested", &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Contains(g_host.Log(), "FastPath(delete): \\Files\\basic"));
    EXPECT_TRUE(Contains(g_host.Log(), "FastPath(delete): \\Files\\basic\\nested"));
    EXPECT_TRUE(TakeRequests().empty());  // no tree fetched,
    EXPECT_FALSE(FileExists(CacheFile("tree_files-org_basic")));  // none stored
  }
  {
    OpenListing single(module_.m, "\\One");
    bool ok = true;
    List("\\One\\sub dir", &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Contains(g_host.Log(), "FastPath(delete): \\One\\sub dir"));
  }
  {
    OpenListing collection(module_.m, "\\Colls\\Favourites");
    ASSERT_TRUE(collection.valid());
    bool ok = true;
    List("\\Colls\\Favourites\\basic", &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Contains(g_host.Log(), "FastPath(delete): \\Colls\\Favourites\\basic"));
    // The collection folder itself has no guard.
    EXPECT_EQ(Names("\\Colls\\Favourites").size(), 3u);
  }
  EXPECT_FALSE(Names("\\Files\\basic").empty());
}

TEST_F(Cache, ASecondListingOfAnyFolderMakesNoRequest) {
  Configure(Entries());
  Names("\\Files");
  Names("\\Files\\basic");
  Names("\\Colls\\Favourites");
  Names("\\Colls\\Favourites\\basic");
  Names("\\One");
  EXPECT_FALSE(TakeRequests().empty());
  EXPECT_FALSE(Names("\\Files").empty());
  EXPECT_FALSE(Names("\\Files\\basic\\nested").empty());
  EXPECT_FALSE(Names("\\Colls").empty());
  EXPECT_FALSE(Names("\\Colls\\Favourites").empty());
  EXPECT_FALSE(Names("\\Colls\\Favourites\\basic").empty());
  EXPECT_FALSE(Names("\\One\\sub dir").empty());
  EXPECT_TRUE(TakeRequests().empty());
  // The cache outlives the module.
  module_.Unload();
  ASSERT_TRUE(module_.Load());
  EXPECT_FALSE(Names("\\Files\\basic").empty());
  EXPECT_TRUE(TakeRequests().empty());
}

TEST_F(Cache, StaleFilesAreFetchedAgainAndRenewed) {
  Configure(Entries());
  Names("\\Files\\basic");
  TakeRequests();
  AgeCacheFile("tree_files-org_basic", std::chrono::hours(25));
  EXPECT_EQ(Names("\\Files\\basic").size(), 11u);
  EXPECT_EQ(CountWithPrefix(TakeRequests(), "/api/models/files-org/basic/tree/main"), 4u);  // its four pages
  EXPECT_FALSE(Names("\\Files\\basic").empty());
  EXPECT_TRUE(TakeRequests().empty());  // the refetch was stored with a new time
}

TEST_F(Cache, ATimeToLiveOfZeroFetchesEveryTime) {
  Configure(Entries(), "", {{"cache_ttl_hours", 0}});
  Names("\\One");
  Names("\\One");
  EXPECT_EQ(TakeRequests().size(), 2u);
}

// Regression: a damaged fresh tree file was served as an empty folder until it aged out.
TEST_F(Cache, ADamagedFreshFileIsFetchedAgainAndOverwritten) {
  Configure(Entries());
  WriteTextFile(CacheFile("tree_files-org_basic"), "{\"files\": [{\"path\": \"README.md\"");
  EXPECT_EQ(Names("\\Files\\basic").size(), 11u);
  EXPECT_EQ(TakeRequests().size(), 4u);  // the tree's four pages
  const json stored = json::parse(ReadTextFile(CacheFile("tree_files-org_basic")), nullptr, false);
  ASSERT_TRUE(stored.is_object());
  EXPECT_EQ(stored["files"].size(), 16u);
}

TEST_F(Cache, AnEmptyRepositoryIsStoredButFailedTreesAreNot) {
  Configure(Entries());
  bool ok = true;
  List("\\Files\\empty-repo", &ok);
  EXPECT_FALSE(ok);
  const json stored = json::parse(ReadTextFile(CacheFile("tree_files-org_empty-repo")), nullptr, false);
  ASSERT_TRUE(stored.is_object());
  EXPECT_TRUE(stored["files"].empty());
  TakeRequests();
  List("\\Files\\empty-repo", &ok);
  EXPECT_TRUE(TakeRequests().empty());

  List("\\Files\\disabled-model", &ok);  // 403: the prompt's business, not stored
  EXPECT_FALSE(ok);
  EXPECT_FALSE(FileExists(CacheFile("tree_files-org_disabled-model")));
}

TEST_F(Cache, HubErrorsLeaveNoTreeOrCollectionRecordsButAnEmptyOrganisationPage) {
  Configure(Entries(), "__fault/status=500/");
  bool ok = true;
  List("\\Files\\basic", &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Contains(g_host.Log(), "ModelTree fetch failed: files-org/basic status=500"));
  EXPECT_FALSE(FileExists(CacheFile("tree_files-org_basic")));
  List("\\Colls", &ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(FileExists(CacheFile("org_collections_coll-org")));
  // A failed first page is stored like any page: an empty folder until it ages out.
  List("\\Files", &ok);
  EXPECT_FALSE(ok);
  const json page = json::parse(ReadTextFile(CacheFile("org_models_files-org")), nullptr, false);
  ASSERT_TRUE(page.is_object());
  EXPECT_TRUE(page["models"].empty());
  EXPECT_FALSE(page.value("has_more", true));
}

TEST_F(Cache, NoAnswerAtAllLogsStatusZero) {
  // Port 9 on loopback has no listener: the connection is refused at once.
  WriteTextFile(JoinFsPath(config_, u"favorites.json"),
                json({{"hub_url", "http://127.0.0.1:9/"},
                      {"entries", json::array({{{"display_name", "One"},
                                                {"type", "single-model"},
                                                {"repo_id", "space owner/model one"}}})}})
                    .dump());
  ASSERT_TRUE(module_.Load());
  g_host.Clear();
  bool ok = true;
  List("\\One", &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Contains(g_host.Log(), "ModelTree fetch failed: space owner/model one status=0"));
}

TEST_F(Cache, CollectionListsAreStoredOnlyWhenTheHubGaveSome) {
  Configure(Entries());
  EXPECT_EQ(Names("\\Colls\\Empty on its own page"), (std::vector<std::string>{"basic", "model-0000"}));
  EXPECT_TRUE(FileExists(CacheFile("org_collections_coll-org")));
  // Its own item list is empty on the hub: the listed ids are shown, nothing stored, asked again.
  std::error_code ec;
  size_t items_files = 0;
  for (const auto& f : std::filesystem::directory_iterator(FsPath(JoinFsPath(config_, u"cache")), ec)) {
    items_files += f.path().filename().u8string().rfind("collection_items_", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(items_files, 0u);
  TakeRequests();
  Names("\\Colls\\Empty on its own page");
  EXPECT_EQ(TakeRequests().size(), 1u);
  Names("\\Colls\\Nested pick");
  Names("\\Colls\\Nested pick");
  EXPECT_EQ(TakeRequests().size(), 1u);  // a collection with items is stored after the first visit
}

}  // namespace
