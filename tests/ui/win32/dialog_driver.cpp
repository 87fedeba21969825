// The dialog driver; see dialog_driver.h.
#include "dialog_driver.h"

#include <commctrl.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "core/text.h"

namespace {

DWORD g_opening_thread = 0;  // the thread inside the export, which owns every window the module opens
constexpr int kPollMs = 25;
constexpr int kReselectMs = 500;

// Settle's marker, and the serial of the last one the opening thread took from its queue.
const UINT g_settle_message = RegisterWindowMessageW(L"tarnfs dialog driver: settled");
std::atomic<WPARAM> g_settled{0};

// Sees the opening thread take a message from its queue (every modal loop there, the system's pickers'
// too, takes its messages through GetMessage or PeekMessage).
LRESULT CALLBACK SeeSettleMarker(int code, WPARAM removal, LPARAM message) {
  const MSG* taken = reinterpret_cast<const MSG*>(message);
  if (code == HC_ACTION && removal == PM_REMOVE && taken->message == g_settle_message) g_settled = taken->wParam;
  return CallNextHookEx(nullptr, code, removal, message);
}

// Enumeration callbacks are named functions: on x86 they must be __stdcall, which a lambda is not.
BOOL CALLBACK CollectDialog(HWND w, LPARAM found) {
  wchar_t cls[32] = {0};
  GetClassNameW(w, cls, 32);
  if (IsWindowVisible(w) && std::wstring(cls) == L"#32770") reinterpret_cast<std::vector<HWND>*>(found)->push_back(w);
  return TRUE;
}

BOOL CALLBACK FindTreeView(HWND c, LPARAM found) {
  wchar_t cls[32] = {0};
  GetClassNameW(c, cls, 32);
  if (std::wstring(cls) != WC_TREEVIEWW) return TRUE;
  *reinterpret_cast<HWND*>(found) = c;
  return FALSE;
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

// True once the window's thread has taken every message posted to it before this call: a window that
// has just appeared may still have its own start-up queued, which would undo what is done to it now.
bool Settle(HWND window) {
  static WPARAM serial = 0;
  const WPARAM mine = ++serial;
  return PostMessageW(window, g_settle_message, mine, 0) && Poll(kWaitMs, [&] { return g_settled == mine; });
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

// The label of the tree view's selected item, as the folder picker shows it.
std::wstring SelectedLabel(HWND tree) {
  const auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
  if (!item) return std::wstring();
  wchar_t label[MAX_PATH] = {0};
  TVITEMW request{};
  request.mask = TVIF_TEXT;
  request.hItem = item;
  request.pszText = label;
  request.cchTextMax = MAX_PATH;
  return SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&request)) ? label : std::wstring();
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
    const HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, SeeSettleMarker, nullptr, g_opening_thread);
    script();
    // Whatever the script left open is cancelled, message boxes first, until the export returns.
    while (!returned) {
      for (HWND w : VisibleDialogs()) {
        Click(w, GetDlgItem(w, IDCANCEL) ? IDCANCEL : GetDlgItem(w, IDNO) ? IDNO : IDOK);
      }
      Sleep(200);
    }
    if (hook) UnhookWindowsHookEx(hook);
  });
  const int64_t result = open();
  returned = true;
  helper.join();
  return result;
}

HWND WaitForDialog(const std::wstring& caption, int timeout_ms) {
  return FindDialog(timeout_ms, [&](HWND w) { return !IsMessageBox(w) && WindowText(w) == caption; });
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) { return Poll(timeout_ms, done); }

SeenMessageBox WaitForMessageBox(const std::function<bool(const SeenMessageBox&)>& shown, int timeout_ms) {
  SeenMessageBox seen;
  seen.window = FindDialog(timeout_ms, IsMessageBox);
  if (!seen.window) return seen;
  Poll(timeout_ms, [&] {
    seen.title = WindowText(seen.window);
    seen.text = WindowText(GetDlgItem(seen.window, 0xFFFF));
    seen.flags = ButtonFlags(seen.window) | IconFlag(seen.window);
    return !shown || shown(seen);
  });
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
  if (!name || !Settle(picker)) return false;
  SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
  if (!Settle(picker) || WindowText(name) != path) return false;
  Click(picker, IDOK);
  return WaitClosed(picker);
}

bool ChooseFolder(const std::wstring& path) {
  const HWND picker = WaitForDialog(L"Browse for Folder");
  if (!picker) return false;
  HWND tree = nullptr;
  EnumChildWindows(picker, FindTreeView, reinterpret_cast<LPARAM>(&tree));
  if (!tree) return false;
  // The first time a process shows the picker it may not find the path yet, and OK then returned the
  // Desktop: the path is selected again until the picker shows it selected, and still does once
  // everything the picker had queued has run.
  const std::wstring leaf = path.substr(path.find_last_of(L'\\') + 1);
  int waited = 0;
  std::wstring shown;
  for (;;) {
    if (!Settle(picker)) return false;
    shown = SelectedLabel(tree);
    if (shown == leaf) break;
    if (waited > kWaitMs) {
      std::fprintf(stderr, "the folder picker shows \"%ls\" selected, not \"%ls\"\n", shown.c_str(), leaf.c_str());
      return false;
    }
    SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(path.c_str()));
    if (SelectedLabel(tree) != leaf) {
      Sleep(kReselectMs);
      waited += kReselectMs;
    }
  }
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
