// The plane effects through their builtins.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>

#include "effects_fixture.h"
#include "graphics/plane_effects.h"
#include "graphics/primitives.h"

namespace {

using PlaneEffectsTest = EffectsTest;
constexpr uint32_t kA = 10, kB = 11;

TEST(EffectRandomTest, FollowsTheRuntimeLibrarysSequence) {
  SeedEffectRandom(1);
  for (int want : {41, 18467, 6334, 26500, 19169, 15724}) EXPECT_EQ(EffectRandom(), want);
  SeedEffectRandom(1);
  EXPECT_EQ(EffectRandom(), 41);
}

TEST_F(PlaneEffectsTest, ScrollWrapsTheRectangleAround) {
  const struct {
    int dx, dy;
    int from_x, from_y;  // new(x, y) = old(x + from_x, y + from_y) modulo the size
  } cases[] = {{6, 0, 0, 0}, {0, -4, 0, 0}, {1, 0, 1, 0}, {-1, 0, 5, 0}, {0, 1, 0, 1}, {13, -9, 1, 3}};
  for (const auto& c : cases) {
    Plane* p = Make(kA, 6, 4, 24);
    Pattern(p);
    const std::vector<uint32_t> old = Pixels(p);
    EXPECT_EQ(Call(builtin_scroll, {kA, 0, uint32_t(c.dx), uint32_t(c.dy)}), 1u);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 6; ++x)
        EXPECT_EQ(Get(p, x, y), old[size_t((y + c.from_y) % 4 * 6 + (x + c.from_x) % 6)]) << c.dx << "," << c.dy;
  }
  // Only the rectangle moves.
  Plane* p = Make(kA, 6, 4, 32);
  Pattern(p);
  const std::vector<uint32_t> old = Pixels(p);
  EXPECT_EQ(Call(builtin_scroll, {kA, Words({1, 1, 4, 3}), 1, 0}), 1u);
  EXPECT_EQ(Get(p, 1, 1), old[1 * 6 + 2]);
  EXPECT_EQ(Get(p, 3, 1), old[1 * 6 + 1]);
  EXPECT_EQ(Get(p, 0, 1), old[1 * 6 + 0]);
  EXPECT_EQ(Get(p, 4, 1), old[1 * 6 + 4]);
  EXPECT_EQ(Call(builtin_scroll, {kA, Words({10, 10, 20, 20}), 1, 0}), 0u);  // outside the plane
}

TEST_F(PlaneEffectsTest, BlurAveragesWithEdgePixelsAndBoundsTheRadius) {
  Plane* src = Make(kA, 5, 3, 24);
  Put(src, 0, 1, 30);  // blue 30 at the left edge of the middle row
  Make(kB, 5, 3, 24);
  // Radius 1 across: K = 65536 / 3; the edge pixel counts twice at x = 0.
  EXPECT_EQ(Call(builtin_blur, {kB, 0, 0, kA, 0, 1}), 1u);
  const std::vector<uint32_t> across = {20, 10, 0, 0, 0};
  for (int x = 0; x < 5; ++x) EXPECT_EQ(Get(PlaneAt(kB), x, 1), across[size_t(x)]) << x;
  EXPECT_EQ(Get(PlaneAt(kB), 0, 0), 0u);
  // Radius -1 runs down the columns instead.
  EXPECT_EQ(Call(builtin_blur, {kB, 0, 0, kA, 0, uint32_t(-1)}), 1u);
  for (int y = 0; y < 3; ++y) EXPECT_EQ(Get(PlaneAt(kB), 0, y), 10u) << y;
  EXPECT_EQ(Get(PlaneAt(kB), 1, 1), 0u);

  // Radius 0 is a plain copy; 300 acts as 127; a flat picture stays flat.
  Plane* big = Make(kA, 40, 30, 32);
  Pattern(big, 0x01020301);
  Make(kB, 40, 30, 32);
  EXPECT_EQ(Call(builtin_blur, {kB, 0, 0, kA, 0, 0}), 1u);
  EXPECT_EQ(Pixels(PlaneAt(kB)), Pixels(big));
  for (int32_t r : {300, -300}) {
    Make(kB, 40, 30, 32);
    EXPECT_EQ(Call(builtin_blur, {kB, 0, 0, kA, 0, uint32_t(r)}), 1u);
    const std::vector<uint32_t> wide = Pixels(PlaneAt(kB));
    Make(kB, 40, 30, 32);
    EXPECT_EQ(Call(builtin_blur, {kB, 0, 0, kA, 0, uint32_t(r > 0 ? 127 : -127)}), 1u);
    EXPECT_EQ(Pixels(PlaneAt(kB)), wide);
  }
  FillRect(big, 0, 0, 40, 30, 0x80402010);
  for (int32_t r : {1000000000, -64, 3}) {
    EXPECT_EQ(Call(builtin_blur, {kA, 0, 0, kA, 0, uint32_t(r)}), 1u);  // in place
    for (uint32_t v : Pixels(big)) ASSERT_EQ(v, 0x80402010u) << r;
  }
  Make(kB, 40, 30, 16);
  EXPECT_EQ(Call(builtin_blur, {kB, 0, 0, kA, 0, 1}), 0u);  // formats differ
}

TEST_F(PlaneEffectsTest, BlurMatchesItsSumsOnEveryThreadSplit) {
  // A wide picture split over threads gives what one thread gives.
  Plane* src = Make(kA, 300, 120, 32);
  Pattern(src, 0x01030507);
  g_graphics_settings.MultiThreading = 0;
  Make(kB, 300, 120, 32);
  for (int32_t r : {8, -8}) {
    g_graphics_settings.MultiThreading = 0;
    ASSERT_EQ(Call(builtin_blur, {kB, 0, 0, kA, 0, uint32_t(r)}), 1u);
    const std::vector<uint32_t> one = Pixels(PlaneAt(kB));
    g_graphics_settings.MultiThreading = 1;
    ASSERT_EQ(Call(builtin_blur, {kB, 0, 0, kA, 0, uint32_t(r)}), 1u);
    EXPECT_EQ(Pixels(PlaneAt(kB)), one) << r;
  }
  // Spot check against the formula, away from the edges.
  const int x = 100, y = 50, r = 8;
  for (int shift = 0; shift < 32; shift += 8) {
    uint32_t sum = 0;
    for (int t = -r; t <= r; ++t) sum += (Get(src, x, y + t) >> shift) & 255;
    EXPECT_EQ((Get(PlaneAt(kB), x, y) >> shift) & 255, (sum * (65536 / 17) + 32768) >> 16);
  }
}

TEST_F(PlaneEffectsTest, NoiseBrightensWithTheRuntimeGenerator) {
  Plane* p = Make(kA, 4, 2, 24);
  EXPECT_EQ(Call(builtin_noise, {kA, 0, 0}), 1u);
  EXPECT_EQ(Call(builtin_noise, {kA, 0, uint32_t(-5)}), 1u);
  for (uint32_t v : Pixels(p)) EXPECT_EQ(v, 0u);
  // amount 255: e = 0. Row 0 takes r1 = 41, r2 = 18467 (step 35); row 1 6334, 26500.
  SeedEffectRandom(1);
  EXPECT_EQ(Call(builtin_noise, {kA, 0, 255}), 1u);
  const int row0[4] = {41, 76, 111, 146}, row1[4] = {6334 & 255, (190 + 132) & 255, (190 + 264) & 255, (190 + 396) & 255};
  for (int x = 0; x < 4; ++x) {
    EXPECT_EQ(Get(p, x, 0), uint32_t(row0[x]) * 0x010101u) << x;
    EXPECT_EQ(Get(p, x, 1), uint32_t(row1[x]) * 0x010101u) << x;
  }
}

TEST_F(PlaneEffectsTest, MonotoneMapsBrightnessOntoTheRamp) {
  Plane* p = Make(kA, 3, 1, 24);
  Put(p, 0, 0, 0xFF0000);
  Put(p, 1, 0, 0x00FF00);
  Put(p, 2, 0, 0xFFFFFF);
  EXPECT_EQ(Call(builtin_monotone, {kA, 0, 0x000000, 0xFFFFFF}), 1u);
  EXPECT_EQ(Get(p, 0, 0), 0x4C4C4Cu);  // (19595 * 255) >> 16 = 76
  EXPECT_EQ(Get(p, 1, 0), 0x959595u);  // 149
  EXPECT_EQ(Get(p, 2, 0), 0xFFFFFFu);
  // A ramp from dark to bright per channel, the alpha of 32-bit pixels kept.
  Plane* q = Make(kB, 1, 1, 32);
  Put(q, 0, 0, 0x7FFFFFFF);
  EXPECT_EQ(Call(builtin_monotone, {kB, 0, 0x00204060, 0x00A0C0E0}), 1u);
  EXPECT_EQ(Get(q, 0, 0), 0x7FA0C0E0u);
  Make(kB, 2, 2, 8);
  EXPECT_EQ(Call(builtin_monotone, {kB, 0, 0, 0xFFFFFF}), 0u);
}

TEST_F(PlaneEffectsTest, MonotoneRampHoldsForEveryBrightness) {
  // Rising and falling channels; every format, a row length with a tail.
  const uint32_t dark = 0x20F010, bright = 0xE01080;
  for (int bits : {32, 24}) {
    Plane* p = Make(kA, 259, 3, bits);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 259; ++x) Put(p, x, y, uint32_t(x * 0x9E3779B1u + y * 0x85EBCA6Bu) & (bits == 32 ? ~0u : 0xFFFFFFu));
    const std::vector<uint32_t> old = Pixels(p);
    ASSERT_EQ(Call(builtin_monotone, {kA, 0, dark, bright}), 1u);
    const std::vector<uint32_t> now = Pixels(p);
    for (size_t k = 0; k < old.size(); ++k) {
      const uint32_t o = old[k];
      const int y = int((19595 * ((o >> 16) & 255) + 38470 * ((o >> 8) & 255) + 7471 * (o & 255)) >> 16);
      uint32_t want = o & 0xFF000000u & (bits == 32 ? ~0u : 0u);
      for (int shift = 0; shift <= 16; shift += 8) {
        const int lo = int((dark >> shift) & 255), hi = int((bright >> shift) & 255);
        want |= uint32_t(lo + y * (hi - lo) / 255) << shift;
      }
      ASSERT_EQ(now[k], want) << bits << " bits, pixel " << k;
    }
  }
}

TEST_F(PlaneEffectsTest, FireMovesDimmedRowsUpward) {
  Plane* p = Make(kA, 2, 3, 32);
  Put(p, 0, 2, 0x10203040);
  Put(p, 1, 2, 0x00000001);
  EXPECT_EQ(Call(builtin_fire, {kA, Words({0, 1, 2, 3})}), 1u);  // two rows; both columns are edges
  EXPECT_EQ(Get(p, 0, 1), 0x0F1F2F3Fu);
  EXPECT_EQ(Get(p, 1, 1), 0u);
  EXPECT_EQ(Get(p, 0, 0), 0u);  // outside the rectangle
  EXPECT_EQ(Call(builtin_fire, {kA, Words({0, 1, 2, 2})}), 0u);  // one row
  Plane* q = Make(kB, 2, 2, 8);
  Put(q, 0, 1, 1);
  Put(q, 1, 1, 9);
  EXPECT_EQ(Call(builtin_fire, {kB, 0}), 1u);
  EXPECT_EQ(Get(q, 0, 0), 0u);
  EXPECT_EQ(Get(q, 1, 0), 7u);
}

TEST_F(PlaneEffectsTest, GradationSoftensWithFourTaps) {
  Plane* src = Make(kA, 3, 2, 24);
  Put(src, 0, 0, 0);
  Put(src, 1, 0, 40);
  Put(src, 2, 0, 80);
  Put(src, 1, 1, 4);
  Plane* dst = Make(kB, 5, 3, 24);
  EXPECT_EQ(Call(builtin_gradation, {kB, 1, 1, kA, 0}), 1u);
  EXPECT_EQ(Get(dst, 1, 1), (0u + 0 + 40 + 0) / 4);
  EXPECT_EQ(Get(dst, 2, 1), (40u + 0 + 80 + 4) / 4);
  EXPECT_EQ(Get(dst, 3, 1), (80u + 40 + 80 + 0) / 4);
  EXPECT_EQ(Get(dst, 2, 2), (4u + 0 + 0 + 4) / 4);  // the last row is its own neighbour below
  EXPECT_EQ(Get(dst, 0, 1), 0u);
  // A wide row runs the inside as bytes; it must agree with the formula.
  Plane* wide = Make(kA, 40, 2, 32);
  Pattern(wide, 0x01050709);
  Make(kB, 40, 2, 32);
  ASSERT_EQ(Call(builtin_gradation, {kB, 0, 0, kA, 0}), 1u);
  for (int x = 1; x < 39; ++x)
    for (int shift = 0; shift < 32; shift += 8) {
      auto c = [&](int px, int py) { return (Get(wide, px, py) >> shift) & 255; };
      EXPECT_EQ((Get(PlaneAt(kB), x, 0) >> shift) & 255, (c(x, 0) + c(x - 1, 0) + c(x + 1, 0) + c(x, 1)) / 4) << x;
    }
}

TEST_F(PlaneEffectsTest, MosaicFillsBlocksWithTheirCornersAverage) {
  Plane* src = Make(kA, 5, 3, 24);
  Pattern(src, 4);
  Plane* dst = Make(kB, 5, 3, 24);
  EXPECT_EQ(Call(builtin_mosaic, {kB, 0, 0, kA, 0, 2, 2}), 1u);
  auto avg = [&](int x0, int y0, int x1, int y1) {
    return (Get(src, x0, y0) + Get(src, x1, y0) + Get(src, x0, y1) + Get(src, x1, y1)) >> 2;
  };
  EXPECT_EQ(Get(dst, 0, 0), avg(0, 0, 1, 1));
  EXPECT_EQ(Get(dst, 1, 1), avg(0, 0, 1, 1));
  EXPECT_EQ(Get(dst, 4, 0), avg(4, 0, 4, 1));  // a partial block uses its own corners
  EXPECT_EQ(Get(dst, 3, 2), avg(2, 2, 3, 2));
  EXPECT_EQ(Call(builtin_mosaic, {kB, 0, 0, kA, 0, 0, 2}), 0u);
  EXPECT_EQ(Call(builtin_mosaic, {kB, 0, 0, kA, 0, 2000000000, 2000000000}), 1u);
  EXPECT_EQ(Get(dst, 2, 1), avg(0, 0, 4, 2));
}

TEST_F(PlaneEffectsTest, MappingsWithoutATurnCopy) {
  // freemap onto the whole plane, rotate by 0 or a full turn and smooth at
  // the same size all give the source back.
  Plane* src = Make(kA, 8, 6, 32);
  Pattern(src, 0x01020304);
  const std::vector<uint32_t> want = Pixels(src);
  const struct {
    const char* name;
    BuiltinHandler h;
    std::vector<uint32_t> args;
  } cases[] = {
      {"freemap", builtin_freemap, {kB, 0, kA, 0, uint32_t(-1)}},
      {"rotate", builtin_rotate, {kB, 0, kA, 0, 0, uint32_t(-1)}},
      {"rotate a full turn", builtin_rotate, {kB, 0, kA, 0, 2048, uint32_t(-1)}},
      {"smooth", builtin_smooth, {kB, 0, kA, 0, uint32_t(-1)}},
  };
  for (const auto& c : cases) {
    Make(kB, 8, 6, 32);
    uint32_t at = scratch_;
    for (uint32_t w : c.args) std::memcpy(ToHost(at), &w, 4), at += 4;
    EXPECT_EQ(c.h(BuiltinArgs{scratch_}), 1u) << c.name;
    EXPECT_EQ(Pixels(PlaneAt(kB)), want) << c.name;
  }
}

TEST_F(PlaneEffectsTest, RotateAndFreemapTurnAndSkipTheKey) {
  Plane* src = Make(kA, 8, 6, 24);
  Pattern(src);
  Put(src, 0, 0, 0x00FF00);
  Plane* dst = Make(kB, 8, 6, 24);
  FillRect(dst, 0, 0, 8, 6, 0x123456);
  EXPECT_EQ(Call(builtin_rotate, {kB, 0, kA, 0, 1024, 0x00FF00}), 1u);  // half a turn, key green
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x)
      EXPECT_EQ(Get(dst, x, y), (x == 7 && y == 5) ? 0x123456u : Get(src, 7 - x, 5 - y)) << x << "," << y;
  // Corners mirrored left to right.
  Make(kB, 8, 6, 24);
  EXPECT_EQ(Call(builtin_freemap, {kB, Words({7, 0, 7, 5, 0, 5, 0, 0}), kA, 0, uint32_t(-1)}), 1u);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(Get(PlaneAt(kB), x, y), Get(src, 7 - x, y)) << x << "," << y;
  // A turned square leaves no holes inside: the disc it always covers is white.
  Plane* sq = Make(kA, 40, 40, 24);
  FillRect(sq, 0, 0, 40, 40, 0xFFFFFF);
  for (int angle = 0; angle < 2048; angle += 37) {
    Plane* out = Make(kB, 40, 40, 24);
    ASSERT_EQ(Call(builtin_rotate, {kB, 0, kA, 0, uint32_t(angle), uint32_t(-1)}), 1u);
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 40; ++x)
        if ((2 * x - 39) * (2 * x - 39) + (2 * y - 39) * (2 * y - 39) < 36 * 36) {
          ASSERT_EQ(Get(out, x, y), 0xFFFFFFu) << "angle " << angle << " at " << x << "," << y;
        }
  }
  // Hostile corners are refused rather than walked.
  EXPECT_EQ(Call(builtin_freemap, {kB, Words({0, 0, 0, 1000000000, 1000000000, 0, 5, 5}), kA, 0, uint32_t(-1)}), 0u);
  Make(kB, 8, 6, 16);
  EXPECT_EQ(Call(builtin_rotate, {kB, 0, kA, 0, 0, uint32_t(-1)}), 0u);  // formats differ
}

TEST_F(PlaneEffectsTest, TiledRepeatsTheSourceFromTheCentre) {
  Plane* src = Make(kA, 4, 3, 24);
  Pattern(src);
  const struct {
    int angle, zoom;
    int xx, xy, yx, yy;  // source offset per destination step right (xx, xy) and down (yx, yy), in halves
  } cases[] = {
      {0, 0, 2, 0, 0, 2},     // zoom 0 counts as 1
      {0, 2, 1, 0, 0, 1},     // magnified twice
      {512, 1, 0, 2, -2, 0},  // a quarter turn
  };
  for (const auto& c : cases) {
    Plane* dst = Make(kB, 10, 8, 24);
    EXPECT_EQ(Call(builtin_tiled, {kB, 0, kA, 0, uint32_t(c.angle), uint32_t(c.zoom)}), 1u);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 10; ++x) {
        // The source's top-left corner sits at the rectangle's centre (5, 4).
        const int dx = x - 5, dy = y - 4;
        const int hx = dx * c.xx + dy * c.yx, hy = dx * c.xy + dy * c.yy;
        auto floor_half = [](int h) { return h >= 0 ? h / 2 : -((-h + 1) / 2); };
        const int fx = (floor_half(hx) % 4 + 4) % 4, fy = (floor_half(hy) % 3 + 3) % 3;
        EXPECT_EQ(Get(dst, x, y), Get(src, fx, fy)) << c.angle << " " << c.zoom << " at " << x << "," << y;
      }
  }
  Make(kB, 10, 8, 32);
  EXPECT_EQ(Call(builtin_tiled, {kB, 0, kA, 0, 0, 1}), 0u);  // formats differ
}

TEST_F(PlaneEffectsTest, KeysAreComparedInTheSourcesFormat) {
  const struct {
    int bits;
    uint32_t pixel;   // the source pixel at (0, 0)
    int32_t key;
  } cases[] = {
      {32, 0xFF00FF00, 0x0000FF00},  // the alpha byte takes no part
      {24, 0x00123456, 0x00123456},
      {16, 0x03E0, 0x0000FF00},      // green packed to x1r5g5b5
      {16, 0x83E0, 0x0000FF00},      // bit 15 takes no part
      {8, 0xE3, 0x00FF00FF},         // the nearest index of the 3-3-2 table
      {8, 7, 0x01000007},            // an index of the engine colour table
  };
  for (const auto& c : cases) {
    Plane* src = Make(kA, 2, 1, c.bits);
    Put(src, 0, 0, c.pixel);
    Put(src, 1, 0, 1);
    Plane* dst = Make(kB, 2, 1, c.bits);
    Put(dst, 0, 0, 2);
    EXPECT_EQ(Call(builtin_freemap, {kB, 0, kA, 0, uint32_t(c.key)}), 1u);
    EXPECT_EQ(Get(dst, 0, 0), 2u) << c.bits << " " << std::hex << c.pixel;  // keyed: left alone
    EXPECT_EQ(Get(dst, 1, 0), 1u) << c.bits;
  }
}

TEST_F(PlaneEffectsTest, SmoothInterpolatesWhenEnlargingAndAveragesWhenReducing) {
  Plane* src = Make(kA, 4, 1, 24);
  for (int x = 0; x < 4; ++x) Put(src, x, 0, uint32_t(x * 80));
  Plane* half = Make(kB, 2, 1, 24);
  EXPECT_EQ(Call(builtin_smooth, {kB, 0, kA, 0, uint32_t(-1)}), 1u);
  EXPECT_EQ(Get(half, 0, 0), 40u);   // (0 + 80) / 2
  EXPECT_EQ(Get(half, 1, 0), 200u);  // (160 + 240) / 2
  Plane* wide = Make(kB, 9, 1, 24);
  EXPECT_EQ(Call(builtin_smooth, {kB, 0, kA, 0, uint32_t(-1)}), 1u);
  for (int x = 1; x < 9; ++x) EXPECT_GE(Get(wide, x, 0), Get(wide, x - 1, 0)) << x;  // a smooth ramp
  EXPECT_GT(Get(wide, 1, 0), 0u);
  EXPECT_LT(Get(wide, 1, 0), 80u);  // between two source pixels
}

TEST_F(PlaneEffectsTest, SliceShiftsRowsAndFillsWithZero) {
  Plane* p = Make(kA, 8, 4, 32);
  Pattern(p);
  EXPECT_EQ(Call(builtin_slice, {kA, 0, 0}), 1u);
  const std::vector<uint32_t> old = Pixels(p);
  SeedEffectRandom(1);
  EXPECT_EQ(Call(builtin_slice, {kA, 0, 64}), 1u);  // c = 2: shifts 41 % 4 - 2 = -1, 18467 % 4 - 2 = 1, ...
  const int shifts[4] = {-1, 1, 0, -2};
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 8; ++x) {
      const int from = x - shifts[y];
      EXPECT_EQ(Get(p, x, y), from >= 0 && from < 8 ? old[size_t(y * 8 + from)] : 0u) << x << "," << y;
    }
}

TEST_F(PlaneEffectsTest, InPlaceGivesWhatACopyGives) {
  // Effects that read a source while writing a destination see the source as
  // it was, also when both are the same plane.
  const uint32_t mirror = Words({11, 0, 11, 8, 0, 8, 0, 0});
  const struct {
    const char* name;
    BuiltinHandler h;
    std::vector<uint32_t> args;  // destination first; source kA
  } cases[] = {
      {"freemap", builtin_freemap, {0, mirror, kA, 0, uint32_t(-1)}},
      {"rotate", builtin_rotate, {0, 0, kA, 0, 700, uint32_t(-1)}},
      {"smooth", builtin_smooth, {0, Words({-3, 0, 15, 9}), kA, 0, uint32_t(-1)}},
      {"tiled", builtin_tiled, {0, 0, kA, Words({2, 2, 7, 6}), 100, 1}},
      {"gradation", builtin_gradation, {0, 1, 1, kA, 0}},
      {"mosaic", builtin_mosaic, {0, 1, 2, kA, 0, 3, 2}},
      {"blur across", builtin_blur, {0, 2, 1, kA, 0, 2}},
      {"blur down", builtin_blur, {0, 1, 2, kA, 0, uint32_t(-2)}},
  };
  for (const auto& c : cases) {
    std::vector<std::vector<uint32_t>> results;
    for (uint32_t dst : {kB, kA}) {
      Plane* src = Make(kA, 12, 9, 32);
      Pattern(src, 0x01070B0D);
      if (dst == kB) {
        Make(kB, 12, 9, 32);
        Pattern(PlaneAt(kB), 0x01070B0D);
      }
      std::vector<uint32_t> args = c.args;
      args[0] = dst;
      uint32_t at = scratch_;
      for (uint32_t w : args) std::memcpy(ToHost(at), &w, 4), at += 4;
      EXPECT_EQ(c.h(BuiltinArgs{scratch_}), 1u) << c.name;
      results.push_back(Pixels(PlaneAt(dst)));
    }
    EXPECT_EQ(results[0], results[1]) << c.name;
  }
}

TEST_F(PlaneEffectsTest, HostileRectanglesAreRefused) {
  Plane* p = Make(kA, 8, 6, 24);
  Pattern(p);
  Make(kB, 8, 6, 24);
  const uint32_t far = Words({1000000, 1000000, 2000000, 2000000});
  const uint32_t huge = Words({INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX});
  for (uint32_t r : {far}) {
    EXPECT_EQ(Call(builtin_noise, {kA, r, 100}), 0u);
    EXPECT_EQ(Call(builtin_slice, {kA, r, 100}), 0u);
    EXPECT_EQ(Call(builtin_monotone, {kA, r, 0, 0xFFFFFF}), 0u);
    EXPECT_EQ(Call(builtin_fire, {kA, r}), 0u);
    EXPECT_EQ(Call(builtin_blur, {kB, 0, 0, kA, r, 5}), 0u);
    EXPECT_EQ(Call(builtin_tiled, {kB, r, kA, 0, 0, 1}), 0u);
    EXPECT_EQ(Call(builtin_smooth, {kB, r, kA, 0, uint32_t(-1)}), 0u);
  }
  // A huge rectangle is clipped; the effects run on what is left.
  EXPECT_EQ(Call(builtin_scroll, {kA, huge, 3, 1}), 1u);
  EXPECT_EQ(Call(builtin_noise, {kA, huge, 10}), 1u);
  EXPECT_EQ(Call(builtin_tiled, {kB, huge, kA, 0, 100, uint32_t(-3)}), 1u);
  EXPECT_EQ(Call(builtin_smooth, {kB, huge, kA, 0, uint32_t(-1)}), 1u);
  EXPECT_EQ(Call(builtin_blur, {kB, uint32_t(-1000), uint32_t(-1000), kA, huge, 5}), 0u);  // lands off the plane
  EXPECT_EQ(Call(builtin_gradation, {900, 0, 0, kA, 0}), 0u);
}

}  // namespace

namespace {

// Every effect and primitive called many times with arguments drawn from
// values that tend to break things: missing and mismatched planes, rectangles
// far outside or reversed, extreme numbers. Nothing may crash or hang.
TEST_F(EffectsTest, HostileArgumentsNeitherCrashNorHang) {
  Make(1, 9, 7, 8);
  Make(2, 9, 7, 16);
  Make(3, 9, 7, 24);
  Make(4, 9, 7, 32);
  Make(5, 17, 9, 32);
  Make(6, 3, 2, 4);
  const uint32_t rects[] = {
      0,
      Words({1, 1, 5, 5}),
      Words({5, 5, 1, 1}),
      Words({-100, -100, 100, 100}),
      Words({INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}),
      Words({3, 3, 3, 3}),
      Words({1000000000, 0, -1000000000, 5}),
      Words({8, 6, 9, 7}),
  };
  const int32_t numbers[] = {0, 1, -1, 2, 3, 7, 8, 9, 64, 127, 255, 256, 300, -300, 2048, 65536,
                             1000000000, -1000000000, INT32_MAX, INT32_MIN};
  const uint32_t planes[] = {0, 1, 2, 3, 4, 5, 6, 7, 1023, 1024, 0xFFFFFFFF};
  struct Builtin {
    const char* name;
    BuiltinHandler h;
    const char* kinds;  // p plane, r rectangle or corners, n number, s mesh slot
  };
  const Builtin builtins[] = {
      {"freemap", builtin_freemap, "prprn"},   {"rotate", builtin_rotate, "prprnn"},
      {"smooth", builtin_smooth, "prprn"},     {"tiled", builtin_tiled, "prprnn"},
      {"scroll", builtin_scroll, "prnn"},      {"noise", builtin_noise, "prn"},
      {"slice", builtin_slice, "prn"},         {"gradation", builtin_gradation, "pnnpr"},
      {"mosaic", builtin_mosaic, "pnnprnn"},   {"monotone", builtin_monotone, "prnn"},
      {"blur", builtin_blur, "pnnprn"},        {"fire", builtin_fire, "pr"},
      {"ef_init", builtin_ef_init, "sprpr"},   {"ef_copy", builtin_ef_copy, "s"},
      {"ef_info", builtin_ef_info, "sr"},      {"ef_rotate", builtin_ef_rotate, "snnnn"},
      {"ef_land", builtin_ef_land, "snnn"},    {"ef_ball", builtin_ef_ball, "snnn"},
      {"ef_whirl", builtin_ef_whirl, "sn"},    {"ef_raster", builtin_ef_raster, "snnn"},
      {"ef_blob", builtin_ef_blob, "snnnn"},   {"ef_water", builtin_ef_water, "s"},
      {"ef_free", builtin_ef_free, "s"},       {"gline", builtin_gline, "pnnnnn"},
      {"gpoly", builtin_gpoly, "prnn"},
  };
  uint32_t seed = 2026;
  auto next = [&](uint32_t n) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % n;
  };
  for (int round = 0; round < 3000; ++round) {
    const Builtin& b = builtins[next(std::size(builtins))];
    std::vector<uint32_t> args;
    for (const char* k = b.kinds; *k; ++k) {
      switch (*k) {
        case 'p': args.push_back(planes[next(std::size(planes))]); break;
        case 'r': args.push_back(rects[next(std::size(rects))]); break;
        case 's': args.push_back(next(10)); break;
        default: args.push_back(uint32_t(numbers[next(std::size(numbers))])); break;
      }
    }
    uint32_t at = scratch_;
    for (uint32_t w : args) std::memcpy(ToHost(at), &w, 4), at += 4;
    b.h(BuiltinArgs{scratch_});
  }
  ResetMeshWarps();
}

}  // namespace
