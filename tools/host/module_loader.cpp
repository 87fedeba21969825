// Module loading for the stand-in host and the tests: dlopen on Linux, LoadLibraryW on Windows.
#include "module_loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace {

void* Resolve(void* library, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
  return dlsym(library, name);
#endif
}

std::string ExecutableFolder() {
#if defined(_WIN32)
  wchar_t buffer[MAX_PATH] = {0};
  GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  std::wstring path(buffer);
  path = path.substr(0, path.find_last_of(L"\\/"));
  int n = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, out.data(), n, nullptr, nullptr);
  return out;
#else
  char buffer[PATH_MAX] = {0};
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  std::string path(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  return path.substr(0, path.find_last_of('/'));
#endif
}

}  // namespace

std::basic_string<HostChar> ToHostString(const std::string& utf8) {
  std::basic_string<HostChar> out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = c;
    size_t len = 1;
    if (c >= 0xF0) { cp = c & 0x07; len = 4; }
    else if (c >= 0xE0) { cp = c & 0x0F; len = 3; }
    else if (c >= 0xC0) { cp = c & 0x1F; len = 2; }
    if (i + len > utf8.size()) len = 1;
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<HostChar>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<HostChar>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<HostChar>(cp));
    }
    i += len;
  }
  return out;
}

std::string FromHostString(const HostChar* text) {
  std::string out;
  if (!text) return out;
  for (; *text; ++text) {
    uint32_t cp = static_cast<uint16_t>(*text);
    if (cp >= 0xD800 && cp <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint16_t>(text[1]) - 0xDC00);
      ++text;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string DefaultModulePath() {
#if defined(_WIN32)
  return ExecutableFolder() + (sizeof(void*) == 8 ? "\\tarnfs.wfx64" : "\\tarnfs.wfx");
#else
  return ExecutableFolder() + "/tarnfs.so";
#endif
}

bool LoadPluginModule(const std::string& path, PluginModule* module, std::string* error) {
  *module = PluginModule();
#if defined(_WIN32)
  std::basic_string<HostChar> wide = ToHostString(path);
  HMODULE lib = LoadLibraryW(wide.c_str());
  if (!lib) {
    *error = "cannot load module " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  module->library = lib;
#else
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    const char* why = dlerror();
    *error = "cannot load module " + path + ": " + (why ? why : "unknown error");
    return false;
  }
  module->library = lib;
#endif
  struct Slot {
    const char* name;
    void** target;
  } slots[] = {
      {"FsInitW", reinterpret_cast<void**>(&module->FsInitW)},
      {"FsGetDefRootName", reinterpret_cast<void**>(&module->FsGetDefRootName)},
      {"FsSetDefaultParams", reinterpret_cast<void**>(&module->FsSetDefaultParams)},
      {"FsGetBackgroundFlags", reinterpret_cast<void**>(&module->FsGetBackgroundFlags)},
      {"FsStatusInfoW", reinterpret_cast<void**>(&module->FsStatusInfoW)},
      {"FsFindFirstW", reinterpret_cast<void**>(&module->FsFindFirstW)},
      {"FsFindNextW", reinterpret_cast<void**>(&module->FsFindNextW)},
      {"FsFindClose", reinterpret_cast<void**>(&module->FsFindClose)},
      {"FsGetFileW", reinterpret_cast<void**>(&module->FsGetFileW)},
      {"FsExecuteFileW", reinterpret_cast<void**>(&module->FsExecuteFileW)},
      {"FsDeleteFileW", reinterpret_cast<void**>(&module->FsDeleteFileW)},
      {"FsRemoveDirW", reinterpret_cast<void**>(&module->FsRemoveDirW)},
      {"FsRenMovFileW", reinterpret_cast<void**>(&module->FsRenMovFileW)},
      {"FsMkDirW", reinterpret_cast<void**>(&module->FsMkDirW)},
      {"FsExtractCustomIconW", reinterpret_cast<void**>(&module->FsExtractCustomIconW)},
  };
  for (const Slot& slot : slots) {
    *slot.target = Resolve(module->library, slot.name);
    if (!*slot.target) {
      *error = "module " + path + " does not export " + slot.name;
      UnloadPluginModule(module);
      return false;
    }
  }
  return true;
}

void UnloadPluginModule(PluginModule* module) {
  if (!module->library) return;
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(module->library));
#else
  dlclose(module->library);
#endif
  *module = PluginModule();
}
