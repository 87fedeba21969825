// Copying a local file into a repository (FsPutFileW): the export's face; plugin/writes.cpp does the work.
#include "core/state.h"
#include "hub/ratelimit.h"
#include "plugin/host_abi.h"
#include "plugin/host_text.h"
#include "plugin/writes.h"

extern "C" int32_t TARN_CALL FsPutFileW(HostChar* local_name, HostChar* remote_name, int32_t copy_flags) {
  try {
    if (!local_name || !remote_name) return kFileNotSupported;
    const int32_t result = PutFile(FromHost(local_name), FromHost(remote_name), copy_flags);
    TellRateLimitsOnMainThread();
    TellQueuedWriteMessages();
    return result;
  } catch (...) {
    return kFileWriteError;
  }
}
