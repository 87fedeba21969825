// The dialog driver; see dialog_driver.h.
#include "dialog_driver.h"

#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

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

template <class Pred>
bool Poll(int timeout_ms, Pred done) {
  for (int waited = 0; waited <= timeout_ms; waited += kPollMs) {
    if (done()) return true;
    Sleep(kPollMs);
  }
  return false;
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
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

int64_t RunDialog(const std::function<int64_t()>& open, const std::function<void()>& script) {
  g_opening_thread = GetCurrentThreadId();
  std::atomic<bool> returned{false};
  std::thread helper([&] {
    script();
    // Whatever the script left open is cancelled, message boxes first, until the export returns.
    while (!returned) {
      for (HWND w : VisibleDialogs()) {
        const int id = GetDlgItem(w, IDCANCEL) ? IDCANCEL : GetDlgItem(w, IDNO) ? IDNO : IDOK;
        PostMessageW(w, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(w, id)));
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
  HWND found = nullptr;
  Poll(timeout_ms, [&] {
    for (HWND w : VisibleDialogs()) {
      if (!IsMessageBox(w) && WindowText(w) == caption) found = w;
    }
    return found != nullptr;
  });
  return found;
}

SeenMessageBox WaitForMessageBox(int timeout_ms) {
  SeenMessageBox seen;
  Poll(timeout_ms, [&] {
    for (HWND w : VisibleDialogs()) {
      if (IsMessageBox(w)) seen.window = w;
    }
    return seen.window != nullptr;
  });
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

void Answer(const SeenMessageBox& box, int button) {
  PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box.window, button)));
}

bool ChooseFile(const std::wstring& caption, const std::wstring& path) {
  const HWND picker = WaitForDialog(caption);
  if (!picker) return false;
  // The file name box of the system dialog (cmb13, an editable combo box, or edt1 in older layouts).
  HWND name = GetDlgItem(picker, 0x47C);
  if (!name) name = GetDlgItem(picker, 0x480);
  if (!name) return false;
  SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
  PostMessageW(picker, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  return WaitClosed(picker);
}

bool ChooseFolder(const std::wstring& path) {
  const HWND picker = WaitForDialog(L"Browse for Folder");
  if (!picker) return false;
  SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(path.c_str()));
  PostMessageW(picker, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  return WaitClosed(picker);
}

bool CaptureWindow(HWND window, const std::wstring& bmp_path) {
  RECT r;
  if (!GetWindowRect(window, &r)) return false;
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  const bool copied = BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY) != FALSE;
  GdiFlush();
  bool written = false;
  if (copied && bits) {
    const DWORD stride = ((w * 3 + 3) / 4) * 4;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
    file.bfSize = file.bfOffBits + stride * h;
    if (FILE* out = _wfopen(bmp_path.c_str(), L"wb")) {
      written = fwrite(&file, sizeof(file), 1, out) == 1 && fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, out) == 1 &&
                fwrite(bits, stride * h, 1, out) == 1;
      written = (fclose(out) == 0) && written;
    }
  }
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return written;
}
