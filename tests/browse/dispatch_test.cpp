// Every row of the folder dispatch through the loaded module against the fake hub: organisation
// models and datasets, collections by depth, single models and datasets.
#include "browse/browse_fixture.h"

using nlohmann::json;

namespace {

const char kNestedSlug[] = "coll-org/nested-pick-0123456789abcdef01234567";

class Dispatch : public BrowseTest {
 protected:
  void SetUp() override {
    BrowseTest::SetUp();
    Configure(json::array({
        {{"display_name", "Files"}, {"type", "org-models"}, {"org", "files-org"}},
        {{"display_name", "FilesDs"}, {"type", "org-models"}, {"kind", "dataset"}, {"org", "files-org"}},
        {{"display_name", "Colls"}, {"type", "org-collections"}, {"org", "coll-org"}},
        {{"display_name", "CollsDs"}, {"type", "org-collections"}, {"kind", "dataset"}, {"org", "coll-org"}},
        {{"display_name", "One"}, {"type", "single-model"}, {"repo_id", "space owner/model one"}},
        {{"display_name", "Data"}, {"type", "single-model"}, {"kind", "dataset"}, {"repo_id", "space owner/data one"}},
    }));
  }
};

TEST_F(Dispatch, OrganisationFolderListsItsRepositories) {
  const std::vector<ListedRecord> records = List("\\Files");
  EXPECT_EQ(NamesOf(records), (std::vector<std::string>{"basic", "paged-tree", "huge-tree", "empty-repo", "dir-times",
                                                         "no-top-dir", "raw-tree", "renamed-old", "disabled-model"}));
  for (const ListedRecord& r : records) EXPECT_TRUE(r.folder) << r.name;
  std::vector<std::string> requests = TakeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("/api/models?author=files-org&limit=300&sort=lastModified", 0), 0u) << requests[0];
  EXPECT_EQ(Names("\\FilesDs"), std::vector<std::string>{"dataset-one"});
  requests = TakeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("/api/datasets?author=files-org&limit=300&sort=lastModified", 0), 0u) << requests[0];
}

TEST_F(Dispatch, RepositoryFoldersListOneLevelOfTheirTree) {
  const std::vector<ListedRecord> root = List("\\Files\\basic");
  EXPECT_EQ(NamesOf(root), (std::vector<std::string>{"dir with space", "donn\xc3\xa9" "es", "nested", ".gitattributes",
                                                      "README.md", "big.bin", "binary.dat", "config.json", "empty.txt",
                                                      "lfs-note.txt", "weights.safetensors"}));
  EXPECT_TRUE(root[0].folder);
  EXPECT_FALSE(root[5].folder);
  EXPECT_EQ(root[5].size, 3000000u);
  EXPECT_NE(root[4].write_time, 0u);
  EXPECT_EQ(Names("\\Files\\basic\\nested\\a"), std::vector<std::string>{"b"});
  const std::vector<ListedRecord> deep = List("\\Files\\basic\\donn\xc3\xa9" "es");
  ASSERT_EQ(deep.size(), 1u);
  EXPECT_EQ(deep[0].name, "r\xc3\xa9sum\xc3\xa9 \xc3\xa9t\xc3\xa9.txt");
  EXPECT_EQ(deep[0].size, 10u);
  EXPECT_TRUE(Contains(g_host.Log(), "EnumModelTree: files-org/basic path=nested/a"));
  EXPECT_EQ(Names("\\FilesDs\\dataset-one"), (std::vector<std::string>{"data", "README.md"}));
  EXPECT_EQ(CountWithPrefix(TakeRequests(), "/api/datasets/files-org/dataset-one/tree/main?recursive=true"), 1u);
}

TEST_F(Dispatch, CollectionsByDepth) {
  const std::vector<std::string> collections = Names("\\Colls");
  ASSERT_EQ(collections.size(), 6u);
  EXPECT_EQ(collections[0], "Favourites");
  EXPECT_EQ(collections[1], "Nested pick");
  EXPECT_EQ(collections[3].rfind("coll-org/no-title-", 0), 0u);  // no title: listed under its slug
  EXPECT_EQ(collections[5], "Parsing oddities");

  EXPECT_EQ(Names("\\Colls\\Nested pick"), (std::vector<std::string>{"alpha", "model one"}));
  EXPECT_TRUE(Contains(g_host.Log(), std::string("EnumCollectionModels: slug=") + kNestedSlug + " got 2 models"));

  EXPECT_EQ(Names("\\Colls\\Favourites\\basic"), Names("\\Files\\basic"));
  EXPECT_TRUE(Contains(g_host.Log(), "Collection model: repoId=files-org/basic treePath="));
  EXPECT_EQ(Names("\\Colls\\Favourites\\basic\\nested\\a\\b"), std::vector<std::string>{"deep.txt"});
  EXPECT_TRUE(Contains(g_host.Log(), "Collection model: repoId=files-org/basic treePath=nested/a/b"));
}

TEST_F(Dispatch, CollectionModelsOpenAsModelsEvenForADatasetEntry) {
  EXPECT_EQ(Names("\\CollsDs\\Favourites\\basic\\nested"), std::vector<std::string>{"a"});
  for (const std::string& path : TakeRequests()) EXPECT_EQ(path.find("/api/datasets/"), std::string::npos) << path;
}

TEST_F(Dispatch, SingleRepositoriesOpenAtTheirRoot) {
  EXPECT_EQ(Names("\\One"), (std::vector<std::string>{"sub dir", "README.md"}));
  EXPECT_EQ(Names("\\One\\sub dir"), std::vector<std::string>{"file one.txt"});
  EXPECT_EQ(Names("\\Data"), std::vector<std::string>{"a b.csv"});
  const std::vector<std::string> requests = TakeRequests();
  ASSERT_EQ(requests.size(), 2u);  // the second folder of "One" came from the cache
  EXPECT_EQ(requests[0], "/api/models/space%20owner/model%20one/tree/main?recursive=true&expand=true");
  EXPECT_EQ(requests[1], "/api/datasets/space%20owner/data%20one/tree/main?recursive=true&expand=true");
}

}  // namespace
