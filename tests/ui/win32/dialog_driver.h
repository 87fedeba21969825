// Drives the module's real dialogs the way a person would: a helper thread finds the window the module
// opened on the test's main thread, types into its controls, presses its buttons and answers the
// message boxes it asks, while the main thread sits inside the export that opened the dialog.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// A message box as the user sees it; `flags` is rebuilt from what is on screen (buttons, icon and the
// default button), so it compares with the MB_* flags the module passed.
struct SeenMessageBox {
  HWND window = nullptr;
  std::wstring title, text;
  UINT flags = 0;
};

// Runs `open` on this thread (it shows a modal dialog) while `script` operates it from a helper
// thread; whatever the script leaves open is then cancelled, so the test never hangs.
int64_t RunDialog(const std::function<int64_t()>& open, const std::function<void()>& script);

// The opening thread's visible dialog with this caption, or its next message box; empty on timeout.
HWND WaitForDialog(const std::wstring& caption, int timeout_ms = 10000);
SeenMessageBox WaitForMessageBox(int timeout_ms = 10000);
bool WaitClosed(HWND window, int timeout_ms = 10000);

std::wstring ControlText(HWND dialog, int id);
// The control's text once it equals `expected`, or its last text after `timeout_ms`.
std::wstring WaitForText(HWND dialog, int id, const std::wstring& expected, int timeout_ms = 10000);
HWND FocusedControl();  // in the opening thread
// Replaces the text as typing would, so the edit's change notification reaches the dialog.
void TypeText(HWND dialog, int id, const std::wstring& text);
void SetChecked(HWND dialog, int id, bool checked);
bool IsChecked(HWND dialog, int id);
bool IsEnabled(HWND dialog, int id);
// Clicks a button without waiting for what the click starts (it may open a message box).
void Press(HWND dialog, int id);
void Answer(const SeenMessageBox& box, int button);  // IDOK, IDYES, IDNO, IDCANCEL

// Picks `path` in the system file dialog with this caption, or the folder picker, and confirms it.
bool ChooseFile(const std::wstring& caption, const std::wstring& path);
bool ChooseFolder(const std::wstring& path);

// Saves the window, frame included, as a 24-bit BMP (for the README's pictures).
bool CaptureWindow(HWND window, const std::wstring& bmp_path);

std::wstring Wide(const std::string& utf8);
