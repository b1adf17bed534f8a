// Shift_JIS inside, UTF-8 at the edges. Every string the engine keeps is
// Shift_JIS bytes exactly as scripts see them; these conversions are used only
// where text leaves or enters the process (file names, terminal, message boxes,
// the window caption, the font rasteriser).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The first byte of a two-byte Shift_JIS character: 0x81-0x9F and 0xE0-0xFC.
constexpr bool IsSjisLead(uint8_t c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
// A byte that can follow a lead byte: 0x40-0x7E and 0x80-0xFC.
constexpr bool IsSjisTrail(uint8_t c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC); }

// Converts Shift_JIS (code page 932) to UTF-8. Bytes that do not form a
// character come out as U+FFFD, so nothing is dropped silently.
std::string SjisToUtf8(std::string_view sjis);

// Converts UTF-8 to Shift_JIS. Returns false, leaving out empty, when some
// character has no Shift_JIS form.
bool Utf8ToSjis(std::string_view utf8, std::string& out);
