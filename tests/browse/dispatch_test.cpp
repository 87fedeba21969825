// Every row of the folder dispatch through the loaded module against the fake hub: organisation
// models and datasets, collections by depth, single models and datasets.
#include "browse/browse_fixture.h"

namespace {

using Dispatch = BrowseTest;

TEST_F(Dispatch, EveryDepthOfEveryEntryTypeListsItsFolder) {
  Configure(AllKinds());
  // `request`: how a request of the listing starts; empty: served from what earlier rows stored. A
  // repository's folders are listed at the commit its main is at.
  const std::string basic = "/api/models/files-org/basic/tree/" + HubCommitOf("models", "files-org/basic");
  struct Row { const char* path; std::vector<std::string> names; std::string request; };
  const std::vector<Row> rows = {
      {"\\Files",
       {"basic", "paged-tree", "huge-tree", "empty-repo", "dir-times", "no-top-dir", "raw-tree", "renamed-old",
        "disabled-model"},
       "/api/models?author=files-org&limit=300&sort=lastModified"},
      {"\\FilesDs", {"dataset-one"}, "/api/datasets?author=files-org&limit=300&sort=lastModified"},
      {"\\Files\\basic",
       {"dir with space", "donn\xc3\xa9" "es", "nested", ".gitattributes", "README.md", "big.bin", "binary.dat",
        "config.json", "empty.txt", "lfs-note.txt", "weights.safetensors"},
       basic + "?recursive=true"},
      // basic answers four items a page: more than one recursive answer, so each folder is listed on its
      // own, percent-encoded per segment.
      {"\\Files\\basic\\nested\\a", {"b"}, basic + "/nested/a?limit=1000"},
      {"\\Files\\basic\\donn\xc3\xa9" "es", {"r\xc3\xa9sum\xc3\xa9 \xc3\xa9t\xc3\xa9.txt"},
       basic + "/donn%C3%A9es?limit=1000"},
      {"\\FilesDs\\dataset-one", {"data", "README.md"},
       "/api/datasets/files-org/dataset-one/tree/" + HubCommitOf("datasets", "files-org/dataset-one") + "?recursive=true"},
      {"\\Colls",
       {"Favourites", "Nested pick", "Empty on its own page", "no-title-65f000000000000000000004",
        "Date only", "Parsing oddities"},
       "/api/collections?owner=coll-org"},
      {"\\Colls\\Nested pick", {"alpha", "model one"}, "/api/collections/coll-org/nested-pick-"},
      {"\\Colls\\Favourites\\basic\\nested\\a\\b", {"deep.txt"}, basic + "/nested/a/b?"},
      // Collections hold models: a dataset entry's collection opens the stored model folder.
      {"\\CollsDs\\Favourites\\basic\\nested\\a", {"b"}, ""},
      {"\\One", {"sub dir", "README.md"},
       "/api/models/space%20owner/model%20one/tree/" + HubCommitOf("models", "space owner/model one") +
           "?recursive=true&expand=true&limit=100"},
      {"\\One\\sub dir", {"file one.txt"}, ""},
      {"\\Data", {"a b.csv"},
       "/api/datasets/space%20owner/data%20one/tree/" + HubCommitOf("datasets", "space owner/data one") +
           "?recursive=true&expand=true"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Names(row.path), row.names) << row.path;
    const std::vector<std::string> requests = TakeRequests();
    if (row.request.empty()) {
      EXPECT_TRUE(requests.empty()) << row.path;
    } else {
      EXPECT_NE(CountWithPrefix(requests, row.request), 0u) << row.path << ": " << ::testing::PrintToString(requests);
    }
  }
}

}  // namespace
