// The five dialogs' decisions on plain records; the bindings move values between controls and these.
#include "ui/dialog_logic.h"

#include <cstdio>
#include <limits>

#include "cache/listing_cache.h"
#include "cache/tree_folders.h"
#include "config/entries_from_url.h"
#include "config/favorites.h"
#include "config/settings_file.h"
#include "hub/api.h"
#include "hub/http.h"
#include "core/state.h"
#include "core/text.h"
#include "platform/platform.h"
#include "ui/resource.h"

namespace {

constexpr size_t kAddressMax = 511;
constexpr size_t kApiKeyMax = 1023;
constexpr size_t kTestKeyMax = 255;
constexpr size_t kCacheFolderMax = 259;
constexpr size_t kDisplayNameMax = 255;

std::u16string Head(const std::u16string& text, size_t max) { return text.substr(0, max); }

std::u16string Ascii(const char* text) {
  std::u16string out;
  for (; *text; ++text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
  return out;
}

// A limit field: at least 10, and no wrap-around into a negative count.
int32_t LimitFromField(const std::u16string& text) {
  const uint32_t n = DialogNumber(text);
  if (n < 10) return 10;
  return n > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) ? std::numeric_limits<int32_t>::max()
                                                                        : static_cast<int32_t>(n);
}

// The time-to-live field: at least one hour.
int32_t TtlFromField(const std::u16string& text) {
  const int32_t ttl = static_cast<int32_t>(DialogNumber(text));
  return ttl < 1 ? 1 : ttl;
}

// "Single model", "Single dataset", "Space": one repository of the kind.
std::u16string SingleRepoLabel(RepoType repo_type) {
  switch (repo_type) {
    case DatasetRepo: return u"Single dataset";
    case SpaceRepo: return u"Space";
    default: return u"Single model";
  }
}

size_t EntryCount() {
  StateLock guard(g_state.lock);
  return g_state.entries.size();
}

std::u16string ExportStatus(bool written) {
  if (!written) return u"Export failed \u2014 could not write the file.";
  return u"Exported " + WideDecimal(static_cast<int64_t>(EntryCount())) + u" entries.";
}

std::u16string ImportStatus(const ImportResult& r) {
  std::u16string text = u"Imported " + WideDecimal(r.imported) + u" entries";
  if (r.already_present != 0) text += u", " + WideDecimal(r.already_present) + u" already present";
  if (r.renamed != 0) text += u", " + WideDecimal(r.renamed) + u" renamed";
  if (r.api_key_set) text += u", API key set";
  return text + u".";
}

std::u16string ConfigFolder() {
  StateLock guard(g_state.lock);
  return g_state.config_folder;
}

void DeleteEntryCaches(const Entry& entry) {
  switch (entry.type) {
    case OrgModels:
      // The organisation's listing and the folders listed in its repositories of that kind.
      DeleteOrgReposCache(entry.org, entry.repo_type);
      DeleteOwnerTreeFolders(entry.org, entry.repo_type);
      break;
    case OrgCollections:
      DeleteOrgCollectionsCache(entry.org);
      DeleteOwnerCollectionItems(entry.org);
      break;
    case SingleModel:
      DeleteRepositoryTreeFolders(entry.repo_id, entry.repo_type, entry.revision);
      break;
    default:
      break;
  }
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool IsCommitId(const std::string& revision) {
  return revision.size() == 40 && revision.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

struct Destination {
  std::u16string text;
  bool refused = false;  // the revision takes no changes of this kind
};

Destination ChangesDestination(const Entry& entry, bool as_pull_request) {
  // Organisations and collections list every repository on main.
  if (entry.type != SingleModel) {
    return {as_pull_request ? u"Each change opens a pull request against main of its repository."
                            : u"Changes go to the branch main of each repository."};
  }
  const std::string& revision = entry.revision;
  const std::u16string rev = Utf8ToWide(revision);
  if (IsCommitId(revision)) return {u"Refused here: the entry is at a commit, and changes go to a branch only.", true};
  if (StartsWith(revision, "refs/pr/")) {
    if (as_pull_request) return {u"Refused here: a pull request is opened against a branch only, not " + rev + u".", true};
    return {u"Changes go to the pull request " + rev + u"."};
  }
  const bool full = StartsWith(revision, "refs/heads/");
  if (!full && StartsWith(revision, "refs/")) {
    return {u"Refused here: " + rev + u" takes no changes; they go to a branch only.", true};
  }
  const std::u16string branch = full ? rev.substr(11) : rev;
  // Only the hub knows whether a plain name is a branch or a tag; a write asks it first.
  const std::u16string tag = full || revision == "main" ? u"." : u" (refused if it is a tag).";
  return {as_pull_request ? u"Each change opens a pull request against " + branch + tag
                          : u"Changes go to the branch " + branch + tag};
}

// Days since 1970-01-01 to a proleptic Gregorian date.
void CivilFromDays(int64_t z, int64_t* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2 ? 1 : 0);
}

}  // namespace

uint32_t DialogNumber(const std::u16string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == u' ') ++i;
  if (i == text.size()) return 0;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') return 0;
    value = value * 10 + static_cast<uint64_t>(text[i] - u'0');
    if (value > std::numeric_limits<uint32_t>::max()) return 0;
  }
  return static_cast<uint32_t>(value);
}

// ---- Add entry ---------------------------------------------------------------------------------

AddEntryFields AddEntryInitialFields() {
  AddEntryFields fields;
  fields.status = u"Enter a HuggingFace URL above";
  return fields;
}

void AddEntryClassify(AddEntryFields* fields) {
  // The same splitter as "Add", so the line never promises what Add would not make.
  HubAddress parsed;
  const std::u16string url = Head(fields->url, kAddressMax);
  bool blank = true;
  for (char16_t c : url) blank = blank && (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n');
  fields->kind_boxes_enabled = true;
  if (blank) {
    fields->status = u"Enter a HuggingFace URL above";
  } else if (!ParseHubUrl(url, &parsed)) {
    fields->status = u"Not a HuggingFace address \u2192 nothing would be added";
  } else if (!parsed.name.empty()) {
    const std::u16string at =
        parsed.revision == "main" ? std::u16string() : u" at revision " + Utf8ToWide(parsed.revision);
    fields->status = SingleRepoLabel(parsed.repo_type) + at +
                     u" \u2192 added as one root folder (ticks below ignored)";
    fields->kind_boxes_enabled = false;
  } else {
    fields->status = u"Organization \u2192 adds the entries ticked below";
  }
}

bool AddEntryPressAdd(const AddEntryFields& fields, const DialogServices& services) {
  const std::u16string url = Head(fields.url, kAddressMax);
  if (url.empty()) {
    services.message_box({u"Please enter a HuggingFace URL.", u"Error", kMbOk});
    return false;
  }
  const int32_t limit = LimitFromField(fields.limit_count);
  if (!fields.add_models && !fields.add_datasets && !fields.add_spaces && !fields.add_collections &&
      fields.kind_boxes_enabled) {
    services.message_box({u"Tick \"Add models\", \"Add datasets\", \"Add Spaces\" and/or \"Add collections\".",
                          u"Nothing to add",
                          kMbIconInformation});
    return false;
  }
  if (fields.cache_enabled) {
    const MessageBoxRequest warning{
        u"Offline caching will fetch the full file list from HuggingFace.\nThis may take a while and the UI will be "
        u"unresponsive during the process.\n\nContinue?",
        u"Offline Cache Warning", kMbYesNo | kMbIconWarning};
    if (services.message_box(warning) != kAnswerYes) return false;
  }
  if (AddEntriesFromUrl(url, fields.cache_enabled, fields.limit_enabled, limit, fields.add_models,
                        fields.add_collections, fields.add_datasets, fields.add_spaces) > 0) {
    return true;
  }
  const std::u16string site = Utf8ToWide(HubSiteUrl());
  services.message_box({u"Could not parse URL. Use format:\n  " + site + u"google\n  " + site + u"google/gemma-2b",
                        u"Invalid URL", kMbIconError});
  return false;
}

// ---- Settings ----------------------------------------------------------------------------------

SettingsFields SettingsFieldsFromState() {
  StateLock guard(g_state.lock);
  SettingsFields fields;
  fields.api_key = g_state.api_key;
  fields.cache_folder = g_state.cache_folder;
  fields.ttl_hours = WideDecimal(static_cast<uint32_t>(g_state.cache_ttl_hours));
  return fields;
}

void ApplySettingsFields(const SettingsFields& fields) {
  const std::u16string folder = Head(fields.cache_folder, kCacheFolderMax);
  if (!folder.empty()) PlatformCreateFolders(folder);
  StateLock guard(g_state.lock);
  g_state.api_key = Head(fields.api_key, kApiKeyMax);
  if (!folder.empty()) g_state.cache_folder = folder;
  g_state.cache_ttl_hours = TtlFromField(fields.ttl_hours);
}

void SettingsTestKey(SettingsFields* fields) {
  const bool valid = CheckApiKey(WideToUtf8(Head(fields->api_key, kTestKeyMax)));
  fields->status = valid ? u"\u2713 API key valid" : u"\u2717 API key invalid or no connection";
}

void SettingsBrowseCacheFolder(SettingsFields* fields, const DialogServices& services) {
  std::u16string chosen;
  if (services.pick_folder({u"Select cache folder", 0x41}, &chosen)) fields->cache_folder = chosen;
}

void SettingsExport(SettingsFields* fields, const DialogServices& services) {
  // The file gets what the dialog shows; the options themselves change only with OK, so that No,
  // Cancel and the dialog's own Cancel leave them (and favorites.json) as they were.
  ExportedOptions shown;
  shown.api_key = Head(fields->api_key, kApiKeyMax);
  shown.cache_ttl_hours = TtlFromField(fields->ttl_hours);
  if (!shown.api_key.empty()) {
    const MessageBoxRequest warning{
        u"The exported file will contain your HuggingFace API key in plain text.\n\nKeep it somewhere private, and "
        u"don't share it.\n\nContinue?",
        u"Export settings", kMbYesNo | kMbIconWarning};
    if (services.message_box(warning) != kAnswerYes) return;
  }
  FileDialogRequest ask;
  ask.save = true;
  ask.title = u"Export Tarnfs settings";
  ask.initial_name = u"tarnfs-settings.json";
  ask.initial_folder = ConfigFolder();
  ask.default_ext = u"json";
  ask.flags = 0x80A;
  std::u16string path;
  if (!services.pick_file(ask, &path)) return;
  fields->status = ExportStatus(ExportSettings(path, true, shown));
}

void SettingsImport(SettingsFields* fields, const DialogServices& services) {
  FileDialogRequest ask;
  ask.title = u"Import Tarnfs settings";
  ask.initial_folder = ConfigFolder();
  ask.flags = 0x1808;
  std::u16string path;
  if (!services.pick_file(ask, &path)) return;
  const MessageBoxRequest question{
      u"Replace your current entries with the ones in this file?\n\nYes \u2014 replace everything (also restores the "
      u"cache TTL).\nNo \u2014 merge: keep what you have and add what's missing.\nCancel \u2014 do nothing.",
      u"Import settings", kMbYesNoCancel | kMbIconQuestion | kMbDefaultButton2};
  const int32_t answer = services.message_box(question);
  if (answer != kAnswerYes && answer != kAnswerNo) return;
  SettingsFile file;
  const std::u16string error = ReadSettingsFile(path, &file);
  if (!error.empty()) {
    services.message_box({error, u"Import failed", kMbIconError});
    return;
  }
  // A file that will be imported: what the user typed takes effect first (an emptied key lets a
  // merge take the file's), and both are saved together.
  ApplySettingsFields(*fields);
  const ImportResult result = ApplySettingsFile(std::move(file), answer == kAnswerYes);
  SaveFavorites();
  *fields = SettingsFieldsFromState();
  fields->status = ImportStatus(result);
}

// ---- Entry settings ----------------------------------------------------------------------------

std::u16string EntryKindLabel(const Entry& entry, const std::string& space_sdk) {
  if (entry.type == OrgCollections) return u"Organization (collections)";
  if (entry.type == OrgModels) return u"Organization (" + Ascii(RepoTypePlural(entry.repo_type)) + u")";
  if (entry.repo_type == SpaceRepo && !space_sdk.empty()) return u"Space (" + Utf8ToWide(space_sdk) + u")";
  return SingleRepoLabel(entry.repo_type);
}

std::u16string EntryHubUrl(const Entry& entry) {
  std::string url = HubSiteUrl();
  url += RepoSitePrefix(entry.repo_type);
  url += entry.repo_id.empty() ? entry.org : entry.repo_id;
  // The repository's page at its revision, in the form the hub's own links use (refs%2Fpr%2F1).
  if (entry.type == SingleModel && entry.revision != "main") url += "/tree/" + UrlEncode(entry.revision, false);
  return Utf8ToWide(url);
}

std::u16string FormatEntryTime(int64_t unix_seconds) {
  if (unix_seconds == 0) return u"Never";
  const int64_t days = unix_seconds >= 0 ? unix_seconds / 86400 : -((-unix_seconds + 86399) / 86400);
  const int64_t seconds = unix_seconds - days * 86400;
  int64_t year = 0;
  int month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  char text[48];
  std::snprintf(text, sizeof(text), "%04lld-%02d-%02d  %02d:%02d", static_cast<long long>(year), month, day,
                static_cast<int>(seconds / 3600), static_cast<int>(seconds % 3600 / 60));
  return Ascii(text);
}

EntrySettingsFields EntrySettingsInitialFields(const Entry& entry, const std::string& space_sdk) {
  EntrySettingsFields fields;
  fields.display_name = entry.display_name;
  fields.kind = EntryKindLabel(entry, space_sdk);
  fields.cache_enabled = entry.cache_enabled;
  fields.limit_enabled = entry.limit_enabled;
  fields.limit_count = WideDecimal(static_cast<uint32_t>(entry.limit_count));
  fields.limit_controls_enabled = entry.type == OrgModels;
  fields.last_cached = FormatEntryTime(entry.cached_at);
  fields.added = entry.created_at != 0 ? FormatEntryTime(entry.created_at) : u"Unknown";
  fields.url = EntryHubUrl(entry);
  fields.revision = Utf8ToWide(entry.type == SingleModel ? entry.revision : std::string("main"));
  fields.allow_changes = entry.allow_changes;
  fields.changes_as_pull_request = entry.changes_as_pull_request;
  EntrySettingsChangesClicked(entry, &fields);
  return fields;
}

void EntrySettingsPressOk(EntrySettingsContext* context, const EntrySettingsFields& fields) {
  Entry& entry = *context->entry;
  entry.display_name = Head(fields.display_name, kDisplayNameMax);
  entry.cache_enabled = fields.cache_enabled;
  entry.limit_enabled = fields.limit_enabled;
  const int32_t limit = LimitFromField(fields.limit_count);
  // A longer page, or no limit at all, no longer fits the cached organisation listing.
  const bool stale = entry.type == OrgModels &&
                     ((entry.limit_enabled && limit > entry.limit_count) || (!entry.limit_enabled && entry.limit_count > 0));
  if (stale) {
    DeleteOrgReposCache(entry.org, entry.repo_type);
    entry.cached_at = 0;
    context->result.cache_reset = true;
  }
  entry.limit_count = limit;
  entry.allow_changes = fields.allow_changes;
  entry.changes_as_pull_request = fields.changes_as_pull_request;
  context->result.accepted = true;
}

void EntrySettingsClearCache(EntrySettingsContext* context, bool refresh, EntrySettingsFields* fields) {
  DeleteEntryCaches(*context->entry);
  context->entry->cached_at = 0;
  context->result.cache_reset = true;
  fields->last_cached = refresh ? u"Cache cleared \u2014 will refresh on next browse" : u"Never";
}

std::u16string ChangesDestinationText(const Entry& entry, bool as_pull_request) {
  return ChangesDestination(entry, as_pull_request).text;
}

void EntrySettingsChangesClicked(const Entry& entry, EntrySettingsFields* fields) {
  fields->changes_choice_enabled = fields->allow_changes;
  fields->changes_where = ChangesDestinationText(entry, fields->changes_as_pull_request);
}

void EntrySettingsAskChanges(EntrySettingsContext* context, const DialogServices& services) {
  Entry& entry = *context->entry;
  const Destination now = ChangesDestination(entry, entry.changes_as_pull_request);
  const std::u16string meaning = u"Files copied into \"" + entry.display_name +
                                 u"\", and files deleted or renamed there, become commits on the hub, made with your API key.";
  if (!entry.allow_changes) {
    const MessageBoxRequest allow{u"Allow changes on the hub?\n\n" + meaning + u" " + now.text +
                                      u"\nNow: off, the entry is read-only.\nYes allows them; No leaves the entry as it is.",
                                  u"Changes on the hub", kMbYesNo | kMbIconQuestion};
    if (services.message_box(allow) != kAnswerYes) return;
    entry.allow_changes = true;
    context->result.accepted = true;
  } else {
    const MessageBoxRequest stop{u"Turn changes on the hub off?\n\n" + meaning + u"\nNow: on. " + now.text +
                                     u"\nYes turns them off, the entry read-only; No leaves them on.",
                                 u"Changes on the hub", kMbYesNo | kMbIconQuestion};
    if (services.message_box(stop) == kAnswerYes) {
      entry.allow_changes = false;
      context->result.accepted = true;
      return;
    }
  }
  const Destination other = ChangesDestination(entry, !entry.changes_as_pull_request);
  if (other.refused) return;  // a switch the hub would refuse is no choice worth a question
  const MessageBoxRequest where{
      (entry.changes_as_pull_request ? u"Commit the changes to the branch instead?\n\nNow: "
                                     : u"Open a pull request for each change instead?\n\nNow: ") +
          now.text + u"\nWith Yes: " + other.text + u"\nNo leaves it as it is.",
      u"Changes on the hub", kMbYesNo | kMbIconQuestion};
  if (services.message_box(where) == kAnswerYes) {
    entry.changes_as_pull_request = !entry.changes_as_pull_request;
    context->result.accepted = true;
  }
}

void EntrySettingsOpenInBrowser(const Entry& entry) { PlatformOpenUrl(EntryHubUrl(entry)); }

bool EntrySettingsPressRemove(EntrySettingsContext* context, const DialogServices& services) {
  if (services.message_box({u"Remove this entry from the plugin?", u"Confirm", kMbYesNo | kMbIconQuestion}) !=
      kAnswerYes) {
    return false;
  }
  context->result.remove = true;
  return true;
}

// ---- Properties and temporary browse -----------------------------------------------------------

PropertiesFields PropertiesFieldsFromState() {
  PropertiesFields fields;
  fields.name = u"Tarnvue VFS plugin";
  fields.version = Ascii(TARN_VERSION_TEXT);  // the same text as the module's version resource
  fields.author = u"The tarnfs developers";
  StateLock guard(g_state.lock);
  fields.entry_count = WideDecimal(static_cast<int64_t>(g_state.entries.size()));
  fields.config_folder = g_state.config_folder;
  return fields;
}

void ShowSpaceProperties(const std::string& repo_id, const std::string& sdk, const DialogServices& services) {
  const std::u16string text =
      u"Space: " + Utf8ToWide(repo_id) + u"\nSDK: " + (sdk.empty() ? std::u16string(u"unknown") : Utf8ToWide(sdk));
  services.message_box({text, u"Space properties", kMbOk | kMbIconInformation});
}

bool TemporaryBrowseAddress(int32_t dialog_result, const std::u16string& text, std::u16string* address) {
  address->clear();
  if (dialog_result != 1 || text.empty()) return false;
  *address = Head(text, kAddressMax);
  return true;
}

// ---- Commands without a dialog -----------------------------------------------------------------

void ExportSettingsCommand(const std::u16string& path, bool include_key, const DialogServices& services) {
  const bool written = ExportSettings(path, include_key);
  services.message_box({ExportStatus(written), u"Export settings", written ? kMbOk : kMbIconError});
}

void ImportSettingsCommand(const std::u16string& path, bool replace, const DialogServices& services) {
  const ImportResult result = ImportSettings(path, replace);
  if (!result.error.empty()) {
    services.message_box({result.error, u"Import failed", kMbIconError});
    return;
  }
  SaveFavorites();
  services.message_box({ImportStatus(result), u"Import settings", kMbOk});
}
