// Collections without the network: folder names, and finding the slug and the model id again from
// the names the host sends back, served from fresh cache records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "browse/browse.h"
#include "plugin/state.h"
#include "plugin/text.h"
#include "support/test_env.h"

namespace {

std::vector<std::string> Names(const FindHandle& handle) {
  std::vector<std::string> out;
  for (const HostFindData& r : handle.records) {
    out.push_back(WideToUtf8(reinterpret_cast<const char16_t*>(r.file_name)));
  }
  return out;
}

TEST(CollectionNames, TitleOrSlugAndTheModelNameAfterTheFirstSlash) {
  EXPECT_EQ(CollectionFolderName({"o/s-1", "Picks", 0, {}}), "Picks");
  EXPECT_EQ(CollectionFolderName({"o/s-1", "", 0, {}}), "o/s-1");
  EXPECT_EQ(ModelFolderName("owner/model"), "model");
  EXPECT_EQ(ModelFolderName("lonely"), "lonely");
  EXPECT_EQ(ModelFolderName("a/b/c"), "b/c");
  EXPECT_EQ(FindModelIdByName("m", {"x/n", "x/m", "y/m"}), "x/m");
  EXPECT_EQ(FindModelIdByName("M", {"x/m"}), "");
  EXPECT_EQ(FindModelIdByName("m", {}), "");
}

class CachedCollections : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      StateLock guard(g_state.lock);
      saved_folder_ = g_state.cache_folder;
      saved_hub_ = g_state.hub_site_url;
      saved_log_ = g_state.log;
      g_state.cache_folder = MakeTempFolder("coll-cache");
      g_state.cache_ttl_hours = 24;
      g_state.hub_site_url = "http://127.0.0.1:9/";  // a request here fails at once; none is expected
      g_state.log = RecordLog;
    }
    OrgCollectionsCache colls;
    colls.org = "o";
    colls.collections = {{"o/first", "Same", 100, {"x/m", "y/m"}},
                         {"o/second", "Same", 200, {"z/other"}},
                         {"o/untitled", "", 300, {"x/solo"}},
                         {"", "Slugless", 0, {"x/m"}}};
    SaveOrgCollectionsCache(colls);
    CollectionItemsCache first;
    first.slug = "o/first";
    first.model_ids = {"x/m", "y/m", "w/extra"};
    SaveCollectionItemsCache(first);
    CollectionItemsCache untitled;
    untitled.slug = "o/untitled";
    untitled.model_ids = {"x/solo"};
    SaveCollectionItemsCache(untitled);
    g_host.Clear();
  }
  void TearDown() override {
    StateLock guard(g_state.lock);
    g_state.cache_folder = saved_folder_;
    g_state.hub_site_url = saved_hub_;
    g_state.log = saved_log_;
  }
  std::u16string saved_folder_;
  std::string saved_hub_;
  HostLogProc saved_log_ = nullptr;
};

TEST_F(CachedCollections, EveryCollectionIsListedEvenWithEqualNames) {
  auto handle = EnumOrgCollections("o");
  EXPECT_EQ(Names(*handle), (std::vector<std::string>{"Same", "Same", "o/untitled", "Slugless"}));
  EXPECT_NE(handle->records[0].last_write_time.low, 0u);
  EXPECT_EQ(handle->records[0].attributes, kAttrFolder);
}

TEST_F(CachedCollections, AFolderNameOpensTheFirstCollectionOfThatName) {
  auto handle = EnumCollectionModels("o", "Same");
  EXPECT_EQ(Names(*handle), (std::vector<std::string>{"m", "m", "extra"}));
  EXPECT_EQ(handle->records[0].last_write_time.low, 0u);
  auto untitled = EnumCollectionModels("o", "o/untitled");
  EXPECT_EQ(Names(*untitled), (std::vector<std::string>{"solo"}));  // opened by its slug
  EXPECT_TRUE(EnumCollectionModels("o", "Gone")->records.empty());
  EXPECT_TRUE(EnumCollectionModels("o", "Slugless")->records.empty());
  EXPECT_EQ(g_host.Log(), (std::vector<std::string>{"EnumCollectionModels: slug=o/first got 3 models",
                                                     "EnumCollectionModels: slug=o/untitled got 1 models",
                                                     "EnumCollectionModels: slug not found for Gone",
                                                     "EnumCollectionModels: slug not found for Slugless"}));
}

TEST_F(CachedCollections, ModelFoldersResolveFromTheListingThenTheFullList) {
  EXPECT_EQ(ResolveCollectionRepoId("o", "Same", "m"), "x/m");  // two owners' "m": the first
  EXPECT_EQ(ResolveCollectionRepoId("o", "Same", "extra"), "w/extra");
  EXPECT_TRUE(g_host.Log().empty());
  EXPECT_EQ(ResolveCollectionRepoId("o", "Same", "absent"), "");
  EXPECT_EQ(ResolveCollectionRepoId("o", "Nope", "m"), "");
  EXPECT_EQ(ResolveCollectionRepoId("o", "Slugless", "m"), "");
  EXPECT_EQ(g_host.Log(),
            (std::vector<std::string>{"ResolveCollectionRepoId: model 'absent' not found in collection 'Same' "
                                      "(listing=2 full=3)",
                                      "ResolveCollectionRepoId: no slug for Nope",
                                      "ResolveCollectionRepoId: no slug for Slugless"}));
}

// Regression: a collection title is free text; one holding a backslash or being ".." was listed as a
// folder the host could never open and a recursive copy could climb out of its target with.
TEST_F(CachedCollections, TitlesAndModelNamesTheHostCannotAddressAreNotListed) {
  OrgCollectionsCache colls;
  colls.org = "bad";
  colls.collections = {{"bad/one", "..\\..\\Startup", 1, {"x/m"}}, {"bad/two", "..", 2, {}}, {"bad/three", "Fine", 3, {}}};
  SaveOrgCollectionsCache(colls);
  CollectionItemsCache items;
  items.slug = "bad/three";
  items.model_ids = {"x/..", "x/a\\b", "x/good"};
  SaveCollectionItemsCache(items);
  EXPECT_EQ(Names(*EnumOrgCollections("bad")), (std::vector<std::string>{"Fine"}));
  EXPECT_EQ(Names(*EnumCollectionModels("bad", "Fine")), (std::vector<std::string>{"good"}));
}

}  // namespace
