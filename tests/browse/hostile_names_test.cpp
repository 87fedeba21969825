// A hub that names repositories, collections, their models and tree paths to climb out of the folder
// a user copies into: through the exports, nothing listed may leave it, and the folders made safe open.
#include "browse/browse_fixture.h"

namespace {

class HostileNames : public BrowseTest {
 protected:
  void SetUp() override {
    BrowseTest::SetUp();
    Configure(json::array({EntryJson("Models", "org-models", "hostile-org"),
                           EntryJson("Colls", "org-collections", "hostile-org")}));
  }
  // Every name below `path`, `depth` levels down, as the host walks it for a recursive copy.
  void Walk(const std::string& path, int depth, std::vector<std::string>* names) {
    for (const ListedRecord& r : List(path)) {
      names->push_back(r.name);
      if (r.folder && depth > 1 && r.name != "." && r.name != "..") Walk(path + "\\" + r.name, depth - 1, names);
    }
  }
};

TEST_F(HostileNames, NothingListedLeavesTheFolderAndTheRenamedFoldersOpen) {
  std::vector<std::string> names;
  Walk("\\Models", 3, &names);
  Walk("\\Colls", 4, &names);
  ASSERT_GT(names.size(), 10u);
  for (const std::string& name : names) {
    EXPECT_TRUE(name != "" && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos &&
                std::none_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
        << name;
  }
  EXPECT_EQ(Names("\\Models"), std::vector<std::string>{"fine"});  // "../../Startup" cannot be opened back
  EXPECT_EQ(Names("\\Models\\fine\\d"), std::vector<std::string>{"kept.txt"});
  EXPECT_EQ(Names("\\Colls"),
            (std::vector<std::string>{".._.._Startup", "untitled-65f000000000000000000102", "Twins", "__"}));
  EXPECT_EQ(Names("\\Colls\\untitled-65f000000000000000000102\\fine\\d"), std::vector<std::string>{"kept.txt"});

  // Two owners' models of one name: two folders, each opening its own repository.
  EXPECT_EQ(Names("\\Colls\\Twins"),
            (std::vector<std::string>{"model-00 (acme)", "model-00 (other)", "__", "a_b"}));
  for (const std::string owner : {"acme", "other"}) {
    const std::u16string local = LocalPath(owner + ".txt");
    ASSERT_EQ(GetFile("\\Colls\\Twins\\model-00 (" + owner + ")\\who.txt", local), kFileOk) << owner;
    EXPECT_EQ(ReadTextFile(local), owner + "\n");
  }
}

}  // namespace
