// getpoint, cur_setpos and input files' pointer moves through the
// presentation rectangle: the screen scaled and letterboxed in a larger
// client area.
#include <gtest/gtest.h>

#include <cstring>

#include "builtin_call.h"
#include "display/display_output.h"
#include "input/input_devices.h"

namespace {

class PointerMapping : public testing::Test {
 protected:
  void SetUp() override {
    g_display_settings = DisplaySettings{};  // 640 x 480, scaled, fixed ratio
    g_input_settings.width = 640;
    g_input_settings.height = 480;
    StartDisplayOutput();
    // Full screen on 1600 x 900: the screen is 1200 x 900 at (200, 0).
    DisplayClientResized(1600, 900, true);
    args_ = ArenaAllocZeroed(64);
    ASSERT_NE(args_, 0u);
    StartInput();
  }
  void TearDown() override {
    StopInput();
    ArenaFree(args_);
    StopDisplayOutput();
    g_display_settings = DisplaySettings{};
  }
  // x, y of getpoint.
  std::pair<int32_t, int32_t> Point() {
    const uint32_t record = args_ + 16;
    EXPECT_EQ(CallBuiltin(builtin_getpoint, args_, {record}), 1u);
    int32_t words[4];
    std::memcpy(words, ToHost(record), 16);
    return {words[0], words[1]};
  }
  uint32_t args_ = 0;
};

TEST_F(PointerMapping, ClientPositionsMapToTheScreenThroughTheLetterbox) {
  struct Case {
    int32_t cx, cy, x, y;
  };
  const Case cases[] = {
      {200, 0, 0, 0},          {1399, 899, 639, 479}, {800, 450, 320, 240},
      {203, 3, 1, 1},          {100, 450, -53, 240},  // in the black band: off the screen, not clamped
      {1500, 900, 693, 480},
  };
  for (const Case& c : cases) {
    InputPointer(c.cx, c.cy, true);
    EXPECT_EQ(Point(), std::make_pair(c.x, c.y)) << c.cx << ", " << c.cy;
  }
  InputPointer(0, 0, false);
  EXPECT_EQ(Point(), std::make_pair(-1, -1));
}

TEST_F(PointerMapping, ScreenPositionsSetByScriptsAndInputFilesReadBackUnchanged) {
  for (auto [x, y] : {std::pair{0, 0}, {639, 479}, {320, 240}, {1, 477}}) {
    ASSERT_TRUE(RunScriptedEvent("mouse move " + std::to_string(x) + " " + std::to_string(y)));
    EXPECT_EQ(Point(), std::make_pair(x, y)) << "moved to " << x << ", " << y;
    EXPECT_EQ(CallBuiltin(builtin_cur_setpos, args_, {static_cast<uint32_t>(x), static_cast<uint32_t>(y)}), 1u);
    EXPECT_EQ(Point(), std::make_pair(x, y)) << "set to " << x << ", " << y;
  }
}

}  // namespace
