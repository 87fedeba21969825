// UTF-8 <-> UTF-16 conversion (one portable implementation, replacing invalid input with U+FFFD the
// way the system conversion does) and file-name sanitising. Depends on nothing else, so the stand-in
// host links it too.
#pragma once

#include <cstdint>
#include <string>

std::u16string Utf8ToWide(const std::string& utf8);
std::string WideToUtf8(const std::u16string& wide);
// Replaces each of " * / : < > ? \ | by '_'; every other byte stays.
std::string SanitizeFileName(const std::string& name);

// A number in decimal as UTF-16, for log lines and file names.
std::u16string WideDecimal(int64_t value);
