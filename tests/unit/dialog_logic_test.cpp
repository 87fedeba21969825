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

// Message boxes and pickers answered from a script (OK, and cancelled, when it runs out), with every
// message box recorded.
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

  // Each refusal leaves the dialog open with one message box and nothing added.
  struct Refusal {
    std::u16string url;
    bool models_and_datasets, collections, cache;
    int32_t answer;
    std::string box;
  };
  const std::vector<Refusal> refusals = {
      {u"", true, true, false, kAnswerOk, "Error 0"},
      {u"acme", false, false, false, kAnswerOk, "Nothing to add 64"},
      {u"acme", true, true, true, kAnswerNo, "Offline Cache Warning 52"},
      {u"https://example.com/acme", true, true, false, kAnswerOk, "Invalid URL 16"},
      {u"acme", false, true, false, kAnswerOk, "Invalid URL 16"},  // acme has no collections
  };
  for (size_t i = 0; i < refusals.size(); ++i) {
    const Refusal& r = refusals[i];
    AddEntryFields f = start;
    f.url = r.url;
    f.add_models = f.add_datasets = r.models_and_datasets;
    f.add_collections = r.collections;
    f.cache_enabled = r.cache;
    ui_.answers = {r.answer};
    EXPECT_FALSE(AddEntryPressAdd(f, ui_.Bind())) << i;
    EXPECT_EQ(ui_.asked.size(), i + 1);
    EXPECT_EQ(ui_.Last(), r.box) << i;
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

TEST_F(DialogLogic, SettingsFieldsTestAndBrowse) {
  SettingsFields fields = SettingsFieldsFromState();
  EXPECT_EQ(fields.ttl_hours, u"24");
  for (const auto& [ttl, stored] : std::vector<std::pair<std::u16string, int32_t>>{{u"0", 1}, {u"", 1}, {u"48", 48}}) {
    fields.api_key = u"";
    fields.cache_folder = u"";
    fields.ttl_hours = ttl;
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

TEST_F(DialogLogic, SettingsExportAndImport) {
  Entry entry;
  entry.id = "a";
  entry.org = "acme";
  entry.display_name = u"A";
  g_state.entries = {entry};
  SettingsFields fields = SettingsFieldsFromState();
  const std::u16string target = JoinFsPath(folder_, u"export.json");

  fields.api_key = u"secret";
  ui_.answers = {kAnswerNo, kAnswerYes};
  SettingsExport(&fields, ui_.Bind());
  EXPECT_TRUE(ui_.files.empty()) << "No to the key warning: no file dialog";
  ui_.picks = {target};
  SettingsExport(&fields, ui_.Bind());
  EXPECT_EQ(ui_.Last(), "Export settings 52");
  ASSERT_EQ(ui_.files.size(), 1u);
  EXPECT_TRUE(ui_.files[0].save && ui_.files[0].initial_name == u"tarnfs-settings.json" && ui_.files[0].flags == 0x80A);
  EXPECT_EQ(fields.status, u"Exported 1 entries.");

  // Cancel to replace-or-merge changes nothing, not even the typed fields.
  fields.ttl_hours = u"99";
  ui_.picks = {target};
  ui_.answers = {kAnswerCancel};
  SettingsImport(&fields, ui_.Bind());
  EXPECT_EQ(ui_.Last(), "Import settings 291");
  EXPECT_EQ(g_state.cache_ttl_hours, 24);
  // Merging into a state without the key: the fields applied first, then refilled with the counts.
  fields.api_key = u"";
  ui_.picks = {target};
  ui_.answers = {kAnswerNo};
  SettingsImport(&fields, ui_.Bind());
  EXPECT_EQ(fields.status, u"Imported 0 entries, 1 already present, API key set.");
  EXPECT_EQ(fields.api_key + u" " + fields.ttl_hours, u"secret 99");
  EXPECT_TRUE(FileExists(g_state.favorites_path));

  const std::u16string broken = JoinFsPath(folder_, u"broken.json");
  WriteTextFile(broken, "[1]");
  ui_.picks = {broken};
  ui_.answers = {kAnswerYes};
  SettingsImport(&fields, ui_.Bind());
  EXPECT_EQ(ui_.Last(), "Import failed 16");
  EXPECT_EQ(g_state.entries.size(), 1u);
}

TEST_F(DialogLogic, EntrySettingsFieldsAndButtons) {
  Entry org;
  org.org = "acme";
  org.cached_at = 86400;
  EntrySettingsFields f = EntrySettingsInitialFields(org);
  EXPECT_EQ(f.kind + u"|" + f.added + u"|" + f.last_cached + u"|" + f.url + u"|" + f.limit_count,
            u"Organization (models)|Unknown|1970-01-02  00:00|https://hub.test/acme|300");
  EXPECT_TRUE(f.limit_controls_enabled);
  Entry dataset = org;
  dataset.type = SingleModel;
  dataset.is_dataset = 1;
  dataset.repo_id = "acme/data";
  dataset.created_at = 1704164645;
  dataset.cached_at = 0;
  f = EntrySettingsInitialFields(dataset);
  EXPECT_EQ(f.kind + u"|" + f.added + u"|" + f.last_cached + u"|" + f.url,
            u"Single dataset|2024-01-02  03:04|Never|https://hub.test/datasets/acme/data");
  EXPECT_FALSE(f.limit_controls_enabled);

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

  Entry copy = org;
  EntrySettingsContext context{&copy, {}};
  EntrySettingsClearCache(&context, true, &f);
  EXPECT_EQ(f.last_cached, u"Cache cleared \u2014 will refresh on next browse");
  EXPECT_TRUE(context.result.cache_reset && copy.cached_at == 0);
  EntrySettingsClearCache(&context, false, &f);
  EXPECT_EQ(f.last_cached, u"Never");
  ui_.answers = {kAnswerNo, kAnswerYes};
  EXPECT_FALSE(EntrySettingsPressRemove(&context, ui_.Bind()) || context.result.remove);
  EXPECT_TRUE(EntrySettingsPressRemove(&context, ui_.Bind()) && context.result.remove);
  EXPECT_EQ(ui_.asked.back().text, u"Remove this entry from the plugin?");
  EXPECT_EQ(ui_.Last(), "Confirm 36");
}

TEST_F(DialogLogic, PropertiesTemporaryAndNumbers) {
  const PropertiesFields p = PropertiesFieldsFromState();
  EXPECT_EQ(p.entry_count + u" " + p.config_folder, u"0 " + folder_);
  std::u16string address = u"stale";
  EXPECT_FALSE(TemporaryBrowseAddress(1, u"", &address));
  EXPECT_EQ(address, u"");
  EXPECT_FALSE(TemporaryBrowseAddress(2, u"acme", &address));
  EXPECT_TRUE(TemporaryBrowseAddress(1, u" acme ", &address));
  EXPECT_EQ(address, u" acme ");
  for (const auto& [text, n] : std::vector<std::pair<std::u16string, uint32_t>>{
           {u"  42", 42}, {u"", 0}, {u"4x", 0}, {u"-1", 0}, {u"4294967295", 4294967295u}, {u"4294967296", 0}}) {
    EXPECT_EQ(DialogNumber(text), n) << WideToUtf8(text);
  }
}

}  // namespace
