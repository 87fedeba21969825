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

// How long a wait for a state goes on before it gives up. Only a broken test ever waits this long: a
// machine whose cores are busy with a build can keep Wine from showing a window for seconds.
constexpr int kWaitMs = 60000;

// Runs `open` on this thread (it shows a modal dialog) while `script` operates it from a helper
// thread; whatever the script leaves open is then cancelled, so the test never hangs.
int64_t RunDialog(const std::function<int64_t()>& open, const std::function<void()>& script);

// True once `done` holds, polled; false if it still does not after `timeout_ms`.
bool WaitUntil(const std::function<bool()>& done, int timeout_ms = kWaitMs);

// The opening thread's visible dialog with this caption; empty on timeout.
HWND WaitForDialog(const std::wstring& caption, int timeout_ms = kWaitMs);
// The opening thread's next message box, read again until `shown` holds of it (a box may draw its
// default button a moment after it appears) or the time is up; empty window on timeout.
SeenMessageBox WaitForMessageBox(const std::function<bool(const SeenMessageBox&)>& shown = nullptr,
                                 int timeout_ms = kWaitMs);
bool WaitClosed(HWND window, int timeout_ms = kWaitMs);

std::wstring ControlText(HWND dialog, int id);
// The control's text once it equals `expected`, or its last text after `timeout_ms`: what a button's
// handler writes arrives after the click was posted, and after the picker it opened has closed.
std::wstring WaitForText(HWND dialog, int id, const std::wstring& expected, int timeout_ms = kWaitMs);
HWND FocusedControl();  // in the opening thread
// Replaces the text as typing would, so the edit's change notification reaches the dialog.
void TypeText(HWND dialog, int id, const std::wstring& text);
void SetChecked(HWND dialog, int id, bool checked);
bool IsChecked(HWND dialog, int id);
bool IsEnabled(HWND dialog, int id);
// Clicks a button without waiting for what the click starts (it may open a message box).
void Press(HWND dialog, int id);
void Answer(const SeenMessageBox& box, int button);  // IDOK, IDYES, IDNO, IDCANCEL

// Picks `path` in the system file dialog with this caption, or the folder picker, and confirms it once
// the picker shows it; true when the picker then closed. What the module does with the path follows
// after that: wait for its effect.
bool ChooseFile(const std::wstring& caption, const std::wstring& path);
bool ChooseFolder(const std::wstring& path);

// Saves the window, frame included, as a 24-bit BMP (for the README's pictures).
bool CaptureWindow(HWND window, const std::wstring& bmp_path);

std::wstring Wide(const std::string& utf8);
