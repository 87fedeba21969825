// Collections through the module: folders by title and by slug, the listed ids as fallback, and the
// resolution of model folders with what it costs the hub and what it logs.
#include "browse/browse_fixture.h"

namespace {

using Collections = BrowseTest;

const json kColls = json::array({EntryJson("Colls", "org-collections", "coll-org")});

TEST_F(Collections, FoldersByTitleBySlugAndFromTheListedIds) {
  Configure(kColls);
  EXPECT_EQ(Names("\\Colls\\Favourites"), (std::vector<std::string>{"basic", "model-0001", "gated-model"}));
  // An untitled collection is listed under its slug's part after the owner, which opens.
  const std::string folder = "no-title-65f000000000000000000004";
  EXPECT_EQ(Names("\\Colls\\" + folder), std::vector<std::string>{"basic"});
  EXPECT_EQ(Names("\\Colls\\" + folder + "\\basic\\nested"), std::vector<std::string>{"a"});
  // The hub's item list of this one is empty: the ids sent with the listing stand in.
  EXPECT_EQ(Names("\\Colls\\Empty on its own page"), (std::vector<std::string>{"basic", "model-0000"}));
  EXPECT_EQ(Names("\\Colls\\Empty on its own page\\basic").size(), 11u);
}

TEST_F(Collections, ModelFoldersResolveFromTheListingFirstAndLogWhyNot) {
  Configure(kColls);
  Names("\\Colls");
  TakeRequests();
  EXPECT_EQ(Names("\\Colls\\Favourites\\basic").size(), 11u);
  EXPECT_EQ(CountWithPrefix(TakeRequests(), "/api/collections/"), 0u);
  // model-0001 is not among the four items sent with the listing: the full list is asked for.
  EXPECT_TRUE(List("\\Colls\\Favourites\\model-0001").empty());  // an empty generated repository
  const std::vector<std::string> requests = TakeRequests();
  EXPECT_EQ(CountWithPrefix(requests, "/api/collections/coll-org/favourites-"), 1u);
  EXPECT_EQ(CountWithPrefix(requests, "/api/models/big-org/model-0001/tree/" + HubCommitOf("models", "big-org/model-0001")),
            1u);
  for (const char* path : {"\\Colls\\Favourites\\nothing", "\\Colls\\Empty on its own page\\missing",
                           "\\Colls\\Gone\\basic", "\\Colls\\Gone"}) {
    EXPECT_TRUE(List(path).empty()) << path;
  }
  for (const char* line :
       {"Collection model: repoId=big-org/model-0001 treePath=",
        "ResolveCollectionRepoId: model 'nothing' not found in collection 'Favourites' (listing=1 full=3)",
        "ResolveCollectionRepoId: model 'missing' not found in collection 'Empty on its own page' (listing=2 full=2)",
        "ResolveCollectionRepoId: no slug for Gone", "EnumCollectionModels: slug not found for Gone"}) {
    EXPECT_TRUE(g_host.HasLogLine(line)) << line;
  }
}

}  // namespace
