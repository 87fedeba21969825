// Times: signed 64-bit seconds since 1970-01-01 UTC, 0 meaning "no time".
#pragma once

#include <cstdint>
#include <string>

// Now, in those seconds.
int64_t UnixNow();
// "YYYY-MM-DDTHH:MM:SS..." (the hub's dates) in those seconds; 0 for text the system's calendar
// conversion would refuse.
int64_t ParseIsoTime(const std::string& text);
// An HTTP date (RFC 9110: "Sun, 06 Nov 1994 08:49:37 GMT", or the obsolete RFC 850 and asctime
// forms) in those seconds; 0 for anything else, or a year outside 1970 to 9999.
int64_t ParseHttpDate(const std::string& text);
// 100-ns units since 1601-01-01, the host's file time.
uint64_t UnixToFileTime(int64_t unix_seconds);
