#include "runtime/checksum_builtins.h"

#include <array>

#include "runtime/string_builtins.h"

namespace {

template <typename T, T kPolynomial>
constexpr std::array<T, 256> MsbFirstTable() {
  constexpr int kShift = sizeof(T) * 8 - 8;
  constexpr T kTop = T(1) << (sizeof(T) * 8 - 1);
  std::array<T, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    T r = static_cast<T>(i << kShift);
    for (int bit = 0; bit < 8; ++bit) r = static_cast<T>((r & kTop) ? (r << 1) ^ kPolynomial : r << 1);
    table[i] = r;
  }
  return table;
}

constexpr auto kCrc16Table = MsbFirstTable<uint16_t, 0x1021>();
constexpr auto kCrc32Table = MsbFirstTable<uint32_t, 0x04C11DB7>();

// The block argument pair as a length, 0 when it is not positive or leaves
// the 32-bit address space.
size_t BlockLength(BuiltinArgs args) {
  int32_t n = args.i(1);
  return n > 0 && InArena(args.u(0), static_cast<uint32_t>(n)) ? static_cast<size_t>(n) : 0;
}

}  // namespace

uint32_t Hash32(const uint8_t* data, size_t length) {
  constexpr uint32_t kModulus = 65521;
  constexpr size_t kRun = 5552;  // bytes before the sums could overflow
  uint32_t a = 0, b = 0;
  while (length) {
    size_t run = length < kRun ? length : kRun;
    length -= run;
    while (run--) {
      a += *data++;
      b += a;
    }
    a %= kModulus;
    b %= kModulus;
  }
  return b << 16 | a;
}

uint32_t Crc16(const uint8_t* data, size_t length) {
  uint16_t r = 0xFFFF;
  for (size_t i = 0; i < length; ++i) r = static_cast<uint16_t>((r << 8) ^ kCrc16Table[(r >> 8) ^ data[i]]);
  return ~uint32_t{r};
}

uint32_t Crc32(const uint8_t* data, size_t length) {
  uint32_t r = 0xFFFFFFFF;
  for (size_t i = 0; i < length; ++i) r = (r << 8) ^ kCrc32Table[(r >> 24) ^ data[i]];
  return ~r;
}

uint32_t builtin_hash32(BuiltinArgs args) {
  if (args.u(0) == 0) return 0;
  return Hash32(args.ptr(0), ScriptStrlen(args.u(0)));
}

uint32_t builtin_crc16(BuiltinArgs args) { return Crc16(args.ptr(0), BlockLength(args)); }

uint32_t builtin_crc32(BuiltinArgs args) {
  size_t n = BlockLength(args);
  return n ? Crc32(args.ptr(0), n) : 0;
}
