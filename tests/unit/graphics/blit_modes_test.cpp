#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "graphics/blit_simd.h"
#include "graphics_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Runs one blit routine over whole planes of the same size, the way the blit
// geometry calls it for an unscaled copy. Returns false when the mode is refused.
struct BlitRun {
  bool refused = false;
  bool routine = false;
};
// stretched: destination column x takes source column x * 7 / 11 (and rows
// likewise), as a scaled copy does.
BlitRun BlitPlanes(const BlitParams& params, Plane* src, Plane* dst, const uint8_t* mask = nullptr,
               bool mirrored = false, bool scalar = false, bool stretched = false) {
  BlitRun r;
  NormalisedMode n = NormaliseMode(params);
  if (!n.ok) {
    r.refused = true;
    return r;
  }
  const int sb = src->bits / 8, db = dst->bits / 8;
  BlitRoutine f = scalar ? FindScalarBlitRoutine(n.row, sb, db, mask != nullptr)
                         : FindBlitRoutine(n.row, sb, db, mask != nullptr);
  if (!f) return r;
  r.routine = true;
  std::vector<ptrdiff_t> cols(src->width), rows(src->height), mcols(src->width), mrows(src->height);
  for (int x = 0; x < src->width; ++x) {
    const int sx = stretched ? x * 7 / 11 : x;
    cols[x] = ptrdiff_t(sx) * sb;
    mcols[x] = sx;
  }
  for (int y = 0; y < src->height; ++y) {
    const int sy = stretched ? y * 7 / 11 : y;
    rows[y] = PixelAddress(src, 0, sy) - PixelAddress(src, 0, 0);
    mrows[y] = ptrdiff_t(sy) * src->width;
  }
  BlitJob j{};
  j.dst = PixelAddress(dst, mirrored ? dst->width - 1 : 0, 0);
  j.dst_step = mirrored ? -db : db;
  j.dst_row = -dst->stride;
  j.src = PixelAddress(src, 0, 0);
  j.src_cols = cols.data();
  j.src_rows = rows.data();
  j.cols = src->width;
  j.rows = src->height;
  j.params = &n.params;
  j.blend = n.table;
  j.dst_colours = PlaneColourTable(dst);
  j.src_colours = PlaneColourTable(src);
  j.mask = mask;
  j.mask_cols = mcols.data();
  j.mask_rows = mrows.data();
  f(j);
  return r;
}

enum Expect { kWrites, kRefused, kNoRoutine };

struct PixelCase {
  const char* what;
  BlitParams params;
  int src_bits;
  Bytes src;
  int dst_bits;
  Bytes dst;
  Bytes expected;  // kWrites: the destination afterwards
  Expect expect = kWrites;
  int mask = -1;  // mask byte, or -1 for no mask plane
};

BlitParams P(int mode, int level = 0, int amount = 0, uint32_t a = 0, uint32_t b = 0, int channels = 0) {
  return BlitParams{uint8_t(mode), uint8_t(channels), uint8_t(level), uint8_t(amount), a, b};
}

class BlitModeTest : public GraphicsTest {
 protected:
  void Check(const PixelCase& c) {
    Plane* src = CreatePlane(1, 1, c.src_bits);
    Plane* dst = CreatePlane(1, 1, c.dst_bits);
    ASSERT_TRUE(src && dst);
    std::memcpy(PixelAddress(src, 0, 0), c.src.data(), c.src.size());
    std::memcpy(PixelAddress(dst, 0, 0), c.dst.data(), c.dst.size());
    uint8_t mask = uint8_t(c.mask);
    BlitRun r = BlitPlanes(c.params, src, dst, c.mask >= 0 ? &mask : nullptr);
    Bytes after(PixelAddress(dst, 0, 0), PixelAddress(dst, 0, 0) + c.dst.size());
    switch (c.expect) {
      case kRefused:
        EXPECT_TRUE(r.refused) << c.what;
        break;
      case kNoRoutine:
        EXPECT_FALSE(r.refused) << c.what;
        EXPECT_FALSE(r.routine) << c.what;
        EXPECT_EQ(after, c.dst) << c.what;
        break;
      case kWrites:
        EXPECT_TRUE(r.routine) << c.what;
        EXPECT_EQ(after, c.expected) << c.what;
        break;
    }
    FreePlane(src);
    FreePlane(dst);
  }
};

TEST_F(BlitModeTest, NormaliseMode) {
  struct Case {
    BlitParams p;
    bool ok;
    int row;
    const uint8_t* table;
  };
  const Case cases[] = {
      {P(36, 255), false, 0, nullptr},  {P(0), true, 0, nullptr},        {P(3, 0), false, 0, nullptr},
      {P(3, 255), true, 0, nullptr},    {P(3, 254), true, 3, nullptr},   {P(4, 255), true, 1, nullptr},
      {P(5, 0), true, 5, nullptr},      {P(7, 0), false, 0, nullptr},    {P(10, 9, 0), true, 7, nullptr},
      {P(10, 9, 1), true, 10, nullptr}, {P(21, 0), false, 0, nullptr},   {P(22, 0, 0, 0, 0, 0x10), false, 0, nullptr},
      {P(22, 0, 0, 0, 0, 0x18), true, 22, nullptr}, {P(23), true, 23, nullptr}, {P(24, 0), false, 0, nullptr},
      {P(26, 1), true, 26, g_blend.overlay},        {P(29, 1), true, 27, g_blend.soft_light},
      {P(30, 1), true, 26, g_blend.hard_light},     {P(33, 1), true, 27, g_blend.dodge},
      {P(34, 1), true, 26, g_blend.burn},           {P(35, 0), false, 0, nullptr},
  };
  for (const Case& c : cases) {
    NormalisedMode n = NormaliseMode(c.p);
    EXPECT_EQ(n.ok, c.ok) << int(c.p.mode) << "/" << int(c.p.level);
    if (!c.ok || !n.ok) continue;
    EXPECT_EQ(n.row, c.row) << int(c.p.mode);
    EXPECT_EQ(n.params.mode, c.row);
    EXPECT_EQ(n.table, c.table) << int(c.p.mode);
  }
}

TEST_F(BlitModeTest, ReciprocalDivisionIsExactForEveryDivisor) {
  for (uint32_t a = 1; a <= 65025; ++a) {
    for (uint32_t k : {1u, 2u, 100u, 255u}) {
      for (uint32_t n : {k * a - 1, k * a, k * a + a - 1}) ASSERT_EQ(DivideByReciprocal(n, a), n / a) << n << "/" << a;
    }
  }
  EXPECT_EQ(DivideByReciprocal(255u * 255 * 255 * 2, 65025), 510u);
}

TEST_F(BlitModeTest, ColourModes) {
  const uint32_t kRed = 0xFF0000, kBlue = 0x0000FF;
  const PixelCase cases[] = {
      {"0 copy 32->32 all four bytes", P(0), 32, {10, 20, 30, 40}, 32, {1, 2, 3, 4}, {10, 20, 30, 40}},
      {"0 copy 24->32 keeps alpha", P(0), 24, {10, 20, 30}, 32, {1, 2, 3, 4}, {10, 20, 30, 4}},
      {"0 copy 32->24", P(0), 32, {10, 20, 30, 40}, 24, {1, 2, 3}, {10, 20, 30}},
      {"0 copy 16->16 clears bit 15", P(0), 16, {0xFF, 0xFF}, 16, {0, 0}, {0xFF, 0x7F}},
      {"0 copy 16->32 expands", P(0), 16, {0x00, 0x7C}, 32, {1, 2, 3, 4}, {0, 0, 255, 4}},
      {"0 copy 32->16 packs", P(0), 32, {255, 0, 8, 0}, 16, {0, 0}, {0x1F, 0x04}},
      {"0 copy 8->32 through the colour table", P(0), 8, {224}, 32, {1, 2, 3, 4}, {0, 0, 255, 4}},
      {"0 copy 32->8 through the inverse map", P(0), 32, {0, 0, 255, 0}, 8, {7}, {224}},
      {"0 copy 8->8 copies the index", P(0), 8, {5}, 8, {9}, {5}},
      {"0 level 0 still copies", P(0, 0), 24, {1, 2, 3}, 24, {0, 0, 0}, {1, 2, 3}},
      {"1 key skipped", P(1, 0, 0, 0x302010), 32, {0x10, 0x20, 0x30, 0x99}, 32, {1, 2, 3, 4}, {1, 2, 3, 4}},
      {"1 other colours copied RGB only", P(1, 0, 0, 0x302010), 32, {0x11, 0x20, 0x30, 0x99}, 32, {1, 2, 3, 4},
       {0x11, 0x20, 0x30, 4}},
      {"1 8-bit source keys on the index", P(1, 0, 0, 0x01000005), 8, {5}, 32, {1, 2, 3, 4}, {1, 2, 3, 4}},
      {"1 8-bit source other index", P(1, 0, 0, 0x01000005), 8, {224}, 32, {1, 2, 3, 4}, {0, 0, 255, 4}},
      {"1 16-bit source keys on its 24-bit colour", P(1, 0, 0, kRed), 16, {0x00, 0x7C}, 24, {1, 2, 3}, {1, 2, 3}},
      {"2 destination key kept", P(2, 0, 0, kBlue), 32, {1, 2, 3, 4}, 32, {255, 0, 0, 7}, {255, 0, 0, 7}},
      {"2 other destination written", P(2, 0, 0, kBlue), 32, {1, 2, 3, 4}, 32, {254, 0, 0, 7}, {1, 2, 3, 7}},
      {"2 16-bit destination key", P(2, 0, 0, kRed), 24, {1, 2, 3}, 16, {0x00, 0x7C}, {0x00, 0x7C}},
      {"3 level 1 is weight 2", P(3, 1), 32, {255, 255, 255, 255}, 32, {0, 0, 0, 0}, {1, 1, 1, 1}},
      {"3 blend floors toward minus infinity", P(3, 127), 24, {0, 0, 0}, 24, {255, 255, 255}, {127, 127, 127}},
      {"3 level 255 is a copy", P(3, 255), 32, {9, 8, 7, 6}, 32, {0, 0, 0, 0}, {9, 8, 7, 6}},
      {"3 on 16 bits", P(3, 127), 16, {0xFF, 0x7F}, 16, {0, 0}, {0xEF, 0x3D}},
      {"3 on 8-bit index numbers", P(3, 127), 8, {200}, 8, {100}, {150}},
      {"3 24->32 leaves alpha", P(3, 127), 24, {0, 0, 0}, 32, {255, 255, 255, 9}, {127, 127, 127, 9}},
      {"3 level 0 refused", P(3, 0), 32, {0, 0, 0, 0}, 32, {1, 1, 1, 1}, {}, kRefused},
      {"4 key skipped", P(4, 127, 0, 0x302010), 32, {0x10, 0x20, 0x30, 0}, 32, {255, 255, 255, 255},
       {255, 255, 255, 255}},
      {"4 others blended", P(4, 127, 0, 0x302010), 32, {0, 0, 0, 0}, 32, {255, 255, 255, 255}, {127, 127, 127, 127}},
      {"5 tint full", P(5, 0, 255, 0, kRed), 32, {10, 20, 30, 40}, 32, {1, 2, 3, 4}, {0, 0, 255, 4}},
      {"5 tint half", P(5, 0, 127, 0, kRed), 32, {10, 20, 30, 40}, 32, {1, 2, 3, 4}, {5, 10, 142, 4}},
      {"5 tint amount 0 copies", P(5, 0, 0, 0, kRed), 24, {10, 20, 30}, 24, {1, 2, 3}, {10, 20, 30}},
      {"6 keyed tint skips the key", P(6, 0, 255, 0x302010, kRed), 32, {0x10, 0x20, 0x30, 0}, 32, {1, 2, 3, 4},
       {1, 2, 3, 4}},
      {"13 add saturates alpha too", P(13, 255), 32, {200, 200, 200, 200}, 32, {100, 100, 100, 100},
       {255, 255, 255, 255}},
      {"13 add half", P(13, 127), 32, {200, 200, 200, 200}, 32, {100, 100, 100, 100}, {200, 200, 200, 200}},
      {"13 24->32 leaves alpha", P(13, 255), 24, {200, 200, 200}, 32, {100, 100, 100, 100}, {255, 255, 255, 100}},
      {"14 subtract saturates", P(14, 255), 24, {200, 10, 0}, 24, {100, 100, 100}, {0, 90, 100}},
      {"15 multiply", P(15, 255), 24, {128, 255, 0}, 24, {128, 77, 200}, {64, 77, 0}},
      {"16 and", P(16, 255), 24, {0xF0, 0, 0}, 24, {0x3C, 0, 0}, {0x30, 0, 0}},
      {"17 or", P(17, 255), 24, {0xF0, 0, 0}, 24, {0x3C, 0, 0}, {0xFC, 0, 0}},
      {"18 xor", P(18, 255), 24, {0xF0, 0, 0}, 24, {0x3C, 0, 0}, {0xCC, 0, 0}},
      {"18 xor half", P(18, 127), 24, {0xF0, 0, 0}, 24, {0x3C, 0, 0}, {0x84, 0, 0}},
      {"19 screen", P(19, 255), 24, {128, 0, 255}, 24, {128, 0, 10}, {192, 0, 255}},
      {"20 lighten", P(20, 255), 24, {10, 30, 0}, 24, {20, 20, 0}, {20, 30, 0}},
      {"21 darken", P(21, 255), 24, {10, 30, 0}, 24, {20, 20, 0}, {10, 20, 0}},
      {"22 alpha only", P(22, 0, 0, 0, 0, 0x08), 32, {1, 2, 3, 4}, 32, {9, 9, 9, 9}, {9, 9, 9, 4}},
      {"22 blue and red", P(22, 0, 0, 0, 0, 0x05), 32, {1, 2, 3, 4}, 32, {9, 9, 9, 9}, {1, 9, 3, 9}},
      {"22 16-bit blue bits", P(22, 0, 0, 0, 0, 0x01), 16, {0xFF, 0x7F}, 16, {0, 0}, {0x1F, 0}},
      {"22 24->32 alpha has no source", P(22, 0, 0, 0, 0, 0x08), 24, {1, 2, 3}, 32, {9, 9, 9, 9}, {9, 9, 9, 9}},
      {"22 mask 0x10 refused", P(22, 0, 0, 0, 0, 0x10), 32, {1, 2, 3, 4}, 32, {9, 9, 9, 9}, {}, kRefused},
      {"26 overlay", P(26, 255), 24, {100, 0, 0}, 24, {200, 0, 0}, {189, 0, 0}},
      {"28 soft light", P(28, 255), 24, {255, 0, 0}, 24, {128, 0, 0}, {180, 0, 0}},
      {"30 hard light", P(30, 255), 24, {200, 0, 0}, 24, {100, 0, 0}, {189, 0, 0}},
      {"32 dodge", P(32, 255), 24, {100, 200, 0}, 24, {100, 100, 0}, {164, 255, 0}},
      {"34 burn", P(34, 255), 24, {200, 0, 0}, 24, {100, 0, 0}, {58, 0, 0}},
      {"26 overlay half keeps alpha", P(26, 127), 32, {100, 0, 0, 0}, 32, {200, 0, 0, 7}, {194, 0, 0, 7}},
  };
  for (const PixelCase& c : cases) Check(c);
}

TEST_F(BlitModeTest, AlphaModes) {
  const uint32_t kBlue = 0x0000FF;
  const PixelCase cases[] = {
      {"7 over alpha 0", P(7, 255), 32, {100, 150, 200, 128}, 32, {9, 9, 9, 0}, {100, 150, 200, 128}},
      {"7 general", P(7, 255), 32, {200, 100, 0, 128}, 32, {0, 100, 200, 255}, {100, 100, 99, 255}},
      {"7 onto 24 bits", P(7, 255), 32, {200, 100, 0, 128}, 24, {0, 100, 200}, {100, 100, 99}},
      {"7 opaque", P(7, 255), 32, {1, 2, 3, 255}, 32, {9, 9, 9, 9}, {1, 2, 3, 255}},
      {"7 level scales alpha", P(7, 127), 32, {1, 2, 3, 255}, 32, {9, 9, 9, 0}, {1, 2, 3, 127}},
      {"7 transparent", P(7, 255), 32, {1, 2, 3, 0}, 32, {9, 9, 9, 9}, {9, 9, 9, 9}},
      {"7 level 0 refused", P(7, 0), 32, {1, 2, 3, 255}, 32, {9, 9, 9, 9}, {}, kRefused},
      {"7 24-bit source is x1r5g5b5 + alpha", P(7, 255), 24, {0x00, 0x7C, 128}, 32, {0, 0, 0, 0}, {0, 0, 255, 128}},
      {"7 16-bit source is index + alpha", P(7, 255), 16, {224, 255}, 32, {0, 0, 0, 0}, {0, 0, 255, 255}},
      {"7 8-bit source has no routine", P(7, 255), 8, {224}, 32, {1, 2, 3, 4}, {}, kNoRoutine},
      {"7 masked 8-bit source", P(7, 255), 8, {224}, 32, {1, 2, 3, 4}, {0, 0, 255, 255}, kWrites, 255},
      {"7 masked alpha replaces the source's", P(7, 255), 32, {10, 20, 30, 0}, 32, {1, 2, 3, 4},
       {10, 20, 30, 255}, kWrites, 255},
      {"7 masked transparent", P(7, 255), 32, {10, 20, 30, 255}, 32, {1, 2, 3, 4}, {1, 2, 3, 4}, kWrites, 0},
      {"8 behind half", P(8, 255), 32, {0, 0, 0, 0}, 32, {50, 50, 50, 128}, {25, 25, 25, 128}},
      {"8 behind transparent destination", P(8, 255), 32, {7, 8, 9, 0}, 32, {50, 50, 50, 0}, {7, 8, 9, 0}},
      {"8 behind opaque destination", P(8, 255), 32, {7, 8, 9, 0}, 32, {50, 50, 50, 255}, {50, 50, 50, 255}},
      {"8 3-byte destination is x1r5g5b5 + alpha", P(8, 255), 24, {255, 0, 0}, 24, {0x00, 0x7C, 0},
       {0x1F, 0x00, 0}},
      {"8 2-byte destination is index + alpha", P(8, 255), 24, {255, 0, 0}, 16, {224, 0}, {3, 0}},
      {"8 2-byte destination alpha covers", P(8, 255), 24, {255, 0, 0}, 16, {224, 255}, {224, 255}},
      {"8 8-bit destination has no routine", P(8, 255), 32, {1, 2, 3, 4}, 8, {5}, {}, kNoRoutine},
      {"9 opaque source copies", P(9, 1), 32, {1, 2, 3, 255}, 24, {9, 9, 9}, {1, 2, 3}},
      {"9 transparent source", P(9, 1), 32, {1, 2, 3, 0}, 24, {9, 9, 9}, {9, 9, 9}},
      {"10 tinted alpha", P(10, 255, 255, 0, kBlue), 32, {10, 20, 30, 255}, 32, {0, 0, 0, 0}, {255, 0, 0, 255}},
      {"11 inside the range", P(11, 100, 20), 32, {1, 2, 3, 120}, 32, {9, 9, 9, 9}, {1, 2, 3, 9}},
      {"11 above the range", P(11, 100, 20), 32, {1, 2, 3, 121}, 32, {9, 9, 9, 9}, {9, 9, 9, 9}},
      {"11 below the range", P(11, 100, 20), 32, {1, 2, 3, 99}, 32, {9, 9, 9, 9}, {9, 9, 9, 9}},
      {"12 ramp start", P(12, 100, 50), 32, {1, 2, 3, 99}, 32, {0, 0, 0, 0}, {1, 2, 3, 0}},
      {"12 ramp middle", P(12, 100, 50), 32, {255, 255, 255, 125}, 32, {0, 0, 0, 0}, {128, 128, 128, 0}},
      {"12 ramp end", P(12, 100, 50), 32, {255, 255, 255, 150}, 32, {0, 0, 0, 0}, {0, 0, 0, 0}},
      {"23 alpha transfer", P(23), 32, {1, 2, 3, 77}, 32, {9, 9, 9, 9}, {9, 9, 9, 77}},
      {"23 8-bit source gives its index", P(23), 8, {200}, 32, {9, 9, 9, 9}, {9, 9, 9, 200}},
      {"23 8->8 copies the byte", P(23), 8, {200}, 8, {9}, {200}},
      {"23 24-bit destination has no routine", P(23), 32, {1, 2, 3, 4}, 24, {9, 9, 9}, {}, kNoRoutine},
      {"24 full coverage", P(24, 255, 0, 0, 0x112233), 8, {255}, 32, {0, 0, 0, 0}, {0x33, 0x22, 0x11, 255}},
      {"24 half coverage", P(24, 255, 0, 0, 0x112233), 8, {128}, 32, {0, 0, 0, 0}, {25, 17, 8, 128}},
      {"24 no coverage", P(24, 255, 0, 0, 0x112233), 8, {0}, 32, {1, 2, 3, 4}, {1, 2, 3, 4}},
      {"24 32-bit source does nothing", P(24, 255, 0, 0, 0x112233), 32, {1, 2, 3, 4}, 32, {5, 6, 7, 8}, {},
       kNoRoutine},
      {"25 grey", P(25, 255), 32, {0, 0, 255, 255}, 32, {0, 0, 0, 0}, {76, 76, 76, 255}},
      {"27 overlay with alpha", P(27, 255), 32, {100, 100, 100, 255}, 32, {200, 200, 200, 0}, {189, 189, 189, 255}},
      {"27 source alpha 0", P(27, 255), 32, {100, 100, 100, 0}, 32, {200, 200, 200, 9}, {200, 200, 200, 9}},
      {"35 burn with alpha", P(35, 255), 32, {200, 0, 0, 255}, 32, {100, 0, 0, 0}, {58, 0, 0, 255}},
  };
  for (const PixelCase& c : cases) Check(c);
}

// Which format pairs have a routine: one character per pair, in pair index
// order 8->8, 8->16, 8->24, 8->32, 16->8, ... 32->32.
TEST_F(BlitModeTest, RoutineTableCoversExactlyTheTabulatedPairs) {
  const char* all = "1111111111111111";
  const char* alpha = "0000111111111111";  // no alpha in an 8-bit source
  const char* rows[28] = {all, all,   all,   all,   all, all, all, alpha, "0111011101110111", alpha,
                          alpha, alpha, alpha, all,   all, all, all, all,   all,                all,
                          all, all,   all,   "1001000100010001", "1111000000000000", alpha, all, alpha};
  for (int mapping : {0, 1}) {
    g_colour_mapping = mapping;
    for (int row = 0; row < 28; ++row) {
      for (int pair = 0; pair < 16; ++pair) {
        const int sb = pair / 4 + 1, db = pair % 4 + 1;
        EXPECT_EQ(FindBlitRoutine(row, sb, db, false) != nullptr, rows[row][pair] == '1')
            << "row " << row << ", " << sb << "->" << db << " bytes, mapping " << mapping;
        const bool masked_row = row == 7 || row == 10 || row == 11 || row == 12;
        EXPECT_EQ(FindBlitRoutine(row, sb, db, true) != nullptr, masked_row || rows[row][pair] == '1')
            << "masked row " << row << ", " << sb << "->" << db;
      }
    }
  }
  g_colour_mapping = 0;
  EXPECT_EQ(FindBlitRoutine(28, 4, 4, false), nullptr);
}

// Yellow over magenta through every format pair. These colours are exact in
// x1r5g5b5 and in the 3-3-2 palette, so every pair must give the same colour;
// the 8-bit pairs run with colour mapping on (the colour route).
TEST_F(BlitModeTest, EveryFormatPairGivesTheSameColours) {
  struct Colour {
    uint32_t rgb;
    uint8_t index;
  };
  const Colour yellow{0xFFFF00, 252}, magenta{0xFF00FF, 227}, white{0xFFFFFF, 255}, red{0xFF0000, 224},
      blue{0x0000FF, 3}, cyan{0x00FFFF, 31}, green{0x00FF00, 28};
  auto encode = [](int bits, Colour c, uint8_t alpha) -> Bytes {
    const uint8_t r = uint8_t(c.rgb >> 16), g = uint8_t(c.rgb >> 8), b = uint8_t(c.rgb);
    switch (bits) {
      case 8: return {c.index};
      case 16: {
        uint16_t w = PackRgb555(c.rgb);
        return {uint8_t(w), uint8_t(w >> 8)};
      }
      case 24: return {b, g, r};
      default: return {b, g, r, alpha};
    }
  };
  struct Case {
    BlitParams params;
    Colour result;
    int alpha32;  // destination alpha after a 32->32 blit (others keep 0x80)
  };
  const Case cases[] = {
      {P(0), yellow, 0xFF},           {P(1, 0, 0, 0x00FF00), yellow, 0x80}, {P(2, 0, 0, 0x00FF00), yellow, 0x80},
      {P(5, 0, 255, 0, 0x00FF00), green, 0x80}, {P(13, 255), white, 0xFF}, {P(14, 255), blue, 0x00},
      {P(15, 255), red, 0x80},        {P(16, 255), red, 0x80},              {P(17, 255), white, 0xFF},
      {P(18, 255), cyan, 0x7F},       {P(19, 255), white, 0xFF},            {P(20, 255), white, 0xFF},
      {P(21, 255), red, 0x80},        {P(22, 0, 0, 0, 0, 7), yellow, 0x80},
  };
  g_colour_mapping = 1;
  for (const Case& c : cases) {
    for (int sbits : {8, 16, 24, 32}) {
      for (int dbits : {8, 16, 24, 32}) {
        PixelCase pc{"", c.params, sbits, encode(sbits, yellow, 0xFF), dbits, encode(dbits, magenta, 0x80),
                     encode(dbits, c.result, uint8_t(sbits == 32 ? c.alpha32 : 0x80))};
        const std::string what =
            "mode " + std::to_string(c.params.mode) + ", " + std::to_string(sbits) + "->" + std::to_string(dbits);
        pc.what = what.c_str();
        Check(pc);
      }
    }
  }
  // The alpha modes with an opaque source, from the alpha layouts of each size.
  auto alpha_source = [&](int bits) -> Bytes {
    if (bits == 16) return {yellow.index, 255};
    if (bits == 24) return {0xE0, 0x7F, 255};
    return encode(32, yellow, 255);
  };
  const Case alpha_cases[] = {
      {P(7, 255), yellow, 0xFF}, {P(9, 1), yellow, 0x80}, {P(10, 255, 255, 0, 0x00FF00), green, 0xFF},
      {P(11, 200, 55), yellow, 0x80}, {P(12, 255, 1), yellow, 0x80}, {P(25, 255, 255, 0, 0x00FF00), green, 0xFF},
  };
  for (const Case& c : alpha_cases) {
    for (int sbits : {16, 24, 32}) {
      for (int dbits : {8, 16, 24, 32}) {
        PixelCase pc{"", c.params, sbits, alpha_source(sbits), dbits, encode(dbits, magenta, 0x80),
                     encode(dbits, c.result, uint8_t(c.alpha32))};
        const std::string what =
            "mode " + std::to_string(c.params.mode) + ", " + std::to_string(sbits) + "->" + std::to_string(dbits);
        pc.what = what.c_str();
        Check(pc);
      }
    }
  }
  g_colour_mapping = 0;
}

TEST_F(BlitModeTest, ColourMappingBetweenTwo8BitPlanes) {
  Plane* src = CreatePlane(1, 1, 8);
  Plane* dst = CreatePlane(1, 1, 8);
  PlaneColourTable(src)[5] = 0xFF0000;
  *PixelAddress(src, 0, 0) = 5;
  g_colour_mapping = 0;
  BlitPlanes(P(0), src, dst);
  EXPECT_EQ(*PixelAddress(dst, 0, 0), 5);
  g_colour_mapping = 1;
  BlitPlanes(P(0), src, dst);
  EXPECT_EQ(*PixelAddress(dst, 0, 0), 224);
  // Blending on the colours: red 255 halfway to black gives red 127, whose
  // nearest 3-3-2 entry is red level 3 (109) or 4 (145): the map decides.
  *PixelAddress(dst, 0, 0) = 0;
  BlitPlanes(P(3, 127), src, dst);
  EXPECT_EQ(*PixelAddress(dst, 0, 0), InverseColourMap()[PackRgb555(0x7F0000)]);
  g_colour_mapping = 0;
  FreePlane(src);
  FreePlane(dst);
}

// The vector paths against the scalar routines on random pixels: plain,
// mirrored, scaled and both.
TEST_F(BlitModeTest, FastPathsMatchTheScalarRoutines) {
  std::mt19937 rng(42);
  const SimdLevel saved = g_simd_level;
  std::vector<SimdLevel> levels = {SimdLevel::kSse2};
  if (DetectedSimdLevel() == SimdLevel::kAvx2) levels.push_back(SimdLevel::kAvx2);
  struct Size {
    int w, h;
  };
  const Size sizes[] = {{1, 1}, {3, 2}, {37, 5}, {71, 3}, {301, 80}, {600, 2}};  // 600: more than one gathered run
  const int modes[] = {0, 1, 3, 4, 5, 6, 7, 13};
  int run = 0;
  for (SimdLevel level : levels) {
    g_simd_level = level;
    for (int bits : {8, 16, 24, 32}) {
      for (const Size& sz : sizes) {
        for (int mode : modes) {
          for (int layout = 0; layout < 4; ++layout) {
            const bool mirrored = layout & 1, stretched = layout & 2;
            Plane* src = CreatePlane(sz.w, sz.h, bits);
            Plane* a = CreatePlane(sz.w, sz.h, bits);
            Plane* b = CreatePlane(sz.w, sz.h, bits);
            const size_t bytes = size_t(src->stride) * sz.h;
            for (size_t i = 0; i < bytes; ++i) {
              PlanePixels(src)[i] = uint8_t(rng());
              PlanePixels(a)[i] = PlanePixels(b)[i] = uint8_t(rng());
            }
            // Key pixels: every third one of the top row, all of the second row.
            const uint32_t key = 0x00123456;
            if (bits >= 24) {
              for (int x = 0; x < sz.w; ++x) {
                if (x % 3 == 0) std::memcpy(PixelAddress(src, x, 0), &key, 3);
                if (sz.h > 1) std::memcpy(PixelAddress(src, x, 1), &key, 3);
              }
            }
            // Full strength on every other run, where some kernels take a shortcut.
            const int lv = (run++ / 4) % 2 ? 255 : 1 + int(rng() % 255);
            BlitParams p = P(mode, lv, int(rng() % 256), key, rng() & 0xFFFFFF);
            BlitPlanes(p, src, a, nullptr, mirrored, false, stretched);
            BlitPlanes(p, src, b, nullptr, mirrored, true, stretched);
            ASSERT_EQ(std::memcmp(PlanePixels(a), PlanePixels(b), bytes), 0)
                << "mode " << mode << ", " << bits << " bits, " << sz.w << "x" << sz.h << ", level " << int(p.level)
                << ", simd " << int(level) << (mirrored ? ", mirrored" : "") << (stretched ? ", stretched" : "");
            FreePlane(src);
            FreePlane(a);
            FreePlane(b);
          }
        }
      }
    }
  }
  g_simd_level = saved;
}

// The vectorised alpha composite for every pair of source and destination
// alpha, and over runs of transparent and opaque pixels (which take shortcuts).
TEST_F(BlitModeTest, FastAlphaCompositeCoversEveryAlphaPair) {
  std::mt19937 rng(9);
  Plane* src = CreatePlane(256, 256, 32);
  Plane* a = CreatePlane(256, 256, 32);
  Plane* b = CreatePlane(256, 256, 32);
  const SimdLevel saved = g_simd_level;
  const size_t bytes = size_t(a->stride) * 256;
  for (bool runs : {false, true}) {
    for (int y = 0; y < 256; ++y) {
      for (int x = 0; x < 256; ++x) {
        const int run = (x / 8 + y) % 3;
        const uint32_t sa = !runs ? uint32_t(x) : run == 0 ? 0 : run == 1 ? 255 : uint32_t(x);
        uint32_t sv = (rng() & 0xFFFFFF) | sa << 24, dv = (rng() & 0xFFFFFF) | uint32_t(y) << 24;
        if ((x + y) % 7 == 0) sv |= 0xFFFFFF;  // extreme channels
        if ((x + y) % 5 == 0) dv &= 0xFF000000;
        std::memcpy(PixelAddress(src, x, y), &sv, 4);
        std::memcpy(PixelAddress(a, x, y), &dv, 4);
      }
    }
    for (SimdLevel level : {SimdLevel::kSse2, DetectedSimdLevel()}) {
      g_simd_level = level;
      for (int lv : {255, 200, 1}) {
        Plane* start = CreatePlane(256, 256, 32);
        std::memcpy(PlanePixels(start), PlanePixels(a), bytes);
        std::memcpy(PlanePixels(b), PlanePixels(a), bytes);
        BlitPlanes(P(7, lv), src, a, nullptr, false, false);
        BlitPlanes(P(7, lv), src, b, nullptr, false, true);
        ASSERT_EQ(std::memcmp(PlanePixels(a), PlanePixels(b), bytes), 0)
            << lv << " simd " << int(level) << (runs ? " runs" : "");
        std::memcpy(PlanePixels(a), PlanePixels(start), bytes);
        FreePlane(start);
      }
    }
  }
  g_simd_level = saved;
  FreePlane(src);
  FreePlane(a);
  FreePlane(b);
}

// The division of the vectorised alpha composite against floor(n / a) for
// every divisor a the composite can meet (1..65025) and every quotient k up to
// 255, at both ends of k's run of numerators: k a and k a + a - 1 (only k a
// for k = 255, as n never exceeds 255 a). A truncated, correctly rounded
// quotient never falls as n grows, so agreeing at both ends of every run it
// agrees at every numerator in between: the whole domain is covered.
TEST_F(BlitModeTest, AlphaCompositeQuotientsAreExact) {
  if (DetectedSimdLevel() != SimdLevel::kAvx2) GTEST_SKIP() << "the processor has no AVX2";
  constexpr uint32_t kDivisors = 64;  // per batch
  std::vector<uint32_t> n, a, q;
  for (uint32_t first = 1; first <= 65025; first += kDivisors) {
    n.clear(), a.clear();
    for (uint32_t A = first; A < first + kDivisors && A <= 65025; ++A) {
      for (uint32_t k = 0; k <= 255; ++k) {
        n.push_back(k * A), a.push_back(A);
        if (k < 255) n.push_back(k * A + A - 1), a.push_back(A);
      }
    }
    while (n.size() % 8) n.push_back(0), a.push_back(1);
    q.assign(n.size(), 0);
    QuotientsByDivision(n.data(), a.data(), q.data(), n.size());
    for (size_t i = 0; i < n.size(); ++i)
      ASSERT_EQ(q[i], n[i] / a[i]) << n[i] << " / " << a[i];
  }
}

// The vectorised composite over every (source alpha, destination alpha) pair
// with channel pairs covering every difference s - d from both ends of the
// range, and each pair from a table of edges (0, 1, the middle, 254, 255), at
// full and partial strength, against the scalar routine.
TEST_F(BlitModeTest, FastAlphaCompositeMatchesOverDenseChannelValues) {
  const SimdLevel saved = g_simd_level;
  g_simd_level = DetectedSimdLevel();
  const uint8_t edges[] = {0, 1, 2, 127, 128, 129, 253, 254, 255};
  std::vector<std::pair<uint8_t, uint8_t>> pairs;
  for (int k = 0; k < 256; ++k) {
    const uint8_t v = uint8_t(k);
    pairs.insert(pairs.end(), {{v, 0}, {0, v}, {v, 255}, {255, v}});
  }
  for (uint8_t s : edges)
    for (uint8_t d : edges) pairs.push_back({s, d});
  Plane* src = CreatePlane(256, 256, 32);
  Plane* a = CreatePlane(256, 256, 32);
  Plane* b = CreatePlane(256, 256, 32);
  const size_t bytes = size_t(a->stride) * 256;
  for (size_t first = 0; first < pairs.size(); first += 3) {
    // Blue, green and red take three consecutive pairs; x is the source alpha, y the destination's.
    uint8_t s3[3], d3[3];
    for (int k = 0; k < 3; ++k) {
      const auto [s, d] = pairs[std::min(first + k, pairs.size() - 1)];
      s3[k] = s, d3[k] = d;
    }
    for (int y = 0; y < 256; ++y) {
      for (int x = 0; x < 256; ++x) {
        const uint8_t sv[4] = {s3[0], s3[1], s3[2], uint8_t(x)}, dv[4] = {d3[0], d3[1], d3[2], uint8_t(y)};
        std::memcpy(PixelAddress(src, x, y), sv, 4);
        std::memcpy(PixelAddress(a, x, y), dv, 4);
      }
    }
    for (int lv : {255, 200}) {
      std::memcpy(PlanePixels(b), PlanePixels(a), bytes);
      Plane* fast = CreatePlane(256, 256, 32);
      std::memcpy(PlanePixels(fast), PlanePixels(a), bytes);
      BlitPlanes(P(7, lv), src, fast, nullptr, false, false);
      BlitPlanes(P(7, lv), src, b, nullptr, false, true);
      for (int y = 0; y < 256; ++y) {
        ASSERT_EQ(std::memcmp(PixelAddress(fast, 0, y), PixelAddress(b, 0, y), 256 * 4), 0)
            << "level " << lv << ", destination alpha " << y << ", channels " << int(s3[0]) << "/" << int(d3[0])
            << " " << int(s3[1]) << "/" << int(d3[1]) << " " << int(s3[2]) << "/" << int(d3[2]);
      }
      FreePlane(fast);
    }
  }
  g_simd_level = saved;
  FreePlane(src);
  FreePlane(a);
  FreePlane(b);
}

// Rows split over threads (vector paths included) give the pixels of the
// scalar routines on one thread.
TEST_F(BlitModeTest, ThreadedRowsMatchOneThread) {
  Plane* src = CreatePlane(200, 120, 32);
  Plane* a = CreatePlane(200, 120, 32);
  Plane* b = CreatePlane(200, 120, 32);
  std::mt19937 rng(3);
  const size_t bytes = size_t(src->stride) * 120;
  for (size_t i = 0; i < bytes; ++i) {
    PlanePixels(src)[i] = uint8_t(rng());
    PlanePixels(a)[i] = PlanePixels(b)[i] = uint8_t(rng());
  }
  for (int mode : {0, 3, 7, 13, 15, 27}) {
    g_graphics_settings.MultiThreading = 1;
    BlitPlanes(P(mode, 200), src, a);
    g_graphics_settings.MultiThreading = 0;
    BlitPlanes(P(mode, 200), src, b, nullptr, false, true);
    ASSERT_EQ(std::memcmp(PlanePixels(a), PlanePixels(b), bytes), 0) << mode;
  }
  FreePlane(src);
  FreePlane(a);
  FreePlane(b);
}

// A plane blitted onto itself one row up: each destination row is written
// after the source row it reads, so the vector paths must keep the scalar
// routines' row order to give their pixels.
TEST_F(BlitModeTest, BlitOntoItselfKeepsTheRowOrder) {
  constexpr int kW = 40, kH = 30;
  const SimdLevel saved = g_simd_level;
  std::mt19937 rng(5);
  for (SimdLevel level : {SimdLevel::kSse2, DetectedSimdLevel()}) {
    g_simd_level = level;
    for (int mode : {0, 3, 7, 13}) {
      Plane* fast = CreatePlane(kW, kH, 32);
      Plane* scalar = CreatePlane(kW, kH, 32);
      const size_t bytes = size_t(fast->stride) * kH;
      for (size_t i = 0; i < bytes; ++i) PlanePixels(fast)[i] = PlanePixels(scalar)[i] = uint8_t(rng());
      NormalisedMode n = NormaliseMode(P(mode, 200));
      for (Plane* plane : {fast, scalar}) {
        std::vector<ptrdiff_t> cols(kW), rows(kH - 1);
        for (int x = 0; x < kW; ++x) cols[x] = ptrdiff_t(x) * 4;
        for (int y = 0; y < kH - 1; ++y) rows[y] = PixelAddress(plane, 0, y + 1) - PixelAddress(plane, 0, 0);
        BlitJob j{};
        j.dst = PixelAddress(plane, 0, 0);
        j.dst_step = 4;
        j.dst_row = -plane->stride;
        j.src = PixelAddress(plane, 0, 0);
        j.src_cols = cols.data();
        j.src_rows = rows.data();
        j.cols = kW;
        j.rows = kH - 1;
        j.params = &n.params;
        (plane == fast ? FindBlitRoutine(n.row, 4, 4, false) : FindScalarBlitRoutine(n.row, 4, 4, false))(j);
      }
      EXPECT_EQ(std::memcmp(PlanePixels(fast), PlanePixels(scalar), bytes), 0)
          << "mode " << mode << ", simd " << int(level);
      FreePlane(fast);
      FreePlane(scalar);
    }
  }
  g_simd_level = saved;
}

TEST_F(BlitModeTest, BlendTableEntries) {
  EXPECT_EQ(g_blend.multiply[255 * 256 + 255], 255);
  EXPECT_EQ(g_blend.multiply[1 * 256 + 126], 0);
  EXPECT_EQ(g_blend.multiply[1 * 256 + 127], 1);
  for (int c = 0; c < 256; ++c) EXPECT_EQ(g_blend.dest_alpha_weight[c], 255) << c;
  EXPECT_EQ(g_blend.dest_alpha_weight[255 * 256 + 255], 255);
  EXPECT_EQ(g_blend.dest_alpha_weight[128 * 256 + 0], 0);
  EXPECT_EQ(g_blend.rgb555[0x7FFF], 0xFFFFFFu);
  EXPECT_EQ(g_blend.rgb555[0x0421], 0x080808u);
  EXPECT_EQ(g_blend.saturate_table[0], 0);
  EXPECT_EQ(g_blend.saturate_table[256 + 200], 200);
  EXPECT_EQ(g_blend.saturate_table[767], 255);
  EXPECT_EQ(g_blend.dodge[255 * 256 + 0], 0);
  EXPECT_EQ(g_blend.burn[0 * 256 + 255], 255);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(&g_blend) % 256, 0u);
}

}  // namespace
