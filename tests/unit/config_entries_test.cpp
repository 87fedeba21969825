// Entries from hub addresses, and the settings file: what an address becomes, the naming rules, and
// what export and import do to the entry list and the options.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/entries_from_url.h"
#include "config/settings_file.h"
#include "hub_scripted_exchange.h"
#include "config/entry.h"
#include "core/files.h"
#include "core/state.h"
#include "core/text.h"
#include "support/test_env.h"

using nlohmann::json;

namespace {

const std::string kCollections = "https://hub.test:443/api/collections?owner=acme&limit=100";

Entry Made(const std::string& id, uint32_t type, const std::string& org, const std::string& repo,
           const std::u16string& name) {
  Entry e;
  e.id = id;
  e.type = type;
  e.org = org;
  e.repo_id = repo;
  e.display_name = name;
  return e;
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

TEST_F(ConfigEntries, AddressesSplitIntoOwnerNameAndKind) {
  ScriptedHub hub;  // the configured hub root is https://hub.test/
  struct Case {
    std::u16string text;
    bool ok;
    std::string owner, name;
    bool dataset;
  };
  const std::vector<Case> cases = {
      {u"https://hub.test/google", true, "google", "", false},
      {u"https://hub.test/google/gemma-2b/", true, "google", "gemma-2b", false},
      {u"https://hub.test/datasets/acme/data", true, "acme", "data", true},
      {u"https://hub.test/datasets/acme", true, "acme", "", true},
      {u"https://hub.test/datasets", true, "datasets", "", false},
      {u"https://hub.test/models/google/x", true, "google", "x", false},
      {u"google", true, "google", "", false},
      {u"google/gemma-2b", true, "google", "gemma-2b", false},
      // The other ways people paste the hub's own addresses.
      {u"https://huggingface.co/google", true, "google", "", false},
      {u"http://huggingface.co/google", true, "google", "", false},
      {u"https://hf.co/google", true, "google", "", false},
      {u"HTTPS://WWW.HuggingFace.co/google", true, "google", "", false},
      {u" https://huggingface.co/google \n", true, "google", "", false},
      {u"huggingface.co/google/gemma-2b", true, "google", "gemma-2b", false},
      {u"https://huggingface.co/google/gemma-2b/tree/main", true, "google", "gemma-2b", false},
      {u"https://huggingface.co/google/gemma-2b/blob/main/x", true, "google", "gemma-2b", false},
      {u"https://huggingface.co/google/gemma-2b?library=x", true, "google", "gemma-2b", false},
      {u"https://huggingface.co/datasets/acme/data#viewer", true, "acme", "data", true},
      // Nothing to name, or another site.
      {u"https://hub.test/", false, "", "", false},
      {u"https://hub.test///", false, "", "", false},
      {u"", false, "", "", false},
      {u"   ", false, "", "", false},
      {u"/google", false, "", "", false},
      {u"ftp://huggingface.co/google", false, "", "", false},
      {u"https://example.com/google", false, "", "", false},
      {u"https://huggingface.co.evil.test/google", false, "", "", false},
      {u"mailto:someone", false, "", "", false},
  };
  for (const Case& c : cases) {
    HubAddress parsed;
    ASSERT_EQ(ParseHubUrl(c.text, &parsed), c.ok) << WideToUtf8(c.text);
    if (!c.ok) continue;
    EXPECT_EQ(parsed.owner, c.owner) << WideToUtf8(c.text);
    EXPECT_EQ(parsed.name, c.name) << WideToUtf8(c.text);
    EXPECT_EQ(parsed.is_dataset, c.dataset) << WideToUtf8(c.text);
  }
}

TEST_F(ConfigEntries, UniqueIdsAndDisplayNames) {
  g_state.entries = {Made("a_b", OrgModels, "a", "", u"A"), Made("a_b_1", OrgModels, "a", "", u"B")};
  EXPECT_EQ(MakeUniqueId("a/b"), "a_b_2");
  EXPECT_EQ(MakeUniqueId("x:y\\z"), "x_y_z");

  bool renamed = true;
  EXPECT_EQ(MakeUniqueDisplayName(u"C", &renamed), u"C");
  EXPECT_FALSE(renamed);
  EXPECT_EQ(MakeUniqueDisplayName(u"[Settings]", &renamed), u"[Settings] (2)");
  EXPECT_TRUE(renamed);
  for (int n = 2; n <= 999; ++n) g_state.entries.push_back(Made("n", OrgModels, "a", "", u"A (" + WideDecimal(n) + u")"));
  EXPECT_EQ(MakeUniqueDisplayName(u"A", &renamed), u"A (dup)");
}

TEST_F(ConfigEntries, AddingFromAnAddress) {
  ScriptedHub hub;
  hub.Answer(kCollections, "[]");
  g_state.delete_suppressed = {u"acme - models"};
  // An organisation without collections: models and datasets only; twice gives the same names again.
  EXPECT_EQ(AddEntriesFromUrl(u"acme", true, false, 50, true, true, true), 2);
  EXPECT_EQ(AddEntriesFromUrl(u"https://hub.test/acme/", false, true, 300, true, false, false), 1);
  EXPECT_EQ(Ids(), (std::vector<std::string>{"acme-models", "acme-datasets", "acme-models_1"}));
  const Entry& datasets = g_state.entries[1];
  EXPECT_EQ(datasets.display_name, u"acme - datasets");
  EXPECT_TRUE(datasets.is_dataset && datasets.cache_enabled && !datasets.limit_enabled);
  EXPECT_EQ(datasets.limit_count, 50);
  EXPECT_GT(datasets.created_at, 0);
  EXPECT_EQ(g_state.entries[2].display_name, u"acme - models");
  EXPECT_TRUE(g_state.delete_suppressed.empty());

  // Only collections, and the owner has none: nothing.
  EXPECT_EQ(AddEntriesFromUrl(u"acme", false, true, 300, false, true, false), 0);
  hub.Answer(kCollections, R"([{"slug": "acme/picks-1", "title": "Picks"}])");
  EXPECT_EQ(AddEntriesFromUrl(u"acme", false, true, 300, false, true, false), 1);
  EXPECT_EQ(g_state.entries.back().type, OrgCollections);

  // One repository ignores the ticks and the limit.
  const size_t requests = hub.requests.size();
  EXPECT_EQ(AddEntriesFromUrl(u"https://huggingface.co/datasets/acme/data/tree/main", false, false, 10, false,
                              false, false), 1);
  const Entry& single = g_state.entries.back();
  EXPECT_EQ(single.type, SingleModel);
  EXPECT_EQ(single.repo_id, "acme/data");
  EXPECT_EQ(single.id, "acme_data");
  EXPECT_EQ(single.display_name, u"data");
  EXPECT_TRUE(single.is_dataset && single.limit_enabled);
  EXPECT_EQ(single.limit_count, 300);
  EXPECT_EQ(AddEntriesFromUrl(u"https://example.com/acme", false, true, 300, true, true, true), 0);
  EXPECT_EQ(hub.requests.size(), requests);  // neither asks the hub
}

TEST_F(ConfigEntries, TheTemporaryEntry) {
  Entry entry = Made("keep", OrgCollections, "x", "", u"X");
  EXPECT_FALSE(MakeTemporaryEntry(u"https://example.com/acme", &entry));
  EXPECT_EQ(entry.id, "keep");
  ASSERT_TRUE(MakeTemporaryEntry(u"https://huggingface.co/datasets/acme", &entry));
  EXPECT_EQ(entry.id, "__temp__");
  EXPECT_EQ(entry.display_name, u"***_TEMPORARY_***");
  EXPECT_EQ(entry.type, OrgModels);
  EXPECT_TRUE(entry.is_dataset && entry.limit_enabled && !entry.cache_enabled);
  EXPECT_EQ(entry.limit_count, 300);
  ASSERT_TRUE(MakeTemporaryEntry(u"acme/tiny", &entry));
  EXPECT_EQ(entry.type, SingleModel);
  EXPECT_EQ(entry.repo_id, "acme/tiny");
  EXPECT_TRUE(g_state.entries.empty());
}

TEST_F(ConfigEntries, ExportWritesTheKeyOnlyWhenAskedAndPresent) {
  g_state.entries = {Made("a", OrgModels, "acme", "", u"A")};
  const std::u16string path = JoinFsPath(folder_, u"out.json");
  for (const auto& [key, include, written] : std::vector<std::tuple<std::u16string, bool, bool>>{
           {u"", true, false}, {u"secret", false, false}, {u"secret", true, true}}) {
    g_state.api_key = key;
    ASSERT_TRUE(ExportSettings(path, include));
    const json saved = json::parse(ReadTextFile(path));
    EXPECT_EQ(saved.contains("api_key"), written);
    EXPECT_EQ(saved["format"], 1);
    EXPECT_EQ(saved["entries"].size(), 1u);
  }
  EXPECT_FALSE(FileExists(path + u".bak"));
  EXPECT_FALSE(ExportSettings(JoinFsPath(folder_, u"missing/out.json"), false));
}

TEST_F(ConfigEntries, ImportMergesByRepositoryAndRenamesClashes) {
  g_state.entries = {Made("acme-models", OrgModels, "acme", "", u"A"), Made("b", SingleModel, "b", "b/x", u"B")};
  const std::u16string exported = JoinFsPath(folder_, u"all.json");
  ASSERT_TRUE(ExportSettings(exported, false));
  ImportResult again = ImportSettings(exported, false);
  EXPECT_EQ(again.imported, 0u);
  EXPECT_EQ(again.already_present, 2u);

  g_state.api_key = u"mine";
  const json file = {{"api_key", "theirs"},
                     {"cache_ttl_hours", 5},
                     {"entries",
                      {{{"display_name", "A"}, {"type", "single-model"}, {"repo_id", "acme/new"}, {"org", "acme"}},
                       {{"display_name", "C"}, {"org", "acme"}, {"type", "org-collections"}},
                       {{"display_name", "D"}, {"org", "acme"}, {"type", "org-collections"}},
                       5,
                       {{"display_name", "E"}, {"org", "e-org"}, {"limit_count", "many"}},
                       {{"org", "nameless"}}}}};
  const ImportResult r = ImportSettings(File(file), false);
  EXPECT_EQ(r.imported, 3u);
  EXPECT_EQ(r.already_present, 1u);  // D repeats C's repository
  EXPECT_EQ(r.renamed, 1u);
  EXPECT_FALSE(r.api_key_set);
  EXPECT_EQ(g_state.api_key, u"mine");
  EXPECT_EQ(g_state.cache_ttl_hours, 24);  // merging leaves the options
  ASSERT_EQ(g_state.entries.size(), 5u);
  EXPECT_EQ(g_state.entries[2].display_name, u"A (2)");
  EXPECT_EQ(g_state.entries[4].limit_count, 300) << "a member of the wrong type reads as its default";
  EXPECT_EQ(Ids(), (std::vector<std::string>{"acme-models", "b", "acme", "acme_1", "e-org"}));
}

TEST_F(ConfigEntries, ImportReplacesEntriesAndOptions) {
  g_state.entries = {Made("a", OrgModels, "acme", "", u"A")};
  g_state.delete_suppressed = {u"gone"};
  const std::u16string existing = MakeTempFolder("import-cache");
  struct Case {
    json file;
    int32_t ttl;
    std::u16string cache;
  };
  const std::u16string fallback = JoinFsPath(folder_, u"cache");
  const std::vector<Case> cases = {
      {{{"entries", json::array()}, {"cache_ttl_hours", 7}, {"cache_path", WideToUtf8(existing)}}, 7, existing},
      {{{"entries", json::array()}}, 24, fallback},
      {{{"entries", json::array()}, {"cache_ttl_hours", 0}, {"cache_path", WideToUtf8(existing)}}, 1, existing},
      {{{"entries", json::array()}, {"cache_path", "/no/such/folder"}}, 24, fallback},
  };
  for (const Case& c : cases) {
    const ImportResult r = ImportSettings(File(c.file), true);
    EXPECT_TRUE(r.error.empty());
    EXPECT_TRUE(g_state.entries.empty());
    EXPECT_TRUE(g_state.delete_suppressed.empty());
    EXPECT_EQ(g_state.cache_ttl_hours, c.ttl);
    EXPECT_EQ(g_state.cache_folder, c.cache);
  }
  g_state.api_key = u"mine";
  const Entry twice = Made("dup", SingleModel, "acme", "acme/x", u"X");
  const ImportResult r =
      ImportSettings(File({{"api_key", "theirs"}, {"entries", {EntryToJson(twice), EntryToJson(twice)}}}), true);
  EXPECT_EQ(r.imported, 1u);
  EXPECT_EQ(r.already_present, 1u);
  EXPECT_TRUE(r.api_key_set);
  EXPECT_EQ(g_state.api_key, u"theirs");
}

TEST_F(ConfigEntries, ImportRefusesBadFilesAndNeverKeepsTheLock) {
  g_state.entries = {Made("a", OrgModels, "acme", "", u"A")};
  const std::u16string not_json = JoinFsPath(folder_, u"bad.json");
  WriteTextFile(not_json, "{ \"entries\": [ ");
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {
      {JoinFsPath(folder_, u"absent.json"), u"Could not open the file."},
      {not_json, u"The file is not valid JSON."},
      {File(json::array()), u"This is not a Tarnfs settings file (no \"entries\" list)."},
      {File({{"entries", "none"}}), u"This is not a Tarnfs settings file (no \"entries\" list)."},
      {File({{"format", 2}, {"entries", json::array()}}), u"This file was written by a newer plugin version."},
      {File({{"format", "1"}, {"entries", json::array()}}), u"The file is not valid JSON."},
      {File({{"format", -3}, {"entries", json::array()}}), u""},
  };
  for (const auto& [path, error] : cases) {
    const ImportResult r = ImportSettings(path, true);
    EXPECT_EQ(r.error, error) << WideToUtf8(path);
    if (!error.empty()) EXPECT_EQ(g_state.entries.size(), 1u) << "a refused file changes nothing";
    // Another thread can take the lock at once.
    EXPECT_TRUE(std::async(std::launch::async, [] {
                  const bool got = g_state.lock.try_lock();
                  if (got) g_state.lock.unlock();
                  return got;
                }).get());
  }
}

}  // namespace
