// The dialogs for hosts without Win32 dialogs: the same decisions, asked through the host's request
// callback (text, password and URL boxes, OK messages, yes/no questions).
#include "config/entries_from_url.h"
#include "core/files.h"
#include "core/state.h"
#include "core/text.h"
#include "ui/dialogs.h"

namespace {

void Tell(const std::u16string& title, const std::u16string& text) { AskHost(kRequestMessageOk, title, text, nullptr); }

int32_t AskMessage(const MessageBoxRequest& ask) {
  switch (ask.flags & 0xF) {
    case kMbYesNo:
    case kMbYesNoCancel:  // no three-button box: No is the cautious answer
      return AskHost(kRequestYesNo, ask.title, ask.text, nullptr) ? kAnswerYes : kAnswerNo;
    case 0x1:  // OK and Cancel
      return AskHost(kRequestOkCancel, ask.title, ask.text, nullptr) ? kAnswerOk : kAnswerCancel;
    default:
      AskHost(kRequestMessageOk, ask.title, ask.text, nullptr);
      return kAnswerOk;
  }
}

bool AskPath(const std::u16string& title, const std::u16string& label, std::u16string start, std::u16string* path) {
  if (!AskHost(kRequestOther, title, label, &start) || start.empty()) return false;
  *path = start;
  return true;
}

std::u16string OnOff(bool on) { return on ? u"on" : u"off"; }

}  // namespace

DialogServices ServicesFor(HostWindow) {
  DialogServices services;
  services.message_box = AskMessage;
  services.pick_file = [](const FileDialogRequest& ask, std::u16string* path) {
    const std::u16string start = ask.initial_name.empty() ? u"" : JoinFsPath(ask.initial_folder, ask.initial_name);
    return AskPath(ask.title, u"File:", start, path);
  };
  services.pick_folder = [](const FolderDialogRequest& ask, std::u16string* path) {
    return AskPath(ask.title, u"Folder:", u"", path);
  };
  return services;
}

HostWindow CurrentForegroundWindow() { return nullptr; }

void ShowAddEntryDialog(HostWindow owner) {
  std::u16string url;
  if (!AskHost(kRequestUrl, u"Add HuggingFace Entry", u"HuggingFace URL:", &url)) return;
  // The add dialog's defaults: models, datasets and collections ticked, limit 300, cache off. There is
  // no box to tick here, so an owner's Spaces page ("spaces/owner") ticks Spaces too.
  AddEntryFields fields = AddEntryInitialFields();
  fields.url = url;
  HubAddress parsed;
  fields.add_spaces = ParseHubUrl(url, &parsed) && parsed.name.empty() && parsed.repo_type == SpaceRepo;
  AddEntryClassify(&fields);
  size_t before = 0;
  {
    StateLock guard(g_state.lock);
    before = g_state.entries.size();
  }
  if (!AddEntryPressAdd(fields, ServicesFor(owner))) return;
  std::u16string added;
  {
    StateLock guard(g_state.lock);
    for (size_t i = before; i < g_state.entries.size(); ++i) added += u"\n  " + g_state.entries[i].display_name;
  }
  Tell(u"Add HuggingFace Entry", u"Added:" + added);
}

bool ShowSettingsDialog(HostWindow) {
  SettingsFields fields = SettingsFieldsFromState();
  if (!AskHost(kRequestPassword, u"Tarnfs - Settings", u"HuggingFace API key:", &fields.api_key)) return false;
  ApplySettingsFields(fields);
  if (fields.api_key.empty()) {
    Tell(u"Tarnfs - Settings", u"API key removed.");
    return true;
  }
  SettingsTestKey(&fields);
  Tell(u"Tarnfs - Settings", fields.status);
  return true;
}

bool ShowTemporaryDialog(HostWindow, std::u16string* address) {
  std::u16string text;
  const bool open = AskHost(kRequestUrl, u"Browse temporary repository",
                            u"Enter a HuggingFace org or model URL to browse without saving it.\nThe contents reset "
                            u"when you return to the root folder.",
                            &text);
  return TemporaryBrowseAddress(open ? 1 : 2, text, address);
}

void ShowPropertiesDialog(HostWindow) {
  const PropertiesFields f = PropertiesFieldsFromState();
  Tell(u"Tarnvue VFS Plugin Properties", u"Name: " + f.name + u"\nVersion: " + f.version + u"\nAuthor: " + f.author +
                                             u"\nRepositories: " + f.entry_count + u"\nConfig folder: " + f.config_folder);
}

EntrySettingsResult ShowEntrySettingsDialog(HostWindow, Entry* entry, const std::string& space_sdk) {
  EntrySettingsContext context;
  context.entry = entry;
  EntrySettingsFields f = EntrySettingsInitialFields(*entry, space_sdk);
  std::u16string text = u"Display name: " + f.display_name + u"\nType: " + f.kind + u"\nAdded: " + f.added +
                        u"\nURL: " + f.url + u"\nRevision: " + f.revision + u"\nOffline cache: " +
                        OnOff(f.cache_enabled);
  if (f.limit_controls_enabled) {
    const std::u16string kind = Utf8ToWide(RepoTypePlural(entry->repo_type));
    text += u"\nLimit: " + (f.limit_enabled ? u"first " + f.limit_count + u" " + kind : std::u16string(u"off"));
  }
  text += u"\nLast cached: " + f.last_cached;
  text += u"\nChanges on the hub: " + (f.allow_changes ? u"on. " + f.changes_where : std::u16string(u"off"));
  Tell(u"Entry Settings", text);
  EntrySettingsAskChanges(&context, ServicesFor(nullptr));
  if (AskHost(kRequestYesNo, u"Entry Settings", u"Clear the cached listings of this entry?", nullptr)) {
    EntrySettingsClearCache(&context, false, &f);
  }
  return context.result;
}
