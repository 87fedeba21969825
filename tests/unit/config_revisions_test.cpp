// Revisions named in an address: what the splitter keeps, the entries and names made from it, the
// entry's "revision" in favorites.json and in a settings file, and the tree request it leads to.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/entries_from_url.h"
#include "config/entry.h"
#include "config/favorites.h"
#include "config/settings_file.h"
#include "core/state.h"
#include "core/text.h"
#include "hub/api.h"
#include "hub_scripted_exchange.h"
#include "support/test_env.h"

using nlohmann::json;

namespace {

class ConfigRevisions : public ::testing::Test {
 protected:
  void SetUp() override { ResetLinkedState(folder_); }
  const std::u16string folder_ = MakeTempFolder("config-revisions");
};

// Fault: an address naming a revision (".../tree/step1000") was taken as the repository on main.
TEST_F(ConfigRevisions, AddressesKeepTheRevisionTheyName) {
  ScriptedHub hub;  // the configured hub root is https://hub.test/
  const std::string commit = "0123456789abcdef0123456789abcdef01234567";
  // Expected "owner/name@revision", "d:" first for a dataset; empty when refused.
  const std::vector<std::pair<std::u16string, std::string>> cases = {
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
      {u"o/n/tree/main", "o/n@main"}, {u"o/n/tree/", "o/n@main"}, {u"o/n/discussions/3", "o/n@main"},
      {u"o/n/commit/abc", "o/n@main"}, {u"o/n/tree", "o/n@main"}, {u"o", "o/@main"},
      // No ref is named like these: they would leave their path segment or their cache folder.
      {u"o/n/tree/%2E%2E", ""}, {u"o/n/tree/a..b", ""}, {u"o/n/blob/x~1/f", ""}, {u"o/n/tree/bad%20name", ""},
      {u"o/n/tree/refs%2Fpr%2F", ""}, {u"o/n/tree/%0Aevil", ""}, {u"o/n/tree/.hidden", ""},
      {u"o/n/tree/x.lock", ""},
  };
  for (const auto& [text, expected] : cases) {
    HubAddress p;
    const std::string got =
        ParseHubUrl(text, &p) ? (p.is_dataset ? "d:" : "") + p.owner + "/" + p.name + "@" + p.revision : "";
    EXPECT_EQ(got, expected) << WideToUtf8(text);
  }
}

TEST_F(ConfigRevisions, EntriesAtARevisionAreNamedByItAndKeptApart) {
  ScriptedHub hub;
  for (const char16_t* address :
       {u"o/pythia/tree/step1000", u"o/pythia/tree/refs%2Fpr%2F1", u"o/pythia/blob/refs/pr/1/README.md",
        u"o/pythia/tree/main", u"datasets/o/pythia/tree/refs%2Fconvert%2Fparquet"}) {
    EXPECT_EQ(AddEntriesFromUrl(address, false, true, 300, true, true, true), 1) << WideToUtf8(address);
  }
  std::vector<std::string> made;
  for (const Entry& e : g_state.entries) made.push_back(e.id + " | " + WideToUtf8(e.display_name) + " | " + e.revision);
  EXPECT_EQ(made, (std::vector<std::string>{"o_pythia@step1000 | pythia @ step1000 | step1000",
                                            "o_pythia@refs_pr_1 | pythia @ refs_pr_1 | refs/pr/1",
                                            "o_pythia@refs_pr_1_1 | pythia @ refs_pr_1 (2) | refs/pr/1",
                                            "o_pythia | pythia | main",
                                            "o_pythia@refs_convert_parquet | pythia @ refs_convert_parquet | "
                                            "refs/convert/parquet"}));
  for (const Entry& e : g_state.entries) EXPECT_TRUE(IsHostSafeName(e.display_name)) << WideToUtf8(e.display_name);
  EXPECT_TRUE(hub.requests.empty());

  // The temporary entry lists the address's revision; an organisation has none to keep.
  Entry temp;
  ASSERT_TRUE(MakeTemporaryEntry(u"o/pythia/tree/refs%2Fpr%2F1", &temp));
  EXPECT_EQ(temp.repo_id + "@" + temp.revision + " " + WideToUtf8(temp.display_name),
            "o/pythia@refs/pr/1 ***_TEMPORARY_***");
  ASSERT_TRUE(MakeTemporaryEntry(u"o", &temp));
  EXPECT_EQ(temp.revision, "main");
}

TEST_F(ConfigRevisions, TheRevisionIsWrittenOnlyWhenNotMainAndReadOnlyForOneRepository) {
  Entry entry;
  // Files written before revisions existed load on main, and save as they were.
  const json older = {{"display_name", "N"}, {"type", "single-model"}, {"repo_id", "o/n"}, {"org", "o"}};
  ASSERT_TRUE(EntryFromJson(older, &entry));
  EXPECT_EQ(entry.revision, "main");
  EXPECT_FALSE(EntryToJson(entry).contains("revision"));
  for (const auto& [written, read] : std::vector<std::pair<json, std::string>>{
           {"step1000", "step1000"}, {"refs/pr/1", "refs/pr/1"}, {"main", "main"}, {"", "main"}, {7, "main"}}) {
    json object = older;
    object["revision"] = written;
    ASSERT_TRUE(EntryFromJson(object, &entry));
    EXPECT_EQ(entry.revision, read) << written.dump();
    const json back = EntryToJson(entry);
    EXPECT_EQ(back.value("revision", "main"), read);
    EXPECT_EQ(back.contains("revision"), read != "main");
  }
  // Organisations and collections list main whatever a hand-edited file says.
  ASSERT_TRUE(EntryFromJson({{"display_name", "O"}, {"org", "o"}, {"revision", "dev"}}, &entry));
  EXPECT_EQ(entry.revision, "main");

  // favorites.json: an older file's bytes survive a load and a save; a revision survives both.
  const std::u16string favorites = JoinFsPath(folder_, u"favorites.json");
  g_state.entries = {Entry{"n", SingleModel, 0, "o", "o/n", u"N"}};
  SaveFavorites();
  const std::string on_main = ReadTextFile(favorites);
  EXPECT_FALSE(json::parse(on_main)["entries"][0].contains("revision"));
  LoadFavorites();
  SaveFavorites();
  EXPECT_EQ(ReadTextFile(favorites), on_main);
  g_state.entries[0].revision = "refs/convert/parquet";
  SaveFavorites();
  g_state.entries.clear();
  LoadFavorites();
  ASSERT_EQ(g_state.entries.size(), 1u);
  EXPECT_EQ(g_state.entries[0].revision, "refs/convert/parquet");
}

TEST_F(ConfigRevisions, ExportAndImportCarryTheRevisionAndTellRevisionsApart) {
  Entry step{"s", SingleModel, 0, "o", "o/n", u"n @ step1000"};
  step.revision = "step1000";
  g_state.entries = {step};
  const std::u16string exported = JoinFsPath(folder_, u"settings.json");
  ASSERT_TRUE(ExportSettings(exported, false));
  EXPECT_EQ(json::parse(ReadTextFile(exported))["entries"][0].value("revision", ""), "step1000");

  // The same repository on main is another entry; the file's one at step1000 is present already.
  g_state.entries = {Entry{"n", SingleModel, 0, "o", "o/n", u"n"}};
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

TEST_F(ConfigRevisions, TreeRequestsNameTheRevisionAsOneSegment) {
  ScriptedHub hub;
  TreeQuery query;
  query.revision = "refs/pr/1";
  query.folder = "a b/c";
  EXPECT_EQ(TreeApiPath("o/n", 1, query), "/datasets/o/n/tree/refs%2Fpr%2F1/a%20b/c?limit=1000");
  query.folder.clear();
  query.revision = "main";
  EXPECT_EQ(TreeApiPath("o/n", 0, query), "/models/o/n/tree/main?limit=1000");

  // A revision no hub can have (a hand-edited file) is answered as the hub answers an unknown one,
  // without a request.
  for (const char* revision : {"..", ".", "a b", ""}) {
    query.revision = revision;
    const TreePages pages = ListTree("o/n", "", 0, query);
    EXPECT_EQ(pages.outcome.status, 404u) << revision;
    EXPECT_EQ(pages.outcome.error_code, kRevisionNotFound) << revision;
  }
  EXPECT_TRUE(hub.requests.empty());
  // The hub's own answer carries its code through.
  query.revision = "gone";
  hub.Answer("https://hub.test:443/api/models/o/n/tree/gone?limit=1000", R"({"error":"Invalid rev id: gone"})", 404)
      .head.raw_headers = "HTTP/1.1 404 Not Found\r\nX-Error-Code: RevisionNotFound\r\n";
  const TreePages pages = ListTree("o/n", "", 0, query);
  EXPECT_EQ(pages.outcome.status, 404u);
  EXPECT_EQ(pages.outcome.error_code, "RevisionNotFound");
  EXPECT_FALSE(pages.outcome.complete);
}

}  // namespace
