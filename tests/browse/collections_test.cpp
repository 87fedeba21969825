// Collections through the module: folders by title and by slug, the listed ids as fallback, and the
// resolution of model folders with what it costs the hub and what it logs.
#include "browse/browse_fixture.h"

using nlohmann::json;

namespace {

class Collections : public BrowseTest {
 protected:
  void SetUp() override {
    BrowseTest::SetUp();
    Configure(json::array({{{"display_name", "Colls"}, {"type", "org-collections"}, {"org", "coll-org"}}}));
  }
  std::string UntitledSlug() {
    for (const std::string& name : Names("\\Colls")) {
      if (name.rfind("coll-org/no-title-", 0) == 0) return name;
    }
    return std::string();
  }
};

TEST_F(Collections, AllPagesOfCollectionsAreListedWithTheirTimes) {
  const std::vector<ListedRecord> records = List("\\Colls");
  ASSERT_EQ(records.size(), 6u);
  EXPECT_TRUE(records[0].folder);
  EXPECT_NE(records[0].write_time, 0u);
  EXPECT_EQ(records[4].name, "Date only");
  EXPECT_EQ(records[4].write_time, 0u);  // "2024-01-02" is no usable time
  EXPECT_EQ(TakeRequests().size(), 3u);  // two collections per page
}

TEST_F(Collections, AFolderByTitleShowsTheFullItemList) {
  EXPECT_EQ(Names("\\Colls\\Favourites"), (std::vector<std::string>{"basic", "model-0001", "gated-model"}));
  const std::vector<std::string> log = g_host.Log();
  ASSERT_EQ(CountWithPrefix(log, "EnumCollectionModels: slug=coll-org/favourites-"), 1u);
  EXPECT_NE(log.back().find(" got 3 models"), std::string::npos) << log.back();
}

TEST_F(Collections, AFolderBySlugOpensAnUntitledCollection) {
  const std::string slug = UntitledSlug();
  ASSERT_FALSE(slug.empty());
  EXPECT_EQ(Names("\\Colls\\" + slug), std::vector<std::string>{"basic"});
  EXPECT_TRUE(Contains(g_host.Log(), "EnumCollectionModels: slug=" + slug + " got 1 models"));
  EXPECT_EQ(Names("\\Colls\\" + slug + "\\basic\\nested"), std::vector<std::string>{"a"});
}

TEST_F(Collections, AnEmptyItemListFallsBackToTheListedIds) {
  EXPECT_EQ(Names("\\Colls\\Empty on its own page"), (std::vector<std::string>{"basic", "model-0000"}));
  EXPECT_EQ(Names("\\Colls\\Empty on its own page\\basic").size(), 11u);
  bool ok = true;
  List("\\Colls\\Empty on its own page\\missing", &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Contains(g_host.Log(), "ResolveCollectionRepoId: model 'missing' not found in collection 'Empty on "
                                     "its own page' (listing=2 full=2)"));
}

TEST_F(Collections, ListedModelsResolveWithoutTheCollectionRequest) {
  Names("\\Colls");
  TakeRequests();
  EXPECT_EQ(Names("\\Colls\\Favourites\\basic").size(), 11u);
  for (const std::string& path : TakeRequests()) {
    EXPECT_EQ(path.find("/api/collections/"), std::string::npos) << path;
  }
  // model-0001 is not among the four items sent with the listing: one request for the full list.
  bool ok = true;
  List("\\Colls\\Favourites\\model-0001", &ok);
  EXPECT_FALSE(ok);  // an empty generated repository
  const std::vector<std::string> requests = TakeRequests();
  EXPECT_EQ(CountWithPrefix(requests, "/api/collections/coll-org/favourites-"), 1u);
  EXPECT_EQ(CountWithPrefix(requests, "/api/models/big-org/model-0001/tree/main"), 1u);
  EXPECT_TRUE(Contains(g_host.Log(), "Collection model: repoId=big-org/model-0001 treePath="));
}

TEST_F(Collections, UnresolvableFoldersAreEmptyWithTheirReason) {
  bool ok = true;
  List("\\Colls\\Favourites\\nothing", &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Contains(g_host.Log(), "ResolveCollectionRepoId: model 'nothing' not found in collection 'Favourites' "
                                     "(listing=1 full=3)"));
  List("\\Colls\\Gone\\basic", &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Contains(g_host.Log(), "ResolveCollectionRepoId: no slug for Gone"));
  List("\\Colls\\Gone", &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Contains(g_host.Log(), "EnumCollectionModels: slug not found for Gone"));
}

}  // namespace
