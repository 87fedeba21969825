// The dialog driver; see dialog_driver.h.
#include "dialog_driver.h"

#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "core/text.h"

namespace {

DWORD g_opening_thread = 0;  // the thread inside the export, which owns every window the module opens
constexpr int kPollMs = 25;

// Enumeration callbacks are named functions: on x86 they must be __stdcall, which a lambda is not.
BOOL CALLBACK CollectDialog(HWND w, LPARAM found) {
  wchar_t cls[32] = {0};
  GetClassNameW(w, cls, 32);
  if (IsWindowVisible(w) && std::wstring(cls) == L"#32770") reinterpret_cast<std::vector<HWND>*>(found)->push_back(w);
  return TRUE;
}

BOOL CALLBACK FindIconStatic(HWND c, LPARAM shown) {
  wchar_t cls[16] = {0};
  GetClassNameW(c, cls, 16);
  if (std::wstring(cls) == L"Static" && (GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
    *reinterpret_cast<HICON*>(shown) = reinterpret_cast<HICON>(SendMessageW(c, STM_GETICON, 0, 0));
  }
  return TRUE;
}

std::vector<HWND> VisibleDialogs() {
  std::vector<HWND> found;
  EnumThreadWindows(g_opening_thread, CollectDialog, reinterpret_cast<LPARAM>(&found));
  return found;
}

std::wstring WindowText(HWND w) {
  wchar_t buffer[2048] = {0};
  GetWindowTextW(w, buffer, 2048);
  return buffer;
}

// A message box has the system's text static (id 0xFFFF) and only push buttons with the standard ids.
bool IsMessageBox(HWND w) { return GetDlgItem(w, 0xFFFF) != nullptr; }

// A button's click as the dialog receives it (WM_COMMAND), which needs no focus or mouse.
void Click(HWND dialog, int id) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

template <class Pred>
bool Poll(int timeout_ms, Pred done) {
  for (int waited = 0; waited <= timeout_ms; waited += kPollMs) {
    if (done()) return true;
    Sleep(kPollMs);
  }
  return false;
}

HWND FindDialog(int timeout_ms, const std::function<bool(HWND)>& wanted) {
  HWND found = nullptr;
  Poll(timeout_ms, [&] {
    for (HWND w : VisibleDialogs()) {
      if (wanted(w)) found = w;
    }
    return found != nullptr;
  });
  return found;
}

UINT IconFlag(HWND box) {
  HICON shown = nullptr;
  EnumChildWindows(box, FindIconStatic, reinterpret_cast<LPARAM>(&shown));
  if (!shown) return 0;
  const struct {
    LPCWSTR id;
    UINT flag;
  } icons[] = {{IDI_HAND, MB_ICONERROR}, {IDI_QUESTION, MB_ICONQUESTION}, {IDI_EXCLAMATION, MB_ICONWARNING},
               {IDI_ASTERISK, MB_ICONINFORMATION}};
  for (const auto& icon : icons) {
    if (LoadIconW(nullptr, icon.id) == shown) return icon.flag;
  }
  return 0xF0;  // an icon, but none of the system's four
}

UINT ButtonFlags(HWND box) {
  const bool ok = GetDlgItem(box, IDOK), cancel = GetDlgItem(box, IDCANCEL), yes = GetDlgItem(box, IDYES),
             no = GetDlgItem(box, IDNO);
  std::vector<int> order;
  UINT flags = 0xF;
  if (yes && no && cancel) flags = MB_YESNOCANCEL, order = {IDYES, IDNO, IDCANCEL};
  else if (yes && no) flags = MB_YESNO, order = {IDYES, IDNO};
  else if (ok && cancel) flags = MB_OKCANCEL, order = {IDOK, IDCANCEL};
  else if (ok) flags = MB_OK, order = {IDOK};
  // The default button is the one drawn as default (Wine does not answer DM_GETDEFID for message boxes).
  for (size_t i = 0; i < order.size(); ++i) {
    const LONG style = GetWindowLongW(GetDlgItem(box, order[i]), GWL_STYLE);
    if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) flags |= static_cast<UINT>(i) * MB_DEFBUTTON2;
  }
  return flags;
}

}  // namespace

std::wstring Wide(const std::string& utf8) {
  const std::u16string wide = Utf8ToWide(utf8);
  return std::wstring(wide.begin(), wide.end());
}

int64_t RunDialog(const std::function<int64_t()>& open, const std::function<void()>& script) {
  g_opening_thread = GetCurrentThreadId();
  std::atomic<bool> returned{false};
  std::thread helper([&] {
    script();
    // Whatever the script left open is cancelled, message boxes first, until the export returns.
    while (!returned) {
      for (HWND w : VisibleDialogs()) {
        Click(w, GetDlgItem(w, IDCANCEL) ? IDCANCEL : GetDlgItem(w, IDNO) ? IDNO : IDOK);
      }
      Sleep(200);
    }
  });
  const int64_t result = open();
  returned = true;
  helper.join();
  return result;
}

HWND WaitForDialog(const std::wstring& caption, int timeout_ms) {
  return FindDialog(timeout_ms, [&](HWND w) { return !IsMessageBox(w) && WindowText(w) == caption; });
}

SeenMessageBox WaitForMessageBox(int timeout_ms) {
  SeenMessageBox seen;
  seen.window = FindDialog(timeout_ms, IsMessageBox);
  if (!seen.window) return seen;
  seen.title = WindowText(seen.window);
  seen.text = WindowText(GetDlgItem(seen.window, 0xFFFF));
  seen.flags = ButtonFlags(seen.window) | IconFlag(seen.window);
  return seen;
}

bool WaitClosed(HWND window, int timeout_ms) {
  return Poll(timeout_ms, [&] { return !IsWindow(window) || !IsWindowVisible(window); });
}

std::wstring ControlText(HWND dialog, int id) { return WindowText(GetDlgItem(dialog, id)); }

std::wstring WaitForText(HWND dialog, int id, const std::wstring& expected, int timeout_ms) {
  std::wstring text;
  Poll(timeout_ms, [&] { return (text = ControlText(dialog, id)) == expected; });
  return text;
}

HWND FocusedControl() {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  return GetGUIThreadInfo(g_opening_thread, &info) ? info.hwndFocus : nullptr;
}

void TypeText(HWND dialog, int id, const std::wstring& text) {
  SendMessageW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void SetChecked(HWND dialog, int id, bool checked) {
  SendMessageW(GetDlgItem(dialog, id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool IsChecked(HWND dialog, int id) {
  return SendMessageW(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool IsEnabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

void Press(HWND dialog, int id) { PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

void Answer(const SeenMessageBox& box, int button) { Click(box.window, button); }

bool ChooseFile(const std::wstring& caption, const std::wstring& path) {
  const HWND picker = WaitForDialog(caption);
  if (!picker) return false;
  // The file name box of the system dialog (cmb13, an editable combo box, or edt1 in older layouts).
  HWND name = GetDlgItem(picker, 0x47C);
  if (!name) name = GetDlgItem(picker, 0x480);
  if (!name) return false;
  SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
  Click(picker, IDOK);
  return WaitClosed(picker);
}

bool ChooseFolder(const std::wstring& path) {
  const HWND picker = WaitForDialog(L"Browse for Folder");
  if (!picker) return false;
  SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(path.c_str()));
  Click(picker, IDOK);
  return WaitClosed(picker);
}

bool CaptureWindow(HWND window, const std::wstring& bmp_path) {
  RECT r;
  if (!GetWindowRect(window, &r)) return false;
  const int w = r.right - r.left, h = r.bottom - r.top;
  const DWORD stride = ((w * 3 + 3) / 4) * 4;
  BITMAPINFOHEADER info{sizeof(info), w, h, 1, 24};
  BITMAPFILEHEADER file{0x4D42, 0, 0, 0, sizeof(file) + sizeof(info)};
  file.bfSize = file.bfOffBits + stride * h;
  HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  bool written = BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY) && GdiFlush() && bits;
  FILE* out = written ? _wfopen(bmp_path.c_str(), L"wb") : nullptr;
  written = out && fwrite(&file, sizeof(file), 1, out) && fwrite(&info, sizeof(info), 1, out) &&
            fwrite(bits, stride * h, 1, out);
  if (out) written = (fclose(out) == 0) && written;
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return written;
}
