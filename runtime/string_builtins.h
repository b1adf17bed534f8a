// String builtins over zero-terminated Shift_JIS text in script memory, and
// the bounded string reads the other text builtins share.
//
// A lead byte (0x81-0x9F, 0xE0-0xFC) and the byte after it are one character;
// the multibyte-aware builtins never split such a pair. A lead byte right
// before the terminator ends the text. Results that are "addresses" point into
// the given strings. Destinations that would reach past 4 GiB are refused
// (result 0) before anything is written.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/builtin.h"

// Length of the script string at addr. A string that has no terminator before
// the end of the arena's reservation ends there.
size_t ScriptStrlen(uint32_t addr);
// The same, looking at no more than max bytes.
size_t ScriptStrnlen(uint32_t addr, size_t max);
// The bytes of the script string at addr, without the terminator.
std::string_view ScriptString(uint32_t addr);

uint32_t builtin_strlen(BuiltinArgs args);   // 234 (s): bytes
uint32_t builtin_strclen(BuiltinArgs args);  // 235 (s): characters
uint32_t builtin_strcpy(BuiltinArgs args);   // 236 (dst, src): dst
uint32_t builtin_strncpy(BuiltinArgs args);  // 237 (dst, src, n): dst
uint32_t builtin_strcat(BuiltinArgs args);   // 238 (dst, src): dst
uint32_t builtin_strcmp(BuiltinArgs args);   // 239 (a, b): -1, 0 or 1 by character codes
uint32_t builtin_strcmpi(BuiltinArgs args);  // 240 (a, b): the same ignoring case
uint32_t builtin_strlwr(BuiltinArgs args);   // 241 (s): s, 0 for 0
uint32_t builtin_strupr(BuiltinArgs args);   // 242 (s): s, 0 for 0
uint32_t builtin_strchr(BuiltinArgs args);   // 243 (s, c): the LAST occurrence of c
uint32_t builtin_strtok(BuiltinArgs args);   // 244 (s, delim): position per script thread
uint32_t builtin_strcspn(BuiltinArgs args);  // 245 (s, set)
uint32_t builtin_strspn(BuiltinArgs args);   // 246 (s, set)
uint32_t builtin_strstr(BuiltinArgs args);   // 247 (s, t): never matches from a trail byte
uint32_t builtin_strpbrk(BuiltinArgs args);  // 248 (s, set)
uint32_t builtin_strdup(BuiltinArgs args);   // 249 (s): new block, 0 on failure
uint32_t builtin_strndup(BuiltinArgs args);  // 250 (s, n): new block of min(strlen, n) bytes + terminator
uint32_t builtin_splitpath(BuiltinArgs args);  // 255 (path, drive, dir, name, ext): 1
uint32_t builtin_makepath(BuiltinArgs args);   // 256 (path, drive, dir, name, ext): 1

// Forgets the strtok positions of every script thread.
void ResetStringTokens();
