// The byte ring of one direction of one connection: 8192 bytes that hold at
// most 8191 (the write index never catches up with the read index). One side
// produces at the write index, the other consumes at the read index; the
// caller serialises them. Every length is clamped, so no call can step
// outside the buffer whatever it is given.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

struct RingBuffer {
  static constexpr uint32_t kSize = 8192;
  static constexpr uint32_t kMask = kSize - 1;

  uint8_t bytes[kSize];
  uint32_t read = 0;   // 0..8191
  uint32_t write = 0;  // 0..8191

  void Clear() { read = write = 0; }
  uint32_t Stored() const { return (write - read) & kMask; }
  uint32_t Free() const { return (read - write - 1) & kMask; }

  // The stored bytes that follow the read index without wrapping.
  std::span<const uint8_t> ReadablePiece() const {
    return {bytes + read, std::min(Stored(), kSize - read)};
  }
  // The free bytes that follow the write index without wrapping.
  std::span<uint8_t> WritablePiece() {
    return {bytes + write, std::min(Free(), kSize - write)};
  }
  void Consume(uint32_t n) { read = (read + std::min(n, Stored())) & kMask; }
  void Commit(uint32_t n) { write = (write + std::min(n, Free())) & kMask; }

  // Queues up to length bytes in order; returns how many fitted.
  uint32_t Put(const uint8_t* data, uint32_t length) {
    uint32_t total = std::min(length, Free());
    for (uint32_t done = 0; done < total;) {
      std::span<uint8_t> piece = WritablePiece();
      uint32_t n = std::min<uint32_t>(total - done, static_cast<uint32_t>(piece.size()));
      std::memcpy(piece.data(), data + done, n);
      Commit(n);
      done += n;
    }
    return total;
  }
  // Takes up to length bytes in order; returns how many were copied.
  uint32_t Take(uint8_t* out, uint32_t length) {
    uint32_t total = std::min(length, Stored());
    for (uint32_t done = 0; done < total;) {
      std::span<const uint8_t> piece = ReadablePiece();
      uint32_t n = std::min<uint32_t>(total - done, static_cast<uint32_t>(piece.size()));
      std::memcpy(out + done, piece.data(), n);
      Consume(n);
      done += n;
    }
    return total;
  }
};
