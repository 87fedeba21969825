// The host's file-system plugin interface as this module sees it: types, the find-data record,
// the callbacks (core/host_callbacks.h), result codes and the 16 exports. Same ABI on Windows and Linux.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/host_callbacks.h"

#if defined(_WIN32)
#define TARN_EXPORT
#else
#define TARN_EXPORT __attribute__((visibility("default")))
#endif

typedef void* HostHandle;  // opaque; all bits set is the invalid handle

#define TARN_INVALID_HANDLE ((HostHandle)(intptr_t)-1)

struct HostFileTime {
  uint32_t low;
  uint32_t high;
};

// WIN32_FIND_DATAW, 592 bytes.
struct HostFindData {
  uint32_t attributes;
  HostFileTime creation_time;
  HostFileTime last_access_time;
  HostFileTime last_write_time;
  uint32_t size_high;
  uint32_t size_low;
  uint32_t reserved0;
  uint32_t reserved1;
  HostChar file_name[260];
  HostChar alternate_name[14];
};

static_assert(sizeof(HostChar) == 2, "the host's wide char is UTF-16");
static_assert(sizeof(HostFindData) == 592, "find-data record size");
static_assert(offsetof(HostFindData, attributes) == 0, "attributes");
static_assert(offsetof(HostFindData, creation_time) == 4, "creation time");
static_assert(offsetof(HostFindData, last_access_time) == 12, "last-access time");
static_assert(offsetof(HostFindData, last_write_time) == 20, "last-write time");
static_assert(offsetof(HostFindData, size_high) == 28, "size high");
static_assert(offsetof(HostFindData, size_low) == 32, "size low");
static_assert(offsetof(HostFindData, reserved0) == 36, "reserved 0");
static_assert(offsetof(HostFindData, reserved1) == 40, "reserved 1");
static_assert(offsetof(HostFindData, file_name) == 44, "file name");
static_assert(offsetof(HostFindData, alternate_name) == 564, "alternate name");

// What the host tells about a remote file on copy and rename; the plugin does not read it.
struct HostRemoteInfo {
  uint32_t size_low;
  uint32_t size_high;
  HostFileTime last_write_time;
  int32_t attributes;
};

// The host's default-parameter record; the plugin ignores it.
struct HostDefaultParams {
  int32_t size;
  uint32_t plugin_interface_version_low;
  uint32_t plugin_interface_version_high;
  char default_ini_name[260];
};

// Find-data attributes the plugin writes.
constexpr uint32_t kAttrFolder = 0x410;  // directory + reparse point
constexpr uint32_t kAttrFile = 0xA0;     // archive + normal

constexpr uint32_t kErrorNoMoreFiles = 18;

// FsGetFileW results and copy flags.
constexpr int32_t kFileOk = 0;
constexpr int32_t kFileExists = 1;
constexpr int32_t kFileNotFound = 2;
constexpr int32_t kFileReadError = 3;
constexpr int32_t kFileWriteError = 4;
constexpr int32_t kFileUserAbort = 5;
constexpr int32_t kFileNotSupported = 6;
constexpr int32_t kFileExistsResumeAllowed = 7;
constexpr int32_t kCopyOverwrite = 1;
constexpr int32_t kCopyResume = 2;
constexpr int32_t kCopyMove = 4;

// FsExecuteFileW results.
constexpr int32_t kExecOk = 0;
constexpr int32_t kExecHostHandles = -1;
constexpr int32_t kExecSymlink = -2;

// FsStatusInfoW.
constexpr int32_t kStatusStart = 0;
constexpr int32_t kStatusEnd = 1;
constexpr int32_t kOpPutOne = 4;
constexpr int32_t kOpPutSeveral = 5;
constexpr int32_t kOpRenameOne = 6;
constexpr int32_t kOpRenameSeveral = 7;
constexpr int32_t kOpDelete = 8;
constexpr int32_t kOpMakeFolder = 10;
constexpr int32_t kOpSyncPut = 17;
constexpr int32_t kOpSyncDelete = 18;
constexpr int32_t kOpPutBackground = 20;

// FsExtractCustomIconW.
constexpr int32_t kIconSmall = 1;
constexpr int32_t kIconUseDefault = 0;
constexpr int32_t kIconExtracted = 1;

// FsGetBackgroundFlags: copies out, and copies in, may run on the host's background thread.
constexpr int32_t kBackgroundDownload = 1;
constexpr int32_t kBackgroundUpload = 2;

extern "C" {
TARN_EXPORT int32_t TARN_CALL FsInitW(int32_t plugin_nr, HostProgressProc progress, HostLogProc log,
                                      HostRequestProc request);
TARN_EXPORT void TARN_CALL FsGetDefRootName(char* name, int32_t max_len);
TARN_EXPORT void TARN_CALL FsSetDefaultParams(HostDefaultParams* params);
TARN_EXPORT int32_t TARN_CALL FsGetBackgroundFlags(void);
TARN_EXPORT void TARN_CALL FsStatusInfoW(HostChar* remote_dir, int32_t start_end, int32_t operation);
TARN_EXPORT HostHandle TARN_CALL FsFindFirstW(HostChar* path, HostFindData* find_data);
TARN_EXPORT HostBool TARN_CALL FsFindNextW(HostHandle handle, HostFindData* find_data);
TARN_EXPORT int32_t TARN_CALL FsFindClose(HostHandle handle);
TARN_EXPORT int32_t TARN_CALL FsGetFileW(HostChar* remote_name, HostChar* local_name, int32_t copy_flags,
                                         HostRemoteInfo* remote_info);
TARN_EXPORT int32_t TARN_CALL FsPutFileW(HostChar* local_name, HostChar* remote_name, int32_t copy_flags);
TARN_EXPORT int32_t TARN_CALL FsExecuteFileW(HostWindow main_win, HostChar* remote_name, HostChar* verb);
TARN_EXPORT HostBool TARN_CALL FsDeleteFileW(HostChar* remote_name);
TARN_EXPORT HostBool TARN_CALL FsRemoveDirW(HostChar* remote_name);
TARN_EXPORT int32_t TARN_CALL FsRenMovFileW(HostChar* old_name, HostChar* new_name, HostBool move,
                                            HostBool overwrite, HostRemoteInfo* remote_info);
TARN_EXPORT HostBool TARN_CALL FsMkDirW(HostChar* path);
TARN_EXPORT int32_t TARN_CALL FsExtractCustomIconW(HostChar* remote_name, int32_t extract_flags,
                                                   HostIcon* the_icon);
}

// Typedefs a host uses to resolve the exports by name.
typedef int32_t(TARN_CALL* FsInitWProc)(int32_t, HostProgressProc, HostLogProc, HostRequestProc);
typedef void(TARN_CALL* FsGetDefRootNameProc)(char*, int32_t);
typedef void(TARN_CALL* FsSetDefaultParamsProc)(HostDefaultParams*);
typedef int32_t(TARN_CALL* FsGetBackgroundFlagsProc)(void);
typedef void(TARN_CALL* FsStatusInfoWProc)(HostChar*, int32_t, int32_t);
typedef HostHandle(TARN_CALL* FsFindFirstWProc)(HostChar*, HostFindData*);
typedef HostBool(TARN_CALL* FsFindNextWProc)(HostHandle, HostFindData*);
typedef int32_t(TARN_CALL* FsFindCloseProc)(HostHandle);
typedef int32_t(TARN_CALL* FsGetFileWProc)(HostChar*, HostChar*, int32_t, HostRemoteInfo*);
typedef int32_t(TARN_CALL* FsPutFileWProc)(HostChar*, HostChar*, int32_t);
typedef int32_t(TARN_CALL* FsExecuteFileWProc)(HostWindow, HostChar*, HostChar*);
typedef HostBool(TARN_CALL* FsDeleteFileWProc)(HostChar*);
typedef HostBool(TARN_CALL* FsRemoveDirWProc)(HostChar*);
typedef int32_t(TARN_CALL* FsRenMovFileWProc)(HostChar*, HostChar*, HostBool, HostBool, HostRemoteInfo*);
typedef HostBool(TARN_CALL* FsMkDirWProc)(HostChar*);
typedef int32_t(TARN_CALL* FsExtractCustomIconWProc)(HostChar*, int32_t, HostIcon*);
