// gtext and the font slots on planes of every depth: colours and indexes,
// the coverage of anti-aliased text, the text box, the failure values, and
// the reuse of font objects.
#include <algorithm>
#include <string>
#include <vector>

#include "../graphics/graphics_fixture.h"
#include "graphics/plane_builtins.h"
#include "graphics/text.h"
#include "platform/font_rasterizer.h"
#include "platform/text_encoding.h"
#include "runtime/script_threads.h"

namespace {

constexpr uint8_t kMarker8 = 0x55;
constexpr uint32_t kMarker = 0x00123456;

class TextTest : public GraphicsTest {
 protected:
  void SetUp() override {
    GraphicsTest::SetUp();
    TextStart();
  }
  void TearDown() override {
    TextShutdown();
    SetThreadFontNumber(0);
    GraphicsTest::TearDown();
  }

  static std::string Sjis(const char* utf8) {
    std::string out;
    EXPECT_TRUE(Utf8ToSjis(utf8, out)) << utf8;
    return out;
  }

  // A plane filled with a marker: index 0x55 on 8 bits, 0x123456 elsewhere.
  Plane* MakePlane(uint32_t slot, int32_t w, int32_t h, int32_t bits) {
    EXPECT_EQ(Call(builtin_galloc, {slot, uint32_t(w), uint32_t(h), uint32_t(bits)}), 1u);
    Plane* p = PlaneAt(slot);
    if (p && bits >= 8) FillRect(p, 0, 0, w, h, bits == 8 ? kMarker8 : kMarker);
    return p;
  }

  // Sets a font slot through font_set.
  uint32_t SetFont(uint32_t slot, const char* face_utf8, int32_t size, int32_t flags = 0, int32_t angle = 0,
                   int32_t weight = 0) {
    FontRecord r{};
    std::string face = Sjis(face_utf8);
    std::memcpy(r.face, face.data(), std::min<size_t>(face.size(), 31));
    r.size = size;
    r.angle = angle;
    r.flags = flags;
    r.weight = weight;
    std::memcpy(ToHost(Buffer(2048)), &r, sizeof r);
    return Call(builtin_font_set, {slot, Buffer(2048)});
  }

  uint32_t Text(uint32_t plane, int32_t x, int32_t y, uint32_t colour, const char* utf8, uint32_t font) {
    return DrawTextInPlane(plane, x, y, colour, Sjis(utf8), font);
  }

  // The raw pixel (1 to 4 bytes) at (x, y).
  static uint32_t Raw(const Plane* p, int32_t x, int32_t y) {
    uint32_t v = 0;
    std::memcpy(&v, PixelAddress(p, x, y), PlaneBytesPerPixel(p));
    return v;
  }
  static uint32_t Marker(const Plane* p) {
    switch (p->bits) {
      case 8: return kMarker8;
      case 16: return PackRgb555(kMarker);
      case 24: return kMarker & 0xFFFFFF;
      default: return kMarker;
    }
  }
  // The pixels that are no longer the marker, as a mask.
  static std::vector<bool> Changed(const Plane* p) {
    std::vector<bool> m;
    for (int32_t y = 0; y < p->height; ++y)
      for (int32_t x = 0; x < p->width; ++x) m.push_back(Raw(p, x, y) != Marker(p));
    return m;
  }
  struct Box {
    int32_t left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;  // right and bottom exclusive
  };
  static Box ChangedBox(const Plane* p) {
    Box b;
    for (int32_t y = 0; y < p->height; ++y)
      for (int32_t x = 0; x < p->width; ++x)
        if (Raw(p, x, y) != Marker(p)) {
          b.left = std::min(b.left, x), b.top = std::min(b.top, y);
          b.right = std::max(b.right, x + 1), b.bottom = std::max(b.bottom, y + 1);
        }
    return b;
  }
};

TEST_F(TextTest, DefaultSlotDrawsInTheEngineColourOnATransparentBackground) {
  Plane* p = MakePlane(1, 160, 24, 32);
  ASSERT_EQ(Text(1, 2, 2, 0x00000007, "Keva 日本語", 0), 1u);
  int ink = 0;
  for (int32_t y = 0; y < p->height; ++y)
    for (int32_t x = 0; x < p->width; ++x) {
      uint32_t v = Raw(p, x, y);
      if (v == kMarker) continue;
      ++ink;
      EXPECT_EQ(v & 0xFFFFFF, g_engine_colours[7]) << x << "," << y;
      EXPECT_EQ(v >> 24, 0u);  // the alpha byte is kept
    }
  EXPECT_GT(ink, 40);
  // The default cell is 16 pixels high: nothing lands below it.
  EXPECT_LE(ChangedBox(p).bottom, 2 + 16);
}

TEST_F(TextTest, PlainTextPutsTheSameInkOnEveryDepth) {
  // An 8-bit plane gets exactly the two indexes; others their engine colours.
  std::vector<bool> reference;
  for (int32_t bits : {8, 16, 24, 32}) {
    SCOPED_TRACE(bits);
    Plane* p = MakePlane(1, 120, 40, bits);
    ASSERT_EQ(Text(1, 3, 4, 0x40000000 | 0x1C00 | 0xE0, "Ab漢字", 0), 1u);
    uint32_t fore = bits == 8 ? 0xE0 : ConvertColour(kPaletteColourFlag | 0xE0, bits / 8);
    uint32_t back = bits == 8 ? 0x1C : ConvertColour(kPaletteColourFlag | 0x1C, bits / 8);
    std::vector<bool> ink;
    for (int32_t y = 0; y < p->height; ++y)
      for (int32_t x = 0; x < p->width; ++x) {
        uint32_t v = Raw(p, x, y);
        EXPECT_TRUE(v == fore || v == back || v == Marker(p)) << x << "," << y << ": " << v;
        ink.push_back(v == fore);
      }
    if (reference.empty())
      reference = ink;
    else
      EXPECT_TRUE(ink == reference);
  }
}

// Anti-aliased text is the 8 x 8 reduction of the text drawn at eight times
// the size: each destination pixel sums 4 per set bit of its block, the last
// row's full byte counting 31, so that a full block is 255.
TEST_F(TextTest, AntiAliasedCoverageIsTheReductionOfTheLargeRendering) {
  struct Case {
    const char* text;
    int32_t size, flags;
  };
  const Case cases[] = {
      {"■", 16, 0},
      {"あ永g", 12, 0},
      {"Wi", 10, kFontBold | kFontItalic | kFontUnderline},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(SetFont(1, "ＭＳ ゴシック", c.size * 8, c.flags), 1u);
    ASSERT_EQ(SetFont(2, "ＭＳ ゴシック", c.size, c.flags | kFontAntiAliased), 1u);
    Plane* large = MakePlane(3, c.size * 8 * 4, c.size * 8 + 16, 8);
    FillRect(large, 0, 0, large->width, large->height, 0);
    ASSERT_EQ(Text(3, 0, 0, 1, c.text, 1), 1u);
    Plane* small = MakePlane(4, c.size * 4 + 4, c.size + 4, 8);
    FillRect(small, 0, 0, small->width, small->height, 0);
    ASSERT_EQ(Text(4, 0, 0, 0, c.text, 2), 1u);
    int partial = 0, full = 0;
    for (int32_t j = 0; j < c.size; ++j)
      for (int32_t i = 0; i < c.size * 4; ++i) {
        unsigned want = 0;
        for (int k = 0; k < 8; ++k) {
          int bits = 0;
          for (int b = 0; b < 8; ++b) bits += Raw(large, 8 * i + b, 8 * j + k) != 0;
          want += (k == 7 && bits == 8) ? 31 : 4 * bits;
        }
        ASSERT_EQ(Raw(small, i, j), want) << i << "," << j;
        partial += want > 0 && want < 255;
        full += want == 255;
      }
    EXPECT_GT(partial, 0);
    if (std::string(c.text) == "■") {
      EXPECT_GT(full, 16);  // the inside of the square is solid
    }
  }
}

TEST_F(TextTest, AntiAliasedTextBlendsOrWritesCoverageAsAlpha) {
  ASSERT_EQ(SetFont(1, "ＭＳ 明朝", 14, kFontAntiAliased), 1u);
  Plane* mask = MakePlane(2, 64, 20, 8);
  FillRect(mask, 0, 0, mask->width, mask->height, 0);
  ASSERT_EQ(Text(2, 1, 1, 0x07 | kTextAlphaCoverage, "永あ", 1), 1u);  // 8 bits: coverage, whatever the flags
  const uint32_t c = g_engine_colours[0xE3];
  const uint8_t* mul = g_blend.multiply;
  auto mix = [&](unsigned cov, unsigned d, unsigned s) { return unsigned(mul[(255 - cov) * 256 + d] + mul[cov * 256 + s]); };
  struct Case {
    int32_t bits;
    uint32_t flags;
  };
  for (Case k : {Case{32, kTextAlphaCoverage}, Case{24, kTextAlphaCoverage}, Case{32, 0}, Case{24, 0}, Case{16, 0}}) {
    SCOPED_TRACE(k.bits * 10 + (k.flags != 0));
    Plane* p = MakePlane(3, 64, 20, k.bits);
    ASSERT_EQ(Text(3, 1, 1, 0xE3 | k.flags, "永あ", 1), 1u);
    for (int32_t y = 0; y < 20; ++y)
      for (int32_t x = 0; x < 64; ++x) {
        unsigned cov = Raw(mask, x, y);
        uint32_t v = Raw(p, x, y);
        if (cov == 0) {
          ASSERT_EQ(v, Marker(p)) << x << "," << y;
          continue;
        }
        uint32_t want;
        if (k.flags && k.bits == 32) {
          want = cov << 24 | c;
        } else if (k.flags) {
          want = uint32_t(cov) << 16 | PackRgb555(c);
        } else if (k.bits == 16) {
          uint32_t d = PackRgb555(kMarker), s = PackRgb555(c);
          want = cov == 255 ? s
                            : mix(cov, d >> 10 & 31, s >> 10 & 31) << 10 | mix(cov, d >> 5 & 31, s >> 5 & 31) << 5 |
                                  mix(cov, d & 31, s & 31);
        } else {
          want = cov == 255 ? c
                            : mix(cov, kMarker >> 16 & 255, c >> 16 & 255) << 16 |
                                  mix(cov, kMarker >> 8 & 255, c >> 8 & 255) << 8 | mix(cov, kMarker & 255, c & 255);
          if (k.bits == 32) want |= kMarker & 0xFF000000;
        }
        ASSERT_EQ(v, want) << x << "," << y << " coverage " << cov;
      }
  }
}

TEST_F(TextTest, OpaqueBoxFollowsTheAngleAndTheItalicWidth) {
  // Spaces draw no ink, so what changes is the text box alone: 16 pixels
  // high, 4 half-width spaces of 8 pixels wide, a quarter of the height plus
  // one wider in italics; turned, its top-left stays at (x, y).
  struct Case {
    int32_t angle, flags, width, height;
  };
  const Case cases[] = {
      {0, 0, 32, 16},     {0, kFontItalic, 37, 16}, {900, 0, 16, 32},
      {1800, 0, 32, 16},  {2700, 0, 16, 32},        {2700, kFontItalic, 16, 37},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.angle * 10 + c.flags);
    ASSERT_EQ(SetFont(1, "ＭＳ ゴシック", 16, c.flags, c.angle), 1u);
    Plane* p = MakePlane(2, 80, 80, 32);
    ASSERT_EQ(Text(2, 10, 20, 0x40000000 | 0x0300, "    ", 1), 1u);
    Box b = ChangedBox(p);
    EXPECT_EQ(b.left, 10);
    EXPECT_EQ(b.top, 20);
    EXPECT_EQ(b.right - b.left, c.width);
    EXPECT_EQ(b.bottom - b.top, c.height);
  }
  // At 45 degrees the box still starts at (x, y), and the turned cell covers
  // its middle but not its corners.
  ASSERT_EQ(SetFont(1, "ＭＳ ゴシック", 16, 0, 450), 1u);
  Plane* p = MakePlane(2, 80, 80, 32);
  ASSERT_EQ(Text(2, 10, 20, 0x40000000 | 0x0300, "    ", 1), 1u);
  Box b = ChangedBox(p);
  EXPECT_NEAR(b.left, 10, 1);
  EXPECT_NEAR(b.top, 20, 1);
  EXPECT_NEAR(b.right - b.left, 34, 2);  // (32 + 16) cos 45
  EXPECT_EQ(Raw(p, 10, 20), kMarker);
  EXPECT_NE(Raw(p, (b.left + b.right) / 2, (b.top + b.bottom) / 2), kMarker);
}

// The stand-ins of the MS faces are laid out with the MS proportions: at a
// cell of n pixels a full-width character is n wide, a half-width one n / 2.
TEST_F(TextTest, StandInsKeepTheWindowsFaceWidths) {
  struct Case {
    const char* face;
    int32_t size;
    const char* text;
    int32_t width;
  };
  const Case cases[] = {
      {"ＭＳ ゴシック", 16, "字字", 32}, {"ＭＳ ゴシック", 16, "ab", 16}, {"MS Gothic", 12, "Aあ", 18},
      {"ＭＳ 明朝", 24, "字", 24},       {"@ＭＳ 明朝", 20, "1234", 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(SetFont(1, c.face, c.size), 1u);
    Plane* p = MakePlane(2, 80, 40, 32);
    // Opaque, in a background colour the text shares: the box alone shows.
    ASSERT_EQ(Text(2, 0, 0, 0x40000000 | 0x0303, c.text, 1), 1u);
    Box b = ChangedBox(p);
    EXPECT_EQ(b.right - b.left, c.width);
    EXPECT_EQ(b.bottom - b.top, c.size);
  }
}

TEST_F(TextTest, FontSlotsRefuseNumbersAboveThirtyOne) {
  std::vector<uint8_t> before(32 * 48);
  for (uint32_t n = 0; n < 32; ++n) {
    ASSERT_EQ(Call(builtin_font_get, {n, Buffer(n * 48)}), 1u);
  }
  std::memcpy(before.data(), ToHost(Buffer()), before.size());
  // A slot starts as "ＭＳ ゴシック" at 16.
  FontRecord first;
  std::memcpy(&first, before.data(), 48);
  EXPECT_EQ(std::string(first.face), Sjis("ＭＳ ゴシック"));
  EXPECT_EQ(first.size, 16);
  EXPECT_EQ(first.flags, 0);
  EXPECT_EQ(SetFont(32, "Arial", 40), 0u);
  EXPECT_EQ(SetFont(0xFFFFFFFF, "Arial", 40), 0u);
  EXPECT_EQ(Call(builtin_font_set, {3, 0}), 0u);
  EXPECT_EQ(Call(builtin_font_get, {32, Buffer(4000)}), 0u);
  EXPECT_EQ(Call(builtin_font_get, {3, 0}), 0u);
  for (uint32_t n = 0; n < 32; ++n) ASSERT_EQ(Call(builtin_font_get, {n, Buffer(n * 48)}), 1u);
  EXPECT_EQ(std::memcmp(before.data(), ToHost(Buffer()), before.size()), 0);
  // font_get returns what font_set stored, byte for byte.
  ASSERT_EQ(SetFont(5, "ＭＳ 明朝", 30, kFontAntiAliased | kFontBold, 900, 500), 1u);
  ASSERT_EQ(Call(builtin_font_get, {5, Buffer(3000)}), 1u);
  EXPECT_EQ(std::memcmp(ToHost(Buffer(3000)), ToHost(Buffer(2048)), 48), 0);
}

TEST_F(TextTest, AnUnchangedRecordKeepsItsFontObject) {
  MakePlane(1, 64, 20, 32);
  ASSERT_EQ(SetFont(4, "ＭＳ ゴシック", 12), 1u);
  uint64_t before = RasterFontsCreated();
  ASSERT_EQ(Text(1, 0, 0, 1, "a", 4), 1u);
  ASSERT_EQ(Text(1, 0, 0, 1, "b", 4), 1u);
  EXPECT_EQ(RasterFontsCreated(), before + 1);
  ASSERT_EQ(SetFont(4, "ＭＳ ゴシック", 12), 1u);  // the same bytes again
  ASSERT_EQ(Text(1, 0, 0, 1, "c", 4), 1u);
  EXPECT_EQ(RasterFontsCreated(), before + 1);
  ASSERT_EQ(SetFont(4, "ＭＳ ゴシック", 13), 1u);
  ASSERT_EQ(Text(1, 0, 0, 1, "d", 4), 1u);
  EXPECT_EQ(RasterFontsCreated(), before + 2);
  // Back to the first record, and that record in another slot: the object
  // made for it serves again.
  ASSERT_EQ(SetFont(4, "ＭＳ ゴシック", 12), 1u);
  ASSERT_EQ(Text(1, 0, 0, 1, "e", 4), 1u);
  ASSERT_EQ(SetFont(5, "ＭＳ ゴシック", 13), 1u);
  ASSERT_EQ(Text(1, 0, 0, 1, "f", 5), 1u);
  EXPECT_EQ(RasterFontsCreated(), before + 2);
}

TEST_F(TextTest, FailureValues) {
  Plane* p = MakePlane(1, 64, 20, 32);
  std::string text = Sjis("字");
  // Empty slot, font number out of range, a cell too large to make.
  EXPECT_EQ(Text(9, 0, 0, 1, "字", 0), 0u);
  EXPECT_EQ(Text(5000, 0, 0, 1, "字", 0), 0u);
  EXPECT_EQ(Text(1, 0, 0, 1, "字", 32), 0u);
  ASSERT_EQ(SetFont(2, "ＭＳ ゴシック", 1 << 20), 1u);
  EXPECT_EQ(Text(1, 0, 0, 1, "字", 2), 0u);
  ASSERT_EQ(SetFont(2, "ＭＳ ゴシック", 1000, kFontAntiAliased), 1u);  // 8000 pixels for the work plane
  EXPECT_EQ(Text(1, 0, 0, 1, "字", 2), 0u);
  // A zero string.
  std::memcpy(ToHost(Buffer(100)), text.c_str(), text.size() + 1);
  EXPECT_EQ(Call(builtin_gtext, {1, 0, 0, 1, 0}), 0u);
  EXPECT_EQ(Call(builtin_gtext, {1, 0, 0, 1, Buffer(100)}), 1u);
  // The thread's font number: font_use keeps the low 8 bits.
  EXPECT_EQ(Call(builtin_font_use, {40}), 1u);
  EXPECT_EQ(Call(builtin_gtext, {1, 0, 0, 1, Buffer(100)}), 0u);
  EXPECT_EQ(Call(builtin_font_use, {256 + 3}), 1u);
  EXPECT_EQ(ThreadFontNumber(), 3);
  EXPECT_EQ(Call(builtin_gtext, {1, 0, 0, 1, Buffer(100)}), 1u);
  // Anti-aliased text wholly outside the clip draws nothing and fails.
  ASSERT_EQ(SetFont(2, "ＭＳ ゴシック", 16, kFontAntiAliased), 1u);
  FillRect(p, 0, 0, 64, 20, kMarker);
  EXPECT_EQ(Text(1, 64, 0, 1, "字", 2), 0u);
  EXPECT_EQ(Text(1, -40, 0, 1, "字", 2), 0u);
  EXPECT_TRUE(ChangedBox(p).right < 0);
  // 1- and 4-bit planes: success, nothing drawn.
  for (uint32_t bits : {1u, 4u}) {
    ASSERT_EQ(Call(builtin_galloc, {2, 32, 20, bits}), 1u);
    EXPECT_EQ(Text(2, 0, 0, 1, "字", 0), 1u);
    Plane* q = PlaneAt(2);
    std::vector<uint8_t> zero(static_cast<size_t>(q->stride) * q->height, 0);
    EXPECT_EQ(std::memcmp(PlanePixels(q), zero.data(), zero.size()), 0);
  }
}

TEST_F(TextTest, ExtremePositionsAnglesAndLengthsAreSafe) {
  Plane* p = MakePlane(1, 64, 20, 32);
  struct Case {
    int32_t x, y, angle, flags;
  };
  const int32_t big = 0x7FFFFFFF, small = -0x7FFFFFFF - 1;
  const Case cases[] = {
      {big, big, 0, 0},      {small, small, 0, 0},           {small, 0, 0, kFontAntiAliased},
      {big, 0, 0, kFontAntiAliased}, {0, 0, big, 0},          {0, 0, small, kFontAntiAliased},
      {-30, 5, 450, kFontItalic | kFontBold | kFontUnderline | kFontStrikeOut},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(SetFont(1, "ＭＳ ゴシック", 16, c.flags, c.angle), 1u);
    uint32_t r = Text(1, c.x, c.y, 1 | kTextOpaque, "字a", 1);
    EXPECT_LE(r, 1u);
  }
  // A string far longer than any plane is wide.
  std::string longest(1 << 20, 'A');
  ASSERT_EQ(SetFont(1, "ＭＳ ゴシック", 16), 1u);
  FillRect(p, 0, 0, 64, 20, kMarker);
  EXPECT_EQ(DrawTextInPlane(1, 0, 0, 1, longest, 1), 1u);
  EXPECT_GE(ChangedBox(p).right, 62);  // letters up to the right edge
}

TEST_F(TextTest, PlainTextIgnoresTheClipAntiAliasedTextKeepsToIt) {
  int32_t rect[4] = {0, 0, 8, 20};
  std::memcpy(ToHost(Buffer(200)), rect, sizeof rect);
  for (int32_t flags : {0, kFontAntiAliased}) {
    SCOPED_TRACE(flags);
    ASSERT_EQ(SetFont(1, "ＭＳ ゴシック", 16, flags), 1u);
    Plane* p = MakePlane(2, 64, 20, 32);
    ASSERT_EQ(Call(builtin_gclip, {2, Buffer(200)}), 1u);
    ASSERT_EQ(Text(2, 0, 0, 1, "字字", 1), 1u);
    Box b = ChangedBox(p);
    if (flags)
      EXPECT_LE(b.right, 8);
    else
      EXPECT_GT(b.right, 16);
  }
}

TEST_F(TextTest, GlyphsAFaceLacksComeFromAnotherFace) {
  ResolvedFace latin;
  ASSERT_TRUE(ResolveFace("DejaVu Sans", 400, false, latin));
  ASSERT_EQ(latin.family, "DejaVu Sans");  // a face without kanji or kana
  ASSERT_EQ(SetFont(1, "DejaVu Sans", 24), 1u);
  // Two user-defined characters (no face has them) give the face's empty boxes.
  Plane* boxes = MakePlane(3, 80, 30, 32);
  ASSERT_EQ(DrawTextInPlane(3, 0, 0, 1, "\xF0\x40\xF0\x41", 1), 1u);
  // The NEC and IBM rows of code page 932 as well: ① ㈱ 髙 﨑.
  for (const char* text : {"日本", "①㈱", "髙﨑"}) {
    SCOPED_TRACE(text);
    Plane* p = MakePlane(2, 80, 30, 32);
    ASSERT_EQ(Text(2, 0, 0, 1, text, 1), 1u);
    int ink = 0, differ = 0;
    std::vector<bool> box_ink = Changed(boxes), text_ink = Changed(p);
    for (size_t i = 0; i < text_ink.size(); ++i) {
      ink += text_ink[i];
      differ += text_ink[i] != box_ink[i];
    }
    EXPECT_GT(ink, 60);
    EXPECT_GT(differ, 40);
  }
}

// A vertical-writing face ('@') in text that runs down (2700) stands the
// full-width characters upright: each looks as it does in level text, one
// below the other; half-width letters lie on their side.
TEST_F(TextTest, VerticalFacesStandFullWidthCharactersUp) {
  ASSERT_EQ(SetFont(1, "ＭＳ ゴシック", 16), 1u);
  ASSERT_EQ(SetFont(2, "@ＭＳ ゴシック", 16, 0, 2700), 1u);
  ASSERT_EQ(SetFont(3, "ＭＳ ゴシック", 16, 0, 2700), 1u);
  Plane* level = MakePlane(1, 40, 40, 32);
  ASSERT_EQ(Text(1, 0, 0, 1, "字", 1), 1u);
  ASSERT_EQ(Text(1, 0, 16, 1, "あ", 1), 1u);
  Plane* down = MakePlane(2, 40, 40, 32);
  ASSERT_EQ(Text(2, 0, 0, 1, "字あ", 2), 1u);
  EXPECT_EQ(std::memcmp(PlanePixels(level), PlanePixels(down), size_t(down->stride) * down->height), 0);
  Plane* lying = MakePlane(3, 40, 40, 32);
  ASSERT_EQ(Text(3, 0, 0, 1, "字あ", 3), 1u);  // the same face without '@': the characters lie
  EXPECT_NE(std::memcmp(PlanePixels(level), PlanePixels(lying), size_t(lying->stride) * lying->height), 0);
  // Half-width letters are not stood up: "A" reads the same with or without '@'.
  Plane* a1 = MakePlane(4, 40, 40, 32);
  ASSERT_EQ(Text(4, 0, 0, 1, "A", 2), 1u);
  Plane* a2 = MakePlane(5, 40, 40, 32);
  ASSERT_EQ(Text(5, 0, 0, 1, "A", 3), 1u);
  EXPECT_EQ(std::memcmp(PlanePixels(a1), PlanePixels(a2), size_t(a2->stride) * a2->height), 0);
  // The face's vertical forms: the long-vowel mark runs down, the full stop
  // sits in the upper right of its cell.
  Plane* mark = MakePlane(6, 40, 40, 32);
  ASSERT_EQ(Text(6, 0, 0, 1, "ー", 2), 1u);
  Box m = ChangedBox(mark);
  EXPECT_GT(m.bottom - m.top, 2 * (m.right - m.left));
  Plane* stop = MakePlane(7, 40, 40, 32);
  ASSERT_EQ(Text(7, 0, 0, 1, "。", 2), 1u);
  Box f = ChangedBox(stop);
  EXPECT_GE(f.left, 8);
  EXPECT_LE(f.bottom, 8);
}

TEST_F(TextTest, GtextfFormatsLikeSprintf) {
  std::string format = "No.%d %s", arg = Sjis("日本");
  std::memcpy(ToHost(Buffer(100)), format.c_str(), format.size() + 1);
  std::memcpy(ToHost(Buffer(140)), arg.c_str(), arg.size() + 1);
  Plane* formatted = MakePlane(1, 120, 20, 32);
  ASSERT_EQ(Call(builtin_gtextf, {1, 2, 1, 1, Buffer(100), 42, Buffer(140)}), 1u);
  Plane* plain = MakePlane(2, 120, 20, 32);
  ASSERT_EQ(Text(2, 2, 1, 1, "No.42 日本", 0), 1u);
  EXPECT_EQ(std::memcmp(PlanePixels(formatted), PlanePixels(plain), size_t(plain->stride) * plain->height), 0);
  EXPECT_EQ(Call(builtin_gtextf, {1, 2, 1, 1, 0}), 0u);
}

TEST_F(TextTest, FontListFillsThirtyTwoByteEntries) {
  std::memset(ToHost(Buffer()), 0xEE, 32 * 40);
  uint32_t all = Call(builtin_font_list, {Buffer(), 40});
  ASSERT_GE(all, 2u);  // IPA Gothic and IPA Mincho
  for (uint32_t i = 0; i < all; ++i) {
    const char* entry = reinterpret_cast<const char*>(ToHost(Buffer(i * 32)));
    EXPECT_GT(strnlen(entry, 32), 0u);
    EXPECT_LT(strnlen(entry, 32), 32u);
  }
  EXPECT_EQ(*ToHost(Buffer(all * 32)), 0xEE);
  std::memset(ToHost(Buffer()), 0xEE, 64);
  EXPECT_EQ(Call(builtin_font_list, {Buffer(), 1}), 1u);
  EXPECT_EQ(*ToHost(Buffer(32)), 0xEE);
  EXPECT_EQ(Call(builtin_font_list, {Buffer(), 0}), 0u);
  EXPECT_EQ(Call(builtin_font_list, {0, 10}), 0u);
}

}  // namespace
