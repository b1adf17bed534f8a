#include <random>
#include <string>
#include <vector>

#include "graphics/plane_builtins.h"
#include "graphics_fixture.h"

namespace {

std::vector<std::string> g_boxes;
void RecordBox(std::string_view, std::string_view text) { g_boxes.emplace_back(text); }

class PlaneTest : public GraphicsTest {
 protected:
  void SetUp() override {
    GraphicsTest::SetUp();
    g_boxes.clear();
  }
  void TearDown() override {
    SetErrorBoxBackend(nullptr);
    GraphicsTest::TearDown();
  }
  void CaptureBoxes() {
    SetErrorLevel(1);
    SetErrorBoxBackend(RecordBox);
  }
};

TEST_F(PlaneTest, StartCreatesTheScreenPlaneAndThePalettes) {
  Plane* p = PlaneAt(0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->width, 8);
  EXPECT_EQ(p->height, 4);
  EXPECT_EQ(p->bits, 32);
  EXPECT_EQ(g_view_page, 0);
  EXPECT_EQ(g_active_page, 0);
  EXPECT_EQ(g_engine_colours[224], 0xFF0000u);
  EXPECT_EQ(g_script_palette[0xFF], 0xFFFFFFu);
  EXPECT_EQ(g_script_palette[0x1D], 0x00FF55u);  // red 0, green 7, blue 1
  EXPECT_TRUE(g_platform_palette.present);
  EXPECT_EQ(g_platform_palette.version, 0x300);
  EXPECT_EQ(g_platform_palette.entries[235].flags, kPaletteReserved);
  EXPECT_EQ(g_platform_palette.entries[236].flags, 0);

  // Starting again is a reset: planes, pages, palettes and the inverse map.
  ASSERT_EQ(Call(builtin_galloc, {6, 2, 2, 8}), 1u);
  ASSERT_EQ(Call(builtin_vpage, {6}), 1u);
  g_script_palette[1] = 0x123456;
  GraphicsStart();
  EXPECT_EQ(PlaneAt(6), nullptr);
  EXPECT_EQ(g_view_page, 0);
  EXPECT_EQ(g_script_palette[1], DefaultColour8(1));
  for (int cell = 0; cell < 32768; ++cell) ASSERT_EQ(InverseColourMap()[cell], 0) << cell;
  BuildInverseColourMap(g_engine_colours);
}

TEST_F(PlaneTest, CreatePlaneLaysOutHeaderColourTableAndBottomUpRows) {
  Plane* p = CreatePlane(3, 2, 8);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->stride, 4);
  PlaneHeader h;
  std::memcpy(&h, ToHost(p->header), sizeof h);
  EXPECT_EQ(h.size, 40u);
  EXPECT_EQ(h.width, 3);
  EXPECT_EQ(h.height, 2);
  EXPECT_EQ(h.planes, 1);
  EXPECT_EQ(h.bit_count, 8);
  EXPECT_EQ(h.compression, 0u);
  EXPECT_EQ(h.image_size, 8u);
  EXPECT_EQ(h.colours_used, 256u);
  EXPECT_EQ(h.colours_important, 256u);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(PlaneColourTable(p)), ToHost(p->header + 40));
  EXPECT_EQ(PlaneColourTable(p)[224], 0xFF0000u);
  EXPECT_EQ(PixelAddress(p, 0, 1), ToHost(p->pixels));         // the bottom row comes first
  EXPECT_EQ(PixelAddress(p, 2, 0), ToHost(p->pixels + 4 + 2));
  EXPECT_EQ(PixelAddress(p, 3, 0), nullptr);
  EXPECT_EQ(PixelAddress(p, 0, -1), nullptr);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(ToHost(p->pixels)[i], 0);
  FreePlane(p);

  Plane* mono = CreatePlane(9, 1, 1);
  ASSERT_NE(mono, nullptr);
  EXPECT_EQ(mono->stride, 4);
  EXPECT_EQ(PlaneColourTable(mono)[0], 0u);
  EXPECT_EQ(PlaneColourTable(mono)[1], 0xFFFFFFu);
  FreePlane(mono);
  Plane* rgb = CreatePlane(5, 1, 24);
  ASSERT_NE(rgb, nullptr);
  EXPECT_EQ(rgb->stride, 16);
  EXPECT_EQ(PlaneColourTable(rgb), nullptr);
  FreePlane(rgb);

  EXPECT_EQ(CreatePlane(4, 4, 2), nullptr);
  EXPECT_EQ(CreatePlane(0, 4, 8), nullptr);
  EXPECT_EQ(CreatePlane(4, -1, 8), nullptr);
  EXPECT_EQ(CreatePlane(1 << 20, 1 << 20, 32), nullptr);
}

TEST_F(PlaneTest, GallocChoosesTheHighestFreeSlotAndReportsAFullTable) {
  const uint32_t out = Buffer();
  ASSERT_EQ(Call(builtin_galloc, {out, 2, 2, 8}), 1u);
  EXPECT_EQ(Word(out), 1023u);
  ASSERT_NE(PlaneAt(1023), nullptr);
  for (uint32_t n = 1; n < 1023; ++n) ASSERT_EQ(Call(builtin_galloc, {n, 1, 1, 8}), 1u);
  EXPECT_EQ(Call(builtin_galloc, {out, 2, 2, 8}), 0u);
  EXPECT_EQ(Word(out), 0xFFFFFFFFu);
  EXPECT_EQ(Call(builtin_ginit, {}), 1u);
  EXPECT_NE(PlaneAt(0), nullptr);  // the page survives
  EXPECT_EQ(PlaneAt(1023), nullptr);
}

TEST_F(PlaneTest, GallocReplacesASlotsPlaneAndAttachmentsFollowTheSlot) {
  ASSERT_EQ(Call(builtin_galloc, {5, 2, 2, 8}), 1u);
  Plane* first = PlaneAt(5);
  ASSERT_EQ(Call(builtin_gattach, {3, 5}), 1u);
  EXPECT_EQ(AttachedPlaneAt(3), first);
  ASSERT_EQ(Call(builtin_galloc, {5, 4, 4, 32}), 1u);
  Plane* second = PlaneAt(5);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->width, 4);
  EXPECT_EQ(AttachedPlaneAt(3), second);
  EXPECT_EQ(Call(builtin_gattach, {3, 1024}), 0u);
  EXPECT_EQ(Call(builtin_gdetach, {3}), 1u);
  EXPECT_EQ(AttachedPlaneAt(3), nullptr);
  EXPECT_EQ(Call(builtin_gdetach, {1024}), 0u);
}

TEST_F(PlaneTest, GallocFailureReportsAndLeavesTheSlotEmpty) {
  CaptureBoxes();
  ASSERT_EQ(Call(builtin_galloc, {7, 2, 2, 8}), 1u);
  EXPECT_EQ(Call(builtin_galloc, {7, 2, 2, 7}), 0u);
  EXPECT_EQ(PlaneAt(7), nullptr);
  ASSERT_EQ(g_boxes.size(), 1u);
  // "CreatePlane : 仮想画面の作成に失敗しました。"
  EXPECT_EQ(g_boxes[0], "CreatePlane : \x89\xbc\x91\x7a\x89\xe6\x96\xca\x82\xcc\x8d\xec\x90\xac\x82\xc9\x8e\xb8\x94\x73"
                        "\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42");
}

TEST_F(PlaneTest, GfreeKeepsPagePlanesButClearsTheirAttachment) {
  ASSERT_EQ(Call(builtin_gattach, {0, 9}), 1u);
  EXPECT_EQ(Call(builtin_gfree, {0}), 1u);
  EXPECT_NE(PlaneAt(0), nullptr);
  EXPECT_EQ(AttachmentOf(0), -1);
  ASSERT_EQ(Call(builtin_galloc, {9, 1, 1, 8}), 1u);
  EXPECT_EQ(Call(builtin_gfree, {9}), 1u);
  EXPECT_EQ(PlaneAt(9), nullptr);
  EXPECT_EQ(Call(builtin_gfree, {9}), 1u);
  EXPECT_EQ(Call(builtin_gfree, {1024}), 0u);
}

TEST_F(PlaneTest, PagesRefuseOutOfRangeNumbersWithAMessageAndEmptySlotsSilently) {
  CaptureBoxes();
  EXPECT_EQ(Call(builtin_vpage, {1024}), 0u);
  EXPECT_EQ(Call(builtin_apage, {0xFFFFFFFF}), 0u);
  EXPECT_EQ(Call(builtin_vpage, {4}), 0u);
  ASSERT_EQ(g_boxes.size(), 2u);
  // "SetViewPage : パラメータが範囲外です。", "SetActivePage : パラメータが範囲外です。"
  const std::string tail = "\x83\x70\x83\x89\x83\x81\x81\x5b\x83\x5e\x82\xaa\x94\xcd\x88\xcd\x8a\x4f\x82\xc5\x82\xb7\x81\x42";
  EXPECT_EQ(g_boxes[0], "SetViewPage : " + tail);
  EXPECT_EQ(g_boxes[1], "SetActivePage : " + tail);
  ASSERT_EQ(Call(builtin_galloc, {4, 2, 2, 8}), 1u);
  EXPECT_EQ(Call(builtin_vpage, {4}), 1u);
  EXPECT_EQ(Call(builtin_apage, {4}), 1u);
  EXPECT_EQ(g_view_page, 4);
  EXPECT_EQ(g_active_page, 4);
  EXPECT_EQ(Call(builtin_gfree, {4}), 1u);
  EXPECT_NE(PlaneAt(4), nullptr);
}

TEST_F(PlaneTest, GetpixelReadsEveryFormat) {
  struct Case {
    int bits;
    std::vector<uint8_t> row;  // the top row's first bytes
    int x;
    uint32_t expected;
  };
  const Case cases[] = {
      {1, {0x80}, 0, 0xFFFFFF},
      {1, {0x80}, 1, 0x000000},
      {4, {0x9F}, 0, 0x0000FF},  // entry 9: bright blue
      {4, {0x9F}, 1, 0xFFFFFF},
      {8, {0, 224}, 1, 0xFF0000},
      {16, {0xFF, 0x7F}, 0, 0xFFFFFF},
      {16, {0xFF, 0xFF}, 0, 0xFFFFFF},  // bit 15 is ignored
      {16, {0x1F, 0x04}, 0, 0x0800FF},  // red 1 -> 8, blue 31 -> 255
      {24, {1, 2, 3, 4, 5, 6}, 1, 0x060504},
      {32, {1, 2, 3, 4, 5, 6, 7, 8}, 1, 0x070605},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Call(builtin_galloc, {10, 4, 2, uint32_t(c.bits)}), 1u);
    std::memcpy(PixelAddress(PlaneAt(10), 0, 0), c.row.data(), c.row.size());
    EXPECT_EQ(Call(builtin_getpixel, {10, uint32_t(c.x), 0}), c.expected) << c.bits << " bits, x " << c.x;
  }
  EXPECT_EQ(Call(builtin_getpixel, {10, 4, 0}), 0u);
  EXPECT_EQ(Call(builtin_getpixel, {10, 0xFFFFFFFF, 0}), 0u);
  EXPECT_EQ(Call(builtin_getpixel, {11, 0, 0}), 0u);
}

TEST_F(PlaneTest, GinfoDescribesThePlaneOrWritesZeros) {
  ASSERT_EQ(Call(builtin_galloc, {12, 3, 5, 24}), 1u);
  const Plane* p = PlaneAt(12);
  const uint32_t info = Buffer();
  ASSERT_EQ(Call(builtin_ginfo, {12, info}), 1u);
  EXPECT_EQ(Word(info), 3u);
  EXPECT_EQ(Word(info + 4), 5u);
  EXPECT_EQ(Word(info + 8), 24u);
  EXPECT_EQ(ToHost(Word(info + 12)), PixelAddress(p, 0, 0));
  EXPECT_EQ(int32_t(Word(info + 16)), -12);
  EXPECT_EQ(ToHost(Word(info + 12) + Word(info + 16)), PixelAddress(p, 0, 1));
  EXPECT_EQ(Word(info + 20), p->header + 40);
  EXPECT_EQ(Call(builtin_ginfo, {13, info}), 1u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Word(info + 4 * i), 0u);
  EXPECT_EQ(Call(builtin_ginfo, {12, 0}), 1u);
}

TEST_F(PlaneTest, GclipNormalisesAndClamps) {
  ASSERT_EQ(Call(builtin_galloc, {14, 200, 100, 8}), 1u);
  const uint32_t rect = Buffer();
  SetWords(rect, {300, 50, uint32_t(-20), 10});
  ASSERT_EQ(Call(builtin_gclip, {14, rect}), 1u);
  const PlaneRect& c = PlaneAt(14)->clip;
  EXPECT_EQ(c.left, 0);
  EXPECT_EQ(c.top, 10);
  EXPECT_EQ(c.right, 200);
  EXPECT_EQ(c.bottom, 50);
  ASSERT_EQ(Call(builtin_gclip, {14, 0}), 1u);
  EXPECT_EQ(PlaneAt(14)->clip.right, 200);
  EXPECT_EQ(PlaneAt(14)->clip.bottom, 100);
  EXPECT_EQ(Call(builtin_gclip, {15, rect}), 0u);
}

TEST_F(PlaneTest, ScriptPaletteBuiltinsStopAtTheTableEnd) {
  const uint32_t buf = Buffer();
  for (uint32_t i = 0; i < 10; ++i) SetWords(buf + 4 * i, {0xAB000000u + i});
  EXPECT_EQ(Call(builtin_pal_sets, {250, 10, buf}), 1u);
  EXPECT_EQ(g_script_palette[255], 0xAB000005u);  // six entries, stored unchanged
  EXPECT_EQ(g_script_palette[249], DefaultColour8(249));
  EXPECT_EQ(Call(builtin_pal_sets, {256, 1, buf}), 0u);
  EXPECT_EQ(Call(builtin_pal_sets, {0, 0, buf}), 0u);
  EXPECT_EQ(Call(builtin_pal_set, {256, 1}), 0u);
  EXPECT_EQ(Call(builtin_pal_set, {3, 0x123456}), 1u);
  EXPECT_EQ(Call(builtin_pal_get, {3}), 0x123456u);
  EXPECT_EQ(Call(builtin_pal_get, {300}), 0u);
  const uint32_t out = Buffer(64);
  EXPECT_EQ(Call(builtin_pal_gets, {254, 5, out}), 1u);
  EXPECT_EQ(Word(out + 4), 0xAB000005u);
  EXPECT_EQ(Word(out + 8), 0u);  // only two entries were written
}

TEST_F(PlaneTest, GgetpalAndGsetpalWorkOnPlaneTablesAndTheScriptPalette) {
  const uint32_t buf = Buffer();
  ASSERT_EQ(Call(builtin_galloc, {20, 2, 2, 1}), 1u);
  EXPECT_EQ(Call(builtin_ggetpal, {20, 0, 5, buf}), 2u);
  EXPECT_EQ(Word(buf + 4), 0xFFFFFFu);
  EXPECT_EQ(Call(builtin_ggetpal, {20, 2, 1, buf}), 0u);
  SetWords(buf, {0x112233, 0x445566});
  EXPECT_EQ(Call(builtin_gsetpal, {20, 1, 9, buf}), 1u);
  EXPECT_EQ(PlaneColourTable(PlaneAt(20))[1], 0x112233u);
  EXPECT_EQ(Call(builtin_ggetpal, {0xFFFFFFFF, 254, 9, buf}), 2u);
  EXPECT_EQ(Word(buf + 4), 0xFFFFFFu);
  EXPECT_EQ(Call(builtin_ggetpal, {0xFFFFFFFF, 256, 1, buf}), 0u);
  EXPECT_EQ(Call(builtin_ggetpal, {0, 0, 1, buf}), 0u);  // 32 bits: no table
  EXPECT_EQ(Call(builtin_ggetpal, {21, 0, 1, buf}), 0u);
  EXPECT_EQ(Call(builtin_ggetpal, {20, 0, 0, buf}), 0u);
}

TEST_F(PlaneTest, PalLoadAndPalChange) {
  ASSERT_EQ(Call(builtin_galloc, {22, 2, 2, 4}), 1u);
  EXPECT_EQ(Call(builtin_pal_load, {22, 250, 12, 100}), 4u);  // plane entries 12..15
  EXPECT_EQ(g_script_palette[253], 0xFFFFFFu);
  EXPECT_EQ(Call(builtin_pal_load, {22, 254, 0, 100}), 2u);  // palette end
  EXPECT_EQ(Call(builtin_pal_load, {0, 0, 0, 1}), 0u);
  EXPECT_EQ(Call(builtin_pal_load, {23, 0, 0, 1}), 0u);

  static int repaints = 0;
  repaints = 0;
  g_view_repaint_hook = [] { ++repaints; };
  g_script_palette[7] = 0xFF123456;
  EXPECT_EQ(Call(builtin_pal_change, {}), 1u);
  EXPECT_EQ(g_engine_colours[7], 0x123456u);
  EXPECT_EQ(g_platform_palette.entries[7].red, 0x12);
  EXPECT_EQ(g_platform_palette.entries[7].flags, kPaletteReserved);
  EXPECT_EQ(repaints, 0);  // the view page is 32-bit
  ASSERT_EQ(Call(builtin_galloc, {24, 2, 2, 8}), 1u);
  ASSERT_EQ(Call(builtin_vpage, {24}), 1u);
  EXPECT_EQ(Call(builtin_pal_change, {}), 1u);
  EXPECT_EQ(repaints, 1);
  g_view_repaint_hook = nullptr;
  // gsetpal on the page changes its own table, not the engine's.
  SetWords(Buffer(), {0x010203});
  EXPECT_EQ(Call(builtin_gsetpal, {24, 7, 1, Buffer()}), 1u);
  EXPECT_EQ(g_engine_colours[7], 0x123456u);
}

TEST_F(PlaneTest, NearestColourAndConvertColour) {
  EXPECT_EQ(NearestColour(255, 0, 0), 224);
  EXPECT_EQ(NearestColour(255, 255, 255), 255);
  EXPECT_EQ(NearestColour(0, 0, 0), 0);
  // Equal distances keep the earlier entry; an exact match ends the search.
  g_engine_colours[10] = g_engine_colours[20] = 0x123456;
  EXPECT_EQ(NearestColour(0x12, 0x34, 0x56), 10);
  EXPECT_EQ(ConvertColour(0x01000014, 1), 0x14u);
  EXPECT_EQ(ConvertColour(0x00FF0000, 1), 224u);
  EXPECT_EQ(ConvertColour(0x0100000A, 4), 0x123456u);
  EXPECT_EQ(ConvertColour(0x00FF0000, 2), 0x7C00u);
  EXPECT_EQ(ConvertColour(0xAA102030, 3), 0x102030u);
}

TEST_F(PlaneTest, FillRectClipsAndPacksPerFormat) {
  ASSERT_EQ(Call(builtin_galloc, {30, 4, 4, 16}), 1u);
  Plane* p = PlaneAt(30);
  p->clip = {1, 1, 3, 4};
  EXPECT_EQ(FillRect(p, -5, -5, 100, 100, 0xFF0000), 1);
  uint16_t v;
  std::memcpy(&v, PixelAddress(p, 1, 1), 2);
  EXPECT_EQ(v, 0x7C00);
  std::memcpy(&v, PixelAddress(p, 0, 1), 2);
  EXPECT_EQ(v, 0);
  std::memcpy(&v, PixelAddress(p, 2, 0), 2);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(FillRect(p, 3, 0, 5, 5, 1), 0);  // nothing inside the clip
  ASSERT_EQ(Call(builtin_galloc, {31, 4, 4, 32}), 1u);
  EXPECT_EQ(FillRect(PlaneAt(31), 0, 0, 4, 4, 0x80112233), 1);
  EXPECT_EQ(PixelAddress(PlaneAt(31), 3, 3)[3], 0x80);
  ASSERT_EQ(Call(builtin_galloc, {32, 4, 4, 4}), 1u);
  EXPECT_EQ(FillRect(PlaneAt(32), 0, 0, 4, 4, 0xFF), 1);
  EXPECT_EQ(*PixelAddress(PlaneAt(32), 0, 0), 0);
  EXPECT_EQ(FillRect(nullptr, 0, 0, 1, 1, 0), 0);
}

TEST_F(PlaneTest, PalMapLeavesNoCellThatANeighbourCouldImprove) {
  std::mt19937 rng(7);
  uint32_t table[256];
  for (auto& c : table) c = rng() & 0xFFFFFF;
  table[0] = 0x000000;
  const uint32_t addr = Buffer();
  std::memcpy(ToHost(addr), table, sizeof table);
  ASSERT_EQ(Call(builtin_pal_map, {addr}), 1u);
  EXPECT_EQ(Call(builtin_pal_map, {0}), 0u);
  const uint8_t* map = InverseColourMap();
  auto dist = [&](int entry, int r5, int g5, int b5) {
    int dr = int((table[entry] >> 16) & 255) / 4 - r5 * 2, dg = int((table[entry] >> 8) & 255) / 4 - g5 * 2,
        db = int(table[entry] & 255) / 4 - b5 * 2;
    return 900 * dr * dr + 3481 * dg * dg + 121 * db * db;
  };
  for (int cell = 0; cell < 32768; ++cell) {
    const int r = cell >> 10, g = (cell >> 5) & 31, b = cell & 31;
    ASSERT_NE(map[cell], 0) << cell;
    const int own = dist(map[cell], r, g, b);
    const int nb[6][3] = {{r - 1, g, b}, {r + 1, g, b}, {r, g - 1, b}, {r, g + 1, b}, {r, g, b - 1}, {r, g, b + 1}};
    for (const auto& n : nb) {
      if (n[0] < 0 || n[0] > 31 || n[1] < 0 || n[1] > 31 || n[2] < 0 || n[2] > 31) continue;
      ASSERT_LE(own, dist(map[n[0] << 10 | n[1] << 5 | n[2]], r, g, b)) << cell;
    }
  }
}

}  // namespace
