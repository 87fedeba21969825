// The five dialogs of the Windows module: each procedure only moves values between its controls and
// the portable dialog logic (ui/dialog_logic.h); each opener is one DialogBoxParamW on the module's
// resource. Without a display DialogBoxParamW fails at once and the opener reports "nothing chosen".
#include <windows.h>

#include "core/state.h"
#include "ui/dialogs.h"
#include "ui/resource.h"
#include "ui/win32/controls.h"

namespace {

INT_PTR OpenDialog(int resource, HostWindow owner, DLGPROC procedure, void* record) {
  return DialogBoxParamW(static_cast<HINSTANCE>(g_state.module_handle), MAKEINTRESOURCEW(resource),
                         static_cast<HWND>(owner), procedure, reinterpret_cast<LPARAM>(record));
}

template <class Record>
Record* RecordOf(HWND dialog) {
  return reinterpret_cast<Record*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
}

// ---- Add entry (102): no record; the controls are its whole state ------------------------------------

AddEntryFields ReadAddEntry(HWND dialog) {
  AddEntryFields fields;
  fields.url = ReadControl(dialog, IDC_ADD_URL);
  fields.add_models = ReadCheck(dialog, IDC_ADD_MODELS);
  fields.add_datasets = ReadCheck(dialog, IDC_ADD_DATASETS);
  fields.add_spaces = ReadCheck(dialog, IDC_ADD_SPACES);
  fields.add_collections = ReadCheck(dialog, IDC_ADD_COLLECTIONS);
  fields.kind_boxes_enabled = IsWindowEnabled(GetDlgItem(dialog, IDC_ADD_MODELS)) != FALSE;
  fields.cache_enabled = ReadCheck(dialog, IDC_ADD_CACHE);
  fields.limit_enabled = ReadCheck(dialog, IDC_ADD_LIMIT);
  fields.limit_count = ReadControl(dialog, IDC_ADD_LIMIT_COUNT);
  fields.status = ReadControl(dialog, IDC_ADD_STATUS);
  return fields;
}

void ShowClassification(HWND dialog, const AddEntryFields& fields) {
  WriteControl(dialog, IDC_ADD_STATUS, fields.status);
  for (int id : {IDC_ADD_MODELS, IDC_ADD_DATASETS, IDC_ADD_SPACES, IDC_ADD_COLLECTIONS}) {
    EnableControl(dialog, id, fields.kind_boxes_enabled);
  }
}

INT_PTR CALLBACK AddEntryProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) {
    const AddEntryFields fields = AddEntryInitialFields();
    WriteCheck(dialog, IDC_ADD_MODELS, fields.add_models);
    WriteCheck(dialog, IDC_ADD_DATASETS, fields.add_datasets);
    WriteCheck(dialog, IDC_ADD_SPACES, fields.add_spaces);
    WriteCheck(dialog, IDC_ADD_COLLECTIONS, fields.add_collections);
    WriteCheck(dialog, IDC_ADD_CACHE, fields.cache_enabled);
    WriteCheck(dialog, IDC_ADD_LIMIT, fields.limit_enabled);
    WriteControl(dialog, IDC_ADD_LIMIT_COUNT, fields.limit_count);
    ShowClassification(dialog, fields);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  const int id = LOWORD(wparam), code = HIWORD(wparam);
  if ((id == IDC_ADD_DETECT && code == BN_CLICKED) ||
      (id == IDC_ADD_URL && (code == EN_CHANGE || code == EN_KILLFOCUS))) {
    AddEntryFields fields = ReadAddEntry(dialog);
    AddEntryClassify(&fields);
    ShowClassification(dialog, fields);
    return TRUE;
  }
  if (id == IDOK) {
    if (AddEntryPressAdd(ReadAddEntry(dialog), ServicesFor(dialog))) EndDialog(dialog, IDOK);
    return TRUE;
  }
  if (id == IDCANCEL) {
    EndDialog(dialog, IDCANCEL);
    return TRUE;
  }
  return FALSE;
}

// ---- Settings (101): no record; only OK (and an import) puts the fields into the plugin's options ----

SettingsFields ReadSettings(HWND dialog) {
  SettingsFields fields;
  fields.api_key = ReadControl(dialog, IDC_SET_API_KEY);
  fields.cache_folder = ReadControl(dialog, IDC_SET_CACHE_FOLDER);
  fields.ttl_hours = ReadControl(dialog, IDC_SET_TTL);
  fields.status = ReadControl(dialog, IDC_SET_STATUS);
  return fields;
}

void WriteSettings(HWND dialog, const SettingsFields& fields) {
  WriteControl(dialog, IDC_SET_API_KEY, fields.api_key);
  WriteControl(dialog, IDC_SET_CACHE_FOLDER, fields.cache_folder);
  WriteControl(dialog, IDC_SET_TTL, fields.ttl_hours);
  WriteControl(dialog, IDC_SET_STATUS, fields.status);
}

INT_PTR CALLBACK SettingsProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) {
    WriteSettings(dialog, SettingsFieldsFromState());
    SendDlgItemMessageW(dialog, IDC_SET_API_KEY, EM_SETPASSWORDCHAR, L'*', 0);
    return TRUE;
  }
  if (message != WM_COMMAND || HIWORD(wparam) != BN_CLICKED) return FALSE;
  SettingsFields fields = ReadSettings(dialog);
  switch (LOWORD(wparam)) {
    case IDC_SET_TEST:
      SettingsTestKey(&fields);
      WriteControl(dialog, IDC_SET_STATUS, fields.status);
      return TRUE;
    case IDC_SET_BROWSE:
      SettingsBrowseCacheFolder(&fields, ServicesFor(dialog));
      WriteControl(dialog, IDC_SET_CACHE_FOLDER, fields.cache_folder);
      return TRUE;
    case IDC_SET_EXPORT:
      SettingsExport(&fields, ServicesFor(dialog));
      WriteControl(dialog, IDC_SET_STATUS, fields.status);
      return TRUE;
    case IDC_SET_IMPORT:
      SettingsImport(&fields, ServicesFor(dialog));
      WriteSettings(dialog, fields);
      return TRUE;
    case IDOK:
      ApplySettingsFields(fields);
      EndDialog(dialog, IDOK);
      return TRUE;
    case IDCANCEL:
      EndDialog(dialog, IDCANCEL);
      return TRUE;
  }
  return FALSE;
}

// ---- Entry settings (103): the record is the caller's entry copy and its three flags -------------

EntrySettingsFields ReadEntrySettings(HWND dialog) {
  EntrySettingsFields fields;
  fields.display_name = ReadControl(dialog, IDC_ENT_NAME);
  fields.cache_enabled = ReadCheck(dialog, IDC_ENT_CACHE);
  fields.limit_enabled = ReadCheck(dialog, IDC_ENT_LIMIT);
  fields.limit_count = ReadControl(dialog, IDC_ENT_LIMIT_COUNT);
  fields.limit_controls_enabled = IsWindowEnabled(GetDlgItem(dialog, IDC_ENT_LIMIT)) != FALSE;
  fields.last_cached = ReadControl(dialog, IDC_ENT_LAST_CACHED);
  fields.allow_changes = ReadCheck(dialog, IDC_ENT_ALLOW_CHANGES);
  fields.changes_as_pull_request = ReadCheck(dialog, IDC_ENT_TO_PULL_REQUEST);
  return fields;
}

void ShowChangesChoice(HWND dialog, const EntrySettingsFields& fields) {
  for (int id : {IDC_ENT_CHANGES_LABEL, IDC_ENT_TO_BRANCH, IDC_ENT_TO_PULL_REQUEST}) {
    EnableControl(dialog, id, fields.changes_choice_enabled);
  }
  WriteControl(dialog, IDC_ENT_CHANGES_WHERE, fields.changes_where);
}

INT_PTR CALLBACK EntrySettingsProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(dialog, GWLP_USERDATA, lparam);
    const EntrySettingsContext& context = *reinterpret_cast<EntrySettingsContext*>(lparam);
    const EntrySettingsFields fields = EntrySettingsInitialFields(*context.entry, context.space_sdk);
    WriteControl(dialog, IDC_ENT_NAME, fields.display_name);
    WriteControl(dialog, IDC_ENT_TYPE, fields.kind);
    WriteControl(dialog, IDC_ENT_ADDED, fields.added);
    WriteControl(dialog, IDC_ENT_URL, fields.url);
    WriteControl(dialog, IDC_ENT_REVISION, fields.revision);
    WriteCheck(dialog, IDC_ENT_CACHE, fields.cache_enabled);
    WriteCheck(dialog, IDC_ENT_LIMIT, fields.limit_enabled);
    WriteControl(dialog, IDC_ENT_LIMIT_COUNT, fields.limit_count);
    EnableControl(dialog, IDC_ENT_LIMIT, fields.limit_controls_enabled);
    EnableControl(dialog, IDC_ENT_LIMIT_COUNT, fields.limit_controls_enabled);
    WriteControl(dialog, IDC_ENT_LAST_CACHED, fields.last_cached);
    WriteCheck(dialog, IDC_ENT_ALLOW_CHANGES, fields.allow_changes);
    WriteCheck(dialog, IDC_ENT_TO_BRANCH, !fields.changes_as_pull_request);
    WriteCheck(dialog, IDC_ENT_TO_PULL_REQUEST, fields.changes_as_pull_request);
    ShowChangesChoice(dialog, fields);
    return TRUE;
  }
  if (message != WM_COMMAND || HIWORD(wparam) != BN_CLICKED) return FALSE;
  EntrySettingsContext* context = RecordOf<EntrySettingsContext>(dialog);
  if (!context) return FALSE;
  switch (LOWORD(wparam)) {
    case IDC_ENT_ALLOW_CHANGES:
    case IDC_ENT_TO_BRANCH:
    case IDC_ENT_TO_PULL_REQUEST: {
      EntrySettingsFields fields = ReadEntrySettings(dialog);
      EntrySettingsChangesClicked(*context->entry, &fields);
      ShowChangesChoice(dialog, fields);
      return TRUE;
    }
    case IDOK:
      EntrySettingsPressOk(context, ReadEntrySettings(dialog));
      EndDialog(dialog, IDOK);
      return TRUE;
    case IDCANCEL:
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    case IDC_ENT_REFRESH:
    case IDC_ENT_DELETE_CACHE: {
      EntrySettingsFields fields = ReadEntrySettings(dialog);
      EntrySettingsClearCache(context, LOWORD(wparam) == IDC_ENT_REFRESH, &fields);
      WriteControl(dialog, IDC_ENT_LAST_CACHED, fields.last_cached);
      return TRUE;
    }
    case IDC_ENT_OPEN_BROWSER:
      EntrySettingsOpenInBrowser(*context->entry);
      return TRUE;
    case IDC_ENT_REMOVE:
      if (EntrySettingsPressRemove(context, ServicesFor(dialog))) EndDialog(dialog, IDC_ENT_REMOVE);
      return TRUE;
  }
  return FALSE;
}

// ---- Properties (104): read-only facts of the plugin -----------------------------------------------

INT_PTR CALLBACK PropertiesProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) {
    const PropertiesFields fields = PropertiesFieldsFromState();
    WriteControl(dialog, IDC_PROP_NAME, fields.name);
    WriteControl(dialog, IDC_PROP_VERSION, fields.version);
    WriteControl(dialog, IDC_PROP_AUTHOR, fields.author);
    WriteControl(dialog, IDC_PROP_ENTRIES, fields.entry_count);
    WriteControl(dialog, IDC_PROP_CONFIG_FOLDER, fields.config_folder);
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
    EndDialog(dialog, LOWORD(wparam));
    return TRUE;
  }
  return FALSE;
}

// ---- Temporary browse (105): the record is the string that receives the address -----------------

INT_PTR CALLBACK TemporaryProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(dialog, GWLP_USERDATA, lparam);
    SetFocus(GetDlgItem(dialog, IDC_TEMP_URL));
    return FALSE;  // the focus is placed already
  }
  if (message != WM_COMMAND) return FALSE;
  if (LOWORD(wparam) == IDOK) {
    if (std::u16string* address = RecordOf<std::u16string>(dialog)) *address = ReadControl(dialog, IDC_TEMP_URL);
    EndDialog(dialog, IDOK);
    return TRUE;
  }
  if (LOWORD(wparam) == IDCANCEL) {
    EndDialog(dialog, IDCANCEL);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

bool ShowSettingsDialog(HostWindow owner) { return OpenDialog(IDD_SETTINGS, owner, SettingsProc, nullptr) == IDOK; }

void ShowAddEntryDialog(HostWindow owner) { OpenDialog(IDD_ADD_ENTRY, owner, AddEntryProc, nullptr); }

EntrySettingsResult ShowEntrySettingsDialog(HostWindow owner, Entry* entry, const std::string& space_sdk) {
  EntrySettingsContext context;
  context.entry = entry;
  context.space_sdk = space_sdk;
  OpenDialog(IDD_ENTRY_SETTINGS, owner, EntrySettingsProc, &context);
  return context.result;
}

void ShowPropertiesDialog(HostWindow owner) { OpenDialog(IDD_PROPERTIES, owner, PropertiesProc, nullptr); }

bool ShowTemporaryDialog(HostWindow owner, std::u16string* address) {
  address->clear();
  std::u16string typed;
  const INT_PTR result = OpenDialog(IDD_TEMP_BROWSE, owner, TemporaryProc, &typed);
  return TemporaryBrowseAddress(static_cast<int32_t>(result), typed, address);
}
