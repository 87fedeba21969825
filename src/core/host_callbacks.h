// The host's three callbacks, the only part of the host interface the state below the exports keeps:
// PluginState stores them and LogMessage / AskHostYesNo call them. The rest of the interface is
// plugin/host_abi.h, which includes this.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define TARN_CALL __stdcall
typedef wchar_t HostChar;
#else
#define TARN_CALL
typedef char16_t HostChar;
#endif

typedef int32_t HostBool;  // Windows BOOL: 32-bit signed, non-zero is true

typedef int32_t(TARN_CALL* HostProgressProc)(int32_t plugin_nr, HostChar* source, HostChar* target,
                                              int32_t percent_done);
typedef void(TARN_CALL* HostLogProc)(int32_t plugin_nr, int32_t msg_type, HostChar* text);
typedef HostBool(TARN_CALL* HostRequestProc)(int32_t plugin_nr, int32_t request_type, HostChar* title,
                                              HostChar* text, HostChar* answer, int32_t max_len);

constexpr int32_t kLogDetail = 3;
constexpr int32_t kRequestYesNo = 9;
