// Blit geometry through the builtins: clipping, mirroring, scaling, rotation,
// bilinear sampling, masks and the fills.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "../graphics/graphics_fixture.h"
#include "graphics/blit_geometry.h"

namespace {

using Row = std::vector<int>;

BlitParams P(int mode, int level = 0, int amount = 0, uint32_t a = 0, uint32_t b = 0) {
  return BlitParams{uint8_t(mode), 0, uint8_t(level), uint8_t(amount), a, b};
}

class GeometryTest : public GraphicsTest {
 protected:
  void SetUp() override {
    GraphicsTest::SetUp();
    g_graphics_settings.MultiThreading = 1;  // large enough blits split their rows
  }

  Plane* Make(uint32_t slot, int w, int h, int bits) {
    Plane* p = CreatePlane(w, h, bits);
    EXPECT_NE(p, nullptr);
    SetPlaneAt(slot, p);
    return p;
  }
  // A rectangle or parameter block in script memory; each call takes a new place.
  uint32_t Rect(int32_t l, int32_t t, int32_t r, int32_t b) {
    const int32_t words[4] = {l, t, r, b};
    return Store(words, 16);
  }
  uint32_t Params(const BlitParams& p) { return Store(&p, sizeof p); }
  uint32_t Store(const void* data, size_t n) {
    const uint32_t at = scratch_ + 256 + next_;
    next_ = (next_ + 16) % 2048;
    std::memcpy(ToHost(at), data, n);
    return at;
  }

  static uint32_t Get(const Plane* p, int x, int y) {
    uint32_t v = 0;
    std::memcpy(&v, PixelAddress(p, x, y), p->bits / 8);
    return v;
  }
  static void Put(Plane* p, int x, int y, uint32_t v) { std::memcpy(PixelAddress(p, x, y), &v, p->bits / 8); }
  static Row RowOf(const Plane* p, int y) {
    Row r;
    for (int x = 0; x < p->width; ++x) r.push_back(int(Get(p, x, y)));
    return r;
  }
  static Row ColumnOf(const Plane* p, int x) {
    Row r;
    for (int y = 0; y < p->height; ++y) r.push_back(int(Get(p, x, y)));
    return r;
  }
  // Each pixel of an 8-bit plane holds its index along the row (or column).
  static Plane* Ramp8(Plane* p, bool vertical = false) {
    for (int y = 0; y < p->height; ++y)
      for (int x = 0; x < p->width; ++x) Put(p, x, y, uint32_t(vertical ? y : x));
    return p;
  }
  static void Fill(Plane* p, uint32_t v) {
    for (int y = 0; y < p->height; ++y)
      for (int x = 0; x < p->width; ++x) Put(p, x, y, v);
  }

  uint32_t scratch_ = 0;
  uint32_t next_ = 0;
};

constexpr uint32_t kDst = 10, kSrc = 11, kMask = 12;

TEST_F(GeometryTest, GcopyAtANegativePositionCopiesTheVisibleColumns) {
  Plane* src = Make(kSrc, 100, 100, 32);
  Plane* dst = Make(kDst, 100, 100, 32);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 100; ++x) Put(src, x, y, 0xFF000000u | uint32_t(y) << 8 | uint32_t(x));
  ASSERT_EQ(Call(builtin_gcopy, {kDst, uint32_t(-30), 0, kSrc, 0, 0}), 1u);
  for (int y : {0, 57, 99}) {
    for (int x = 0; x < 70; ++x) ASSERT_EQ(Get(dst, x, y), Get(src, x + 30, y)) << x << "," << y;
    for (int x = 70; x < 100; ++x) ASSERT_EQ(Get(dst, x, y), 0u) << x << "," << y;
  }
  // A source rectangle, a position past the bottom-right corner and the clip.
  Fill(dst, 0);
  PlaneRect clip{0, 0, 50, 50};
  dst->clip = clip;
  ASSERT_EQ(Call(builtin_gcopy, {kDst, 45, 40, kSrc, Rect(10, 20, 30, 40), 0}), 1u);
  EXPECT_EQ(Get(dst, 45, 40), Get(src, 10, 20));
  EXPECT_EQ(Get(dst, 49, 49), Get(src, 14, 29));
  EXPECT_EQ(Get(dst, 50, 49), 0u);
  EXPECT_EQ(Get(dst, 45, 50), 0u);
  EXPECT_EQ(Get(dst, 44, 40), 0u);
}

// One row (or column) of four 8-bit pixels, copied 1:1 with mirroring and
// clipping, through the scaled path and the rotated path at angle 0 (which
// must agree with it wherever positions are exact).
TEST_F(GeometryTest, MirroredRectanglesAndClipping) {
  struct Case {
    const char* what;
    PlaneRect src, dst;  // right < left or bottom < top asks for a mirror
    Row want;            // the destination afterwards (9 = untouched)
  };
  const Case cases[] = {
      {"plain", {0, 0, 4, 1}, {0, 0, 4, 1}, {0, 1, 2, 3}},
      {"destination mirrored", {0, 0, 4, 1}, {4, 0, 0, 1}, {3, 2, 1, 0}},
      {"source mirrored", {4, 0, 0, 1}, {0, 0, 4, 1}, {3, 2, 1, 0}},
      {"both mirrored: no mirror", {4, 0, 0, 1}, {4, 0, 0, 1}, {0, 1, 2, 3}},
      {"mirrored, left end clipped", {0, 0, 4, 1}, {3, 0, -1, 1}, {2, 1, 0, 9}},
      {"mirrored, right end clipped", {0, 0, 4, 1}, {5, 0, 1, 1}, {9, 3, 2, 1}},
      {"mirrored, source overhangs left", {-1, 0, 3, 1}, {4, 0, 0, 1}, {2, 1, 0, 9}},
      {"mirrored, source overhangs right", {1, 0, 5, 1}, {4, 0, 0, 1}, {9, 3, 2, 1}},
      {"source overhangs left", {-1, 0, 3, 1}, {0, 0, 4, 1}, {9, 0, 1, 2}},
  };
  Plane* src = Ramp8(Make(kSrc, 4, 1, 8));
  Plane* dst = Make(kDst, 4, 1, 8);
  Plane* vsrc = Ramp8(CreatePlane(1, 4, 8), true);
  Plane* vdst = CreatePlane(1, 4, 8);
  for (const Case& c : cases) {
    for (int path = 0; path < 2; ++path) {
      Fill(dst, 9);
      const int r = path == 0 ? StretchBlit(dst, &c.dst, src, &c.src, nullptr, nullptr)
                              : RotateBlit(dst, &c.dst, src, &c.src, nullptr, nullptr, 0, false);
      EXPECT_EQ(r, 1) << c.what << " path " << path;
      EXPECT_EQ(RowOf(dst, 0), c.want) << c.what << " path " << path;
      // The same vertically.
      const PlaneRect vs{c.src.top, c.src.left, c.src.bottom, c.src.right};
      const PlaneRect vd{c.dst.top, c.dst.left, c.dst.bottom, c.dst.right};
      Fill(vdst, 9);
      const int v = path == 0 ? StretchBlit(vdst, &vd, vsrc, &vs, nullptr, nullptr)
                              : RotateBlit(vdst, &vd, vsrc, &vs, nullptr, nullptr, 0, false);
      EXPECT_EQ(v, 1) << c.what << " vertical, path " << path;
      EXPECT_EQ(ColumnOf(vdst, 0), c.want) << c.what << " vertical, path " << path;
    }
  }
  // The builtin reads the rectangles from script memory.
  Fill(dst, 9);
  EXPECT_EQ(Call(builtin_gblit, {kDst, Rect(4, 0, 0, 1), kSrc, 0, 0, 0}), 1u);
  EXPECT_EQ(RowOf(dst, 0), (Row{3, 2, 1, 0}));
  FreePlane(vsrc);
  FreePlane(vdst);
}

TEST_F(GeometryTest, ScaledCopiesStepThroughTheSource) {
  Plane* src = Ramp8(Make(kSrc, 10, 1, 8));
  Plane* dst = Make(kDst, 20, 1, 8);
  struct Case {
    const char* what;
    PlaneRect src, dst;
    int first;              // first destination column written
    int (*want)(int x);     // source column of destination column x
  };
  const Case cases[] = {
      {"doubled", {0, 0, 10, 1}, {0, 0, 20, 1}, 0, [](int x) { return x / 2; }},
      {"doubled, left 5 clipped", {0, 0, 10, 1}, {-5, 0, 15, 1}, 0, [](int x) { return (x + 5) / 2; }},
      {"doubled, source overhangs by 2", {-2, 0, 8, 1}, {0, 0, 20, 1}, 4, [](int x) { return (x - 4) / 2; }},
      {"halved", {0, 0, 10, 1}, {0, 0, 5, 1}, 0, [](int x) { return 2 * x; }},
  };
  for (const Case& c : cases) {
    Fill(dst, 99);
    ASSERT_EQ(StretchBlit(dst, &c.dst, src, &c.src, nullptr, nullptr), 1) << c.what;
    const int last = std::min<int>(20, c.dst.right);
    for (int x = 0; x < 20; ++x) {
      const int want = x < c.first || x >= last ? 99 : c.want(x);
      EXPECT_EQ(int(Get(dst, x, 0)), want) << c.what << " column " << x;
    }
  }
}

TEST_F(GeometryTest, TenByTenToTwentyByTwentyDoublesEveryPixel) {
  Plane* src = Make(kSrc, 10, 10, 32);
  Plane* dst = Make(kDst, 20, 20, 32);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) Put(src, x, y, 0xFF000000u | uint32_t(y * 10 + x));
  for (int path = 0; path < 2; ++path) {
    Fill(dst, 0);
    if (path == 0)
      ASSERT_EQ(Call(builtin_gblit, {kDst, 0, kSrc, 0, 0, 0}), 1u);
    else
      ASSERT_EQ(RotateBlit(dst, nullptr, src, nullptr, nullptr, nullptr, 0, false), 1);
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 20; ++x) ASSERT_EQ(Get(dst, x, y), Get(src, x / 2, y / 2)) << x << "," << y << " path " << path;
  }
}

TEST_F(GeometryTest, QuarterTurnBoundingBoxAndOrientation) {
  Plane* src = Make(kSrc, 100, 50, 32);
  Plane* dst = Make(kDst, 300, 300, 32);
  for (int y = 0; y < 50; ++y)
    for (int x = 0; x < 100; ++x) Put(src, x, y, 0xFF000000u | uint32_t(y) << 8 | uint32_t(x));
  ASSERT_EQ(Call(builtin_gblit, {kDst, Rect(100, 100, 200, 150), kSrc, 0, 0, 512}), 1u);
  // The box is 50 wide and 100 tall around the rectangle's centre (150, 125).
  int left = 300, top = 300, right = 0, bottom = 0;
  for (int y = 0; y < 300; ++y)
    for (int x = 0; x < 300; ++x)
      if (Get(dst, x, y)) {
        left = std::min(left, x), top = std::min(top, y);
        right = std::max(right, x + 1), bottom = std::max(bottom, y + 1);
      }
  EXPECT_EQ(left, 125);
  EXPECT_EQ(right, 175);
  EXPECT_GE(top, 75);
  EXPECT_LE(top, 76);  // within one sample of the box
  EXPECT_EQ(bottom, 175);
  // Source (x, y) = (50 - dy, 25 + dx) for the box offsets dx, dy from its centre.
  const struct {
    int bx, by, sx, sy;
  } samples[] = {{125 + 10, 75 + 60, 40, 10}, {125, 174, 1, 0}, {174, 174, 1, 49}, {174, 76, 99, 49}};
  for (const auto& s : samples) EXPECT_EQ(Get(dst, s.bx, s.by), Get(src, s.sx, s.sy)) << s.bx << "," << s.by;
  // One mirrored rectangle turns the other way inside a box mirrored on
  // that axis: the picture is the mirrored source turned as before.
  const struct {
    PlaneRect dr;
    int sx, sy;  // source pixel at box pixel (135, 135)
  } mirrored[] = {{{200, 100, 100, 150}, 60, 11}, {{100, 150, 200, 100}, 39, 40}, {{200, 150, 100, 100}, 61, 39}};
  for (const auto& m : mirrored) {
    Fill(dst, 0);
    ASSERT_EQ(RotateBlit(dst, &m.dr, src, nullptr, nullptr, nullptr, 512, false), 1);
    EXPECT_EQ(Get(dst, 135, 135), Get(src, m.sx, m.sy)) << m.dr.left << "," << m.dr.top;
  }
}

TEST_F(GeometryTest, BilinearRampOfATwoPixelSource) {
  Plane* src = Make(kSrc, 2, 1, 32);
  Plane* dst = Make(kDst, 256, 1, 32);
  Put(src, 0, 0, 0x00000000u);
  Put(src, 1, 0, 0xFFFFFFFFu);
  ASSERT_EQ(Call(builtin_gblita, {kDst, 0, kSrc, 0, 0, 0}), 1u);
  for (int x = 0; x < 256; ++x) {
    // Column x samples at x / 128 of the source: fraction 2x of the left
    // pixel's span, then the right pixel with itself as neighbour.
    const uint32_t c = x < 128 ? uint32_t((256 * (2 * x) * 255) >> 16) : 255u;
    ASSERT_EQ(Get(dst, x, 0), c * 0x01010101u) << x;
  }
  // Colour-keyed modes take the nearest pixel: only the two source colours.
  Fill(dst, 0x12345678);
  ASSERT_EQ(Call(builtin_gblita, {kDst, 0, kSrc, 0, Params(P(1, 0, 0, 0x00ABCDEF)), 0}), 1u);
  for (int x = 0; x < 256; ++x) ASSERT_EQ(Get(dst, x, 0) & 0xFFFFFF, x < 128 ? 0u : 0xFFFFFFu) << x;
}

TEST_F(GeometryTest, BilinearWeightsInBothDirections) {
  // 2 x 2 doubled: the odd columns and rows sample halfway, the last ones
  // the far pixels with themselves as neighbours. 32-bit and 24-bit pixels
  // take different filter code.
  const uint32_t p = 0xFFC80A00, q = 0x00001E64, o = 0xFF6432C8, r = 0x013746FF;
  auto avg = [](std::initializer_list<uint32_t> px) {
    uint32_t v = 0;
    for (int k = 0; k < 32; k += 8) {
      uint32_t sum = 0;
      for (uint32_t x : px) sum += (x >> k) & 255;
      v |= (sum / uint32_t(px.size())) << k;
    }
    return v;
  };
  const struct {
    int x, y;
    uint32_t want;
  } cases[] = {{0, 0, p}, {1, 0, avg({p, q})}, {0, 1, avg({p, o})}, {1, 1, avg({p, q, o, r})},
               {3, 1, avg({q, r})}, {1, 3, avg({o, r})}, {2, 2, r}, {3, 3, r}};
  for (int bits : {32, 24}) {
    Plane* src = Make(kSrc, 2, 2, bits);
    Plane* dst = Make(kDst, 4, 4, bits);
    Put(src, 0, 0, p), Put(src, 1, 0, q), Put(src, 0, 1, o), Put(src, 1, 1, r);
    ASSERT_EQ(Call(builtin_gblita, {kDst, 0, kSrc, 0, 0, 0}), 1u);
    const uint32_t mask = bits == 32 ? 0xFFFFFFFF : 0xFFFFFF;
    for (const auto& c : cases) EXPECT_EQ(Get(dst, c.x, c.y), c.want & mask) << bits << ": " << c.x << "," << c.y;
  }
}

TEST_F(GeometryTest, BilinearOnSixteenBitFields) {
  Plane* src = Make(kSrc, 2, 1, 16);
  Plane* dst = Make(kDst, 4, 1, 16);
  Put(src, 0, 0, 0);
  Put(src, 1, 0, 0x7FFF);
  // 2 -> 4: columns sample at 0, 0.5, 1 and 1.5 source pixels.
  ASSERT_EQ(Call(builtin_gblita, {kDst, 0, kSrc, 0, 0, 0}), 1u);
  const int half = 15;  // 0 + floor(128 * 31 / 256)
  EXPECT_EQ(RowOf(dst, 0), (Row{0, half << 10 | half << 5 | half, 0x7FFF, 0x7FFF}));
}

TEST_F(GeometryTest, BilinearAlphaLayoutsBlendTheAlphaBeside) {
  // The alpha modes read 3-byte sources as a 555 word and an alpha byte, and
  // 2-byte sources as an index (never blended) and an alpha byte. 2 -> 4 at
  // angle 0: column 1 samples halfway between the two pixels.
  Plane* dst = Make(kDst, 4, 1, 32);
  const uint32_t alpha = Params(P(7, 255));
  struct Case {
    int bits;
    uint32_t left, right;  // raw source pixels
    uint32_t halfway;      // destination column 1 over opaque black
  };
  // 555 fields 0 -> 31 give 15 (colour 123), alpha 0 -> 255 gives 127:
  // 127 * 123 / 255 = 61. The index stays the left one (224, red) with alpha 127.
  const Case cases[] = {{24, 0x000000, 0xFF7FFF, 0xFF3D3D3D}, {16, 0x00E0, 0xFFFF, 0xFF7F0000}};
  for (const Case& c : cases) {
    Plane* src = Make(kSrc, 2, 1, c.bits);
    Put(src, 0, 0, c.left);
    Put(src, 1, 0, c.right);
    Fill(dst, 0xFF000000);
    ASSERT_EQ(Call(builtin_gblita, {kDst, 0, kSrc, 0, alpha, 0}), 1u) << c.bits;
    EXPECT_EQ(RowOf(dst, 0), (Row{int(0xFF000000), int(c.halfway), -1, -1})) << c.bits;
  }
}

TEST_F(GeometryTest, RotatedRowsAgreeWithAndWithoutThreads) {
  Plane* src = Make(kSrc, 64, 48, 32);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) Put(src, x, y, uint32_t(x * 4) | uint32_t(y * 5) << 8 | uint32_t(x ^ y) << 16 | 0xFF000000u);
  Plane* a = Make(20, 300, 200, 32);
  Plane* b = Make(21, 300, 200, 32);
  const PlaneRect dr{10, 5, 290, 195};
  for (bool bilinear : {false, true}) {
    g_graphics_settings.MultiThreading = 1;
    ASSERT_EQ(RotateBlit(a, &dr, src, nullptr, nullptr, nullptr, 100, bilinear), 1);
    g_graphics_settings.MultiThreading = 0;
    ASSERT_EQ(RotateBlit(b, &dr, src, nullptr, nullptr, nullptr, 100, bilinear), 1);
    ASSERT_EQ(0, std::memcmp(PlanePixels(a), PlanePixels(b), size_t(a->stride) * a->height)) << bilinear;
  }
}

TEST_F(GeometryTest, MaskPlaneGivesAlphaAndBoundsTheSource) {
  Plane* src = Make(kSrc, 4, 1, 32);
  Plane* dst = Make(kDst, 4, 1, 32);
  Plane* mask = Make(kMask, 3, 1, 8);  // one column narrower than the source
  Fill(src, 0x00FFFFFF);               // alpha 0 in the source itself
  Put(mask, 0, 0, 255);
  Put(mask, 1, 0, 0);
  Put(mask, 2, 0, 255);
  ASSERT_TRUE(AttachSlot(kSrc, kMask));
  const uint32_t alpha = Params(P(7, 255));
  for (BuiltinHandler h : {builtin_gblit, builtin_gblita}) {
    Fill(dst, 0xFF000000);
    ASSERT_EQ(Call(h, {kDst, Rect(0, 0, 4, 1), kSrc, Rect(0, 0, 4, 1), alpha, 0}), 1u);
    EXPECT_EQ(RowOf(dst, 0)[0], int(0xFFFFFFFF));
    EXPECT_EQ(RowOf(dst, 0)[1], int(0xFF000000));  // mask 0: untouched
    EXPECT_EQ(RowOf(dst, 0)[2], int(0xFFFFFFFF));
  }
  Fill(dst, 0xFF000000);
  ASSERT_EQ(Call(builtin_gcopy, {kDst, 0, 0, kSrc, 0, alpha}), 1u);
  EXPECT_EQ(RowOf(dst, 0), (Row{int(0xFFFFFFFF), int(0xFF000000), int(0xFFFFFFFF), int(0xFF000000)}));
  // Other modes copy from the source, still bounded by the mask.
  Fill(dst, 0);
  ASSERT_EQ(Call(builtin_gcopy, {kDst, 0, 0, kSrc, 0, 0}), 1u);
  EXPECT_EQ(RowOf(dst, 0), (Row{0x00FFFFFF, 0x00FFFFFF, 0x00FFFFFF, 0}));
  // A mask of fewer than 8 bits per pixel cannot be read a byte per pixel.
  Make(kMask, 4, 1, 4);
  EXPECT_EQ(Call(builtin_gcopy, {kDst, 0, 0, kSrc, 0, alpha}), 0u);
}

TEST_F(GeometryTest, TranslucentFill) {
  Plane* p32 = Make(kDst, 2, 1, 32);
  Plane* p24 = Make(kDst + 1, 1, 1, 24);
  Plane* p16 = Make(kDst + 2, 1, 1, 16);
  Plane* p8 = Make(kDst + 3, 1, 1, 8);
  Make(kDst + 4, 2, 2, 4);
  Put(p32, 0, 0, 0x00123456);  // alpha 0
  Put(p32, 1, 0, 0x80102030);
  EXPECT_EQ(Call(builtin_gfill, {kDst, 0, 0, 1, 1, 0x00ABCDEF}), 1u);
  EXPECT_EQ(Get(p32, 0, 0), 0u);  // alpha 0 over alpha 0: all four bytes cleared
  EXPECT_EQ(Call(builtin_gfill, {kDst, 0, 0, 2, 1, 0xFFABCDEF}), 1u);
  EXPECT_EQ(Get(p32, 0, 0), 0xFFABCDEFu);
  EXPECT_EQ(Get(p32, 1, 0), 0xFFABCDEFu);
  // Half over an opaque pixel: A = 255 * 255, channels (255 * 128 * c + 127 * 255 * d) / A.
  Put(p32, 0, 0, 0xFF000000);
  EXPECT_EQ(Call(builtin_gfill, {kDst, 0, 0, 1, 1, 0x80FF00FF}), 1u);
  EXPECT_EQ(Get(p32, 0, 0), 0xFF800080u);

  Put(p24, 0, 0, 0x000000);
  EXPECT_EQ(Call(builtin_gfill, {kDst + 1, 0, 0, 1, 1, 0xFFABCDEF}), 1u);
  EXPECT_EQ(Get(p24, 0, 0), 0xABCDEFu);
  EXPECT_EQ(Call(builtin_gfill, {kDst + 1, 0, 0, 1, 1, 0x80000000}), 1u);
  const uint8_t* m = g_blend.multiply;
  EXPECT_EQ(Get(p24, 0, 0), uint32_t(m[127 * 256 + 0xAB]) << 16 | uint32_t(m[127 * 256 + 0xCD]) << 8 | m[127 * 256 + 0xEF]);

  Put(p16, 0, 0, 0x7FFF);
  EXPECT_EQ(Call(builtin_gfill, {kDst + 2, 0, 0, 1, 1, 0xFF0800F8}), 1u);
  EXPECT_EQ(Get(p16, 0, 0), uint32_t(1 << 10 | 0 << 5 | 31));

  Put(p8, 0, 0, 200);
  EXPECT_EQ(Call(builtin_gfill, {kDst + 3, 0, 0, 1, 1, 0xFF000007}), 1u);
  EXPECT_EQ(Get(p8, 0, 0), 7u);  // the index numbers themselves

  EXPECT_EQ(Call(builtin_gfill, {kDst + 4, 0, 0, 2, 2, 0xFFFFFFFF}), 1u);  // 4 bits: nothing to do
  EXPECT_EQ(PlanePixels(PlaneAt(kDst + 4))[0], 0);
  EXPECT_EQ(Call(builtin_gfill, {kDst, 2, 0, 5, 5, 0xFFFFFFFF}), 0u);  // outside the clip
  EXPECT_EQ(Call(builtin_gfill, {kDst, 0, 0, 0, 1, 0xFFFFFFFF}), 0u);
  EXPECT_EQ(Call(builtin_gfill, {kDst, 0, 0, uint32_t(-1), 1, 0xFFFFFFFF}), 0u);
  EXPECT_EQ(Call(builtin_gfill, {500, 0, 0, 1, 1, 0xFFFFFFFF}), 0u);  // empty slot
  EXPECT_EQ(Call(builtin_gfill, {kDst, uint32_t(INT32_MIN), uint32_t(INT32_MIN), INT32_MAX, INT32_MAX, 0xFF000000}), 0u);
}

TEST_F(GeometryTest, Gclear) {
  Plane* p = Make(kDst, 4, 2, 32);
  Plane* p4 = Make(kDst + 1, 4, 2, 4);
  EXPECT_EQ(Call(builtin_gclear, {kDst + 1, 0, 0xFFFFFFFF}), 1u);  // 4 bits: 1, nothing changed
  for (int i = 0; i < p4->stride * 2; ++i) EXPECT_EQ(PlanePixels(p4)[i], 0) << i;
  EXPECT_EQ(Call(builtin_gclear, {kDst, Rect(3, 2, 1, 1), 0xAABBCCDD}), 1u);  // reversed edges: (1, 1)-(3, 2)
  EXPECT_EQ(RowOf(p, 1), (Row{0, int(0xAABBCCDD), int(0xAABBCCDD), 0}));
  EXPECT_EQ(RowOf(p, 0), (Row{0, 0, 0, 0}));
  EXPECT_EQ(Call(builtin_gclear, {kDst, Rect(4, 0, 8, 2), 1}), 0u);  // outside the clip
  EXPECT_EQ(Call(builtin_gclear, {kDst, Rect(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX), 7}), 1u);
  EXPECT_EQ(RowOf(p, 0), (Row{7, 7, 7, 7}));
  EXPECT_EQ(Call(builtin_gclear, {kDst, 0, 5}), 1u);
  EXPECT_EQ(RowOf(p, 1), (Row{5, 5, 5, 5}));
  EXPECT_EQ(Call(builtin_gclear, {600, 0, 7}), 0u);
  EXPECT_EQ(Call(builtin_gclear, {5000, 0, 7}), 0u);
}

TEST_F(GeometryTest, RefusedBlits) {
  Make(kSrc, 100, 100, 32);
  Make(kDst, 100, 100, 32);
  Make(kMask, 8, 8, 4);
  const uint32_t outside = Rect(200, 200, 210, 210);
  const uint32_t huge = Rect(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX);
  const uint32_t big = Rect(-1000000000, -1000000000, 1000000000, 1000000000);
  struct Case {
    const char* what;
    BuiltinHandler h;
    std::vector<uint32_t> args;
    uint32_t want;
  };
  const std::vector<Case> cases = {
      {"gcopy: source wholly outside", builtin_gcopy, {kDst, 0, 0, kSrc, outside, 0}, 0},
      {"gblit: source wholly outside", builtin_gblit, {kDst, 0, kSrc, outside, 0, 0}, 0},
      {"gblit rotated: source wholly outside", builtin_gblit, {kDst, 0, kSrc, outside, 0, 100}, 0},
      {"gblita: source wholly outside", builtin_gblita, {kDst, 0, kSrc, outside, 0, 0}, 0},
      {"gcopy: destination wholly outside", builtin_gcopy, {kDst, 100, 0, kSrc, 0, 0}, 0},
      {"gblit: empty destination rectangle", builtin_gblit, {kDst, Rect(5, 5, 5, 9), kSrc, 0, 0, 0}, 0},
      {"gcopy: mode 36", builtin_gcopy, {kDst, 0, 0, kSrc, 0, Params(P(36))}, 0},
      {"gblit: mode 7 level 0", builtin_gblit, {kDst, 0, kSrc, 0, Params(P(7, 0)), 0}, 0},
      {"gcopy: no routine for the pair", builtin_gcopy, {kDst, 0, 0, kSrc, 0, Params(P(24, 255))}, 1},
      {"gcopy: plane number out of range", builtin_gcopy, {5000, 0, 0, kSrc, 0, 0}, 0},
      {"gcopy: empty source slot", builtin_gcopy, {kDst, 0, 0, 700, 0, 0}, 0},
      {"gcopy: 4-bit source", builtin_gcopy, {kDst, 0, 0, kMask, 0, 0}, 0},
      {"gblita: 4-bit destination", builtin_gblita, {kMask, 0, kSrc, 0, 0, 5}, 0},
      {"gblit: rectangle too large", builtin_gblit, {kDst, huge, kSrc, 0, 0, 0}, 0},
      {"gblit rotated: rectangle too large", builtin_gblit, {kDst, 0, kSrc, huge, 0, 3}, 0},
      {"gcopy: huge source rectangle", builtin_gcopy, {kDst, 0, 0, kSrc, huge, 0}, 0},
      {"gblit: big source rectangle is trimmed", builtin_gblit, {kDst, 0, kSrc, big, 0, 0}, 1},
      {"gblit: big destination rectangle is trimmed", builtin_gblit, {kDst, big, kSrc, 0, 0, 0}, 1},
      {"gblita: big rectangles rotated", builtin_gblita, {kDst, big, kSrc, big, 0, 300}, 1},
      {"gblit rotated: a scale no plane could show", builtin_gblit,
       {kDst, Rect(0, -1073741824, 1, 1073741824), kSrc, Rect(-1073741824, 0, 1073741824, 1), 0, 100}, 0},
      {"gcopy: far position", builtin_gcopy, {kDst, uint32_t(INT32_MAX), uint32_t(INT32_MIN), kSrc, 0, 0}, 0},
  };
  for (const Case& c : cases) {
    uint32_t at = scratch_;
    for (uint32_t w : c.args) {
      std::memcpy(ToHost(at), &w, 4);
      at += 4;
    }
    EXPECT_EQ(c.h(BuiltinArgs{scratch_}), c.want) << c.what;
  }
}

}  // namespace
