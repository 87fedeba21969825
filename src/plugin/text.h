// UTF-8 <-> UTF-16 conversion (one portable implementation, replacing invalid input with U+FFFD the
// way the system conversion does), file-name sanitising and path joining.
#pragma once

#include <filesystem>
#include <string>

std::u16string Utf8ToWide(const std::string& utf8);
std::string WideToUtf8(const std::u16string& wide);
// Replaces each of " * / : < > ? \ | by '_'; every other byte stays.
std::string SanitizeFileName(const std::string& name);

// ASCII-only literal helper: U("abc") without a u"" prefix at every call site is not needed; kept for
// building UTF-16 text from decimal numbers.
std::u16string WideDecimal(int64_t value);

// Folder + separator + name, with the platform's separator.
std::u16string JoinFsPath(const std::u16string& folder, const std::u16string& name);
// A std::filesystem path for a UTF-16 path.
std::filesystem::path FsPath(const std::u16string& path);
