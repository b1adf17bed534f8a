// INI files ("private profiles"): [Section] lines and key=value lines.
// Section and key names compare without regard to ASCII case; values lose
// surrounding spaces and one pair of matching quotes. Paths are engine paths.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The value of section/key, or `fallback` when the file, the section or the
// key is missing.
std::string ReadProfileString(std::string_view path, std::string_view section, std::string_view key,
                              std::string_view fallback);

// A leading decimal number with an optional sign ("12px" is 12, "abc" 0), or
// `fallback` when the key is missing.
int32_t ReadProfileInt(std::string_view path, std::string_view section, std::string_view key, int32_t fallback);

// Sets section/key = value, creating the file, the section or the key as
// needed and keeping every other line as it was. The file is replaced
// atomically (a new file is written beside it and renamed over it), so it is
// never left half written. False when it cannot be written.
bool WriteProfileString(std::string_view path, std::string_view section, std::string_view key,
                        std::string_view value);

// The file's text, for reading many keys with one read; false when it cannot
// be read.
bool ReadProfileText(std::string_view path, std::string& text);
// ReadProfileString and ReadProfileInt on text in memory.
std::string ProfileString(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view fallback);
int32_t ProfileInt(std::string_view text, std::string_view section, std::string_view key, int32_t fallback);

// The same on text in memory, for the file functions and tests.
bool FindProfileValue(std::string_view text, std::string_view section, std::string_view key, std::string& value);
std::string SetProfileValue(std::string_view text, std::string_view section, std::string_view key,
                            std::string_view value);
