// The repository's small record and the commits of the module's own: which folder records count as
// current at the commit a revision is at, what a commit does to the records of the folders it changed.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "cache/tree_commits.h"
#include "core/state.h"
#include "core/text.h"
#include "core/time.h"
#include "support/test_env.h"

namespace {

using nlohmann::json;

const std::string kA(40, 'a'), kB(40, 'b'), kC(40, 'c'), kD(40, 'd');

std::vector<std::string> Paths(const TreeFolderRecord& record) {
  std::vector<std::string> paths;
  for (const TreeItem& item : record.items) paths.push_back(item.path);
  return paths;
}

TEST(RevisionRecord, ReadsBackWhatWasWrittenAndNothingOfAnotherShapeOrRepository) {
  ResetLinkedState(MakeTempFolder("revision-record"));
  const std::u16string cache = g_state.cache_folder;
  RevisionRecord written;
  written.commit = kB;
  written.checked_at = 1700000000;
  written.links = {{kB, kA, {"", "x", "y/"}}, {kC, kB, {}}};
  ASSERT_TRUE(WriteRevisionRecord(cache, "o/m", DatasetRepo, "refs/pr/1", written));
  RevisionRecord read;
  ASSERT_TRUE(ReadRevisionRecord(cache, "o/m", DatasetRepo, "refs/pr/1", &read));
  EXPECT_EQ(std::tie(read.commit, read.checked_at), std::tie(written.commit, written.checked_at));
  ASSERT_EQ(read.links.size(), 2u);
  EXPECT_EQ(std::tie(read.links[0].commit, read.links[0].parent, read.links[0].changed_folders),
            std::tie(written.links[0].commit, written.links[0].parent, written.links[0].changed_folders));
  EXPECT_FALSE(ReadRevisionRecord(cache, "o/m", ModelRepo, "refs/pr/1", &read));  // another kind's folder

  const std::u16string path =
      JoinFsPath(TreeRecordsFolder(cache, "o/m", DatasetRepo, "refs/pr/1"), u"revision.json");
  const json good = json::parse(ReadTextFile(path));
  const auto readable = [&](const json& document) {
    WriteTextFile(path, document.dump());
    RevisionRecord out;
    return ReadRevisionRecord(cache, "o/m", DatasetRepo, "refs/pr/1", &out) ? static_cast<int>(out.links.size()) : -1;
  };
  // -1: unreadable; else how many links are kept.
  const std::vector<std::tuple<json::json_pointer, json, int>> edits = {
      {"/identity/repo_id"_json_pointer, "o/other", -1}, {"/identity/revision"_json_pointer, "main", -1},
      {"/identity/kind"_json_pointer, "model", -1},      {"/format"_json_pointer, 2, -1},
      {"/commit"_json_pointer, "abc", -1},               {"/commit"_json_pointer, "", 2},
      {"/links/0/parent"_json_pointer, "HEAD", 1},       {"/links/1/changed_folders"_json_pointer, "x", 1},
      {"/links"_json_pointer, "none", 0},                {""_json_pointer, json::array(), -1}};
  for (const auto& [pointer, value, links] : edits) {
    json document = good;
    document[pointer] = value;
    EXPECT_EQ(readable(document), links) << pointer.to_string() << " = " << value.dump();
  }
  json many = good;
  for (int i = 0; i < 20; ++i) many["links"].push_back({{"commit", kD}, {"parent", kC}, {"changed_folders", json::array()}});
  EXPECT_EQ(readable(many), static_cast<int>(kMaxCommitLinks));  // the newest
}

// A record listed at an earlier commit is current when the links lead there without passing a change
// of its folder; a folder deleted with "x/" covers everything below it.
TEST(ShowsRecordedCommit, FollowsTheLinksBackPastCommitsThatLeftTheFolderAlone) {
  RevisionRecord record;
  record.commit = kC;
  record.links = {{kB, kA, {"", "docs", "gone/"}}, {kC, kB, {"", "data"}}};
  const struct { std::string listed, folder; bool current; } cases[] = {
      {kC, "data", true},        {kC, "anything", true},    // the commit itself
      {kB, "docs", true},        {kB, "data", false},        {kB, "", false},
      {kA, "models", true},      {kA, "docs", false},        {kA, "data", false},
      {kA, "gone", false},       {kA, "gone/deeper", false}, {kA, "gone-not", true},
      {kD, "models", false},     {"", "models", false},      // another commit; listed at a branch's name
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ShowsRecordedCommit(record, c.listed, c.folder), c.current) << c.listed.substr(0, 1) << " '" << c.folder << "'";
  }
  // Links that loop lead nowhere, and end.
  record.links = {{kC, kB, {}}, {kB, kC, {}}};
  EXPECT_FALSE(ShowsRecordedCommit(record, kA, "x"));
}

TEST(NoteResolvedCommit, KeepsLinksOnlyWhileTheyLeadToTheCommit) {
  RevisionRecord record;
  record.commit = kB;
  record.links = {{kB, kA, {"x"}}};
  NoteResolvedCommit(&record, kB, 100);
  EXPECT_EQ(std::make_tuple(record.commit, record.checked_at, record.links.size()), std::make_tuple(kB, int64_t{100}, size_t{1}));
  NoteResolvedCommit(&record, kC, 200);  // someone else's commit
  EXPECT_EQ(std::make_tuple(record.commit, record.checked_at, record.links.size()), std::make_tuple(kC, int64_t{200}, size_t{0}));
}

TEST(FoldersChangedBy, EachPathsFolderAndThoseAboveAndADeletedPathWithEverythingBelow) {
  const std::vector<CommittedPath> paths = {{"a/b/c.txt"}, {"top.txt"}, {"a/x", true}, {"", false}};
  EXPECT_EQ(FoldersChangedBy(paths), (std::vector<std::string>{"", "a", "a/b", "a/x/"}));
}

TEST(FolderAfterCommit, WritesDeletesAndTouchesChildFoldersWhereTheHubWouldListThem) {
  TreeFolderRecord parent;
  parent.repo_id = "o/m";
  parent.folder = "d";
  parent.commit = kA;
  parent.fetch_id = "before";
  parent.dates_complete = true;
  parent.items = {{"directory", "d/m", 0, 5, "tree-m"}, {"directory", "d/z", 0, 5, "tree-z"},
                  {"file", "d/b.txt", 1, 5, "old-b"}, {"file", "d/gone.txt", 1, 5, "g"}, {"file", "d/y.txt", 1, 5, "y"}};
  const std::vector<CommittedPath> paths = {
      {"d/b.txt", false, 7, "new-b"},         {"d/a.txt", false, 3, "a", std::string(64, 'e')},
      {"d/gone.txt", true},                   {"d/m/inner.txt", false, 2, "i"},
      {"d/new/deep/file.bin", false, 9, "n"}, {"elsewhere/x", false, 1, "x"}, {"dd/x", false, 1, "x"}};
  TreeFolderRecord after;
  ASSERT_TRUE(FolderAfterCommit(parent, paths, kB, 900, &after));
  EXPECT_EQ(Paths(after), (std::vector<std::string>{"d/m", "d/new", "d/z", "d/a.txt", "d/b.txt", "d/y.txt"}));
  const std::vector<std::tuple<std::string, int64_t, int64_t, std::string, std::string>> expected = {
      {"directory", 0, 900, "", ""}, {"directory", 0, 900, "", ""}, {"directory", 0, 5, "tree-z", ""},
      {"file", 3, 900, "a", std::string(64, 'e')}, {"file", 7, 900, "new-b", ""}, {"file", 1, 5, "y", ""}};
  for (size_t i = 0; i < expected.size(); ++i) {
    const TreeItem& item = after.items[i];
    EXPECT_EQ(std::make_tuple(item.type, item.size, item.mtime, item.oid, item.lfs_oid), expected[i]) << item.path;
  }
  EXPECT_EQ(std::make_tuple(after.commit, after.fetched_at, after.dates_complete), std::make_tuple(kB, int64_t{900}, true));
  EXPECT_NE(after.fetch_id, "before");
  // A path deleted inside a child folder may take the folder with it: that record is listed again.
  EXPECT_FALSE(FolderAfterCommit(parent, {{"d/m/inner.txt", true}}, kB, 900, &after));
}

// What the module that made a commit records: the changed folders' records brought to the commit, the
// others current through the link, the revision at the commit; a folder listed afresh meanwhile, or
// listed at another commit, keeps its record.
TEST(NoteOwnCommit, BringsTheChangedFoldersRecordsToTheCommitAndLinksTheRest) {
  ResetLinkedState(MakeTempFolder("own-commit"));
  const std::u16string cache = g_state.cache_folder;
  const auto record = [&](const std::string& folder, const std::string& commit, std::vector<TreeItem> items) {
    TreeFolderRecord r;
    r.repo_id = "o/m";
    r.folder = folder;
    r.commit = commit;
    r.fetch_id = "f-" + folder;
    r.fetched_at = UnixNow() - 7200;
    r.dates_complete = true;
    r.items = std::move(items);
    EXPECT_TRUE(WriteTreeFolderRecord(cache, r));
  };
  record("", kA, {{"directory", "docs", 0, 1, "t1"}, {"directory", "data", 0, 1, "t2"}, {"file", "README.md", 3, 1, "r"}});
  record("docs", kA, {{"file", "docs/guide.md", 3, 1, "g"}});
  record("data", kA, {{"file", "data/a.csv", 3, 1, "c"}});
  record("other", kD, {{"file", "other/x", 3, 1, "x"}});  // listed at a commit the parent is not
  RevisionRecord before;
  before.commit = kA;
  before.checked_at = UnixNow() - 3600;
  ASSERT_TRUE(WriteRevisionRecord(cache, "o/m", ModelRepo, "main", before));

  ASSERT_TRUE(NoteOwnCommit(cache, "o/m", ModelRepo, "main", kA, kB,
                            {{"docs/new.md", false, 4, "n"}, {"README.md", false, 9, "r2"}}, 5000));
  RevisionRecord now;
  ASSERT_TRUE(ReadRevisionRecord(cache, "o/m", ModelRepo, "main", &now));
  EXPECT_EQ(now.commit, kB);
  EXPECT_NEAR(static_cast<double>(now.checked_at), static_cast<double>(UnixNow()), 5);
  ASSERT_EQ(now.links.size(), 1u);
  EXPECT_EQ(now.links[0].changed_folders, (std::vector<std::string>{"", "docs"}));
  TreeFolderRecord read;
  for (const char* folder : {"", "docs"}) {
    ASSERT_TRUE(ReadTreeFolderRecord(cache, "o/m", ModelRepo, "main", folder, TreeRecordRead::Whole, &read));
    EXPECT_EQ(read.commit, kB) << folder;
    EXPECT_TRUE(ShowsRecordedCommit(now, read.commit, folder)) << folder;
  }
  EXPECT_EQ(Paths(read), (std::vector<std::string>{"docs/guide.md", "docs/new.md"}));
  ASSERT_TRUE(ReadTreeFolderRecord(cache, "o/m", ModelRepo, "main", "", TreeRecordRead::Whole, &read));
  EXPECT_EQ(read.items.back().size, 9);
  ASSERT_TRUE(ReadTreeFolderRecord(cache, "o/m", ModelRepo, "main", "data", TreeRecordRead::Whole, &read));
  EXPECT_EQ(read.commit, kA);
  EXPECT_TRUE(ShowsRecordedCommit(now, read.commit, "data"));  // untouched: current without a request
  ASSERT_TRUE(ReadTreeFolderRecord(cache, "o/m", ModelRepo, "main", "other", TreeRecordRead::Whole, &read));
  EXPECT_FALSE(ShowsRecordedCommit(now, read.commit, "other"));

  // A second commit on top; the first link still leads on. One made on a commit the record never saw
  // brings no record over and leaves the earlier ones to be listed again.
  ASSERT_TRUE(NoteOwnCommit(cache, "o/m", ModelRepo, "main", kB, kC, {{"data/b.csv", false, 1, "b"}}, 6000));
  ASSERT_TRUE(ReadRevisionRecord(cache, "o/m", ModelRepo, "main", &now));
  ASSERT_TRUE(ReadTreeFolderRecord(cache, "o/m", ModelRepo, "main", "docs", TreeRecordRead::Whole, &read));
  EXPECT_TRUE(ShowsRecordedCommit(now, read.commit, "docs"));
  ASSERT_TRUE(ReadTreeFolderRecord(cache, "o/m", ModelRepo, "main", "data", TreeRecordRead::Whole, &read));
  EXPECT_EQ(std::make_pair(read.commit, Paths(read)),
            std::make_pair(kC, std::vector<std::string>{"data/a.csv", "data/b.csv"}));
  EXPECT_FALSE(NoteOwnCommit(cache, "o/m", ModelRepo, "main", "HEAD", kD, {}, 7000));  // no commit ids
}

}  // namespace
