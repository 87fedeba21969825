// What the five dialogs decide, on plain records: what each field shows, what each button does, which
// message box it asks and what it applies. A binding (Win32 dialogs, or the host's request boxes) only
// moves values between its controls and these records; the tests drive them without a window.
//
// Texts in the records are the controls' full texts; the length caps of the controls (511, 1023, 259,
// 255 characters) are applied here, so a binding may read a control whole.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/entry.h"

// ---- What a binding supplies -------------------------------------------------------------------

// Message box flags and answers, with the Win32 values (MessageBoxW takes them unchanged).
constexpr uint32_t kMbOk = 0x0;
constexpr uint32_t kMbYesNoCancel = 0x3;
constexpr uint32_t kMbYesNo = 0x4;
constexpr uint32_t kMbIconError = 0x10;
constexpr uint32_t kMbIconQuestion = 0x20;
constexpr uint32_t kMbIconWarning = 0x30;
constexpr uint32_t kMbIconInformation = 0x40;
constexpr uint32_t kMbDefaultButton2 = 0x100;
constexpr int32_t kAnswerOk = 1;
constexpr int32_t kAnswerCancel = 2;
constexpr int32_t kAnswerYes = 6;
constexpr int32_t kAnswerNo = 7;

struct MessageBoxRequest {
  std::u16string text;
  std::u16string title;
  uint32_t flags = kMbOk;
};

// The system open or save dialog. The filter is always "Tarnfs settings (*.json)" / "*.json", then
// "All files (*.*)" / "*.*"; the file name buffer holds 260 characters.
struct FileDialogRequest {
  bool save = false;              // GetSaveFileNameW, else GetOpenFileNameW
  std::u16string title;
  std::u16string initial_name;    // the file name field on opening
  std::u16string initial_folder;
  std::u16string default_ext;     // empty: none
  uint32_t flags = 0;             // OPENFILENAMEW flags
};

// The system folder picker.
struct FolderDialogRequest {
  std::u16string title;
  uint32_t flags = 0;             // BROWSEINFOW flags
};

// Supplied by the binding for one owner window. Every member must be set.
struct DialogServices {
  // Returns kAnswerOk, kAnswerCancel, kAnswerYes or kAnswerNo.
  std::function<int32_t(const MessageBoxRequest&)> message_box;
  // True with the chosen path; false when the user cancelled.
  std::function<bool(const FileDialogRequest&, std::u16string* path)> pick_file;
  std::function<bool(const FolderDialogRequest&, std::u16string* path)> pick_folder;
};

// "123" -> 123 as GetDlgItemInt(unsigned) reads it: text that is not a whole number gives 0.
uint32_t DialogNumber(const std::u16string& text);

// ---- Add entry (dialog 102) --------------------------------------------------------------------

struct AddEntryFields {
  std::u16string url;                  // 2001
  bool add_models = true;              // 2008
  bool add_datasets = true;            // 2010
  bool add_spaces = false;             // 2011: off, so that an organisation adds what it always added
  bool add_collections = true;         // 2009
  bool kind_boxes_enabled = true;      // 2008 to 2011 enabled (the last classification)
  bool cache_enabled = false;          // 2005
  bool limit_enabled = true;           // 2006
  std::u16string limit_count = u"300"; // 2007
  std::u16string status;               // 2003
};

// The controls on opening.
AddEntryFields AddEntryInitialFields();
// "Detect", and every change or focus loss of 2001: sets `status` and `kind_boxes_enabled` (the ticks
// stay as they are).
void AddEntryClassify(AddEntryFields* fields);
// "Add": asks what it must through `services`, adds the entries; true when the dialog closes with 1.
// False leaves the dialog open with the fields unchanged.
bool AddEntryPressAdd(const AddEntryFields& fields, const DialogServices& services);

// ---- Settings (dialog 101) ---------------------------------------------------------------------

struct SettingsFields {
  std::u16string api_key;       // 1001, shown as "*"
  std::u16string cache_folder;  // 1003
  std::u16string ttl_hours;     // 1005
  std::u16string status;        // 1006
};

// The three option fields from the plugin state, status empty (on opening, and after an import).
SettingsFields SettingsFieldsFromState();
// OK, and an import that will take place: the key (also when empty), the cache folder (when the field
// is not empty; created) and the time-to-live (at least 1) go into the plugin state.
void ApplySettingsFields(const SettingsFields& fields);
// "Test": checks the key in the field against the hub (blocks) and sets the status; the stored key stays.
void SettingsTestKey(SettingsFields* fields);
// "Browse...": the folder picker; a chosen folder goes into the field only.
void SettingsBrowseCacheFolder(SettingsFields* fields, const DialogServices& services);
// "Export settings...": warns about the key in the field, asks for the file, exports the entries with
// the key and time-to-live of the fields (not applied), sets status.
void SettingsExport(SettingsFields* fields, const DialogServices& services);
// "Import settings...": asks for the file and replace/merge, reads it; a refused file changes nothing.
// Otherwise applies the fields, imports, saves, and refills all four fields from the plugin state
// (status with the counts).
void SettingsImport(SettingsFields* fields, const DialogServices& services);

// ---- Entry settings (dialog 103) ---------------------------------------------------------------

struct EntrySettingsResult {
  bool accepted = false;     // OK: the copy holds the edited fields
  bool remove = false;       // "Remove this entry from the plugin?" answered Yes
  bool cache_reset = false;  // the entry's cached listings were deleted; the copy's cached_at is 0
};

// The dialog's parameter: the entry copy it edits in place and its three flags.
struct EntrySettingsContext {
  Entry* entry = nullptr;
  EntrySettingsResult result;
  std::string space_sdk;  // a single Space's SDK when known, for the kind line
};

struct EntrySettingsFields {
  std::u16string display_name;         // 3001
  std::u16string kind;                 // 3002
  std::u16string added;                // 3011
  std::u16string url;                  // 3012
  std::u16string revision;             // 3013, read-only: main for organisations and collections
  bool cache_enabled = false;          // 3003
  bool limit_enabled = true;           // 3009
  std::u16string limit_count;          // 3010
  bool limit_controls_enabled = true;  // 3009 and 3010 enabled (organisation models only)
  std::u16string last_cached;          // 3004
  bool allow_changes = false;            // 3014
  bool changes_as_pull_request = false;  // 3016 chosen, else 3015
  bool changes_choice_enabled = false;   // 3015, 3016 and their label enabled: while 3014 is ticked
  std::u16string changes_where;          // 3017: where changes go with the choice shown, or why they are refused
};

// `space_sdk`: a single Space's SDK when known (shown in the kind), empty otherwise.
EntrySettingsFields EntrySettingsInitialFields(const Entry& entry, const std::string& space_sdk = std::string());
// "OK": the fields go into the copy (a raised limit or a limit off deletes the cached organisation
// listing); sets accepted. The dialog then closes with 1.
void EntrySettingsPressOk(EntrySettingsContext* context, const EntrySettingsFields& fields);
// "Refresh cache now" (refresh true) and "Delete cache": deletes the entry's cached listings, resets
// cached_at, sets cache reset, and sets the 3004 text. The dialog stays open.
void EntrySettingsClearCache(EntrySettingsContext* context, bool refresh, EntrySettingsFields* fields);
// A click on 3014, 3015 or 3016: the choice enabled with the box, the line 3017 for the choice shown.
void EntrySettingsChangesClicked(const Entry& entry, EntrySettingsFields* fields);
// The Linux module's questions after an entry's properties, through `services` (yes/no boxes): "Allow
// changes on the hub?" while they are off, "Turn changes on the hub off?" while on, then, while they
// are allowed, whether they go to the other destination (not asked when the revision would refuse it).
// Every change is a Yes, since the host's question cannot tell No from Cancel and either must keep
// what was. Sets accepted when the copy changed.
void EntrySettingsAskChanges(EntrySettingsContext* context, const DialogServices& services);
// "Open in browser": the entry's hub page in the default browser. The dialog stays open.
void EntrySettingsOpenInBrowser(const Entry& entry);
// "Remove entry": asks; true (remove set) when the dialog closes with 3008.
bool EntrySettingsPressRemove(EntrySettingsContext* context, const DialogServices& services);

// The kind label of 3002 ("Space (gradio)" with the SDK given), the hub address of 3012 and 3007, and
// the UTC time text of 3004 and 3011.
std::u16string EntryKindLabel(const Entry& entry, const std::string& space_sdk = std::string());
std::u16string EntryHubUrl(const Entry& entry);
std::u16string FormatEntryTime(int64_t unix_seconds);
// Where the entry's changes go with this choice, as one sentence: the branch, a pull request against it,
// or, at a revision that takes none (a commit, a conversion or tag ref, a pull request's ref when a
// pull request is asked for), that they are refused there. A plain name may be a tag: said, not asked.
std::u16string ChangesDestinationText(const Entry& entry, bool as_pull_request);

// ---- Properties (dialog 104) and temporary browse (dialog 105) ---------------------------------

struct PropertiesFields {
  std::u16string name;           // 4001
  std::u16string version;        // 4002
  std::u16string author;         // 4003
  std::u16string entry_count;    // 4004
  std::u16string config_folder;  // 4005
};

PropertiesFields PropertiesFieldsFromState();

// The properties of a Space's folder in an organisation's Spaces: an OK message with its id and SDK
// (empty: not known).
void ShowSpaceProperties(const std::string& repo_id, const std::string& sdk, const DialogServices& services);

// What the temporary-browse opener returns: true for "Open" (dialog result 1) with a non-empty text,
// which goes into `address` as typed (cut at 511 characters); otherwise false and `address` empty.
bool TemporaryBrowseAddress(int32_t dialog_result, const std::u16string& text, std::u16string* address);

// ---- Commands without a dialog ("quote ..." typed in the plugin's folder) -----------------------

// Export or import to/from `path` and answer with an OK message of the dialog's status text (a failed
// import: its error, titled "Import failed").
void ExportSettingsCommand(const std::u16string& path, bool include_key, const DialogServices& services);
void ImportSettingsCommand(const std::u16string& path, bool replace, const DialogServices& services);
