// The dialog openers the commands call. Each binding defines all of them: ui/win32/ with the module's
// dialog resources (Windows module), ui/posix/ with the host's request callback (Linux module).
// All run on the host's main thread, without the plugin-wide lock.
#pragma once

#include <string>

#include "core/host_callbacks.h"
#include "ui/dialog_logic.h"

// Settings (101): true when OK applied the fields, and the caller saves; Cancel changes nothing (an
// import done meanwhile was saved when it was done).
bool ShowSettingsDialog(HostWindow owner);
// Add entry (102); the caller saves afterwards.
void ShowAddEntryDialog(HostWindow owner);
// Entry settings (103) on the copy `entry`, which it edits in place; returns the three flags. A single
// Space's SDK, when known, shows in its kind ("Space (gradio)").
EntrySettingsResult ShowEntrySettingsDialog(HostWindow owner, Entry* entry, const std::string& space_sdk);
// Plugin properties (104).
void ShowPropertiesDialog(HostWindow owner);
// Temporary browse (105): true with the address as typed when the user chose "Open" with some text.
bool ShowTemporaryDialog(HostWindow owner, std::u16string* address);

// Message boxes and pickers owned by `owner`, for commands that answer without a dialog.
DialogServices ServicesFor(HostWindow owner);
// The window that owns dialogs opened without one from the host (make folder, temporary folder).
HostWindow CurrentForegroundWindow();

// Icon IDI_ADD_ENTRY or IDI_SETTINGS (ui/resource.h) at the system's small or large icon size, shared
// (the caller never destroys it); null where the module has no icon resources.
HostIcon LoadItemIcon(int resource_id, bool small_icon);
