// Memory builtins: blocks in the script arena, which outlive the script that
// allocated them and are released only by free. Counts are signed 32-bit
// words; a negative count, or a range that would reach past 4 GiB, is refused
// with 0 and touches nothing.
#pragma once
#include <cstdint>

#include "runtime/builtin.h"

uint32_t builtin_malloc(BuiltinArgs args);   // 184 (size): new block, 0 on failure
uint32_t builtin_realloc(BuiltinArgs args);  // 185 (addr, size): resized block (contents kept), 0 on failure
// 186 (addr): 1. A regular-expression region is released as by match_free;
// the arrays a region owns are left alone (realloc refuses them and records).
uint32_t builtin_free(BuiltinArgs args);
uint32_t builtin_memcpy(BuiltinArgs args);   // 187 (dst, src, count): 1, not dst
uint32_t builtin_memmove(BuiltinArgs args);  // 188 (dst, src, count): 1
uint32_t builtin_memset(BuiltinArgs args);   // 189 (dst, value, count): 1
uint32_t builtin_memcmp(BuiltinArgs args);   // 190 (a, b, count): -1, 0 or 1 by the first differing byte
uint32_t builtin_memswap(BuiltinArgs args);  // 191 (a, b, count): 1; exchanges the bytes
