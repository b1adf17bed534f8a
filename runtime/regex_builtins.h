// Regular expressions for scripts on Oniguruma: Shift_JIS text, Ruby syntax.
//
// A compiled pattern is a handle into an engine table (never 0). A region is
// a record of five 32-bit words in script memory, the library's public
// region layout as scripts see it:
//   +0 allocated   entries the two arrays hold
//   +4 num_regs    groups of the last search, group 0 being the whole match
//   +8 beg         address of num_regs 32-bit start offsets (-1: group unset)
//   +12 end        address of num_regs 32-bit end offsets
//   +16 0          (capture history, never used)
// It is filled from the library's region after every search or match, so
// scripts read it directly. The arrays belong to the engine: the record's
// address fields are rewritten on every fill.
#pragma once
#include <cstdint>

#include "runtime/builtin.h"

uint32_t builtin_reg_new(BuiltinArgs args);      // 160 (pattern): handle, 0 when it does not compile
uint32_t builtin_reg_free(BuiltinArgs args);     // 161 (handle): 1
uint32_t builtin_reg_search(BuiltinArgs args);   // 162 (handle, text, length, start, range, region)
uint32_t builtin_reg_match(BuiltinArgs args);    // 163 (handle, text, length, offset, region)
uint32_t builtin_match_new(BuiltinArgs args);    // 164 (): region address, 0 on failure
uint32_t builtin_match_free(BuiltinArgs args);   // 165 (region): 1 (0 for a record that is no region)
uint32_t builtin_match_clear(BuiltinArgs args);  // 166 (region): 1, 0 for 0 or a record that is no region

// Blocks the regions own, for free and realloc: free of a region record
// releases it as match_free does; its arrays are never freed or moved by
// scripts, so later searches cannot write into reused memory.
bool IsRegionRecord(uint32_t addr);
bool IsRegionArray(uint32_t addr);

// Frees every pattern and region scripts still hold and runs the library's
// global clean-up. Part of RuntimeStop.
void RegexCleanUp();
