// Loads a plugin module the way the host does and resolves its 16 exports by name.
#pragma once

#include <string>

#include "plugin/host_abi.h"

struct PluginModule {
  void* library = nullptr;
  FsInitWProc FsInitW = nullptr;
  FsGetDefRootNameProc FsGetDefRootName = nullptr;
  FsSetDefaultParamsProc FsSetDefaultParams = nullptr;
  FsGetBackgroundFlagsProc FsGetBackgroundFlags = nullptr;
  FsStatusInfoWProc FsStatusInfoW = nullptr;
  FsFindFirstWProc FsFindFirstW = nullptr;
  FsFindNextWProc FsFindNextW = nullptr;
  FsFindCloseProc FsFindClose = nullptr;
  FsGetFileWProc FsGetFileW = nullptr;
  FsPutFileWProc FsPutFileW = nullptr;
  FsExecuteFileWProc FsExecuteFileW = nullptr;
  FsDeleteFileWProc FsDeleteFileW = nullptr;
  FsRemoveDirWProc FsRemoveDirW = nullptr;
  FsRenMovFileWProc FsRenMovFileW = nullptr;
  FsMkDirWProc FsMkDirW = nullptr;
  FsExtractCustomIconWProc FsExtractCustomIconW = nullptr;
};

// The module file built beside the running executable (tarnfs.so / tarnfs.wfx64 / tarnfs.wfx).
std::string DefaultModulePath();
// False with a message naming the file or the missing export.
bool LoadPluginModule(const std::string& path, PluginModule* module, std::string* error);
void UnloadPluginModule(PluginModule* module);

// Host strings: UTF-8 for the command line, UTF-16 for the module.
std::basic_string<HostChar> ToHostString(const std::string& utf8);
std::string FromHostString(const HostChar* text);
