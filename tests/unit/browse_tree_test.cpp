// Repository trees without the network: cutting one level out of the flat listing, and the records
// a cached repository lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "browse/browse.h"
#include "plugin/state.h"
#include "plugin/text.h"
#include "support/test_env.h"

namespace {

std::vector<std::string> Paths(const std::vector<TreeItem>& items) {
  std::vector<std::string> out;
  for (const TreeItem& i : items) out.push_back(i.path);
  return out;
}

TEST(ChildrenOf, TheRootHoldsTheItemsWithoutASlashInListingOrder) {
  const std::vector<TreeItem> items = {
      {"file", "b.txt", 1, 0}, {"directory", "W", 0, 0}, {"file", "W/x.bin", 7, 5}, {"file", "a.txt", 2, 0},
      {"file", "", 0, 0},      {"file", "deep/no/dir.txt", 1, 0}};
  EXPECT_EQ(Paths(ChildrenOf(items, "")), (std::vector<std::string>{"b.txt", "W", "a.txt"}));
}

TEST(ChildrenOf, ASubPathHoldsItsDirectChildrenOnly) {
  const std::vector<TreeItem> items = {{"directory", "W", 0, 0},       {"file", "W/x.bin", 7, 5},
                                       {"directory", "W/sub", 0, 0},   {"file", "W/sub/y", 1, 1},
                                       {"file", "Wx/z", 1, 1},         {"file", "w/lower", 1, 1},
                                       {"directory", "a/b", 0, 0},     {"file", "a/b/c.txt", 3, 3}};
  EXPECT_EQ(Paths(ChildrenOf(items, "W")), (std::vector<std::string>{"W/x.bin", "W/sub"}));
  EXPECT_EQ(Paths(ChildrenOf(items, "W/sub")), (std::vector<std::string>{"W/sub/y"}));
  EXPECT_EQ(Paths(ChildrenOf(items, "a/b")), (std::vector<std::string>{"a/b/c.txt"}));
  EXPECT_TRUE(ChildrenOf(items, "a").size() == 1);   // the directory item a/b, though "a" itself is absent
  EXPECT_TRUE(ChildrenOf(items, "x").empty());
  EXPECT_EQ(Paths(ChildrenOf(items, "w")), (std::vector<std::string>{"w/lower"}));  // case matters
  const TreeItem child = ChildrenOf(items, "W")[0];
  EXPECT_EQ(child.size, 7);
  EXPECT_EQ(child.mtime, 5);
}

class CachedTree : public ::testing::Test {
 protected:
  void SetUp() override {
    StateLock guard(g_state.lock);
    saved_folder_ = g_state.cache_folder;
    saved_hub_ = g_state.hub_site_url;
    saved_log_ = g_state.log;
    g_state.cache_folder = MakeTempFolder("tree-cache");
    g_state.cache_ttl_hours = 24;
    g_state.hub_site_url = "http://127.0.0.1:9/";  // a request here fails at once; none is expected
    g_state.log = RecordLog;
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

// Regression: names the host cannot address ("..", a backslash) were listed, so a recursive copy of
// the folder could write outside the host's target folder.
TEST_F(CachedTree, NamesTheHostCannotAddressAreNotListed) {
  TreeCache tree;
  tree.repo_id = "o/evil";
  tree.files = {{"directory", "d", 0, 0},     {"file", "d/..", 1, 0},  {"file", "d/.", 1, 0},
                {"file", "d/..\\..\\x.txt", 1, 0}, {"file", "d/ok..txt", 1, 0}, {"file", "d/a/b", 1, 0}};
  SaveTreeCache(tree);
  auto handle = EnumModelTree("o/evil", "d", 0);
  ASSERT_EQ(handle->records.size(), 1u);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(handle->records[0].file_name)), u"ok..txt");
}

}  // namespace
