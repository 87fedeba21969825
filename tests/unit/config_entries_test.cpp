// Entries from hub addresses, and the settings file: what an address becomes, the naming rules, and
// what export and import do to the entry list and the options.
#include <gtest/gtest.h>

#include <future>
#include <string>
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

TEST_F(ConfigEntries, AddressesSplitIntoOwnerNameAndKind) {
  ScriptedHub hub;  // the configured hub root is https://hub.test/
  // Expected "owner/name", "d:" first for a dataset; empty when refused.
  const std::vector<std::pair<std::u16string, std::string>> cases = {
      {u"https://hub.test/google", "google/"}, {u"https://hub.test/google/gemma-2b/", "google/gemma-2b"},
      {u"https://hub.test/datasets/acme/data", "d:acme/data"}, {u"https://hub.test/datasets/acme", "d:acme/"},
      {u"https://hub.test/datasets", "datasets/"}, {u"https://hub.test/models/google/x", "google/x"},
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
  };
  for (const auto& [text, expected] : cases) {
    HubAddress p;
    const std::string got = ParseHubUrl(text, &p) ? (p.is_dataset ? "d:" : "") + p.owner + "/" + p.name : "";
    EXPECT_EQ(got, expected) << WideToUtf8(text);
  }
}

TEST_F(ConfigEntries, UniqueIdsAndDisplayNames) {
  g_state.entries = {Entry{"a_b", OrgModels, 0, "a", "", u"A"}, Entry{"a_b_1", OrgModels, 0, "a", "", u"B"}};
  EXPECT_EQ(MakeUniqueId("a/b"), "a_b_2");
  EXPECT_EQ(MakeUniqueId("x:y\\z"), "x_y_z");
  bool renamed = true;
  EXPECT_EQ(MakeUniqueDisplayName(u"C", &renamed), u"C");
  EXPECT_FALSE(renamed);
  EXPECT_EQ(MakeUniqueDisplayName(u"[Settings]", &renamed), u"[Settings] (2)");
  EXPECT_TRUE(renamed);
  for (int n = 2; n <= 999; ++n) g_state.entries.push_back({"n", OrgModels, 0, "a", "", u"A (" + WideDecimal(n) + u")"});
  EXPECT_EQ(MakeUniqueDisplayName(u"A", &renamed), u"A (dup)");
}

TEST_F(ConfigEntries, AddingFromAnAddressAndTheTemporaryEntry) {
  ScriptedHub hub;
  const std::string collections = "https://hub.test:443/api/collections?owner=acme&limit=100";
  hub.Answer(collections, "[]");
  g_state.delete_suppressed = {u"acme - models"};
  // An organisation without collections: models and datasets only.
  EXPECT_EQ(AddEntriesFromUrl(u"acme", true, false, 50, true, true, true), 2);
  EXPECT_EQ(AddEntriesFromUrl(u"acme", false, false, 50, false, true, false), 0);
  EXPECT_EQ(AddEntriesFromUrl(u"https://hub.test/acme/", false, true, 300, true, false, false), 1);
  EXPECT_EQ(Ids(), (std::vector<std::string>{"acme-models", "acme-datasets", "acme-models_1"}));
  const Entry& datasets = g_state.entries[1];
  EXPECT_EQ(datasets.display_name, u"acme - datasets");
  EXPECT_TRUE(datasets.is_dataset && datasets.cache_enabled && !datasets.limit_enabled && datasets.created_at > 0 &&
              datasets.limit_count == 50);
  EXPECT_EQ(g_state.entries[2].display_name, u"acme - models (2)");
  EXPECT_TRUE(g_state.delete_suppressed.empty());
  hub.Answer(collections, R"([{"slug": "acme/picks-1", "title": "Picks"}])");
  EXPECT_EQ(AddEntriesFromUrl(u"acme", false, true, 300, false, true, false), 1);
  EXPECT_EQ(g_state.entries.back().type, OrgCollections);

  // One repository ignores the ticks and the limit; neither it nor a refused address asks the hub.
  const size_t requests = hub.requests.size();
  EXPECT_EQ(AddEntriesFromUrl(u"https://huggingface.co/datasets/acme/data/tree/main", false, false, 10, false,
                              false, false), 1);
  const Entry& single = g_state.entries.back();
  EXPECT_EQ(single.repo_id + " " + single.id + " " + WideToUtf8(single.display_name), "acme/data acme_data data");
  EXPECT_TRUE(single.type == SingleModel && single.is_dataset && single.limit_enabled);
  EXPECT_EQ(AddEntriesFromUrl(u"https://example.com/acme", false, true, 300, true, true, true), 0);
  EXPECT_EQ(hub.requests.size(), requests);

  Entry temp = Entry{"keep", OrgCollections, 0, "x", "", u"X"};
  EXPECT_FALSE(MakeTemporaryEntry(u"https://example.com/acme", &temp));
  EXPECT_EQ(temp.id, "keep");
  ASSERT_TRUE(MakeTemporaryEntry(u"https://huggingface.co/datasets/acme", &temp));
  EXPECT_EQ(temp.id + " " + WideToUtf8(temp.display_name), "__temp__ ***_TEMPORARY_***");
  EXPECT_TRUE(temp.type == OrgModels && temp.is_dataset && temp.limit_enabled && !temp.cache_enabled);
  ASSERT_TRUE(MakeTemporaryEntry(u"acme/tiny", &temp));
  EXPECT_TRUE(temp.type == SingleModel && temp.repo_id == "acme/tiny");
}

// Fault: Add gave a folder the name of an existing one (or a special name); it then opened the first
// entry, and deleting either folder removed both.
TEST_F(ConfigEntries, AddingNeverRepeatsADisplayName) {
  ScriptedHub hub;
  hub.Answer("https://hub.test:443/api/collections?owner=google&limit=100", "[]");
  g_state.delete_suppressed = {u"gemma", u"gemma (2)", u"google - models (2)"};
  for (const char16_t* address : {u"google/gemma", u"other/gemma", u"google", u"google", u"acme/[Settings]"}) {
    EXPECT_EQ(AddEntriesFromUrl(address, false, true, 300, true, false, false), 1) << WideToUtf8(address);
  }
  std::vector<std::u16string> names;
  for (const Entry& e : g_state.entries) names.push_back(e.display_name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"gemma", u"gemma (2)", u"google - models", u"google - models (2)",
                                                u"[Settings] (2)"}));
  EXPECT_EQ(g_state.entries[1].repo_id, "other/gemma");
  EXPECT_TRUE(g_state.delete_suppressed.empty()) << "each name given is listed again";
}

TEST_F(ConfigEntries, ExportThenMergeRenamesClashesAndSkipsWhatIsPresent) {
  g_state.entries = {Entry{"acme-models", OrgModels, 0, "acme", "", u"A"}, Entry{"b", SingleModel, 0, "b", "b/x", u"B"}};
  const std::u16string exported = JoinFsPath(folder_, u"all.json");
  for (const auto& [key, include, written] : std::vector<std::tuple<std::u16string, bool, bool>>{
           {u"", true, false}, {u"secret", false, false}, {u"secret", true, true}}) {
    g_state.api_key = key;
    g_state.use_local_hf_cache = include;
    ASSERT_TRUE(ExportSettings(exported, include));
    EXPECT_EQ(json::parse(ReadTextFile(exported)).contains("api_key"), written);
    EXPECT_EQ(json::parse(ReadTextFile(exported)).value("use_local_hf_cache", !include), include);
  }
  EXPECT_FALSE(FileExists(exported + u".bak"));
  EXPECT_FALSE(ExportSettings(JoinFsPath(folder_, u"missing/out.json"), false));
  EXPECT_EQ(ImportSettings(exported, false).already_present, 2u);

  g_state.api_key = u"mine";
  const json file = {{"api_key", "theirs"},
                     {"cache_ttl_hours", 5},
                     {"use_local_hf_cache", false},
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
  ASSERT_EQ(g_state.entries.size(), 5u);
  EXPECT_EQ(g_state.entries[2].display_name, u"A (2)");
  EXPECT_EQ(g_state.entries[4].limit_count, 300) << "a member of the wrong type reads as its default";
  EXPECT_EQ(Ids(), (std::vector<std::string>{"acme-models", "b", "acme", "acme_1", "e-org"}));
}

// Fault: import took display names with separators (or "..") as they were: folders that could not be
// opened, renamed or deleted.
TEST_F(ConfigEntries, ImportMakesDisplayNamesHostSafe) {
  g_state.entries = {Entry{"x", OrgModels, 0, "x", "", u"evil_name"}};
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
  g_state.entries = {Entry{"a", OrgModels, 0, "acme", "", u"A"}};
  g_state.delete_suppressed = {u"gone"};
  const std::u16string existing = MakeTempFolder("import-cache"), fallback = JoinFsPath(folder_, u"cache");
  const json none = json::array();
  const std::vector<std::tuple<json, int32_t, std::u16string, bool>> cases = {
      {{{"entries", none}, {"cache_ttl_hours", 7}, {"cache_path", WideToUtf8(existing)}, {"use_local_hf_cache", false}},
       7, existing, false},
      {{{"entries", none}}, 24, fallback, true},
      {{{"entries", none}, {"cache_ttl_hours", 0}, {"cache_path", WideToUtf8(existing)}}, 1, existing, true},
      {{{"entries", none}, {"cache_path", "/no/such/folder"}, {"use_local_hf_cache", "off"}}, 24, fallback, true},
  };
  for (const auto& [file, ttl, cache, use_local_hf_cache] : cases) {
    g_state.use_local_hf_cache = !use_local_hf_cache;
    EXPECT_TRUE(ImportSettings(File(file), true).error.empty());
    EXPECT_TRUE(g_state.entries.empty() && g_state.delete_suppressed.empty());
    EXPECT_EQ(g_state.cache_ttl_hours, ttl);
    EXPECT_EQ(g_state.cache_folder, cache);
    EXPECT_EQ(g_state.use_local_hf_cache, use_local_hf_cache);
  }
  g_state.api_key = u"mine";
  const json twice = EntryToJson(Entry{"dup", SingleModel, 0, "acme", "acme/x", u"X"});
  const ImportResult r = ImportSettings(File({{"api_key", "theirs"}, {"entries", {twice, twice}}}), true);
  EXPECT_EQ(std::make_tuple(r.imported, r.already_present, r.api_key_set), std::make_tuple(1u, 1u, true));
  EXPECT_EQ(g_state.api_key, u"theirs");
}

// Fault: import parsed the settings file with no cap on its values (a 64 MiB file took 626 MB, too
// much for the 32-bit module); every other reader refuses a document over the value budget.
TEST_F(ConfigEntries, ImportReadsNoMoreValuesThanFavoritesMayHold) {
  g_state.entries = {Entry{"a", OrgModels, 0, "acme", "", u"A"}};
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
  g_state.entries = {Entry{"a", OrgModels, 0, "acme", "", u"A"}};
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

}  // namespace
