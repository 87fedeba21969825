// Time conversions shared by the hub records, the cache and the host's records.
#include "core/time.h"

#include <chrono>
#include <cstdio>
#include <vector>

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

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
}

// A whole number of 1 to `max_digits` digits, else -1.
int Digits(const std::string& text, size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return -1;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// "Jan" .. "Dec" as 1 .. 12, exactly as written in HTTP dates; else 0.
int MonthNumber(const std::string& text) {
  static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 12; ++i) {
    if (text == kMonths[i]) return i + 1;
  }
  return 0;
}

bool IsWeekday(const std::string& text) {
  static const char* const kDays[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static const char* const kLong[7] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
  for (int i = 0; i < 7; ++i) {
    if (text == kDays[i] || text == kLong[i]) return true;
  }
  return false;
}

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

int64_t ParseHttpDate(const std::string& text) {
  // Commas and blanks separate the parts; RFC 850 writes its date with dashes.
  std::vector<std::string> parts;
  std::string part;
  for (size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    if (c == ' ' || c == '\t' || c == ',') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
      if (parts.size() > 6) return 0;
    } else {
      part.push_back(c);
    }
  }
  int year = -1, month = 0, day = -1;
  std::string clock;
  if (parts.size() == 6 && IsWeekday(parts[0]) && parts[5] == "GMT") {
    if (parts[1].find('-') != std::string::npos) return 0;
    day = Digits(parts[1], 2);
    month = MonthNumber(parts[2]);
    year = Digits(parts[3], 4);
    if (parts[3].size() != 4) return 0;
    clock = parts[4];
  } else if (parts.size() == 4 && IsWeekday(parts[0]) && parts[3] == "GMT") {  // RFC 850: 06-Nov-94
    const std::string& date = parts[1];
    if (date.size() != 9 || date[2] != '-' || date[6] != '-') return 0;
    day = Digits(date.substr(0, 2), 2);
    month = MonthNumber(date.substr(3, 3));
    year = Digits(date.substr(7, 2), 2);
    if (year >= 0) year += year < 70 ? 2000 : 1900;
    clock = parts[2];
  } else if (parts.size() == 5 && IsWeekday(parts[0])) {  // asctime: Nov  6 08:49:37 1994
    month = MonthNumber(parts[1]);
    day = Digits(parts[2], 2);
    clock = parts[3];
    year = Digits(parts[4], 4);
    if (parts[4].size() != 4) return 0;
  } else {
    return 0;
  }
  if (clock.size() != 8 || clock[2] != ':' || clock[5] != ':') return 0;
  const int hour = Digits(clock.substr(0, 2), 2), minute = Digits(clock.substr(3, 2), 2);
  const int second = Digits(clock.substr(6, 2), 2);
  if (year < 1970 || year > 9999 || month == 0 || day < 1 || day > DaysInMonth(year, month) || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) {
    return 0;
  }
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}
