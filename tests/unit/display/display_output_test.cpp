#include "display/display_output.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

TEST(OutputRectangle, LetterboxesOnlyInFullScreenWithTheFixedRatio) {
  struct Case { int32_t cw, ch; bool full, fixed; OutputRect expected; };
  const Case cases[] = {
      {1600, 900, true, true, {200, 0, 1200, 900}},
      {1280, 1024, true, true, {0, 32, 1280, 960}},
      {1600, 900, true, false, {0, 0, 1600, 900}},
      {1000, 500, false, true, {0, 0, 1000, 500}},
      {1280, 960, true, true, {0, 0, 1280, 960}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(OutputRectangle(c.cw, c.ch, c.full, c.fixed, 640, 480), c.expected) << c.cw << "x" << c.ch;
}

class Upload : public testing::Test {
 protected:
  void SetUp() override {
    g_display_settings.width = 4;
    g_display_settings.height = 2;
    StartDisplayOutput();
  }
  void TearDown() override {
    for (Plane* p : planes_) FreePlane(p);
    StopDisplayOutput();
    g_display_settings = DisplaySettings{};
  }
  Plane* Make(int32_t w, int32_t h, int32_t bits) {
    Plane* p = CreatePlane(w, h, bits);
    planes_.push_back(p);
    return p;
  }
  std::vector<Plane*> planes_;
};

TEST_F(Upload, ConvertsEachPixelFormat) {
  Plane* p32 = Make(4, 2, 32);
  uint32_t argb = 0xAB123456;
  std::memcpy(PixelAddress(p32, 1, 0), &argb, 4);
  ASSERT_EQ(UploadPage(p32, nullptr), 1);
  EXPECT_EQ(FrameSnapshot()[1], 0x123456u);

  Plane* p24 = Make(4, 2, 24);
  uint8_t bgr[6] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};  // two neighbours: no byte of one leaks into the other
  std::memcpy(PixelAddress(p24, 2, 1), bgr, 6);
  ASSERT_EQ(UploadPage(p24, nullptr), 1);
  EXPECT_EQ(FrameSnapshot()[4 + 2], 0x030201u);
  EXPECT_EQ(FrameSnapshot()[4 + 3], 0x060504u);

  Plane* p16 = Make(4, 2, 16);
  uint16_t white = 0x7FFF, pure_red = 0x7C00;
  std::memcpy(PixelAddress(p16, 0, 0), &white, 2);
  std::memcpy(PixelAddress(p16, 3, 1), &pure_red, 2);
  ASSERT_EQ(UploadPage(p16, nullptr), 1);
  EXPECT_EQ(FrameSnapshot()[0], 0xFFFFFFu);
  EXPECT_EQ(FrameSnapshot()[7], 0xFF0000u);

  Plane* p8 = Make(4, 2, 8);
  *PixelAddress(p8, 0, 1) = 7;
  uint32_t saved = g_engine_colours[7];
  g_engine_colours[7] = 0x00ABCDEF;  // the engine colour table, not the plane's own
  ASSERT_EQ(UploadPage(p8, nullptr), 1);
  EXPECT_EQ(FrameSnapshot()[4], 0xABCDEFu);
  g_engine_colours[7] = saved;

  std::vector<uint32_t> before = FrameSnapshot();
  Plane* p4 = Make(4, 2, 4);
  UploadPage(p4, nullptr);
  EXPECT_EQ(FrameSnapshot(), before);  // 4-bit pages copy nothing
}

TEST_F(Upload, RegionsClipToThePageAndTheScreen) {
  Plane* big = Make(8, 8, 32);
  for (int32_t y = 0; y < 8; ++y)
    for (int32_t x = 0; x < 8; ++x) {
      uint32_t v = static_cast<uint32_t>(y * 16 + x);
      std::memcpy(PixelAddress(big, x, y), &v, 4);
    }
  PlaneRect region{1, 1, 3, 5};
  ASSERT_EQ(UploadPage(big, &region), 1);
  std::vector<uint32_t> f = FrameSnapshot();
  EXPECT_EQ(f[0], 0u);           // outside the region: untouched
  EXPECT_EQ(f[4 + 1], 0x11u);    // (1, 1)
  EXPECT_EQ(f[4 + 2], 0x12u);
  EXPECT_EQ(f[4 + 3], 0u);
  PlaneRect outside{5, 0, 8, 2};
  EXPECT_EQ(UploadPage(big, &outside), 0);
  DisplayClientResized(800, 600, false);  // after a reset the whole page goes up
  ASSERT_EQ(UploadPage(big, &region), 1);
  EXPECT_EQ(FrameSnapshot()[3], 0x03u);
}

TEST_F(Upload, ScreenshotsAsBmpAndPng) {
  Plane* p = Make(4, 2, 32);
  uint32_t c = 0x00FF8000;
  std::memcpy(PixelAddress(p, 3, 1), &c, 4);
  UploadPage(p, nullptr);
  auto dir = std::filesystem::temp_directory_path();
  std::string bmp = (dir / "keva-shot-test.bmp").string(), png = (dir / "keva-shot-test.png").string(), error;
  ASSERT_TRUE(SaveFrame(bmp, error)) << error;
  ASSERT_TRUE(SaveFrame(png, error)) << error;
  EXPECT_FALSE(SaveFrame((dir / "keva-shot-test.gif").string(), error));
  std::ifstream in(bmp, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(bytes.size(), 54u + 2 * 12);
  // bottom row first: pixel (3, 1) is the fourth pixel of the first row stored
  EXPECT_EQ(static_cast<uint8_t>(bytes[54 + 9]), 0x00);
  EXPECT_EQ(static_cast<uint8_t>(bytes[54 + 10]), 0x80);
  EXPECT_EQ(static_cast<uint8_t>(bytes[54 + 11]), 0xFF);
  EXPECT_GT(std::filesystem::file_size(png), 8u);
  std::filesystem::remove(bmp);
  std::filesystem::remove(png);
}

// A rectangle of a 640 x 480 screen in the client area: moved by the
// output's origin, scaled only when the output is not the screen's size.
TEST(VideoPictureRectangle, FollowsTheOutputsPlaceAndScale) {
  struct Case {
    OutputRect output, on_screen, expected;
  };
  for (const Case& c : {
           Case{{0, 0, 640, 480}, {16, 8, 64, 48}, {16, 8, 64, 48}},          // a window at the screen's size
           Case{{80, 60, 640, 480}, {16, 8, 64, 48}, {96, 68, 64, 48}},       // centred 1:1 in full screen
           Case{{160, 0, 1280, 960}, {16, 8, 64, 48}, {192, 16, 128, 96}},    // twice the size, letterboxed
           Case{{160, 0, 1280, 960}, {0, 0, 640, 480}, {160, 0, 1280, 960}},  // the whole screen
           Case{{0, 0, 1000, 750}, {1, 1, 3, 3}, {1, 1, 4, 4}},               // truncated
       }) {
    EXPECT_EQ(VideoPictureRectangle(c.output, 640, 480, c.on_screen), c.expected);
  }
}

}  // namespace
