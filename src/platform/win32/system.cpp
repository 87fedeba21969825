// Windows side of the seam: folders, atomic replace, process facts, opening a URL, the entry point.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include "core/state.h"
#include "platform/platform.h"
#include "platform/win32/wide.h"

std::u16string PlatformRoamingFolder() {
  wchar_t buffer[MAX_PATH] = {0};
  SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, buffer);  // on failure the folder stays empty
  return U(buffer);
}

bool PlatformCreateFolders(const std::u16string& path) {
  if (path.empty()) return false;
  std::wstring native = W(path);
  for (wchar_t& c : native) {
    if (c == L'/') c = L'\\';  // the shell call wants backslashes; a hand-written path may have either
  }
  const int rc = SHCreateDirectoryExW(nullptr, native.c_str(), nullptr);
  return rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS;
}

bool PlatformReplaceFile(const std::u16string& from, const std::u16string& to, bool write_through) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | (write_through ? MOVEFILE_WRITE_THROUGH : 0);
  return MoveFileExW(W(from).c_str(), W(to).c_str(), flags) != 0;
}

std::filesystem::path PlatformFsPath(const std::u16string& path) { return std::filesystem::path(W(path)); }

char16_t PlatformPathSeparator() { return u'\\'; }

uint32_t PlatformThreadId() { return GetCurrentThreadId(); }

uint64_t PlatformTickMs() { return GetTickCount64(); }

void PlatformSetNoMoreFilesError() { SetLastError(ERROR_NO_MORE_FILES); }

void PlatformOpenUrl(const std::u16string& url) {
  ShellExecuteW(nullptr, L"open", W(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    OnModuleAttach(instance);
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}
