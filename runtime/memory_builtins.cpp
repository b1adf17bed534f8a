#include "runtime/memory_builtins.h"

#include <algorithm>
#include <cstring>

#include "runtime/regex_builtins.h"

namespace {

// The count argument, or -1 when it is negative or a range of that many
// bytes at one of the addresses would reach past 4 GiB.
int64_t CheckedCount(int32_t count, uint32_t a, uint32_t b) {
  if (count < 0 || !InArena(a, static_cast<uint32_t>(count)) || !InArena(b, static_cast<uint32_t>(count))) return -1;
  return count;
}

}  // namespace

uint32_t builtin_malloc(BuiltinArgs args) { return ArenaAlloc(args.u(0)); }

uint32_t builtin_realloc(BuiltinArgs args) {
  uint32_t addr = args.u(0);
  if (IsRegionRecord(addr) || IsRegionArray(addr)) return 0;  // regions keep their blocks
  return ArenaRealloc(addr, args.u(1));
}

uint32_t builtin_free(BuiltinArgs args) {
  uint32_t addr = args.u(0);
  if (IsRegionRecord(addr)) return builtin_match_free(args);
  if (!IsRegionArray(addr)) ArenaFree(addr);  // 0, and anything that is not a live block, is ignored
  return 1;
}

uint32_t builtin_memcpy(BuiltinArgs args) {
  int64_t n = CheckedCount(args.i(2), args.u(0), args.u(1));
  if (n < 0) return 0;
  // Overlapping blocks are moved rather than left undefined.
  if (n && args.u(0) != args.u(1)) std::memmove(args.ptr(0), args.ptr(1), static_cast<size_t>(n));
  return 1;
}

uint32_t builtin_memmove(BuiltinArgs args) { return builtin_memcpy(args); }

uint32_t builtin_memset(BuiltinArgs args) {
  int64_t n = CheckedCount(args.i(2), args.u(0), args.u(0));
  if (n < 0) return 0;
  std::memset(args.ptr(0), static_cast<uint8_t>(args.u(1)), static_cast<size_t>(n));
  return 1;
}

uint32_t builtin_memcmp(BuiltinArgs args) {
  int64_t n = CheckedCount(args.i(2), args.u(0), args.u(1));
  if (n <= 0) return 0;
  int r = std::memcmp(args.ptr(0), args.ptr(1), static_cast<size_t>(n));
  return r < 0 ? static_cast<uint32_t>(-1) : r > 0 ? 1 : 0;
}

uint32_t builtin_memswap(BuiltinArgs args) {
  int32_t count = args.i(2);
  if (count <= 0) return 1;
  int64_t n = CheckedCount(count, args.u(0), args.u(1));
  if (n < 0) return 0;
  // Byte by byte in order, which also defines the result for overlapping blocks.
  std::swap_ranges(args.ptr(0), args.ptr(0) + n, args.ptr(1));
  return 1;
}
