// UTF-8 <-> UTF-16 conversion (one portable implementation, replacing invalid input with U+FFFD the
// way the system conversion does), file-name sanitising, host-safe names and the one ASCII
// case-insensitive comparison. Depends on nothing else, so the stand-in host links it too.
#pragma once

#include <cstdint>
#include <string>

std::u16string Utf8ToWide(const std::string& utf8);
std::u16string Utf8ToWide(const char* utf8, size_t size);
std::string WideToUtf8(const std::u16string& wide);
// Replaces each of " * / : < > ? \ | by '_'; every other byte stays.
std::string SanitizeFileName(const std::string& name);

// A number in decimal as UTF-16, for log lines and file names.
std::u16string WideDecimal(int64_t value);

// Equal when only the case of ASCII letters differs (URL schemes and hosts, command words); any other
// unit must match exactly, so no locale or Unicode folding is involved.
bool EqualsNoCaseAscii(const std::string& a, const std::string& b);
bool EqualsNoCaseAscii(const std::u16string& a, const std::u16string& b);

// A name the host can address as one path component: not empty, not "." or "..", no "/", "\" or
// control character. A folder named otherwise could never be opened, renamed or deleted, and on a
// recursive copy its local path would climb out of the target folder (Windows and POSIX file calls
// both take "/" as a separator).
bool IsHostSafeName(const std::u16string& name);
// `text` made host-safe: "_" for each "/", "\" and control character, "_" for each dot of "." and
// "..", "_" for nothing. A name built this way is found again by building it the same way.
std::string SafeFolderName(std::string text);
std::u16string SafeFolderName(std::u16string text);
