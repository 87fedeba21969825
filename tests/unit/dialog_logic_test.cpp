// The dialogs' decisions without a window: what the fields show, which message boxes a button asks
// (text, title, flags) and what it applies, driven through scripted answers.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hub_scripted_exchange.h"
#include "core/files.h"
#include "core/state.h"
#include "core/text.h"
#include "support/test_env.h"
#include "ui/dialog_logic.h"

namespace {

// Message boxes and pickers answered from a script, with everything asked recorded.
struct ScriptedServices {
  std::deque<int32_t> answers;         // message box answers in order; kAnswerOk when used up
  std::deque<std::u16string> picks;    // chosen paths in order; cancelled when used up
  std::vector<MessageBoxSpec> asked;
  std::vector<FileDialogSpec> files;

  DialogServices Bind() {
    DialogServices s;
    s.message_box = [this](const MessageBoxSpec& spec) {
      asked.push_back(spec);
      if (answers.empty()) return kAnswerOk;
      const int32_t a = answers.front();
      answers.pop_front();
      return a;
    };
    s.pick_file = [this](const FileDialogSpec& spec, std::u16string* path) { files.push_back(spec); return Pick(path); };
    s.pick_folder = [this](const FolderDialogSpec&, std::u16string* path) { return Pick(path); };
    return s;
  }
  bool Pick(std::u16string* path) {
    if (picks.empty()) return false;
    *path = picks.front();
    picks.pop_front();
    return true;
  }
};

class DialogLogic : public ::testing::Test {
 protected:
  void SetUp() override { ResetLinkedState(folder_); }
  const std::u16string folder_ = MakeTempFolder("dialog-logic");
  ScriptedHub hub_;  // hub root https://hub.test/; unscripted requests answer 404
  ScriptedServices ui_;
};

TEST_F(DialogLogic, AddEntryStatusLineFollowsTheSplitter) {
  struct Case {
    std::u16string url;
    std::u16string status;
    bool kind_boxes;
  };
  const std::vector<Case> cases = {
      {u"", u"Enter a HuggingFace URL above", true},
      {u"  ", u"Enter a HuggingFace URL above", true},
      {u"https://hub.test/google", u"Organization \u2192 adds the entries ticked below", true},
      {u"https://huggingface.co/google/gemma-2b/tree/main",
       u"Single model \u2192 added as one root folder (ticks below ignored)", false},
      {u"datasets/acme/data", u"Single dataset \u2192 added as one root folder (ticks below ignored)", false},
      {u"https://example.com/google", u"Not a HuggingFace address \u2192 nothing would be added", true},
  };
  for (const Case& c : cases) {
    AddEntryFields fields = AddEntryInitialFields();
    fields.add_models = false;
    fields.url = c.url;
    AddEntryClassify(&fields);
    EXPECT_EQ(fields.status, c.status) << WideToUtf8(c.url);
    EXPECT_EQ(fields.kind_boxes_enabled, c.kind_boxes) << WideToUtf8(c.url);
    EXPECT_FALSE(fields.add_models) << "classifying leaves the ticks";
  }
}

TEST_F(DialogLogic, AddEntryAsksBeforeItAdds) {
  const AddEntryFields start = AddEntryInitialFields();
  EXPECT_EQ(start.status, u"Enter a HuggingFace URL above");
  EXPECT_TRUE(start.add_models && start.add_datasets && start.add_collections && start.limit_enabled);
  EXPECT_FALSE(start.cache_enabled);
  EXPECT_EQ(start.limit_count, u"300");

  AddEntryFields empty = start;
  EXPECT_FALSE(AddEntryPressAdd(empty, ui_.Bind()));
  AddEntryFields nothing = start;
  nothing.url = u"acme";
  nothing.add_models = nothing.add_datasets = nothing.add_collections = false;
  EXPECT_FALSE(AddEntryPressAdd(nothing, ui_.Bind()));
  AddEntryFields cached = start;
  cached.url = u"acme";
  cached.cache_enabled = true;
  ui_.answers = {kAnswerNo};
  EXPECT_FALSE(AddEntryPressAdd(cached, ui_.Bind()));
  AddEntryFields refused = start;
  refused.url = u"https://example.com/acme";
  EXPECT_FALSE(AddEntryPressAdd(refused, ui_.Bind()));
  EXPECT_TRUE(g_state.entries.empty());

  const std::vector<std::tuple<std::u16string, std::u16string, uint32_t>> expected = {
      {u"Please enter a HuggingFace URL.", u"Error", 0},
      {u"Tick \"Add models\", \"Add datasets\" and/or \"Add collections\".", u"Nothing to add", 64},
      {u"Offline caching will fetch the full file list from HuggingFace.\nThis may take a while and the UI will be "
       u"unresponsive during the process.\n\nContinue?",
       u"Offline Cache Warning", 52},
      {u"Could not parse URL. Use format:\n  https://hub.test/google\n  https://hub.test/google/gemma-2b",
       u"Invalid URL", 16},
  };
  ASSERT_EQ(ui_.asked.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(ui_.asked[i].text, std::get<0>(expected[i]));
    EXPECT_EQ(ui_.asked[i].title, std::get<1>(expected[i]));
    EXPECT_EQ(ui_.asked[i].flags, std::get<2>(expected[i]));
  }

  // A single repository with every kind unticked (boxes disabled) is added; the limit is raised to 10.
  AddEntryFields single = nothing;
  single.url = u"acme/tiny";
  AddEntryClassify(&single);
  EXPECT_TRUE(AddEntryPressAdd(single, ui_.Bind()));
  for (const auto& [text, limit] : std::vector<std::pair<std::u16string, int32_t>>{
           {u"", 10}, {u"0", 10}, {u"7", 10}, {u"x1", 10}, {u"500", 500}, {u"99999999999", 10}}) {
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
  // Only collections ticked and the owner has none: the same "Invalid URL" message.
  AddEntryFields collections = start;
  collections.url = u"acme";
  collections.add_models = collections.add_datasets = false;
  EXPECT_FALSE(AddEntryPressAdd(collections, ui_.Bind()));
  EXPECT_EQ(ui_.asked.back().title, u"Invalid URL");
}

TEST_F(DialogLogic, SettingsFieldsApplyAndTest) {
  g_state.api_key = u"old";
  SettingsFields fields = SettingsFieldsFromState();
  EXPECT_EQ(fields.ttl_hours, u"24");
  EXPECT_EQ(fields.status, u"");
  for (const auto& [ttl, stored] : std::vector<std::pair<std::u16string, int32_t>>{{u"0", 1}, {u"", 1}, {u"48", 48}}) {
    fields.api_key = u"";
    fields.cache_folder = u"";
    fields.ttl_hours = ttl;
    ApplySettingsFields(fields);
    EXPECT_EQ(g_state.cache_ttl_hours, stored);
  }
  EXPECT_EQ(g_state.api_key, u"");
  EXPECT_EQ(g_state.cache_folder, JoinFsPath(folder_, u"cache"));
  fields.cache_folder = JoinFsPath(folder_, u"new-cache");
  ApplySettingsFields(fields);
  EXPECT_TRUE(FileExists(fields.cache_folder));

  hub_.Answer("https://hub.test:443/api/whoami-v2", "{}");
  fields.api_key = u"good";
  SettingsTestKey(&fields);
  EXPECT_EQ(fields.status, u"\u2713 API key valid");
  hub_.Answer("https://hub.test:443/api/whoami-v2", "{}", 401);
  SettingsTestKey(&fields);
  EXPECT_EQ(fields.status, u"\u2717 API key invalid or no connection");
  EXPECT_EQ(g_state.api_key, u"") << "the test does not store the key";

  ui_.picks = {u"/chosen"};
  SettingsBrowseCacheFolder(&fields, ui_.Bind());
  EXPECT_EQ(fields.cache_folder, u"/chosen");
  SettingsBrowseCacheFolder(&fields, ui_.Bind());
  EXPECT_EQ(fields.cache_folder, u"/chosen");
}

TEST_F(DialogLogic, SettingsExportAndImport) {
  Entry entry;
  entry.id = "a";
  entry.org = "acme";
  entry.display_name = u"A";
  g_state.entries = {entry};
  SettingsFields fields = SettingsFieldsFromState();
  const std::u16string target = JoinFsPath(folder_, u"export.json");

  fields.api_key = u"secret";
  ui_.answers = {kAnswerNo};
  SettingsExport(&fields, ui_.Bind());
  EXPECT_TRUE(ui_.files.empty()) << "no file dialog after No";
  EXPECT_EQ(g_state.api_key, u"secret") << "the fields were applied first";
  ui_.answers = {kAnswerYes};
  ui_.picks = {target};
  SettingsExport(&fields, ui_.Bind());
  EXPECT_EQ(ui_.asked.back().title, u"Export settings");
  EXPECT_EQ(ui_.asked.back().flags, 52u);
  ASSERT_EQ(ui_.files.size(), 1u);
  EXPECT_TRUE(ui_.files[0].save);
  EXPECT_EQ(ui_.files[0].initial_name, u"tarnfs-settings.json");
  EXPECT_EQ(ui_.files[0].flags, 0x80Au);
  EXPECT_EQ(fields.status, u"Exported 1 entries.");
  EXPECT_EQ(nlohmann::json::parse(ReadTextFile(target))["api_key"], "secret");

  // Import: Cancel changes nothing, not even the typed fields.
  fields.ttl_hours = u"99";
  ui_.picks = {target};
  ui_.answers = {kAnswerCancel};
  SettingsImport(&fields, ui_.Bind());
  EXPECT_EQ(ui_.asked.back().flags, 291u);
  EXPECT_EQ(g_state.cache_ttl_hours, 24);

  // Merge into a state without the key: one already present, the key set, favorites.json saved.
  fields.api_key = u"";
  ui_.picks = {target};
  ui_.answers = {kAnswerNo};
  SettingsImport(&fields, ui_.Bind());
  EXPECT_EQ(fields.status, u"Imported 0 entries, 1 already present, API key set.");
  EXPECT_EQ(fields.api_key, u"secret");
  EXPECT_EQ(fields.ttl_hours, u"99");
  EXPECT_TRUE(FileExists(g_state.favorites_path));

  const std::u16string broken = JoinFsPath(folder_, u"broken.json");
  WriteTextFile(broken, "[1]");
  ui_.picks = {broken};
  ui_.answers = {kAnswerYes};
  SettingsImport(&fields, ui_.Bind());
  EXPECT_EQ(ui_.asked.back().title, u"Import failed");
  EXPECT_EQ(ui_.asked.back().flags, 16u);
  EXPECT_EQ(g_state.entries.size(), 1u);
}

TEST_F(DialogLogic, EntrySettingsFieldsAndButtons) {
  Entry org;
  org.type = OrgModels;
  org.org = "acme";
  org.display_name = u"Acme";
  org.cached_at = 86400;
  EntrySettingsFields f = EntrySettingsInitialFields(org);
  EXPECT_EQ(f.kind, u"Organization (models)");
  EXPECT_EQ(f.added, u"Unknown");
  EXPECT_EQ(f.last_cached, u"1970-01-02  00:00");
  EXPECT_EQ(f.url, u"https://hub.test/acme");
  EXPECT_EQ(f.limit_count, u"300");
  EXPECT_TRUE(f.limit_controls_enabled);

  Entry dataset = org;
  dataset.type = SingleModel;
  dataset.is_dataset = 1;
  dataset.repo_id = "acme/data";
  dataset.created_at = 1704164645;
  dataset.cached_at = 0;
  f = EntrySettingsInitialFields(dataset);
  EXPECT_EQ(f.kind, u"Single dataset");
  EXPECT_EQ(f.added, u"2024-01-02  03:04");
  EXPECT_EQ(f.last_cached, u"Never");
  EXPECT_EQ(f.url, u"https://hub.test/datasets/acme/data");
  EXPECT_FALSE(f.limit_controls_enabled);

  // OK: a longer page or no limit drops the cached organisation listing; a single repository never.
  struct Case {
    const Entry* start;
    bool limit_on;
    std::u16string limit;
    int32_t stored;
    bool reset;
  };
  const std::vector<Case> cases = {{&org, true, u"200", 200, false}, {&org, true, u"500", 500, true},
                                   {&org, false, u"300", 300, true}, {&org, true, u"3", 10, false},
                                   {&dataset, false, u"900", 900, false}};
  for (const Case& c : cases) {
    Entry copy = *c.start;
    EntrySettingsContext context;
    context.entry = &copy;
    EntrySettingsFields fields = EntrySettingsInitialFields(copy);
    fields.display_name = u"Renamed";
    fields.limit_enabled = c.limit_on;
    fields.limit_count = c.limit;
    EntrySettingsPressOk(&context, fields);
    EXPECT_TRUE(context.result.accepted);
    EXPECT_EQ(context.result.cache_reset, c.reset) << WideToUtf8(c.limit);
    EXPECT_EQ(copy.cached_at == 0, c.reset || c.start->cached_at == 0);
    EXPECT_EQ(copy.limit_count, c.stored);
    EXPECT_EQ(copy.display_name, u"Renamed");
  }

  Entry copy = org;
  EntrySettingsContext context;
  context.entry = &copy;
  EntrySettingsClearCache(&context, true, &f);
  EXPECT_EQ(f.last_cached, u"Cache cleared \u2014 will refresh on next browse");
  EXPECT_TRUE(context.result.cache_reset && copy.cached_at == 0);
  EntrySettingsClearCache(&context, false, &f);
  EXPECT_EQ(f.last_cached, u"Never");
  ui_.answers = {kAnswerNo, kAnswerYes};
  EXPECT_FALSE(EntrySettingsPressRemove(&context, ui_.Bind()));
  EXPECT_FALSE(context.result.remove);
  EXPECT_TRUE(EntrySettingsPressRemove(&context, ui_.Bind()));
  EXPECT_TRUE(context.result.remove);
  EXPECT_EQ(ui_.asked.back().text, u"Remove this entry from the plugin?");
  EXPECT_EQ(ui_.asked.back().flags, 36u);
}

TEST_F(DialogLogic, PropertiesTemporaryAndNumbers) {
  const PropertiesFields p = PropertiesFieldsFromState();
  EXPECT_EQ(p.entry_count, u"0");
  EXPECT_EQ(p.version, u"1.5.1");
  EXPECT_EQ(p.config_folder, folder_);

  std::u16string address = u"stale";
  EXPECT_FALSE(TemporaryBrowseAddress(1, u"", &address));
  EXPECT_EQ(address, u"");
  EXPECT_FALSE(TemporaryBrowseAddress(2, u"acme", &address));
  EXPECT_TRUE(TemporaryBrowseAddress(1, u" acme ", &address));
  EXPECT_EQ(address, u" acme ");

  for (const auto& [text, n] : std::vector<std::pair<std::u16string, uint32_t>>{
           {u"42", 42}, {u"  42", 42}, {u"", 0}, {u"4x", 0}, {u"-1", 0}, {u"4294967295", 4294967295u}, {u"4294967296", 0}}) {
    EXPECT_EQ(DialogNumber(text), n) << WideToUtf8(text);
  }
}

}  // namespace
