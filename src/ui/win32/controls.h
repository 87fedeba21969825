// Small helpers of the Win32 dialog procedures: text between controls and UTF-16 strings.
#pragma once

#include <windows.h>

#include <string>

inline std::wstring WideText(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }

// The control's whole text; the dialog logic applies the length caps.
inline std::u16string ReadControl(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  const int length = GetWindowTextLengthW(control);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), length + 1)));
  return std::u16string(text.begin(), text.end());
}

inline void WriteControl(HWND dialog, int id, const std::u16string& text) {
  SetDlgItemTextW(dialog, id, WideText(text).c_str());
}

inline bool ReadCheck(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

inline void WriteCheck(HWND dialog, int id, bool checked) {
  CheckDlgButton(dialog, id, checked ? BST_CHECKED : BST_UNCHECKED);
}

inline void EnableControl(HWND dialog, int id, bool enabled) { EnableWindow(GetDlgItem(dialog, id), enabled); }
