// Any sequence of ring operations (put, take, the zero-copy pieces with
// commit and consume, clear): the ring never holds more than it can, never
// hands out bytes out of order, and never reads or writes outside itself.
#include <cstdlib>
#include <deque>

#include "fuzz_support.h"
#include "net/ring_buffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StartFuzzTarget();
  static RingBuffer ring;
  ring.Clear();
  std::deque<uint8_t> model;  // what the ring must hand back, in order
  uint8_t next = 0;
  uint8_t bytes[20000];
  for (size_t i = 0; i + 2 < size; i += 3) {
    const uint32_t length = (uint32_t{data[i + 1]} << 8 | data[i + 2]) % 10000;
    switch (data[i] % 5) {
      case 0: {  // put
        for (uint32_t k = 0; k < length; ++k) bytes[k] = static_cast<uint8_t>(next + k);
        const uint32_t put = ring.Put(bytes, length);
        for (uint32_t k = 0; k < put; ++k) model.push_back(static_cast<uint8_t>(next + k));
        next = static_cast<uint8_t>(next + put);
        break;
      }
      case 1: {  // take
        const uint32_t took = ring.Take(bytes, length);
        for (uint32_t k = 0; k < took; ++k) {
          if (model.empty() || model.front() != bytes[k]) std::abort();
          model.pop_front();
        }
        break;
      }
      case 2: {  // write in place, then commit
        auto piece = ring.WritablePiece();
        const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(piece.size()));
        for (uint32_t k = 0; k < n; ++k) piece[k] = static_cast<uint8_t>(next + k);
        ring.Commit(n);
        for (uint32_t k = 0; k < n; ++k) model.push_back(static_cast<uint8_t>(next + k));
        next = static_cast<uint8_t>(next + n);
        break;
      }
      case 3: {  // read in place, then consume
        auto piece = ring.ReadablePiece();
        const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(piece.size()));
        for (uint32_t k = 0; k < n; ++k) {
          if (model.empty() || model.front() != piece[k]) std::abort();
          model.pop_front();
        }
        ring.Consume(n);
        break;
      }
      default:
        ring.Clear();
        model.clear();
    }
    if (ring.Stored() != model.size() || ring.Stored() > 8191 || ring.Stored() + ring.Free() != 8191) std::abort();
  }
  return 0;
}
