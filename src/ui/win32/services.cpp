// What the dialog logic asks of the system on Windows: message boxes, the open and save dialogs, the
// folder picker, the foreground window and the root items' icons.
#include <windows.h>
#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>

#include "core/state.h"
#include "ui/dialogs.h"
#include "ui/resource.h"
#include "ui/win32/controls.h"

namespace {

// Both file dialogs offer the same pair of filters.
constexpr wchar_t kSettingsFilter[] = L"Tarnfs settings (*.json)\0*.json\0All files (*.*)\0*.*\0";

int32_t ShowMessageBox(HWND owner, const MessageBoxRequest& ask) {
  const int answer = MessageBoxW(owner, WideText(ask.text).c_str(), WideText(ask.title).c_str(), ask.flags);
  return answer == 0 ? kAnswerCancel : answer;  // no box could be shown: as if cancelled
}

bool PickFile(HWND owner, const FileDialogRequest& ask, std::u16string* path) {
  wchar_t file[260] = {0};
  const std::wstring initial = WideText(ask.initial_name).substr(0, 259);
  initial.copy(file, initial.size());
  const std::wstring title = WideText(ask.title), folder = WideText(ask.initial_folder),
                     extension = WideText(ask.default_ext);
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = kSettingsFilter;
  dialog.lpstrFile = file;
  dialog.nMaxFile = 260;
  dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  dialog.lpstrTitle = title.c_str();
  dialog.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
  dialog.Flags = ask.flags;
  const BOOL chosen = ask.save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog);
  if (!chosen) return false;
  const std::wstring chosen_path(file);
  path->assign(chosen_path.begin(), chosen_path.end());
  return true;
}

bool PickFolder(HWND owner, const FolderDialogRequest& ask, std::u16string* path) {
  // The new-style picker needs COM on this thread; the host may already have it, in any model.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const std::wstring title = WideText(ask.title);
  BROWSEINFOW browse{};
  browse.hwndOwner = owner;
  browse.lpszTitle = title.c_str();
  browse.ulFlags = ask.flags;
  bool chosen = false;
  if (PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&browse)) {
    wchar_t folder[MAX_PATH] = {0};
    if (SHGetPathFromIDListW(item, folder)) {
      const std::wstring text(folder);
      path->assign(text.begin(), text.end());
      chosen = true;
    }
    CoTaskMemFree(item);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return chosen;
}

}  // namespace

DialogServices ServicesFor(HostWindow owner) {
  HWND window = static_cast<HWND>(owner);
  DialogServices services;
  services.message_box = [window](const MessageBoxRequest& ask) { return ShowMessageBox(window, ask); };
  services.pick_file = [window](const FileDialogRequest& ask, std::u16string* path) {
    return PickFile(window, ask, path);
  };
  services.pick_folder = [window](const FolderDialogRequest& ask, std::u16string* path) {
    return PickFolder(window, ask, path);
  };
  return services;
}

HostWindow CurrentForegroundWindow() { return GetForegroundWindow(); }

HostIcon LoadItemIcon(int resource_id, bool small_icon) {
  const int cx = GetSystemMetrics(small_icon ? SM_CXSMICON : SM_CXICON);
  const int cy = GetSystemMetrics(small_icon ? SM_CYSMICON : SM_CYICON);
  return LoadImageW(static_cast<HINSTANCE>(g_state.module_handle), MAKEINTRESOURCEW(resource_id), IMAGE_ICON,
                    cx, cy, LR_SHARED);
}
