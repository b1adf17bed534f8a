// The window-painted output ([System] Direct3D 0) without a display: what the
// view shows after update, a palette change or an expose, and the pure
// full-screen decisions.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "builtin_call.h"
#include "display/display_output.h"
#include "graphics/plane_builtins.h"
#include "vm/arena.h"

namespace {

constexpr uint32_t kSlot = 40, kSmallSlot = 41, kEmptySlot = 42;

TEST(ChooseFullScreenMode, TakesTheSmallestListedModeThatHoldsTheScreen) {
  struct Case {
    std::vector<DisplayModeSize> modes;
    int32_t width, height;
    DisplayModeSize expected;
  };
  const Case cases[] = {
      {{{1920, 1080}, {800, 600}, {640, 480}, {1024, 768}}, 640, 480, {640, 480}},
      {{{1920, 1080}, {1280, 720}}, 2560, 1440, {0, 0}},  // none big enough
      {{}, 640, 480, {0, 0}},
      // a later mode must be smaller in both directions to replace the chosen one
      {{{1024, 600}, {800, 768}}, 800, 600, {1024, 600}},
      {{{640, 400}, {1280, 1024}, {1024, 768}, {1024, 768}}, 640, 480, {1024, 768}},
      {{{640, 480}, {800, 600}}, 640, 480, {640, 480}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ChooseFullScreenMode(c.modes, c.width, c.height), c.expected) << c.width << "x" << c.height;
}

TEST(ViewRectangle, CornerInAWindowAndCentredOnTheMode) {
  EXPECT_EQ(ViewRectangle(false, {1024, 768}, 640, 480), (OutputRect{0, 0, 640, 480}));
  EXPECT_EQ(ViewRectangle(true, {1024, 768}, 640, 480), (OutputRect{192, 144, 640, 480}));
  EXPECT_EQ(ViewRectangle(true, {800, 600}, 640, 480), (OutputRect{80, 60, 640, 480}));
  EXPECT_EQ(ViewRectangle(true, {640, 480}, 640, 480), (OutputRect{0, 0, 640, 480}));
}

// A 4 x 2 screen, a view page in slot 40 and builtins called as scripts call them.
class Painted : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ArenaStart());
    scratch_ = ArenaAllocZeroed(256);
    ASSERT_NE(scratch_, 0u);
    Start(0);
  }
  void TearDown() override {
    StopDisplayOutput();
    for (uint32_t slot : {kSlot, kSmallSlot}) SetPlaneAt(slot, nullptr);
    g_view_page = 0;
    g_display_settings = DisplaySettings{};
    ArenaFree(scratch_);
  }
  void Start(int32_t scaled) {
    StopDisplayOutput();
    g_display_settings.width = 4;
    g_display_settings.height = 2;
    g_display_settings.scaled = scaled;
    StartDisplayOutput();
  }
  Plane* Page(uint32_t slot, int32_t w, int32_t h, int32_t bits) {
    Plane* p = CreatePlane(w, h, bits);
    SetPlaneAt(slot, p);
    g_view_page = static_cast<int32_t>(slot);
    return p;
  }
  static void Put32(Plane* p, int32_t x, int32_t y, uint32_t v) { std::memcpy(PixelAddress(p, x, y), &v, 4); }
  static void Fill32(Plane* p, uint32_t v) {
    for (int32_t y = 0; y < p->height; ++y)
      for (int32_t x = 0; x < p->width; ++x) Put32(p, x, y, v);
  }
  uint32_t Update() { return Call(builtin_update, {0}); }
  uint32_t Update(PlaneRect r) {
    std::memcpy(ToHost(scratch_ + 64), &r, 16);
    return Call(builtin_update, {scratch_ + 64});
  }
  uint32_t Call(BuiltinHandler h, std::initializer_list<uint32_t> words) { return CallBuiltin(h, scratch_, words); }
  uint32_t scratch_ = 0;
};

TEST_F(Painted, PaletteChangeShowsAtOnceOnlyWhenPainted) {
  for (int32_t scaled : {0, 1}) {
    SCOPED_TRACE(scaled ? "scaled" : "painted");
    Start(scaled);
    Plane* page = Page(kSlot, 4, 2, 8);
    *PixelAddress(page, 1, 0) = 7;
    g_script_palette[7] = 0xFF0000;
    ASSERT_EQ(Call(builtin_pal_change, {}), 1u);
    ASSERT_EQ(Update(), 1u);
    ASSERT_EQ(FrameSnapshot()[1], 0xFF0000u);
    g_script_palette[7] = 0x00FF00;
    ASSERT_EQ(Call(builtin_pal_change, {}), 1u);
    EXPECT_EQ(FrameSnapshot()[1], scaled ? 0xFF0000u : 0x00FF00u);
    ASSERT_EQ(Update(), 1u);
    EXPECT_EQ(FrameSnapshot()[1], 0x00FF00u);
  }
}

TEST_F(Painted, UpdatePaintsOnlyTheRectangleOnTheScreen) {
  Plane* page = Page(kSlot, 4, 2, 32);
  Fill32(page, 0x123456);
  EXPECT_EQ(Update({4, 0, 8, 2}), 0u);    // right of the screen
  EXPECT_EQ(Update({-5, -5, 0, 0}), 0u);  // above and left of it
  EXPECT_EQ(Update({2, 1, 2, 2}), 0u);    // empty
  EXPECT_EQ(FrameSnapshot(), std::vector<uint32_t>(8, 0));
  ASSERT_EQ(Update({3, 1, 9, 9}), 1u);  // clipped to the screen: only (3, 1)
  EXPECT_EQ(FrameSnapshot(), (std::vector<uint32_t>{0, 0, 0, 0, 0, 0, 0, 0x123456}));
  ASSERT_EQ(Update(), 1u);
  EXPECT_EQ(FrameSnapshot(), std::vector<uint32_t>(8, 0x123456));
}

TEST_F(Painted, ShowsTheCurrentPageOrBlack) {
  Fill32(Page(kSlot, 4, 2, 32), 0x0000FF);
  ASSERT_EQ(Update(), 1u);
  // A smaller page paints its own part; the rest of the view keeps what it showed.
  Fill32(Page(kSmallSlot, 2, 1, 32), 0xFF0000);
  ASSERT_EQ(Update(), 1u);
  EXPECT_EQ(FrameSnapshot(), (std::vector<uint32_t>{0xFF0000, 0xFF0000, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  // An expose repaints from the page as it is now, without an update.
  Put32(PlaneAt(kSmallSlot), 1, 0, 0x00FF00);
  PaintWindow();
  EXPECT_EQ(FrameSnapshot()[1], 0x00FF00u);
  g_view_page = kEmptySlot;  // no plane: black
  ASSERT_EQ(Update(), 1u);
  EXPECT_EQ(FrameSnapshot(), std::vector<uint32_t>(8, 0));
}

TEST_F(Painted, PacksPixelsThroughThePagesOwnColourTable) {
  Plane* p4 = Page(kSlot, 4, 2, 4);
  PlaneColourTable(p4)[3] = 0xABCDEF;
  *PixelAddress(p4, 1, 0) = 0x03;  // pixel 0 in the high nibble, pixel 1 in the low one
  ASSERT_EQ(Update(), 1u);
  EXPECT_EQ(FrameSnapshot()[0], PlaneColourTable(p4)[0] & 0xFFFFFF);
  EXPECT_EQ(FrameSnapshot()[1], 0xABCDEFu);
  Plane* p1 = Page(kSmallSlot, 4, 2, 1);
  PlaneColourTable(p1)[1] = 0x010203;
  PlaneColourTable(p1)[0] = 0;
  *PixelAddress(p1, 0, 1) = 0x20;  // the third pixel of the bottom row
  ASSERT_EQ(Update(), 1u);
  EXPECT_EQ(FrameSnapshot(), (std::vector<uint32_t>{0, 0, 0, 0, 0, 0, 0x010203, 0}));
}

TEST_F(Painted, FullScreenNeedsAWindow) {
  EXPECT_EQ(StartWindowOutput(), 0);
  EXPECT_EQ(SetFullScreenWindowOutput(1), 0);
  EXPECT_FALSE(WindowOutputFullScreen());
}

}  // namespace
