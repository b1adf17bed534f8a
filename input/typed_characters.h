// The typed-character ring: characters typed into the main window, read by
// scripts with key_get. 512 bytes, so it holds the last 511 characters.
#pragma once
#include <cstdint>
#include <string_view>

#include "runtime/builtin.h"

// Window thread: one typed byte (Shift_JIS; a two-byte character arrives as
// two bytes). When the ring is full the oldest byte is dropped.
void StoreTypedByte(uint8_t byte);
// Window thread: typed text as the window system reports it (UTF-8), stored
// as its Shift_JIS bytes; characters without a Shift_JIS form are skipped.
void StoreTypedText(std::string_view utf8);

uint32_t builtin_key_init(BuiltinArgs args);  // empties the ring; 1
uint32_t builtin_key_get(BuiltinArgs args);   // next byte sign-extended, or 0 when empty
