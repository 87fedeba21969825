// Entries: their JSON form, what a hub address becomes (the revision it names included), the naming
// rules, and what export and import do to the entry list and the options. The tree requests at a
// revision and the hub's answer to an unknown one are in browse/revisions_test.cpp.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/entries_from_url.h"
#include "config/entry.h"
#include "config/settings_file.h"
#include "core/files.h"
#include "core/json.h"
#include "core/state.h"
#include "core/text.h"
#include "hub_scripted_exchange.h"
#include "support/test_env.h"

using nlohmann::json;

namespace {

TEST(EntryJson, FillsDefaultsMapsTheTypeKindLimitAndRevisionAndReadsWrongTypesAsDefaults) {
  // members; type, repository type, limit_count, revision
  std::vector<std::tuple<json, uint32_t, RepoType, int32_t, std::string>> cases = {
      {json::object(), OrgModels, ModelRepo, 300, "main"},
      {{{"type", "org-collections"}}, OrgCollections, ModelRepo, 300, "main"},
      {{{"type", "single-model"}, {"kind", "dataset"}}, SingleModel, DatasetRepo, 300, "main"},
      {{{"type", "unknown"}, {"kind", "dataset"}}, OrgModels, DatasetRepo, 300, "main"},
      {{{"type", "Single-Model"}, {"kind", "Dataset"}}, OrgModels, ModelRepo, 300, "main"},  // the texts are case-sensitive
      {{{"type", "single-model"}, {"kind", "space"}}, SingleModel, SpaceRepo, 300, "main"},
      {{{"type", "org-models"}, {"kind", "space"}}, OrgModels, SpaceRepo, 300, "main"},
      {{{"kind", "Space"}}, OrgModels, ModelRepo, 300, "main"},
      {{{"kind", "spaces"}}, OrgModels, ModelRepo, 300, "main"},  // an unknown kind still reads as a model
      {{{"limit_count", 3}}, OrgModels, ModelRepo, 10, "main"},
      {{{"limit_count", 5000}}, OrgModels, ModelRepo, 5000, "main"},
      // A revision is read for one repository only and written only when not main, so files written
      // before revisions existed save as they were.
      {{{"type", "single-model"}, {"revision", "step1000"}}, SingleModel, ModelRepo, 300, "step1000"},
      {{{"type", "single-model"}, {"revision", "refs/pr/1"}}, SingleModel, ModelRepo, 300, "refs/pr/1"},
      {{{"type", "single-model"}, {"revision", "main"}}, SingleModel, ModelRepo, 300, "main"},
      {{{"type", "single-model"}, {"revision", ""}}, SingleModel, ModelRepo, 300, "main"},
      {{{"type", "single-model"}, {"revision", 7}}, SingleModel, ModelRepo, 300, "main"},
      {{{"revision", "dev"}}, OrgModels, ModelRepo, 300, "main"},  // organisations list main whatever the file says
  };
  for (const json& wrong : {json{{"id", 5}}, json{{"kind", true}}, json{{"cache_enabled", 1}}, json{{"cached_at", "1"}},
                            json{{"created_at", 1.5}}, json{{"limit_count", "300"}},
                            json{{"created_at", 18446744073709551615ull}}, json{{"limit_count", 4294967296ll}},
                            json{{"limit_count", 1e300}}, json{{"limit_enabled", nullptr}}}) {
    cases.emplace_back(wrong, OrgModels, ModelRepo, 300, "main");
  }
  for (auto [object, type, dataset, limit, revision] : cases) {
    object["display_name"] = "E";
    Entry entry;
    entry.org = "left over";  // a reused record: missing keys still get their defaults
    entry.revision = "left over";
    ASSERT_TRUE(EntryFromJson(object, &entry)) << object;
    Entry expected{"", type, dataset, "", "", u"E"};
    expected.limit_count = limit;
    expected.revision = revision;
    EXPECT_EQ(EntryToJson(entry), EntryToJson(expected)) << object;
    EXPECT_EQ(entry.revision, revision) << object;
    EXPECT_EQ(EntryToJson(entry).contains("revision"), revision != "main") << object;
    EXPECT_EQ(EntryToJson(entry)["kind"], RepoTypeName(dataset)) << object;
  }
  const json odd = EntryToJson(Entry{"", 3, static_cast<RepoType>(7)});  // values outside the kinds
  EXPECT_EQ(odd["type"], "unknown");
  EXPECT_EQ(odd["kind"], "model");

  // Changes on the hub are off unless the file says true; written only when on, so read-only entries keep
  // their bytes. The pull-request choice is kept on its own, whether changes are on or not.
  for (const auto& [object, allow, as_pr] :
       std::vector<std::tuple<json, bool, bool>>{{json::object(), false, false},
                                                 {{{"allow_changes", true}}, true, false},
                                                 {{{"allow_changes", "true"}}, false, false},
                                                 {{{"allow_changes", 1}}, false, false},
                                                 {{{"changes_as_pull_request", true}}, false, true},
                                                 {{{"allow_changes", true}, {"changes_as_pull_request", true}}, true, true}}) {
    json named = object;
    named["display_name"] = "E";
    Entry read;
    ASSERT_TRUE(EntryFromJson(named, &read)) << object;
    EXPECT_EQ(std::tie(read.allow_changes, read.changes_as_pull_request), std::tie(allow, as_pr)) << object;
    const json written = EntryToJson(read);
    EXPECT_EQ(written.contains("allow_changes"), allow) << object;
    EXPECT_EQ(written.contains("changes_as_pull_request"), as_pr) << object;
  }

  Entry entry;  // only the name decides whether there is an entry at all
  for (const json& nameless : {json{{"display_name", ""}}, json{{"display_name", 5}}, json::array({1}), json()}) {
    EXPECT_FALSE(EntryFromJson(nameless, &entry)) << nameless;
  }
  ASSERT_TRUE(EntryFromJson({{"display_name", "W"}, {"limit_count", 300.0}, {"cached_at", -7}}, &entry));
  EXPECT_EQ(std::tie(entry.limit_count, entry.cached_at), std::make_tuple(300, int64_t{-7}));
}

class ConfigEntries : public ::testing::Test {
 protected:
  void SetUp() override { ResetLinkedState(folder_); }
  std::vector<std::string> Ids() {
    std::vector<std::string> ids;
    for (const Entry& e : g_state.entries) ids.push_back(e.id);
    return ids;
  }
  std::u16string File(const json& document) {
    const std::u16string path = JoinFsPath(folder_, u"in-" + WideDecimal(++files_) + u".json");
    WriteTextFile(path, document.dump());
    return path;
  }
  const std::u16string folder_ = MakeTempFolder("config-entries");
  int files_ = 0;
};

TEST_F(ConfigEntries, AddressesSplitIntoOwnerNameKindAndRevision) {
  ScriptedHub hub;  // the configured hub root is https://hub.test/
  const std::string commit = "0123456789abcdef0123456789abcdef01234567";
  // Expected "owner/name", "d:" first for a dataset, "s:" for a Space, and "@revision" after it unless main;
  // empty when refused.
  const std::vector<std::pair<std::u16string, std::string>> cases = {
      {u"https://hub.test/google", "google/"}, {u"https://hub.test/google/gemma-2b/", "google/gemma-2b"},
      {u"https://hub.test/datasets/acme/data", "d:acme/data"}, {u"https://hub.test/datasets/acme", "d:acme/"},
      {u"https://hub.test/datasets", "datasets/"}, {u"https://hub.test/models/google/x", "google/x"},
      // Spaces, in every form the other kinds are written in.
      {u"https://huggingface.co/spaces/acme/chat", "s:acme/chat"}, {u"https://hub.test/spaces/acme", "s:acme/"},
      {u" http://www.huggingface.co/spaces/acme/chat/blob/main/app.py?logs=build#top\t", "s:acme/chat"},
      {u"hf.co/spaces/acme/chat/tree/dev/src", "s:acme/chat@dev"},
      {u"https://hf.co/spaces/acme/chat/resolve/refs%2Fpr%2F2/app.py", "s:acme/chat@refs/pr/2"},
      {u"spaces/acme/chat/tree/refs/pr/3", "s:acme/chat@refs/pr/3"}, {u"https://hub.test/spaces", "spaces/"},
      {u"spaces/../x", ""}, {u"https://huggingface.co/spaces/acme/chat/tree/a..b", ""},
      {u"google/gemma-2b", "google/gemma-2b"},
      // The other ways people paste the hub's own addresses.
      {u"http://huggingface.co/google", "google/"}, {u"https://hf.co/google", "google/"},
      {u"HTTPS://WWW.HuggingFace.co/google", "google/"}, {u" https://huggingface.co/google \n", "google/"},
      {u"huggingface.co/google/gemma-2b", "google/gemma-2b"},
      {u"https://huggingface.co/google/gemma-2b/tree/main", "google/gemma-2b"},
      {u"https://huggingface.co/google/gemma-2b/blob/main/x?library=x", "google/gemma-2b"},
      {u"https://huggingface.co/datasets/acme/data#viewer", "d:acme/data"},
      // Nothing to name, or another site.
      {u"https://hub.test///", ""}, {u"   ", ""}, {u"/google", ""}, {u"ftp://huggingface.co/google", ""},
      {u"https://example.com/google", ""}, {u"https://huggingface.co.evil.test/google", ""}, {u"mailto:x", ""},
      // No hub name is "." or "..", and neither is a folder name the host can use.
      {u"google/..", ""}, {u"https://hub.test/../x", ""}, {u"datasets/./x", ""},
      // Fault: an address naming a revision (".../tree/step1000") was taken as the repository on main.
      {u"https://huggingface.co/EleutherAI/pythia-70m/tree/step1000", "EleutherAI/pythia-70m@step1000"},
      {u"https://hub.test/o/n/tree/step1000/sub/folder?x=1#y", "o/n@step1000"},
      {u"hf.co/o/n/blob/v1.0/config.json", "o/n@v1.0"},
      {Utf8ToWide("o/n/resolve/" + commit + "/model.bin"), "o/n@" + commit},
      // The hub's own pages write a ref's slashes as %2F; written out, a ref is refs/<kind>/<name>.
      {u"https://huggingface.co/o/n/tree/refs%2Fpr%2F1", "o/n@refs/pr/1"},
      {u"https://huggingface.co/o/n/tree/refs%2fpr%2f12/", "o/n@refs/pr/12"},
      {u"https://huggingface.co/o/n/blob/refs/pr/1/README.md", "o/n@refs/pr/1"},
      {u"https://huggingface.co/datasets/o/d/tree/refs%2Fconvert%2Fparquet/default/train", "d:o/d@refs/convert/parquet"},
      {u"https://huggingface.co/datasets/o/d/tree/refs/convert/parquet", "d:o/d@refs/convert/parquet"},
      {u"o/n/tree/feature%2Fx", "o/n@feature/x"},
      {u"o/n/tree/refs/pr", "o/n@refs"},  // too short to be a ref written out: the hub answers for "refs"
      // Main, and pages that name no revision, are what they always were.
      {u"o/n/tree/main", "o/n"}, {u"o/n/tree/", "o/n"}, {u"o/n/discussions/3", "o/n"},
      {u"o/n/commit/abc", "o/n"}, {u"o/n/tree", "o/n"}, {u"o", "o/"},
      // No ref is named like these: they would leave their path segment or their cache folder.
      {u"o/n/tree/%2E%2E", ""}, {u"o/n/tree/a..b", ""}, {u"o/n/blob/x~1/f", ""}, {u"o/n/tree/bad%20name", ""},
      {u"o/n/tree/refs%2Fpr%2F", ""}, {u"o/n/tree/%0Aevil", ""}, {u"o/n/tree/.hidden", ""},
      {u"o/n/tree/x.lock", ""},
  };
  for (const auto& [text, expected] : cases) {
    HubAddress p;
    const bool parsed = ParseHubUrl(text, &p);
    const std::string kind = p.repo_type == DatasetRepo ? "d:" : p.repo_type == SpaceRepo ? "s:" : "";
    const std::string got =
        parsed ? kind + p.owner + "/" + p.name + (p.revision == "main" ? "" : "@" + p.revision) : "";
    EXPECT_EQ(got, expected) << WideToUtf8(text);
  }
}

TEST_F(ConfigEntries, UniqueIdsAndDisplayNames) {
  g_state.entries = {Entry{"a_b", OrgModels, ModelRepo, "a", "", u"A"}, Entry{"a_b_1", OrgModels, ModelRepo, "a", "", u"B"}};
  EXPECT_EQ(MakeUniqueId("a/b"), "a_b_2");
  EXPECT_EQ(MakeUniqueId("x:y\\z"), "x_y_z");
  bool renamed = true;
  EXPECT_EQ(MakeUniqueDisplayName(u"C", &renamed), u"C");
  EXPECT_FALSE(renamed);
  for (int n = 2; n <= 999; ++n) g_state.entries.push_back({"n", OrgModels, ModelRepo, "a", "", u"A (" + WideDecimal(n) + u")"});
  EXPECT_EQ(MakeUniqueDisplayName(u"A", &renamed), u"A (dup)");
}

TEST_F(ConfigEntries, AddingFromAnAddressAndTheTemporaryEntry) {
  ScriptedHub hub;
  const std::string collections = "https://hub.test:443/api/collections?owner=acme&limit=100";
  hub.Answer(collections, "[]");
  g_state.delete_suppressed = {u"acme - models"};
  // An organisation without collections: models and datasets only.
  EXPECT_EQ(AddEntriesFromUrl(u"acme", true, false, 50, true, true, true, false), 2);
  EXPECT_EQ(AddEntriesFromUrl(u"acme", false, false, 50, false, true, false, false), 0);
  EXPECT_EQ(AddEntriesFromUrl(u"https://hub.test/acme/", false, true, 300, true, false, false, false), 1);
  EXPECT_EQ(Ids(), (std::vector<std::string>{"acme-models", "acme-datasets", "acme-models_1"}));
  const Entry& datasets = g_state.entries[1];
  EXPECT_EQ(datasets.display_name, u"acme - datasets");
  EXPECT_TRUE(datasets.repo_type == DatasetRepo && datasets.cache_enabled && !datasets.limit_enabled && datasets.created_at > 0 &&
              datasets.limit_count == 50);
  EXPECT_EQ(g_state.entries[2].display_name, u"acme - models (2)");
  EXPECT_TRUE(g_state.delete_suppressed.empty());
  hub.Answer(collections, R"([{"slug": "acme/picks-1", "title": "Picks"}])");
  EXPECT_EQ(AddEntriesFromUrl(u"acme", false, true, 300, false, true, false, false), 1);
  EXPECT_EQ(g_state.entries.back().type, OrgCollections);

  // One repository ignores the ticks and the limit; neither it nor a refused address asks the hub.
  const size_t requests = hub.requests.size();
  EXPECT_EQ(AddEntriesFromUrl(u"https://huggingface.co/datasets/acme/data/tree/main", false, false, 10, false,
                              false, false, false), 1);
  const Entry& single = g_state.entries.back();
  EXPECT_EQ(single.repo_id + " " + single.id + " " + WideToUtf8(single.display_name), "acme/data acme_data data");
  EXPECT_TRUE(single.type == SingleModel && single.repo_type == DatasetRepo && single.limit_enabled);
  EXPECT_EQ(AddEntriesFromUrl(u"https://example.com/acme", false, true, 300, true, true, true, false), 0);
  EXPECT_EQ(hub.requests.size(), requests);

  Entry temp = Entry{"keep", OrgCollections, ModelRepo, "x", "", u"X"};
  EXPECT_FALSE(MakeTemporaryEntry(u"https://example.com/acme", &temp));
  EXPECT_EQ(temp.id, "keep");
  ASSERT_TRUE(MakeTemporaryEntry(u"o/pythia/tree/refs%2Fpr%2F1", &temp));
  EXPECT_EQ(temp.repo_id + "@" + temp.revision, "o/pythia@refs/pr/1");
  ASSERT_TRUE(MakeTemporaryEntry(u"https://huggingface.co/datasets/acme", &temp));  // an organisation keeps no revision
  EXPECT_EQ(temp.id + " " + WideToUtf8(temp.display_name) + " " + temp.revision, "__temp__ ***_TEMPORARY_*** main");
  EXPECT_TRUE(temp.type == OrgModels && temp.repo_type == DatasetRepo && temp.limit_enabled && !temp.cache_enabled);
  ASSERT_TRUE(MakeTemporaryEntry(u"acme/tiny", &temp));
  EXPECT_TRUE(temp.type == SingleModel && temp.repo_id == "acme/tiny");
  // An owner's Spaces address lists the owner's Spaces, as one under "datasets/" lists its datasets.
  ASSERT_TRUE(MakeTemporaryEntry(u"https://huggingface.co/spaces/acme", &temp));
  EXPECT_TRUE(temp.type == OrgModels && temp.repo_type == SpaceRepo && temp.org == "acme");
  ASSERT_TRUE(MakeTemporaryEntry(u"hf.co/spaces/acme/chat/tree/dev", &temp));
  EXPECT_EQ(std::make_tuple(temp.type, temp.repo_type, temp.repo_id + "@" + temp.revision),
            std::make_tuple(uint32_t{SingleModel}, SpaceRepo, std::string("acme/chat@dev")));
}

// The Spaces tick adds the owner's Spaces beside the other kinds, named and paged as they are; in the
// add dialog an owner's address under "spaces/" is an owner like any other, adding the kinds ticked.
TEST_F(ConfigEntries, AddingAnOwnersSpacesAndOneSpace) {
  ScriptedHub hub;
  EXPECT_EQ(AddEntriesFromUrl(u"https://huggingface.co/spaces/acme", false, true, 40, true, false, true, true), 3);
  EXPECT_EQ(AddEntriesFromUrl(u"acme", false, true, 300, false, false, false, true), 1);
  std::vector<std::string> made;
  for (const Entry& e : g_state.entries) {
    made.push_back(e.id + " | " + WideToUtf8(e.display_name) + " | " + RepoTypeName(e.repo_type) + " " +
                   std::to_string(e.limit_count));
  }
  EXPECT_EQ(made, (std::vector<std::string>{"acme-models | acme - models | model 40",
                                            "acme-datasets | acme - datasets | dataset 40",
                                            "acme-spaces | acme - spaces | space 40",
                                            "acme-spaces_1 | acme - spaces (2) | space 300"}));
  EXPECT_EQ(AddEntriesFromUrl(u"https://huggingface.co/spaces/acme/chat", false, true, 300, false, false, false,
                              false), 1);
  const Entry& space = g_state.entries.back();
  EXPECT_EQ(std::make_tuple(space.type, space.repo_type, space.repo_id, space.display_name),
            std::make_tuple(uint32_t{SingleModel}, SpaceRepo, std::string("acme/chat"), std::u16string(u"chat")));
}

// Fault: Add gave a folder the name of an existing one (or a special name); it then opened the first
// entry, and deleting either folder removed both. A repository at a revision is named by it and kept apart.
TEST_F(ConfigEntries, AddingNeverRepeatsADisplayName) {
  ScriptedHub hub;
  g_state.delete_suppressed = {u"gemma", u"gemma (2)", u"google - models (2)"};
  for (const char16_t* address : {u"google/gemma", u"other/gemma", u"google", u"google", u"acme/[Settings]",
                                  u"o/pythia/tree/step1000", u"o/pythia/tree/refs%2Fpr%2F1",
                                  u"o/pythia/blob/refs/pr/1/README.md", u"o/pythia/tree/main",
                                  u"datasets/o/pythia/tree/refs%2Fconvert%2Fparquet"}) {
    EXPECT_EQ(AddEntriesFromUrl(address, false, true, 300, true, false, false, false), 1) << WideToUtf8(address);
  }
  std::vector<std::string> made;
  for (const Entry& e : g_state.entries) {
    made.push_back(e.id + " | " + WideToUtf8(e.display_name) + " | " + e.revision);
    EXPECT_TRUE(IsHostSafeName(e.display_name)) << WideToUtf8(e.display_name);
  }
  EXPECT_EQ(made, (std::vector<std::string>{"google_gemma | gemma | main", "other_gemma | gemma (2) | main",
                                            "google-models | google - models | main",
                                            "google-models_1 | google - models (2) | main",
                                            "acme_[Settings] | [Settings] (2) | main",
                                            "o_pythia@step1000 | pythia @ step1000 | step1000",
                                            "o_pythia@refs_pr_1 | pythia @ refs_pr_1 | refs/pr/1",
                                            "o_pythia@refs_pr_1_1 | pythia @ refs_pr_1 (2) | refs/pr/1",
                                            "o_pythia | pythia | main",
                                            "o_pythia@refs_convert_parquet | pythia @ refs_convert_parquet | "
                                            "refs/convert/parquet"}));
  EXPECT_TRUE(hub.requests.empty());
  EXPECT_TRUE(g_state.delete_suppressed.empty()) << "each name given is listed again";
}

TEST_F(ConfigEntries, ExportThenMergeRenamesClashesAndSkipsWhatIsPresent) {
  g_state.entries = {Entry{"acme-models", OrgModels, ModelRepo, "acme", "", u"A"}, Entry{"b", SingleModel, ModelRepo, "b", "b/x", u"B"}};
  const std::u16string exported = JoinFsPath(folder_, u"all.json");
  for (const auto& [key, include, written] : std::vector<std::tuple<std::u16string, bool, bool>>{
           {u"", true, false}, {u"secret", false, false}, {u"secret", true, true}}) {
    g_state.api_key = key;
    g_state.use_local_hf_cache = include;
    g_state.check_changes_seconds = include ? 0 : 300;
    ASSERT_TRUE(ExportSettings(exported, include));
    EXPECT_EQ(json::parse(ReadTextFile(exported)).contains("api_key"), written);
    EXPECT_EQ(json::parse(ReadTextFile(exported)).value("use_local_hf_cache", !include), include);
    EXPECT_EQ(json::parse(ReadTextFile(exported)).value("check_changes_seconds", -1), include ? 0 : 300);
  }
  EXPECT_FALSE(FileExists(exported + u".bak"));
  EXPECT_FALSE(ExportSettings(JoinFsPath(folder_, u"missing/out.json"), false));
  EXPECT_EQ(ImportSettings(exported, false).already_present, 2u);

  g_state.api_key = u"mine";
  const json file = {{"api_key", "theirs"},
                     {"cache_ttl_hours", 5},
                     {"use_local_hf_cache", false},
                     {"check_changes_seconds", 5},
                     {"entries",
                      {{{"display_name", "A"}, {"type", "single-model"}, {"repo_id", "acme/new"}, {"org", "acme"}},
                       {{"display_name", "C"}, {"org", "acme"}, {"type", "org-collections"}},
                       {{"display_name", "D"}, {"org", "acme"}, {"type", "org-collections"}},
                       5,
                       {{"display_name", "E"}, {"org", "e-org"}, {"limit_count", "many"}},
                       {{"org", "nameless"}}}}};
  const ImportResult r = ImportSettings(File(file), false);
  EXPECT_EQ(std::make_tuple(r.imported, r.already_present, r.renamed, r.api_key_set), std::make_tuple(3u, 1u, 1u, false));
  EXPECT_EQ(g_state.api_key, u"mine");
  EXPECT_EQ(g_state.cache_ttl_hours, 24);  // merging leaves the options
  EXPECT_TRUE(g_state.use_local_hf_cache);
  EXPECT_EQ(g_state.check_changes_seconds, 0);  // as the last export left it
  ASSERT_EQ(g_state.entries.size(), 5u);
  EXPECT_EQ(g_state.entries[2].display_name, u"A (2)");
  EXPECT_EQ(g_state.entries[4].limit_count, 300) << "a member of the wrong type reads as its default";
  EXPECT_EQ(Ids(), (std::vector<std::string>{"acme-models", "b", "acme", "acme_1", "e-org"}));
}

// Fault: import took display names with separators (or "..") as they were: folders that could not be
// opened, renamed or deleted.
TEST_F(ConfigEntries, ImportMakesDisplayNamesHostSafe) {
  g_state.entries = {Entry{"x", OrgModels, ModelRepo, "x", "", u"evil_name"}};
  const json file = {{"entries",
                      {{{"display_name", "evil/name"}, {"org", "a"}},
                       {{"display_name", ".."}, {"org", "b"}},
                       {{"display_name", "back\\slash\tand tab"}, {"org", "c"}},
                       {{"display_name", "plain"}, {"org", "d"}}}}};
  const ImportResult r = ImportSettings(File(file), false);
  EXPECT_EQ(std::make_tuple(r.imported, r.renamed), std::make_tuple(4u, 3u));
  std::vector<std::u16string> names;
  for (const Entry& e : g_state.entries) names.push_back(e.display_name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"evil_name", u"evil_name (2)", u"__", u"back_slash_and tab", u"plain"}));
}

TEST_F(ConfigEntries, ImportReplacesEntriesAndOptions) {
  g_state.entries = {Entry{"a", OrgModels, ModelRepo, "acme", "", u"A"}};
  g_state.delete_suppressed = {u"gone"};
  const std::u16string existing = MakeTempFolder("import-cache"), fallback = JoinFsPath(folder_, u"cache");
  const json none = json::array();
  const std::vector<std::tuple<json, int32_t, std::u16string, bool, int32_t>> cases = {
      {{{"entries", none}, {"cache_ttl_hours", 7}, {"cache_path", WideToUtf8(existing)}, {"use_local_hf_cache", false},
        {"check_changes_seconds", 600}},
       7, existing, false, 600},
      {{{"entries", none}}, 24, fallback, true, 60},
      {{{"entries", none}, {"cache_ttl_hours", 0}, {"cache_path", WideToUtf8(existing)}, {"check_changes_seconds", 0}},
       1, existing, true, 0},
      {{{"entries", none}, {"cache_path", "/no/such/folder"}, {"use_local_hf_cache", "off"},
        {"check_changes_seconds", -5}},
       24, fallback, true, 0},
  };
  for (const auto& [file, ttl, cache, use_local_hf_cache, check_changes] : cases) {
    g_state.use_local_hf_cache = !use_local_hf_cache;
    g_state.check_changes_seconds = 77;
    EXPECT_TRUE(ImportSettings(File(file), true).error.empty());
    EXPECT_TRUE(g_state.entries.empty() && g_state.delete_suppressed.empty());
    EXPECT_EQ(g_state.cache_ttl_hours, ttl);
    EXPECT_EQ(g_state.cache_folder, cache);
    EXPECT_EQ(g_state.use_local_hf_cache, use_local_hf_cache);
    EXPECT_EQ(g_state.check_changes_seconds, check_changes);
  }
  g_state.api_key = u"mine";
  const json twice = EntryToJson(Entry{"dup", SingleModel, ModelRepo, "acme", "acme/x", u"X"});
  const ImportResult r = ImportSettings(File({{"api_key", "theirs"}, {"entries", {twice, twice}}}), true);
  EXPECT_EQ(std::make_tuple(r.imported, r.already_present, r.api_key_set), std::make_tuple(1u, 1u, true));
  EXPECT_EQ(g_state.api_key, u"theirs");
}

// Fault: import parsed the settings file with no cap on its values (a 64 MiB file took 626 MB, too
// much for the 32-bit module); every other reader refuses a document over the value budget.
TEST_F(ConfigEntries, ImportReadsNoMoreValuesThanFavoritesMayHold) {
  g_state.entries = {Entry{"a", OrgModels, ModelRepo, "acme", "", u"A"}};
  // The root, "entries" and "pad" are three values; the zeros fill the budget, or go one past it.
  for (const auto& [zeros, error] : {std::make_pair(kMaxJsonValues - 3, u""),
                                     std::make_pair(kMaxJsonValues - 2, u"The file is not valid JSON.")}) {
    std::string text = "{\"entries\": [], \"pad\": [0";
    text.reserve(2 * zeros + 32);
    for (size_t i = 1; i < zeros; ++i) text += ",0";
    text += "]}";
    const std::u16string path = JoinFsPath(folder_, u"padded.json");
    WriteTextFile(path, text);
    EXPECT_EQ(ImportSettings(path, false).error, error) << zeros;
    EXPECT_EQ(g_state.entries.size(), 1u);
  }
}

TEST_F(ConfigEntries, ImportRefusesBadFilesAndNeverKeepsTheLock) {
  g_state.entries = {Entry{"a", OrgModels, ModelRepo, "acme", "", u"A"}};
  const std::u16string not_json = JoinFsPath(folder_, u"bad.json");
  WriteTextFile(not_json, "{ \"entries\": [ ");
  const std::u16string no_list = u"This is not a Tarnfs settings file (no \"entries\" list).";
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {
      {JoinFsPath(folder_, u"absent.json"), u"Could not open the file."},
      {not_json, u"The file is not valid JSON."},
      {File(json::array()), no_list},
      {File({{"entries", "none"}}), no_list},
      {File({{"format", 2}, {"entries", json::array()}}), u"This file was written by a newer plugin version."},
      {File({{"format", "1"}, {"entries", json::array()}}), u"The file is not valid JSON."},
      {File({{"format", -3}, {"entries", json::array()}}), u""},
  };
  for (const auto& [path, error] : cases) {
    const ImportResult r = ImportSettings(path, true);
    EXPECT_EQ(r.error, error) << WideToUtf8(path);
    if (!error.empty()) EXPECT_EQ(g_state.entries.size(), 1u) << "a refused file changes nothing";
    EXPECT_TRUE(std::async(std::launch::async, [] {
                  const bool got = g_state.lock.try_lock();
                  if (got) g_state.lock.unlock();
                  return got;
                }).get());
  }
}

// A Space and a model of one id are two repositories: an import adds the one that is missing, and the
// export writes the kind as favorites.json does.
TEST_F(ConfigEntries, ExportAndImportTellASpaceFromAModelOfTheSameId) {
  g_state.entries = {Entry{"s", SingleModel, SpaceRepo, "o", "o/n", u"n"}};
  const std::u16string exported = JoinFsPath(folder_, u"spaces.json");
  ASSERT_TRUE(ExportSettings(exported, false));
  EXPECT_EQ(json::parse(ReadTextFile(exported))["entries"][0].value("kind", ""), "space");
  g_state.entries = {Entry{"m", SingleModel, ModelRepo, "o", "o/n", u"n"}};
  const ImportResult r = ImportSettings(exported, false);
  EXPECT_EQ(std::make_tuple(r.imported, r.already_present), std::make_tuple(1u, 0u));
  ASSERT_EQ(g_state.entries.size(), 2u);
  EXPECT_EQ(std::make_pair(g_state.entries[1].repo_type, g_state.entries[1].display_name),
            std::make_pair(SpaceRepo, std::u16string(u"n (2)")));
  EXPECT_EQ(ImportSettings(exported, false).already_present, 1u);
}

TEST_F(ConfigEntries, ExportAndImportCarryTheRevisionAndTellRevisionsApart) {
  Entry step{"s", SingleModel, ModelRepo, "o", "o/n", u"n @ step1000"};
  step.revision = "step1000";
  g_state.entries = {step};
  const std::u16string exported = JoinFsPath(folder_, u"settings.json");
  ASSERT_TRUE(ExportSettings(exported, false));
  EXPECT_EQ(json::parse(ReadTextFile(exported))["entries"][0].value("revision", ""), "step1000");

  // The same repository on main is another entry; the file's one at step1000 is present already.
  g_state.entries = {Entry{"n", SingleModel, ModelRepo, "o", "o/n", u"n"}};
  ImportResult r = ImportSettings(exported, false);
  EXPECT_EQ(std::make_tuple(r.imported, r.already_present), std::make_tuple(1u, 0u));
  ASSERT_EQ(g_state.entries.size(), 2u);
  EXPECT_EQ(g_state.entries[1].revision, "step1000");
  r = ImportSettings(exported, false);
  EXPECT_EQ(std::make_tuple(r.imported, r.already_present), std::make_tuple(0u, 1u));
  r = ImportSettings(exported, true);
  ASSERT_EQ(g_state.entries.size(), 1u);
  EXPECT_EQ(g_state.entries[0].revision + " " + WideToUtf8(g_state.entries[0].display_name), "step1000 n @ step1000");
}

}  // namespace
