// Time conversions shared by the hub records, the cache and the host's records.
#include "core/time.h"

#include <chrono>
#include <cstdio>

namespace {

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

int64_t UnixNow() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

uint64_t UnixToFileTime(int64_t unix_seconds) {
  return static_cast<uint64_t>(unix_seconds) * 10000000ULL + kUnixEpochAsFileTime;
}

int64_t ParseIsoTime(const std::string& text) {
  if (text.size() < 19) return 0;
  short year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(text.c_str(), "%4hd-%2hd-%2hdT%2hd:%2hd:%2hd", &year, &month, &day, &hour, &minute,
                  &second) < 6) {
    return 0;
  }
  // The same range checks as the system's calendar-to-FILETIME conversion.
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 59) {
    return 0;
  }
  const int max_day = kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
  if (day > max_day) return 0;
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}
