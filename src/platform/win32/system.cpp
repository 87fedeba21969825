// Windows side of the seam: folders, atomic replace, links resolved, the environment, process facts,
// opening a URL, the entry point.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include "core/state.h"
#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace {

// Paths of MAX_PATH and more need the "\\?\" form, which the system takes verbatim: only a plain
// absolute path (drive or UNC, no "." or ".." component) is turned into it. Shorter paths stay as
// they are, so everything that worked before works the same way.
std::wstring Native(const std::u16string& path) {
  std::wstring native = W(path);
  constexpr size_t kLongFrom = 248;  // CreateDirectoryW's own limit is MAX_PATH - 12
  if (native.size() < kLongFrom || native.compare(0, 4, L"\\\\?\\") == 0) return native;
  for (wchar_t& c : native) {
    if (c == L'/') c = L'\\';
  }
  if (native.find(L"\\.\\") != std::wstring::npos || native.find(L"\\..\\") != std::wstring::npos) return native;
  const bool drive = native.size() > 2 && native[1] == L':' && native[2] == L'\\';
  const bool unc = native.compare(0, 2, L"\\\\") == 0;
  if (drive) return L"\\\\?\\" + native;
  if (unc) return L"\\\\?\\UNC\\" + native.substr(2);
  return native;
}

}  // namespace

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
  return MoveFileExW(Native(from).c_str(), Native(to).c_str(), flags) != 0;
}

bool PlatformSetFileTime(const std::u16string& path, int64_t unix_seconds) {
  HANDLE file = CreateFileW(Native(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const uint64_t ticks = static_cast<uint64_t>(unix_seconds + 11644473600LL) * 10000000ULL;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  const bool set = SetFileTime(file, nullptr, nullptr, &time) != 0;
  CloseHandle(file);
  return set;
}

std::filesystem::path PlatformFsPath(const std::u16string& path) { return std::filesystem::path(Native(path)); }

char16_t PlatformPathSeparator() { return u'\\'; }

std::u16string PlatformResolvedPath(const std::u16string& path) {
  if (path.empty()) return std::u16string();
  // Opened for nothing but its name: no read access, every sharing allowed, folders too.
  HANDLE file = CreateFileW(Native(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::u16string();
  std::wstring name(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(file, &name[0], static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED);
  if (length >= name.size()) {
    name.assign(length + 1, L'\0');
    length = GetFinalPathNameByHandleW(file, &name[0], static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED);
  }
  CloseHandle(file);
  if (length == 0 || length >= name.size()) return std::u16string();
  name.resize(length);
  // The answer is always in the "\\?\" form; the plain form compares with paths given by a user.
  if (name.compare(0, 8, L"\\\\?\\UNC\\") == 0) return U(L"\\\\" + name.substr(8));
  if (name.compare(0, 4, L"\\\\?\\") == 0) return U(name.substr(4));
  return U(name);
}

std::u16string PlatformEnvironment(const char* name) {
  const std::wstring wide_name(name, name + std::char_traits<char>::length(name));  // the names asked for are ASCII
  const DWORD needed = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (needed == 0) return std::u16string();
  std::wstring value(needed, L'\0');
  const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), &value[0], needed);
  if (length == 0 || length >= needed) return std::u16string();
  value.resize(length);
  return U(value);
}

std::u16string PlatformHomeFolder() {
  const std::u16string profile = PlatformEnvironment("USERPROFILE");
  if (!profile.empty()) return profile;
  wchar_t buffer[MAX_PATH] = {0};
  if (SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, buffer) != S_OK) return std::u16string();
  return U(buffer);
}

uint32_t PlatformThreadId() { return GetCurrentThreadId(); }

uint64_t PlatformTickMs() { return GetTickCount64(); }

void PlatformSetNoMoreFilesError() { SetLastError(ERROR_NO_MORE_FILES); }

void PlatformOpenUrl(const std::u16string& url) {
  ShellExecuteW(nullptr, L"open", W(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void* PlatformHoldModule() {
  HMODULE module = nullptr;
  // FROM_ADDRESS without UNCHANGED_REFCOUNT: one more reference on the module holding this function.
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&PlatformHoldModule)), &module)) {
    return nullptr;
  }
  return module;
}

void PlatformReleaseModule(void* module) {
  if (module) FreeLibrary(static_cast<HMODULE>(module));
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    OnModuleAttach(instance);
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}
