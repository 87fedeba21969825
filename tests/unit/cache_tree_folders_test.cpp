// Folder records of repository trees on disk: read back whole or names only, whose record a file is,
// damaged files, file names and their time, and what "Delete cache" removes. Freshness by that time
// is the listing cache's own rule (cache_listing_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "cache/listing_cache.h"
#include "cache/tree_folders.h"
#include "core/state.h"
#include "core/text.h"
#include "core/time.h"
#include "platform/platform.h"
#include "support/test_env.h"
#include "ui/dialog_logic.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class TreeFolderCache : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLinkedState(MakeTempFolder("tree-folders"));  // a TTL of 24 h
    cache_ = g_state.cache_folder;
  }
  static TreeFolderRecord Sample() {
    TreeFolderRecord r;
    r.repo_id = "o w/m";
    r.folder = "data/caf\xc3\xa9";
    r.commit = std::string(40, 'c');
    r.fetch_id = "0123456789abcdef";
    r.fetched_at = UnixNow() - 60;
    r.dates_complete = false;
    r.dates_next_url = "https://hub.test/api/models/o/m/tree/main/data?cursor=2";
    r.items = {{"directory", "data/caf\xc3\xa9/sub", 0, 1700000000, "7ree"},
               {"file", "data/caf\xc3\xa9/a b.bin", 123456789012, 0, "0a1b", std::string(64, 'e')},
               {"file", "data/caf\xc3\xa9/line\nbreak \"q\"", 5, -86400, "c0de"},
               {"unknown", "data/caf\xc3\xa9/odd", 7, 0, ""}};
    return r;
  }
  std::u16string Path(const TreeFolderRecord& r) const {
    return TreeFolderRecordPath(cache_, r.repo_id, r.repo_type, "main", r.folder);
  }
  bool Read(const TreeFolderRecord& r, TreeRecordRead what, TreeFolderRecord* out) const {
    return ReadTreeFolderRecord(cache_, r.repo_id, r.repo_type, "main", r.folder, what, out);
  }
  std::vector<std::string> Entries(const std::u16string& folder) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(FsPath(folder), ec)) {
      names.push_back(WideToUtf8(item.path().filename().u16string()));
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // The entry's "Refresh cache now" (refresh) or "Delete cache"; whether it reset the entry's cache.
  static bool ClearCache(uint32_t type, const std::string& id, RepoType repo_type = ModelRepo,
                         const std::string& revision = "main", bool refresh = false) {
    Entry entry;
    entry.type = type;
    (type == SingleModel ? entry.repo_id : entry.org) = id;
    entry.repo_type = repo_type;
    entry.revision = revision;
    EntrySettingsContext context{&entry, {}};
    EntrySettingsFields fields;
    EntrySettingsClearCache(&context, refresh, &fields);
    return context.result.cache_reset;
  }
  std::u16string cache_;
};

using Fields = std::tuple<std::string, std::string, int64_t, int64_t, std::string, std::string>;
std::vector<Fields> FieldsOf(const std::vector<TreeItem>& items) {
  std::vector<Fields> out;
  for (const TreeItem& i : items) out.emplace_back(i.type, i.path, i.size, i.mtime, i.oid, i.lfs_oid);
  return out;
}

TEST_F(TreeFolderCache, ARecordReadsBackWholeOrAsNamesOnly) {
  const TreeFolderRecord written = Sample();
  ASSERT_TRUE(WriteTreeFolderRecord(cache_, written));
  TreeFolderRecord whole, names;
  ASSERT_TRUE(Read(written, TreeRecordRead::Whole, &whole));
  ASSERT_TRUE(Read(written, TreeRecordRead::Names, &names));
  std::vector<Fields> expected = FieldsOf(written.items);
  std::get<0>(expected[3]) = "other";  // a type the hub may invent is kept as "not a file, not a folder"
  EXPECT_EQ(FieldsOf(whole.items), expected);
  for (Fields& f : expected) std::get<4>(f) = std::get<5>(f) = "";
  EXPECT_EQ(FieldsOf(names.items), expected);
  for (const TreeFolderRecord* r : {&whole, &names}) {
    EXPECT_EQ(std::tie(r->repo_id, r->folder, r->commit, r->fetch_id, r->fetched_at, r->dates_complete,
                       r->dates_next_url),
              std::tie(written.repo_id, written.folder, written.commit, written.fetch_id, written.fetched_at,
                       written.dates_complete, written.dates_next_url));
  }
  // The file's time is when the names were fetched, whenever the record was written.
  const auto age = fs::file_time_type::clock::now() - fs::last_write_time(FsPath(Path(written)));
  EXPECT_NEAR(std::chrono::duration_cast<std::chrono::seconds>(age).count(), 60, 5);

  // Only a folder's own children have a place in its record.
  TreeFolderRecord stray = written;
  stray.items = {{"file", "data/caf\xc3\xa9/kept"}, {"file", "data/other"}, {"file", "data/caf\xc3\xa9/x/deeper"},
                 {"file", "data/caf\xc3\xa9/"}};
  ASSERT_TRUE(WriteTreeFolderRecord(cache_, stray));
  ASSERT_TRUE(Read(stray, TreeRecordRead::Whole, &whole));
  ASSERT_EQ(whole.items.size(), 1u);
  EXPECT_EQ(whole.items[0].path, "data/caf\xc3\xa9/kept");
}

TEST_F(TreeFolderCache, AFileIsReadOnlyAsTheRecordItSaysItIs) {
  TreeFolderRecord record = Sample();
  ASSERT_TRUE(WriteTreeFolderRecord(cache_, record));
  const json good = json::parse(ReadTextFile(Path(record)));
  const auto readable = [&](const json& doc) {
    WriteTextFile(Path(record), doc.dump(2));
    TreeFolderRecord out;
    return std::make_pair(Read(record, TreeRecordRead::Whole, &out), Read(record, TreeRecordRead::Names, &out));
  };
  EXPECT_EQ(readable(good), std::make_pair(true, true));
  // Another record's identity or format, items of another form, or not an object at all: absent. The
  // hashes are not read for a listing: a count that does not match, or another type, spoils only a whole
  // read. Members a later format may add are passed over.
  const std::pair<bool, bool> absent{false, false}, names_only{false, true}, whole{true, true};
  const std::vector<std::tuple<json::json_pointer, json, std::pair<bool, bool>>> edits = {
      {"/identity/repo_id"_json_pointer, "o w/other", absent}, {"/identity/kind"_json_pointer, "dataset", absent},
      {"/identity/folder"_json_pointer, "data", absent},       {"/identity/revision"_json_pointer, "v2", absent},
      {"/format"_json_pointer, 1, absent},                     {"/format"_json_pointer, 3, absent},
      {"/identity"_json_pointer, "o w/m", absent},
      {"/items"_json_pointer, "f 1 2 x", absent},              {"/items/0"_json_pointer, 7, absent},
      {"/items/0"_json_pointer, "x 1 2 name", absent},         {"/items/0"_json_pointer, "f 1 name", absent},
      {"/items/0"_json_pointer, "f 1 2 ", absent},             {"/items/0"_json_pointer, "f 1 2", absent},
      {"/items/0"_json_pointer, "f 1234567890123456789 2 n", absent},
      {""_json_pointer, json::array(), absent},                {""_json_pointer, "items", absent},
      {""_json_pointer, json::object(), absent},               {""_json_pointer, nullptr, absent},
      {"/oids"_json_pointer, json::array({"0a1b"}), names_only}, {"/type"_json_pointer, "model-tree", names_only},
      {"/zz_later"_json_pointer, {{"a", {1, 2}}}, whole},
      {"/aa_earlier"_json_pointer, json::array({json::object()}), whole}};
  for (const auto& [pointer, value, expected] : edits) {
    json doc = good;
    doc[pointer] = value;
    EXPECT_EQ(readable(doc), expected) << pointer.to_string() << " = " << value.dump();
  }
  json no_identity = good;
  no_identity.erase("identity");
  EXPECT_EQ(readable(no_identity), absent);

  // Cut anywhere: absent.
  const std::string text = ReadTextFile(Path(record));
  for (size_t cut = 0; cut + 1 < text.size(); cut += 5) {
    WriteTextFile(Path(record), text.substr(0, cut));
    TreeFolderRecord out;
    EXPECT_FALSE(Read(record, TreeRecordRead::Whole, &out)) << cut;
    EXPECT_FALSE(Read(record, TreeRecordRead::Names, &out)) << cut;
  }
}

TEST_F(TreeFolderCache, FileNamesAreShortSafeAndApartPerKindAndFolder) {
  // The names of each kind's folders: DeletingAnEntrysCacheTakesItsFolderRecordsAndOldFiles.
  const std::u16string trees = JoinFsPath(cache_, u"trees");
  EXPECT_EQ(TreeRecordsFolder(cache_, "o/a\x01:B", ModelRepo, "main"), JoinFsPath(trees, u"m-o+2fa+01+3a_b"));
  EXPECT_EQ(TreeRecordsFolder(cache_, "Org/My.Model", DatasetRepo, "refs/pr/1"),
            JoinFsPath(trees, u"d-_org+2f_my+2e_model@refs+2fpr+2f1"));
  const std::string long_a = std::string(150, 'a') + "/x", long_b = std::string(150, 'a') + "/y";
  const std::u16string a = TreeRecordsFolder(cache_, long_a, ModelRepo, "main"), b = TreeRecordsFolder(cache_, long_b, ModelRepo, "main");
  EXPECT_NE(a, b);
  EXPECT_LE(a.size() - trees.size(), 120u);
  const std::u16string root = TreeFolderRecordPath(cache_, "o/m", ModelRepo, "main", "");
  const std::u16string sub = TreeFolderRecordPath(cache_, "o/m", ModelRepo, "main", "sub");
  EXPECT_NE(root, sub);
  EXPECT_EQ(fs::path(FsPath(sub)).filename().string().size(), 21u);  // 16 hex digits and ".json"
  TreeFolderRecord deep;
  deep.repo_id = long_a;
  deep.folder = std::string(900, 'f');  // the longest folder a path of the hub's may name
  deep.fetched_at = UnixNow();
  ASSERT_TRUE(WriteTreeFolderRecord(cache_, deep));
  TreeFolderRecord out;
  EXPECT_TRUE(ReadTreeFolderRecord(cache_, long_a, ModelRepo, "main", deep.folder, TreeRecordRead::Names, &out));
}

// Fault: a pull request refs/pr/1 and a branch named refs_pr_1 shared one records folder ("/" made
// "_"): each listing evicted the other's records, and "Delete cache" of one removed the other's.
TEST_F(TreeFolderCache, NoTwoRepositoriesOrRevisionsShareARecordsFolderEvenWhereCaseIsIgnored) {
  const std::vector<std::pair<std::string, std::string>> named = {
      {"o/a", "refs/pr/1"}, {"o/a", "refs_pr_1"}, {"o/a", "refs.pr.1"}, {"o/a", "Refs/PR/1"},
      {"o/a", "main"},      {"o/a", "Main"},      {"o/a", "mai"},       {"o/a", "v1.0"},
      {"o/a", "v1_0"},      {"O/A", "main"},      {"o_a", "main"},      {"o/a@x", "main"},
      {"o/a", "x@y"},       {"o/a@x", "y"},       {"o/a-", "main"},     {"o/a.", "main"},
      {"o/a", "+2f"},       {"o/a", "%2F"},       {"o/a", "a b"},       {"o/a", "caf\xc3\xa9"},
      {std::string(130, 'o') + "/a", "main"},     {std::string(130, 'o') + "/b", "main"}};
  std::set<std::string> seen;
  for (const auto& [repo, revision] : named) {
    const std::string name = fs::path(FsPath(TreeRecordsFolder(cache_, repo, ModelRepo, revision))).filename().string();
    std::string folded = name;
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(seen.insert(folded).second) << repo << " @ " << revision << " shares " << name;
    // Nothing Windows refuses in a name, nor a dot or blank at its end.
    EXPECT_EQ(name.find_first_of("<>:\"/\\|?* ."), std::string::npos) << name;
    for (unsigned char c : name) EXPECT_TRUE(c > 0x20 && c < 0x7F) << name;
  }
  // Two revisions' records and "Delete cache" of one of them: the other's stay.
  TreeFolderRecord pr = Sample(), twin = Sample();
  pr.revision = "refs/pr/1";
  twin.revision = "refs_pr_1";
  twin.items.resize(1);
  ASSERT_TRUE(WriteTreeFolderRecord(cache_, pr));
  ASSERT_TRUE(WriteTreeFolderRecord(cache_, twin));
  TreeFolderRecord out;
  ASSERT_TRUE(ReadTreeFolderRecord(cache_, pr.repo_id, ModelRepo, "refs/pr/1", pr.folder, TreeRecordRead::Names, &out));
  EXPECT_EQ(out.items.size(), 4u);
  EXPECT_TRUE(ClearCache(SingleModel, twin.repo_id, ModelRepo, "refs_pr_1"));
  EXPECT_TRUE(ReadTreeFolderRecord(cache_, pr.repo_id, ModelRepo, "refs/pr/1", pr.folder, TreeRecordRead::Names, &out));
  EXPECT_FALSE(ReadTreeFolderRecord(cache_, twin.repo_id, ModelRepo, "refs_pr_1", twin.folder, TreeRecordRead::Names, &out));
}

// "Refresh cache now" and "Delete cache": a repository entry takes its repository's folder records at
// its revision alone, an organisation's entry those of the owner's repositories of its kind at every
// revision; both take the earlier forms, which are never read: a repository's one file, and folders
// of the earlier naming ("m_o_a@refs_pr_1").
TEST_F(TreeFolderCache, DeletingAnEntrysCacheTakesItsFolderRecordsAndOldFiles) {
  const std::tuple<const char*, RepoType, const char*> repos[] = {
      {"o/a", ModelRepo, "main"}, {"o/b", ModelRepo, "main"}, {"o/a", DatasetRepo, "main"},
      {"other/a", ModelRepo, "main"}, {"o_x/c", ModelRepo, "main"}, {"o/a", ModelRepo, "refs/pr/1"},
      {"o/b", ModelRepo, "v2"}, {"o/a", SpaceRepo, "main"}};
  for (const auto& [repo, repo_type, revision] : repos) {
    TreeFolderRecord r;
    r.repo_id = repo;
    r.repo_type = repo_type;
    r.revision = revision;
    for (const char* folder : {"", "sub"}) {
      r.folder = folder;
      ASSERT_TRUE(WriteTreeFolderRecord(cache_, r));
    }
  }
  for (const char* name : {"tree_o_a.json", "tree_ds_o_a.json", "tree_o_b.json", "tree_other_a.json",
                           "org_models_o.json", "org_datasets_o.json", "org_spaces_o.json",
                           "org_collections_o.json"}) {
    WriteTextFile(JoinFsPath(cache_, Utf8ToWide(name)), "{}");
  }
  const std::u16string trees = JoinFsPath(cache_, u"trees");
  for (const char* earlier : {"m_o_a", "m_o_a@refs_pr_1", "m_o_b@v2", "d_o_a", "s_o_a", "m_o_x_c", "m_other_a"}) {
    WriteTextFile(JoinFsPath(JoinFsPath(trees, Utf8ToWide(earlier)), u"0000000000000000.json"), "{}");
  }
  using Names = std::vector<std::string>;
  EXPECT_EQ(Entries(trees), (Names{"d-o+2fa", "d_o_a", "m-o+2fa", "m-o+2fa@refs+2fpr+2f1", "m-o+2fb",
                                   "m-o+2fb@v2", "m-o+5fx+2fc", "m-other+2fa", "m_o_a", "m_o_a@refs_pr_1", "m_o_b@v2",
                                   "m_o_x_c", "m_other_a", "s-o+2fa", "s_o_a"}));

  EXPECT_TRUE(ClearCache(SingleModel, "o/a", ModelRepo, "refs/pr/1"));
  EXPECT_EQ(Entries(trees), (Names{"d-o+2fa", "d_o_a", "m-o+2fa", "m-o+2fb", "m-o+2fb@v2", "m-o+5fx+2fc",
                                   "m-other+2fa", "m_o_a", "m_o_b@v2", "m_o_x_c", "m_other_a", "s-o+2fa", "s_o_a"}));
  EXPECT_TRUE(ClearCache(SingleModel, "o/a", ModelRepo, "main", true));
  EXPECT_EQ(Entries(trees), (Names{"d-o+2fa", "d_o_a", "m-o+2fb", "m-o+2fb@v2", "m-o+5fx+2fc", "m-other+2fa",
                                   "m_o_b@v2", "m_o_x_c", "m_other_a", "s-o+2fa", "s_o_a"}));
  EXPECT_FALSE(FileExists(JoinFsPath(cache_, u"tree_o_a.json")));

  EXPECT_TRUE(ClearCache(OrgModels, "o"));
  // The owner "o_x" keeps its folders; of the earlier naming, which could not tell them apart, they go.
  EXPECT_EQ(Entries(trees), (Names{"d-o+2fa", "d_o_a", "m-o+5fx+2fc", "m-other+2fa", "m_other_a", "s-o+2fa", "s_o_a"}));
  EXPECT_EQ(Entries(cache_), (Names{"org_collections_o.json", "org_datasets_o.json", "org_spaces_o.json",
                                    "tree_ds_o_a.json", "tree_other_a.json", "trees"}));
  EXPECT_TRUE(ClearCache(OrgModels, "o", DatasetRepo));
  EXPECT_EQ(Entries(trees), (Names{"m-o+5fx+2fc", "m-other+2fa", "m_other_a", "s-o+2fa", "s_o_a"}));
  EXPECT_EQ(Entries(cache_), (Names{"org_collections_o.json", "org_spaces_o.json", "tree_other_a.json", "trees"}));
  // Spaces never had the one-file form: their entry takes their folders and listing alone.
  EXPECT_TRUE(ClearCache(OrgModels, "o", SpaceRepo));
  EXPECT_EQ(Entries(trees), (Names{"m-o+5fx+2fc", "m-other+2fa", "m_other_a"}));
  EXPECT_EQ(Entries(cache_), (Names{"org_collections_o.json", "tree_other_a.json", "trees"}));
}

// A repository at two revisions lists other files: each revision's records are a folder of their own
// (deleted apart, above), and each record names its revision.
TEST_F(TreeFolderCache, EachRevisionKeepsRecordsOfItsOwn) {
  TreeFolderRecord main = Sample();
  main.repo_id = "o/a";
  TreeFolderRecord pr = main;
  pr.revision = "refs/pr/1";
  pr.items.resize(1);
  ASSERT_TRUE(WriteTreeFolderRecord(cache_, main));
  ASSERT_TRUE(WriteTreeFolderRecord(cache_, pr));
  TreeFolderRecord out;
  ASSERT_TRUE(ReadTreeFolderRecord(cache_, "o/a", ModelRepo, "refs/pr/1", pr.folder, TreeRecordRead::Whole, &out));
  EXPECT_EQ(std::make_pair(out.revision, out.items.size()), std::make_pair(std::string("refs/pr/1"), size_t{1}));
  ASSERT_TRUE(ReadTreeFolderRecord(cache_, "o/a", ModelRepo, "main", main.folder, TreeRecordRead::Whole, &out));
  EXPECT_EQ(std::make_pair(out.revision, out.items.size()), std::make_pair(std::string("main"), size_t{4}));
  const std::u16string other = TreeFolderRecordPath(cache_, "o/a", ModelRepo, "v2", main.folder);
  PlatformCreateFolders(TreeRecordsFolder(cache_, "o/a", ModelRepo, "v2"));
  fs::copy_file(FsPath(Path(main)), FsPath(other));
  EXPECT_FALSE(ReadTreeFolderRecord(cache_, "o/a", ModelRepo, "v2", main.folder, TreeRecordRead::Names, &out))
      << "main's record under another revision's name";
}

}  // namespace
