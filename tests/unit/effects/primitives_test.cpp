// Lines, polygons and the HSV conversion.
#include <gtest/gtest.h>

#include <cstdlib>

#include "effects_fixture.h"
#include "graphics/primitives.h"

namespace {

using PrimitivesTest = EffectsTest;

TEST(ColourConversion, PrimariesSecondariesAndGreys) {
  const struct {
    uint32_t rgb, hsv, back;
  } cases[] = {
      {0xFF0000, 0x0000FFFF, 0xFF0000},  // red: hue 0
      {0x00FF00, 0x02AAFFFF, 0x00FF00},  // green: hue 682
      {0x0000FF, 0x0555FFFF, 0x0000FF},  // blue: hue 1365
      {0xFFFF00, 0x0154FFFF, 0xFFFF00},  // yellow: hue 340
      {0x00FFFF, 0x03FEFFFF, 0x00FFFE},  // cyan: the arithmetic loses one step of blue
      {0xFF00FF, 0x06ACFFFF, 0xFF00FE},  // magenta: likewise
      {0x808080, 0x00000080, 0x808080},  // grey: hue and saturation 0
      {0x000000, 0x00000000, 0x000000},
      {0xFFFFFF, 0x000000FF, 0xFFFFFF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RgbToHsv(c.rgb), c.hsv) << std::hex << c.rgb;
    EXPECT_EQ(HsvToRgb(c.hsv), c.back) << std::hex << c.rgb;
  }
}

TEST(ColourConversion, RoundTripStaysWithinTheArithmeticsRounding) {
  for (uint32_t r = 0; r < 256; r += 17)
    for (uint32_t g = 0; g < 256; g += 17)
      for (uint32_t b = 0; b < 256; b += 17) {
        const uint32_t c = r << 16 | g << 8 | b;
        const uint32_t hsv = RgbToHsv(c);
        ASSERT_LT(hsv >> 16, 2048u);
        const uint32_t back = HsvToRgb(hsv);
        // The largest channel is the value itself; the others come back within
        // the truncation of the hue and the two scalings.
        for (int shift = 0; shift <= 16; shift += 8) {
          const int want = int((c >> shift) & 255), got = int((back >> shift) & 255);
          EXPECT_LE(std::abs(want - got), 4) << std::hex << c << " -> " << back;
        }
        EXPECT_EQ(std::max({r, g, b}), hsv & 255);
      }
}

TEST_F(PrimitivesTest, LineClipsToThePlaneAndReportsWhollyOutsideLines) {
  constexpr uint32_t kPlane = 5;
  const struct {
    int x0, y0, x1, y1;
    uint32_t result;
    int drawn;  // pixels changed on the 16 x 8 plane
  } cases[] = {
      {0, 0, 9, 0, 1, 10},      // horizontal, both ends included
      {3, 1, 3, 5, 1, 5},       // vertical
      {-5, 2, 30, 2, 1, 16},    // clipped at both sides
      {-5, -5, -1, 7, 0, 0},    // wholly left
      {2, 9, 14, 20, 0, 0},     // wholly below
      {0, 0, 7, 7, 1, 8},       // a diagonal covers one pixel per column
      {-8, -8, 3, 3, 1, 4},     // a diagonal entering through the corner
  };
  for (const auto& c : cases) {
    Plane* p = Make(kPlane, 16, 8, 32);
    EXPECT_EQ(Call(builtin_gline, {kPlane, uint32_t(c.x0), uint32_t(c.y0), uint32_t(c.x1), uint32_t(c.y1), 0xFF123456}),
              c.result)
        << c.x0 << "," << c.y0 << " " << c.x1 << "," << c.y1;
    int drawn = 0;
    for (uint32_t v : Pixels(p)) {
      if (v) {
        EXPECT_EQ(v, 0xFF123456u);
      }
      drawn += v != 0;
    }
    EXPECT_EQ(drawn, c.drawn) << c.x0 << "," << c.y0 << " " << c.x1 << "," << c.y1;
  }
  EXPECT_EQ(Call(builtin_gline, {900, 0, 0, 3, 3, 0xFF000000}), 0u);  // empty slot
}

TEST_F(PrimitivesTest, ShallowLineSharesItsOpacityBetweenTwoRows) {
  Plane* p = Make(5, 16, 4, 24);
  ASSERT_EQ(Call(builtin_gline, {5, 0, 0, 8, 1, 0xFFFFFFFF}), 1u);
  for (int x = 0; x <= 8; ++x) {
    // The two rows' shares make up the full opacity at every column.
    const int top = int(Get(p, x, 0) & 255), low = int(Get(p, x, 1) & 255);
    EXPECT_NEAR(top + low, 255, 2) << x;
  }
  EXPECT_EQ(Get(p, 0, 0), 0xFFFFFFu);
  EXPECT_EQ(Get(p, 8, 1) & 255, 255u);  // the end pixel is the line's own
  EXPECT_EQ(Get(p, 9, 0) | Get(p, 9, 1), 0u);
}

TEST_F(PrimitivesTest, PolygonFillsHalfOpenSpansInsideTheClip) {
  Plane* p = Make(5, 8, 6, 24);
  EXPECT_EQ(Call(builtin_gpoly, {5, Words({1, 1, 5, 1, 5, 3, 1, 3}), 4, 0xFF0000FF}), 1u);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(Get(p, x, y), (x >= 1 && x < 5 && y >= 1 && y < 3) ? 0xFFu : 0u) << x << "," << y;

  // A translucent triangle far larger than the plane covers it exactly once.
  Make(6, 8, 6, 24);
  EXPECT_EQ(Call(builtin_gpoly, {6, Words({-1000000000, -1000000000, 1000000000, -10, -10, 1000000000}), 3, 0x80FFFFFF}), 1u);
  for (uint32_t v : Pixels(PlaneAt(6))) EXPECT_EQ(v, 0x808080u);

  // The clip rectangle bounds the fill; a self-crossing polygon fills even-odd.
  Plane* q = Make(7, 8, 6, 24);
  q->clip = {2, 0, 8, 6};
  EXPECT_EQ(Call(builtin_gpoly, {7, Words({0, 0, 6, 0, 0, 6, 6, 6}), 4, 0xFFFFFFFF}), 1u);
  EXPECT_EQ(Get(q, 1, 0), 0u);
  EXPECT_EQ(Get(q, 2, 0), 0xFFFFFFu);
  EXPECT_EQ(Get(q, 3, 3), 0u);  // the crossing point: both halves end there
  EXPECT_EQ(Get(q, 3, 1), 0xFFFFFFu);
  EXPECT_EQ(Get(q, 3, 5), 0xFFFFFFu);
}

TEST_F(PrimitivesTest, SpansBlendByTheOverRuleOnEveryDestinationAlpha) {
  // Every old channel value under a few destination alphas and opacities,
  // against the rule: A = 255 D + a (255 - D), channel (255 a c + (255 - a) D d) / A.
  const struct {
    uint32_t colour;
    int dest_alpha;
  } cases[] = {{0x80FF4010, 255}, {0xFF123456, 255}, {0x01FFFFFF, 255}, {0x00ABCDEF, 255},
               {0x80FF4010, 254}, {0x40102030, 128}, {0xC0FFFFFF, 0},   {0x00ABCDEF, 0}};
  for (const auto& c : cases) {
    Plane* p = Make(5, 256, 1, 32);
    for (int x = 0; x < 256; ++x) Put(p, x, 0, uint32_t(c.dest_alpha) << 24 | uint32_t(x) * 0x010101u);
    ASSERT_EQ(Call(builtin_gpoly, {5, Words({0, 0, 256, 0, 256, 1, 0, 1}), 4, c.colour}), 1u);
    const uint32_t a = c.colour >> 24, da = uint32_t(c.dest_alpha), total = 255 * da + a * (255 - da);
    for (uint32_t x = 0; x < 256; ++x) {
      uint32_t want = 0;
      if (total) {
        want = (total / 255) << 24;
        for (int shift = 0; shift < 24; shift += 8)
          want |= ((255 * a * ((c.colour >> shift) & 255) + (255 - a) * da * x) / total) << shift;
      }
      ASSERT_EQ(Get(p, int(x), 0), want) << std::hex << c.colour << " over " << x;
    }
  }
}

TEST_F(PrimitivesTest, PolygonRefusesBadArguments) {
  Make(5, 8, 6, 24);
  const uint32_t pts = Words({0, 0, 4, 0, 4, 4});
  EXPECT_EQ(Call(builtin_gpoly, {5, pts, 2, 0xFF000000}), 0u);
  EXPECT_EQ(Call(builtin_gpoly, {5, 0, 3, 0xFF000000}), 0u);
  EXPECT_EQ(Call(builtin_gpoly, {5, pts, uint32_t(-3), 0xFF000000}), 0u);
  EXPECT_EQ(Call(builtin_gpoly, {5, pts, 1000000, 0xFF000000}), 0u);
  EXPECT_EQ(Call(builtin_gpoly, {5, 0xFFFFFFF0u, 3, 0xFF000000}), 0u);  // runs off the end of script memory
  EXPECT_EQ(Call(builtin_gpoly, {900, pts, 3, 0xFF000000}), 0u);
  for (uint32_t v : Pixels(PlaneAt(5))) EXPECT_EQ(v, 0u);
  // The longest list taken, and one point more.
  const uint32_t many = ArenaAllocZeroed(size_t(kMaxPolygonPoints + 1) * 8);
  ASSERT_NE(many, 0u);
  SetWords(many, {0, 0, 4, 0, 4, 4});
  EXPECT_EQ(Call(builtin_gpoly, {5, many, uint32_t(kMaxPolygonPoints), 0xFF0000FF}), 1u);
  EXPECT_EQ(Get(PlaneAt(5), 3, 1), 0xFFu);
  EXPECT_EQ(Call(builtin_gpoly, {5, many, uint32_t(kMaxPolygonPoints + 1), 0xFF00FF00}), 0u);
  ArenaFree(many);
}

}  // namespace
