// The connection ring: capacity, order across the end of the buffer, and
// lengths that do not fit.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "net/ring_buffer.h"

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13);
  return v;
}

TEST(RingBufferTest, HoldsAtMost8191Bytes) {
  RingBuffer ring;
  std::vector<uint8_t> data = Pattern(10000, 1);
  EXPECT_EQ(ring.Free(), 8191u);
  EXPECT_EQ(ring.Put(data.data(), 10000), 8191u);
  EXPECT_EQ(ring.Stored(), 8191u);
  EXPECT_EQ(ring.Free(), 0u);
  EXPECT_EQ(ring.Put(data.data(), 1), 0u);
  std::vector<uint8_t> out(10000);
  EXPECT_EQ(ring.Take(out.data(), 10000), 8191u);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 8191, data.begin()));
  EXPECT_EQ(ring.Take(out.data(), 1), 0u);
}

// From every kind of starting index, a run of bytes that crosses the end of
// the buffer comes out in order, and the indices stay in range.
TEST(RingBufferTest, BytesCrossTheEndInOrder) {
  struct Case {
    uint32_t start;   // where the indices stand before
    uint32_t length;  // bytes put and taken
  };
  const Case cases[] = {{0, 8191}, {8191, 1}, {8191, 8191}, {8000, 500}, {4096, 8191}, {1, 8190}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "start " << c.start << " length " << c.length);
    RingBuffer ring;
    ring.read = ring.write = c.start;
    std::vector<uint8_t> data = Pattern(c.length, static_cast<uint8_t>(c.start));
    ASSERT_EQ(ring.Put(data.data(), c.length), c.length);
    EXPECT_EQ(ring.Stored(), c.length);
    EXPECT_LT(ring.write, RingBuffer::kSize);
    std::vector<uint8_t> out(c.length);
    // Taken in two uneven parts, through the pieces as the network thread does.
    uint32_t first = c.length / 3;
    ASSERT_EQ(ring.Take(out.data(), first), first);
    uint32_t done = first;
    while (ring.Stored()) {
      std::span<const uint8_t> piece = ring.ReadablePiece();
      ASSERT_GT(piece.size(), 0u);
      std::copy(piece.begin(), piece.end(), out.begin() + done);
      done += static_cast<uint32_t>(piece.size());
      ring.Consume(static_cast<uint32_t>(piece.size()));
    }
    EXPECT_EQ(done, c.length);
    EXPECT_EQ(out, data);
    EXPECT_EQ(ring.read, ring.write);
    EXPECT_LT(ring.read, RingBuffer::kSize);
  }
}

// Commits and consumes larger than what the ring allows are cut to it, so a
// wrong count from a socket call can never move an index past the other.
TEST(RingBufferTest, OversizedCommitsAndConsumesAreClamped) {
  RingBuffer ring;
  ring.read = ring.write = 8190;
  ring.Commit(100000);
  EXPECT_EQ(ring.Stored(), 8191u);
  EXPECT_EQ(ring.Free(), 0u);
  EXPECT_TRUE(ring.WritablePiece().empty());
  ring.Consume(100000);
  EXPECT_EQ(ring.Stored(), 0u);
  EXPECT_TRUE(ring.ReadablePiece().empty());
  ring.Put(nullptr, 0);
  EXPECT_EQ(ring.Take(nullptr, 0), 0u);
}

}  // namespace
