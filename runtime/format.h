// Text formatting and number parsing for scripts: the printf conventions of
// the Windows C runtime that games were written against, applied to 32-bit
// argument words in script memory, and its strtol, strtoul and strtod.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/builtin.h"

// Formats the zero-terminated format string at VM address `format`, taking
// the arguments as the 32-bit words from VM address `args` upward: one word
// for %d %i %u %o %x %X %c %s %p %n and for a `*` width or precision, two
// words (low word first) for %f %e %E %g %G, which read a double, and for the
// 64-bit integer sizes I64 and ll.
//
// Writes at most capacity - 1 bytes to dst followed by a terminator (nothing
// at all when capacity is 0) and returns the number of bytes written before
// the terminator; the text is cut at the capacity, never beyond it. dst is a
// host pointer: a host buffer, or ToHost() of script memory with a capacity
// that keeps it below 4 GiB. Argument words and strings are read only inside
// the script arena.
//
// Users: sprintf (into script memory, bounded only by the 32-bit address
// space), log_out (a 4096-byte buffer), gtextf (a 1024-byte buffer).
size_t FormatScriptText(uint32_t format, uint32_t args, char* dst, size_t capacity);

// The value of the Windows runtime's strtol / strtoul on the script string at
// addr; *end_offset receives the number of bytes the number took (0 when
// none was read, including the case of an invalid base).
uint32_t ParseScriptLong(uint32_t addr, int32_t base, bool is_unsigned, uint32_t* end_offset);
// strtod's double for the script string at addr.
double ParseScriptDouble(uint32_t addr, uint32_t* end_offset);

// 213 ftoa(buf, float value): "%f" of the value into buf (cut where it would
// pass 4 GiB); 1.
uint32_t builtin_ftoa(BuiltinArgs args);
// 251 strtol(s, end, base), 252 strtoul(s, end, base), 253 strtof(s, end):
// end (when nonzero) receives the address after the number.
uint32_t builtin_strtol(BuiltinArgs args);
uint32_t builtin_strtoul(BuiltinArgs args);
uint32_t builtin_strtof(BuiltinArgs args);
// 254 sprintf(buf, format, ...): the number of bytes written.
uint32_t builtin_sprintf(BuiltinArgs args);
