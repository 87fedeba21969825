// The dialogs' decisions without a window: what the fields show, which message boxes a button asks
// (text, title, flags) and what it applies, driven through scripted answers.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "hub_scripted_exchange.h"
#include "core/files.h"
#include "core/state.h"
#include "core/text.h"
#include "support/test_env.h"
#include "ui/dialog_logic.h"

namespace {

// Message boxes answered from a script (OK when it runs out) and recorded; pickers cancel when out of picks.
struct ScriptedServices {
  std::deque<int32_t> answers;
  std::deque<std::u16string> picks;
  std::vector<MessageBoxRequest> asked;
  std::vector<FileDialogRequest> files;

  DialogServices Bind() {
    auto pick = [this](std::u16string* path) {
      if (picks.empty()) return false;
      *path = picks.front();
      picks.pop_front();
      return true;
    };
    return {[this](const MessageBoxRequest& ask) {
              asked.push_back(ask);
              const int32_t a = answers.empty() ? kAnswerOk : answers.front();
              if (!answers.empty()) answers.pop_front();
              return a;
            },
            [this, pick](const FileDialogRequest& ask, std::u16string* path) { files.push_back(ask); return pick(path); },
            [pick](const FolderDialogRequest&, std::u16string* path) { return pick(path); }};
  }
  std::string Last() { return WideToUtf8(asked.back().title) + " " + std::to_string(asked.back().flags); }
};

class DialogLogic : public ::testing::Test {
 protected:
  void SetUp() override { ResetLinkedState(folder_); }
  const std::u16string folder_ = MakeTempFolder("dialog-logic");
  ScriptedHub hub_;  // hub root https://hub.test/; unscripted requests answer 404
  ScriptedServices ui_;
};

TEST_F(DialogLogic, AddEntryClassifiesAsksBeforeItAddsAndFloorsTheLimit) {
  const std::pair<std::u16string, std::u16string> statuses[] = {  // URL, status; false: kind boxes disabled
      {u"  ", u"Enter a HuggingFace URL above"},
      {u"https://hub.test/google", u"Organization \u2192 adds the entries ticked below"},
      {u"https://huggingface.co/google/gemma-2b/tree/main",
       u"Single model \u2192 added as one root folder (ticks below ignored)"},
      {u"datasets/acme/data", u"Single dataset \u2192 added as one root folder (ticks below ignored)"},
      {u"https://huggingface.co/acme/m/tree/refs%2Fpr%2F1",
       u"Single model at revision refs/pr/1 \u2192 added as one root folder (ticks below ignored)"},
      {u"https://huggingface.co/spaces/acme/chat/blob/main/app.py",
       u"Space \u2192 added as one root folder (ticks below ignored)"},
      {u"hf.co/spaces/acme", u"Organization \u2192 adds the entries ticked below"},
      {u"https://example.com/google", u"Not a HuggingFace address \u2192 nothing would be added"}};
  for (const auto& [url, status] : statuses) {
    AddEntryFields fields = AddEntryInitialFields();
    fields.add_models = false;
    fields.url = url;
    AddEntryClassify(&fields);
    EXPECT_EQ(fields.status, status) << WideToUtf8(url);
    EXPECT_EQ(fields.kind_boxes_enabled, status.find(u"one root folder") == std::u16string::npos) << WideToUtf8(url);
    EXPECT_FALSE(fields.add_models) << "classifying leaves the ticks";
  }

  // Each refusal leaves the dialog open with one message box and nothing added.
  const AddEntryFields start = AddEntryInitialFields();
  const struct {
    std::u16string url;
    bool models_and_datasets, collections, cache;
    int32_t answer;
    std::string box;
  } refusals[] = {
      {u"", true, true, false, kAnswerOk, "Error 0"},
      {u"acme", false, false, false, kAnswerOk, "Nothing to add 64"},
      {u"acme", true, true, true, kAnswerNo, "Offline Cache Warning 52"},
      {u"https://example.com/acme", true, true, false, kAnswerOk, "Invalid URL 16"},
      {u"acme", false, true, false, kAnswerOk, "Invalid URL 16"},  // acme has no collections
  };
  for (const auto& r : refusals) {
    AddEntryFields f = start;
    f.url = r.url;
    f.add_models = f.add_datasets = r.models_and_datasets;
    f.add_collections = r.collections;
    f.cache_enabled = r.cache;
    ui_.answers = {r.answer};
    const size_t asked = ui_.asked.size();
    EXPECT_FALSE(AddEntryPressAdd(f, ui_.Bind())) << r.box;
    EXPECT_EQ(ui_.asked.size(), asked + 1) << r.box;
    EXPECT_EQ(ui_.Last(), r.box);
  }
  EXPECT_EQ(ui_.asked[2].text.substr(0, 63), u"Offline caching will fetch the full file list from HuggingFace.");
  EXPECT_EQ(ui_.asked[3].text, u"Could not parse URL. Use format:\n  https://hub.test/google\n  https://hub.test/google/gemma-2b");
  EXPECT_TRUE(g_state.entries.empty());

  // A single repository with every kind unticked (boxes disabled) is added; limits below 10 become 10.
  AddEntryFields single = start;
  single.url = u"acme/tiny";
  single.add_models = single.add_datasets = single.add_collections = false;
  AddEntryClassify(&single);
  EXPECT_TRUE(AddEntryPressAdd(single, ui_.Bind()));
  for (const auto& [text, limit] : std::vector<std::pair<std::u16string, int32_t>>{
           {u"", 10}, {u"7", 10}, {u"x1", 10}, {u"500", 500}, {u"99999999999", 10}}) {
    AddEntryFields org = start;
    org.url = u"acme";
    org.add_datasets = org.add_collections = false;
    org.cache_enabled = true;
    org.limit_count = text;
    ui_.answers = {kAnswerYes};
    ASSERT_TRUE(AddEntryPressAdd(org, ui_.Bind()));
    EXPECT_EQ(g_state.entries.back().limit_count, limit) << WideToUtf8(text);
    EXPECT_TRUE(g_state.entries.back().cache_enabled);
  }
}

// Spaces are off on opening, so that an organisation adds what it always added; ticked alone they add
// the organisation's Spaces entry, and a Space's address adds the Space whatever is ticked.
TEST_F(DialogLogic, AddEntryTicksSpacesOnlyWhenAsked) {
  const auto added = [this](const AddEntryFields& fields) {
    const size_t before = g_state.entries.size();
    EXPECT_TRUE(AddEntryPressAdd(fields, ui_.Bind())) << WideToUtf8(fields.url);
    std::vector<std::string> made;
    for (size_t i = before; i < g_state.entries.size(); ++i) {
      const Entry& e = g_state.entries[i];
      made.push_back(WideToUtf8(e.display_name) + " " + RepoTypeName(e.repo_type) + " " + std::to_string(e.type));
    }
    return made;
  };
  AddEntryFields fields = AddEntryInitialFields();
  fields.url = u"acme";  // the hub knows no collections of acme here
  EXPECT_EQ(added(fields), (std::vector<std::string>{"acme - models model 0", "acme - datasets dataset 0"}));
  fields.add_models = fields.add_datasets = fields.add_collections = false;
  fields.add_spaces = true;
  EXPECT_EQ(added(fields), std::vector<std::string>{"acme - spaces space 0"});
  EXPECT_EQ(g_state.entries.back().id, "acme-spaces");
  fields = AddEntryInitialFields();
  fields.url = u"https://huggingface.co/spaces/acme/chat/tree/dev";
  AddEntryClassify(&fields);
  EXPECT_EQ(added(fields), std::vector<std::string>{"chat @ dev space 2"});
  EXPECT_TRUE(ui_.asked.empty());
}

TEST_F(DialogLogic, SettingsApplyTestTheKeyAndBrowse) {
  SettingsFields fields = SettingsFieldsFromState();
  EXPECT_EQ(fields.ttl_hours, u"24");
  for (const auto& [ttl, stored] : std::vector<std::pair<std::u16string, int32_t>>{{u"0", 1}, {u"", 1}, {u"48", 48}}) {
    fields = {u"", u"", ttl};
    g_state.api_key = u"old";
    ApplySettingsFields(fields);
    EXPECT_EQ(g_state.cache_ttl_hours, stored);
    EXPECT_EQ(g_state.api_key, u"");
    EXPECT_EQ(g_state.cache_folder, JoinFsPath(folder_, u"cache")) << "an empty field keeps the folder";
  }
  fields.cache_folder = JoinFsPath(folder_, u"new-cache");
  ApplySettingsFields(fields);
  EXPECT_TRUE(FileExists(fields.cache_folder));

  fields.api_key = u"good";
  for (const auto& [status, text] : std::vector<std::pair<uint32_t, std::u16string>>{
           {200, u"\u2713 API key valid"}, {401, u"\u2717 API key invalid or no connection"}}) {
    hub_.Answer("https://hub.test:443/api/whoami-v2", "{}", status);
    SettingsTestKey(&fields);
    EXPECT_EQ(fields.status, text);
  }
  EXPECT_EQ(g_state.api_key, u"") << "the test does not store the key";
  ui_.picks = {u"/chosen"};
  SettingsBrowseCacheFolder(&fields, ui_.Bind());
  SettingsBrowseCacheFolder(&fields, ui_.Bind());  // cancelled
  EXPECT_EQ(fields.cache_folder, u"/chosen");
}

// Fault: Export and Import put the typed fields into the options before the user answered, so No,
// Cancel or a refused file (and the dialog's Cancel after them) still changed the key and the TTL.
TEST_F(DialogLogic, SettingsExportAndImportChangeNoOptionTheUserDidNotConfirm) {
  Entry entry;
  entry.id = "a";
  entry.org = "acme";
  entry.display_name = u"A";
  g_state.entries = {entry};
  g_state.api_key = u"old";
  g_state.cache_ttl_hours = 24;
  const std::u16string cache = g_state.cache_folder;
  const auto unchanged = [&](const char* step) {
    EXPECT_EQ(g_state.api_key, u"old") << step;
    EXPECT_EQ(g_state.cache_ttl_hours, 24) << step;
    EXPECT_EQ(g_state.cache_folder, cache) << step;
  };
  SettingsFields fields{u"", JoinFsPath(folder_, u"typed-cache"), u"5"};
  SettingsExport(&fields, ui_.Bind());  // no key typed: no warning; the file dialog cancelled
  EXPECT_TRUE(ui_.asked.empty());
  unchanged("export, file dialog cancelled");
  fields.api_key = u"typed";
  ui_.answers = {kAnswerNo};
  SettingsExport(&fields, ui_.Bind());
  EXPECT_EQ(ui_.files.size(), 1u) << "No to the key warning: no file dialog";
  unchanged("export, key warning answered No");

  // What is exported is what the dialog shows, typed fields included, still without applying them.
  const std::u16string target = JoinFsPath(folder_, u"typed.json");
  ui_.answers = {kAnswerYes};
  ui_.picks = {target};
  SettingsExport(&fields, ui_.Bind());
  EXPECT_EQ(ui_.Last(), "Export settings 52");
  ASSERT_EQ(ui_.files.size(), 2u);
  EXPECT_TRUE(ui_.files[1].save && ui_.files[1].initial_name == u"tarnfs-settings.json" && ui_.files[1].flags == 0x80A);
  EXPECT_EQ(fields.status, u"Exported 1 entries.");
  const std::string exported = ReadTextFile(target);
  EXPECT_NE(exported.find("\"api_key\": \"typed\""), std::string::npos) << exported;
  EXPECT_NE(exported.find("\"cache_ttl_hours\": 5"), std::string::npos) << exported;
  unchanged("export written");

  const std::u16string broken = JoinFsPath(folder_, u"broken.json");
  WriteTextFile(broken, "{\"entries\": 3}");
  ui_.picks = {broken};
  ui_.answers = {kAnswerNo};
  SettingsImport(&fields, ui_.Bind());
  EXPECT_EQ(ui_.Last(), "Import failed 16");
  unchanged("import refused");
  fields.ttl_hours = u"99";
  ui_.picks = {target};
  ui_.answers = {kAnswerCancel};
  SettingsImport(&fields, ui_.Bind());
  EXPECT_EQ(ui_.Last(), "Import settings 291");
  unchanged("import cancelled at replace-or-merge");
  EXPECT_FALSE(FileExists(fields.cache_folder)) << "a typed folder is made only when applied";

  // Merging into a state without the key: the fields applied first, then refilled with the counts.
  fields.api_key = u"";
  ui_.picks = {target};
  ui_.answers = {kAnswerNo};
  SettingsImport(&fields, ui_.Bind());
  EXPECT_EQ(fields.status, u"Imported 0 entries, 1 already present, API key set.");
  EXPECT_EQ(fields.api_key + u" " + fields.ttl_hours, u"typed 99");
  EXPECT_TRUE(FileExists(g_state.favorites_path));
}

TEST_F(DialogLogic, EntrySettingsFieldsAndButtons) {
  Entry org;
  org.org = "acme";
  org.cached_at = 86400;
  Entry dataset = org;
  dataset.type = SingleModel;
  dataset.repo_type = DatasetRepo;
  dataset.repo_id = "acme/data";
  dataset.created_at = 1704164645;
  dataset.cached_at = 0;
  Entry converted = dataset;
  converted.revision = "refs/convert/parquet";  // shown read-only, and its page is the revision's
  Entry stray = org;
  stray.revision = "dev";  // not read for an organisation from a file; shown as what it lists
  Entry spaces = org;
  spaces.repo_type = SpaceRepo;
  Entry space = dataset;
  space.repo_type = SpaceRepo;
  space.repo_id = "acme/chat";
  for (const auto& [entry, shown] : std::vector<std::pair<const Entry*, std::u16string>>{
           {&org, u"Organization (models)|Unknown|1970-01-02  00:00|https://hub.test/acme|main|300|1"},
           {&dataset, u"Single dataset|2024-01-02  03:04|Never|https://hub.test/datasets/acme/data|main|300|0"},
           {&converted, u"Single dataset|2024-01-02  03:04|Never|"
                        u"https://hub.test/datasets/acme/data/tree/refs%2Fconvert%2Fparquet|refs/convert/parquet|300|0"},
           {&stray, u"Organization (models)|Unknown|1970-01-02  00:00|https://hub.test/acme|main|300|1"},
           {&spaces, u"Organization (spaces)|Unknown|1970-01-02  00:00|https://hub.test/spaces/acme|main|300|1"},
           {&space, u"Space (gradio)|2024-01-02  03:04|Never|https://hub.test/spaces/acme/chat|main|300|0"}}) {
    const EntrySettingsFields f = EntrySettingsInitialFields(*entry, "gradio");  // shown for a single Space only
    EXPECT_EQ(f.kind + u"|" + f.added + u"|" + f.last_cached + u"|" + f.url + u"|" + f.revision + u"|" +
                  f.limit_count + u"|" + (f.limit_controls_enabled ? u"1" : u"0"), shown);
  }

  // OK: a longer page or no limit drops the cached organisation listing; a single repository never.
  const std::vector<std::tuple<const Entry*, bool, std::u16string, int32_t, bool>> cases = {
      {&org, true, u"200", 200, false}, {&org, true, u"500", 500, true}, {&org, false, u"300", 300, true},
      {&org, true, u"3", 10, false},    {&dataset, false, u"900", 900, false}};
  for (const auto& [start, limit_on, limit, stored, reset] : cases) {
    Entry copy = *start;
    EntrySettingsContext context{&copy, {}};
    EntrySettingsFields fields = EntrySettingsInitialFields(copy);
    fields.display_name = u"Renamed";
    fields.limit_enabled = limit_on;
    fields.limit_count = limit;
    EntrySettingsPressOk(&context, fields);
    EXPECT_TRUE(context.result.accepted);
    EXPECT_EQ(context.result.cache_reset, reset) << WideToUtf8(limit);
    EXPECT_EQ(copy.cached_at == 0, reset || start->cached_at == 0);
    EXPECT_EQ(copy.limit_count, stored);
    EXPECT_EQ(copy.display_name, u"Renamed");
  }

  // Clearing drops the cached listing; the buttons' texts and Remove (offered by the Windows dialog
  // only) are checked through it: ui/win32 EntrySettingsShowsEditsClearsAndRemovesTheEntry.
  Entry copy = org;
  EntrySettingsContext context{&copy, {}};
  EntrySettingsFields f;
  EntrySettingsClearCache(&context, false, &f);
  EXPECT_TRUE(context.result.cache_reset && copy.cached_at == 0);
}

TEST_F(DialogLogic, EntrySettingsChangesWhereTheyGoAndWhatIsSaved) {
  Entry repo;
  repo.type = SingleModel;
  repo.repo_id = "acme/model";
  repo.display_name = u"Model";
  // The line beside the choice: the branch or the pull request named, or refused where the revision
  // takes no changes of that kind.
  const std::string commit = "0123456789abcdef0123456789abcdef01234567";
  for (const auto& [revision, as_pr, refused, names] : std::vector<std::tuple<std::string, bool, bool, std::u16string>>{
           {"main", false, false, u"main"},
           {"main", true, false, u"main"},
           {"dev", false, false, u"dev"},
           {"refs/heads/dev", true, false, u"dev"},
           {"refs/pr/3", false, false, u"refs/pr/3"},
           {"refs/pr/3", true, true, u"refs/pr/3"},
           {commit, false, true, u"commit"},
           {commit, true, true, u"commit"},
           {"refs/convert/parquet", true, true, u"refs/convert/parquet"}}) {
    repo.revision = revision;
    const std::u16string line = ChangesDestinationText(repo, as_pr);
    EXPECT_EQ(line.rfind(u"Refused", 0) == 0, refused) << revision << " " << WideToUtf8(line);
    EXPECT_NE(line.find(names), std::u16string::npos) << revision << " " << WideToUtf8(line);
    EXPECT_EQ(line.find(u"pull request against") != std::u16string::npos, as_pr && !refused) << WideToUtf8(line);
  }
  repo.revision = "dev";  // a plain name may be a tag, which only the hub knows
  EXPECT_NE(ChangesDestinationText(repo, false).find(u"tag"), std::u16string::npos);
  repo.revision = "main";
  EXPECT_EQ(ChangesDestinationText(repo, false).find(u"tag"), std::u16string::npos);

  // The choice follows the box; OK saves both, whatever else the dialog held.
  repo.changes_as_pull_request = true;
  Entry copy = repo;
  EntrySettingsContext context{&copy, {}};
  EntrySettingsFields fields = EntrySettingsInitialFields(copy);
  EXPECT_FALSE(fields.allow_changes || fields.changes_choice_enabled);
  EXPECT_TRUE(fields.changes_as_pull_request);
  EXPECT_EQ(fields.changes_where, ChangesDestinationText(repo, true));
  fields.allow_changes = true;
  fields.changes_as_pull_request = false;
  EntrySettingsChangesClicked(copy, &fields);
  EXPECT_TRUE(fields.changes_choice_enabled);
  EXPECT_EQ(fields.changes_where, ChangesDestinationText(repo, false));
  EntrySettingsPressOk(&context, fields);
  EXPECT_TRUE(context.result.accepted && copy.allow_changes && !copy.changes_as_pull_request);
  fields.allow_changes = false;
  EntrySettingsChangesClicked(copy, &fields);
  EXPECT_FALSE(fields.changes_choice_enabled);
}

// The host's yes/no questions: each Yes is a change, every No keeps what was; at a commit there is no
// destination to choose, nor a switch to one that would be refused.
TEST_F(DialogLogic, EntrySettingsAskChangesOnTheHostsQuestions) {
  struct Case {
    std::string revision;
    bool allow, as_pr;               // before
    std::deque<int32_t> answers;
    bool want_allow, want_as_pr;     // after
    size_t questions;
  };
  const std::string commit = "0123456789abcdef0123456789abcdef01234567";
  const int32_t y = kAnswerYes, n = kAnswerNo;
  for (const Case& c : std::vector<Case>{{"main", false, false, {n}, false, false, 1},
                                         {"main", false, false, {y, n}, true, false, 2},
                                         {"main", false, false, {y, y}, true, true, 2},
                                         {"main", true, true, {y}, false, true, 1},
                                         {"main", true, true, {n, n}, true, true, 2},
                                         {"main", true, true, {n, y}, true, false, 2},
                                         {"refs/pr/2", false, false, {y}, true, false, 1},
                                         {"refs/pr/2", true, true, {n, y}, true, false, 2},
                                         {commit, false, false, {y}, true, false, 1}}) {
    Entry copy;
    copy.type = SingleModel;
    copy.repo_id = "acme/model";
    copy.display_name = u"Model";
    copy.revision = c.revision;
    copy.allow_changes = c.allow;
    copy.changes_as_pull_request = c.as_pr;
    EntrySettingsContext context{&copy, {}};
    ui_.asked.clear();
    ui_.answers = c.answers;
    EntrySettingsAskChanges(&context, ui_.Bind());
    const std::string label = c.revision + " " + std::to_string(c.allow) + std::to_string(c.as_pr);
    EXPECT_EQ(std::tie(copy.allow_changes, copy.changes_as_pull_request), std::tie(c.want_allow, c.want_as_pr)) << label;
    EXPECT_EQ(context.result.accepted, c.want_allow != c.allow || c.want_as_pr != c.as_pr) << label;
    ASSERT_EQ(ui_.asked.size(), c.questions) << label;
    for (const MessageBoxRequest& ask : ui_.asked) {
      EXPECT_EQ(ask.title + u" " + Utf8ToWide(std::to_string(ask.flags)),
                u"Changes on the hub " + Utf8ToWide(std::to_string(kMbYesNo | kMbIconQuestion)));
    }
    // The first question says what is at stake and how things stand now.
    const std::u16string& first = ui_.asked[0].text;
    EXPECT_EQ(first.rfind(c.allow ? u"Turn changes on the hub off?" : u"Allow changes on the hub?", 0), 0u) << label;
    EXPECT_NE(first.find(u"\"Model\""), std::u16string::npos) << label;
    EXPECT_NE(first.find(c.allow ? u"Now: on" : u"Now: off"), std::u16string::npos) << label;
    EXPECT_NE(first.find(ChangesDestinationText(copy, c.as_pr)), std::u16string::npos) << label;
  }
}

TEST_F(DialogLogic, PropertiesTemporaryAndNumbers) {
  const PropertiesFields p = PropertiesFieldsFromState();
  EXPECT_EQ(p.entry_count + u" " + p.config_folder, u"0 " + folder_);
  for (const auto& [sdk, text] : {std::make_pair("docker", u"Space: acme/app\nSDK: docker"),
                                  std::make_pair("", u"Space: acme/app\nSDK: unknown")}) {
    ShowSpaceProperties("acme/app", sdk, ui_.Bind());
    EXPECT_EQ(ui_.asked.back().text, text);
    EXPECT_EQ(ui_.Last(), "Space properties 64");
  }
  Entry space;
  space.type = SingleModel;
  space.repo_type = SpaceRepo;
  EXPECT_EQ(EntryKindLabel(space), u"Space");  // its SDK unknown
  const std::tuple<int32_t, std::u16string, bool> opens[] = {{1, u"", false}, {2, u"acme", false}, {1, u" acme ", true}};
  for (const auto& [result, text, opened] : opens) {
    std::u16string address = u"stale";
    EXPECT_EQ(TemporaryBrowseAddress(result, text, &address), opened) << WideToUtf8(text);
    EXPECT_EQ(address, opened ? text : u"");
  }
  for (const auto& [text, n] : std::vector<std::pair<std::u16string, uint32_t>>{
           {u"  42", 42}, {u"", 0}, {u"4x", 0}, {u"-1", 0}, {u"4294967295", 4294967295u}, {u"4294967296", 0}}) {
    EXPECT_EQ(DialogNumber(text), n) << WideToUtf8(text);
  }
}

}  // namespace
