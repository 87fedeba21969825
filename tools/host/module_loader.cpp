// Module loading for the stand-in host and the tests: dlopen on Linux, LoadLibraryW on Windows.
#include "module_loader.h"

#include "core/text.h"

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
  const std::string path = FromHostString(buffer);
  return path.substr(0, path.find_last_of("\\/"));
#else
  char buffer[PATH_MAX] = {0};
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  std::string path(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  return path.substr(0, path.find_last_of('/'));
#endif
}

}  // namespace

std::basic_string<HostChar> ToHostString(const std::string& utf8) {
  const std::u16string wide = Utf8ToWide(utf8);
  return std::basic_string<HostChar>(wide.begin(), wide.end());
}

std::string FromHostString(const HostChar* text) {
  std::u16string wide;
  for (; text && *text; ++text) wide.push_back(static_cast<char16_t>(*text));
  return WideToUtf8(wide);
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
      {"FsPutFileW", reinterpret_cast<void**>(&module->FsPutFileW)},
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
