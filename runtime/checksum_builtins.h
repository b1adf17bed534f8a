// Checksums over script memory: hash32 over a zero-terminated string, crc16
// and crc32 over a block. A block that would reach past 4 GiB is taken as
// empty.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/builtin.h"

// Adler-32 whose first sum starts at 0: (b << 16) | a; "abc" gives 0x024A0126.
uint32_t Hash32(const uint8_t* data, size_t length);
// CRC-16 with the polynomial 0x1021, most significant bit first, register
// starting at 0xFFFF, complemented: CRC-16/GENIBUS in the low half, and the
// upper half always 0xFFFF. "123456789" gives 0xFFFFD64E.
uint32_t Crc16(const uint8_t* data, size_t length);
// CRC-32 with the polynomial 0x04C11DB7, most significant bit first,
// register starting at 0xFFFFFFFF, complemented (CRC-32/BZIP2).
// "123456789" gives 0xFC891918.
uint32_t Crc32(const uint8_t* data, size_t length);

uint32_t builtin_hash32(BuiltinArgs args);  // 257 (s): 0 for 0 and for ""
uint32_t builtin_crc16(BuiltinArgs args);   // 309 (data, length): 0xFFFF0000 for length <= 0
uint32_t builtin_crc32(BuiltinArgs args);   // 310 (data, length): 0 for length <= 0
