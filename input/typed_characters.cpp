#include "input/typed_characters.h"

#include <atomic>

#include "platform/text_encoding.h"

namespace {

constexpr uint32_t kRingSize = 512;
uint8_t ring[kRingSize];
// The window thread writes and script threads read; each index is one word.
std::atomic<uint32_t> write_index{0};
std::atomic<uint32_t> read_index{0};

}  // namespace

void StoreTypedByte(uint8_t byte) {
  uint32_t w = write_index.load();
  ring[w] = byte;
  w = (w + 1) % kRingSize;
  write_index.store(w);
  uint32_t r = read_index.load();
  if (w == r) read_index.compare_exchange_strong(r, (r + 1) % kRingSize);
}

void StoreTypedText(std::string_view utf8) {
  // One character at a time, so that one without a Shift_JIS form only
  // loses itself.
  for (size_t i = 0; i < utf8.size();) {
    size_t n = 1;
    uint8_t c = static_cast<uint8_t>(utf8[i]);
    if (c >= 0xF0) n = 4;
    else if (c >= 0xE0) n = 3;
    else if (c >= 0xC0) n = 2;
    std::string sjis;
    if (Utf8ToSjis(utf8.substr(i, n), sjis)) {
      for (char b : sjis) StoreTypedByte(static_cast<uint8_t>(b));
    }
    i += n;
  }
}

uint32_t builtin_key_init(BuiltinArgs) {
  write_index.store(0);
  read_index.store(0);
  return 1;
}

uint32_t builtin_key_get(BuiltinArgs) {
  uint32_t r = read_index.load();
  if (r == write_index.load()) return 0;
  int8_t byte = static_cast<int8_t>(ring[r]);
  read_index.store((r + 1) % kRingSize);
  return static_cast<uint32_t>(static_cast<int32_t>(byte));
}
