// Organisation folders without the network: page size, paging item names, merging pages, which
// paths are paging items and what cannot be paged or dispatched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "browse/browse.h"
#include "plugin/host_text.h"
#include "plugin/state.h"
#include "plugin/text.h"
#include "support/test_env.h"

namespace {

Entry MakeEntry(const std::u16string& name, uint32_t type) {
  Entry e;
  e.display_name = name;
  e.type = type;
  e.org = "acme";
  e.repo_id = "acme/one";
  return e;
}

// The entry list, the temporary entry and the open listings, restored after each test.
class BrowseState : public ::testing::Test {
 protected:
  void SetUp() override {
    StateLock guard(g_state.lock);
    saved_entries_ = g_state.entries;
    saved_log_ = g_state.log;
    g_state.entries = {MakeEntry(u"E", OrgModels), MakeEntry(u"C", OrgCollections), MakeEntry(u"S", SingleModel)};
    g_state.temporary_present = false;
    g_state.open_listings.clear();
    g_state.log = RecordLog;
    g_host.Clear();
  }
  void TearDown() override {
    StateLock guard(g_state.lock);
    g_state.entries = saved_entries_;
    g_state.temporary_present = false;
    g_state.temporary_entry = Entry();
    g_state.open_listings.clear();
    g_state.log = saved_log_;
  }
  std::vector<Entry> saved_entries_;
  HostLogProc saved_log_ = nullptr;
};

TEST(PagingItem, NameCarriesThePageSizeAndAlwaysSaysModels) {
  EXPECT_EQ(PagingItemName(300), u"[Load next 300 models]");
  EXPECT_EQ(PagingItemName(10), u"[Load next 10 models]");
  EXPECT_EQ(PagingItemName(-5), u"[Load next -5 models]");
}

TEST(PagingItem, AnyTextBetweenThePrefixAndTheBracketCounts) {
  EXPECT_TRUE(IsPagingItemName(u"[Load next 300 models]"));
  EXPECT_TRUE(IsPagingItemName(u"[Load next anything at all]"));
  EXPECT_TRUE(IsPagingItemName(u"[Load next ]"));
  EXPECT_FALSE(IsPagingItemName(u"[Load next 300 models"));
  EXPECT_FALSE(IsPagingItemName(u"[load next 300 models]"));
  EXPECT_FALSE(IsPagingItemName(u" [Load next 300 models]"));
  EXPECT_FALSE(IsPagingItemName(u"[Load next"));
}

TEST(PageSize, ClampsToTenToFiveHundredWithThreeHundredBelowTen) {
  Entry e;
  const std::vector<std::pair<int32_t, int32_t>> cases = {{10, 10},   {9, 300},   {0, 300},   {-1, 300},
                                                          {300, 300}, {500, 500}, {501, 500}, {1000, 500}};
  for (const auto& [limit, expected] : cases) {
    e.limit_count = limit;
    EXPECT_EQ(PageSizeOf(e), expected) << "limit_count " << limit;
  }
}

TEST(MergeRepos, AppendsNewIdsInOrderAndTheFirstOccurrenceWins) {
  std::vector<RepoInfo> models = {{"a", "o/a", 1}, {"b", "o/b", 2}};
  RepoPage page;
  page.items = {{"b-again", "o/b", 9}, {"c", "o/c", 3}, {"c-dup", "o/c", 8}, {"d", "o/d", 4}};
  MergeRepos(&models, page);
  ASSERT_EQ(models.size(), 4u);
  EXPECT_EQ(models[0].repo_id, "o/a");
  EXPECT_EQ(models[1].name, "b");
  EXPECT_EQ(models[1].last_modified, 2);
  EXPECT_EQ(models[2].name, "c");
  EXPECT_EQ(models[3].repo_id, "o/d");
  MergeRepos(&models, RepoPage());
  EXPECT_EQ(models.size(), 4u);
}

TEST_F(BrowseState, LoadNextItemsAreTwoLevelPathsOfOrganisationModelEntries) {
  EXPECT_TRUE(IsLoadNextItem(u"\\E\\[Load next 300 models]"));
  EXPECT_TRUE(IsLoadNextItem(u"\\E\\[Load next x]"));
  EXPECT_FALSE(IsLoadNextItem(u"\\E\\[Load next 300 models]\\f"));
  EXPECT_FALSE(IsLoadNextItem(u"\\E\\repo"));
  EXPECT_FALSE(IsLoadNextItem(u"\\C\\[Load next 300 models]"));
  EXPECT_FALSE(IsLoadNextItem(u"\\S\\[Load next 300 models]"));
  EXPECT_FALSE(IsLoadNextItem(u"\\Missing\\[Load next 300 models]"));
  EXPECT_FALSE(IsLoadNextItem(u"\\***_TEMPORARY_***\\[Load next 300 models]"));
  {
    StateLock guard(g_state.lock);
    g_state.temporary_entry = MakeEntry(u"t", OrgModels);
    g_state.temporary_present = true;
  }
  EXPECT_TRUE(IsLoadNextItem(u"\\***_TEMPORARY_***\\[Load next 300 models]"));
  {
    StateLock guard(g_state.lock);
    g_state.temporary_entry.type = SingleModel;
  }
  EXPECT_FALSE(IsLoadNextItem(u"\\***_TEMPORARY_***\\[Load next 300 models]"));
}

TEST_F(BrowseState, LoadNextPageRefusesWhatItCannotPage) {
  {
    StateLock guard(g_state.lock);
    Entry unlimited = MakeEntry(u"U", OrgModels);
    unlimited.limit_enabled = false;
    g_state.entries.push_back(unlimited);
  }
  EXPECT_FALSE(LoadNextPage(u"\\E\\repo"));
  EXPECT_FALSE(LoadNextPage(u"\\E"));
  EXPECT_FALSE(LoadNextPage(u"\\U\\[Load next 300 models]"));
  EXPECT_FALSE(LoadNextPage(u"\\C\\[Load next 300 models]"));
  EXPECT_FALSE(LoadNextPage(u"\\Missing\\[Load next 300 models]"));
  EXPECT_FALSE(LoadNextPage(u"\\***_TEMPORARY_***\\[Load next 300 models]"));
}

TEST_F(BrowseState, UnknownEntryKindsGiveNoHandleAndNoCopy) {
  Entry odd = MakeEntry(u"X", 7);
  {
    StateLock guard(g_state.lock);
    g_state.entries.push_back(odd);
  }
  EXPECT_EQ(EnumFolder(odd, {u"X"}, u"\\X"), nullptr);
  EXPECT_EQ(EnumFolder(odd, {u"X", u"a"}, u"\\X\\a"), nullptr);
  std::u16string remote = u"\\X\\repo\\file.txt";
  std::u16string local = JoinFsPath(MakeTempFolder("odd"), u"file.txt");
  EXPECT_EQ(FsGetFileW(ToHostPointer(remote), ToHostPointer(local), 0, nullptr), kFileNotSupported);
  EXPECT_FALSE(FileExists(local));
  EXPECT_TRUE(g_host.Log().empty());
}

}  // namespace
