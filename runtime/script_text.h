// Strings that builtins take from script memory and hand back into it. A
// script string is read only up to its terminator and never past the given
// limit, so a wild pointer or a missing terminator cannot run away.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "vm/arena.h"

// The string at addr when it ends within max bytes; false for address 0 or a
// longer string.
inline bool ScriptText(uint32_t addr, size_t max, std::string& out) {
  if (addr == 0) return false;
  uint64_t room = (uint64_t{1} << 32) - addr;
  size_t limit = room < max + 1 ? static_cast<size_t>(room) : max + 1;
  const char* p = reinterpret_cast<const char*>(ToHost(addr));
  size_t n = strnlen(p, limit);
  if (n > max) return false;
  out.assign(p, n);
  return true;
}

// A path: 259 bytes at most, like every path buffer of the engine.
constexpr size_t kMaxPathBytes = 259;
inline bool ScriptPath(uint32_t addr, std::string& out) { return ScriptText(addr, kMaxPathBytes, out) && !out.empty(); }

// Writes text and its terminator into a script buffer of capacity bytes;
// false (nothing written) when it does not fit or the buffer is not in the arena.
inline bool PutScriptText(uint32_t addr, uint64_t capacity, std::string_view text) {
  if (addr == 0 || text.size() + 1 > capacity || !InArena(addr, text.size() + 1)) return false;
  std::memcpy(ToHost(addr), text.data(), text.size());
  ToHost(addr)[text.size()] = 0;
  return true;
}
