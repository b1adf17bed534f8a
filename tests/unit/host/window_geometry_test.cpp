#include "host/window_geometry.h"

#include <gtest/gtest.h>

namespace {

TEST(WindowGeometry, ResizingKeepsTheScreensAspectRatio) {
  struct Case { Size before, now, expected; };
  const Case cases[] = {
      {{640, 480}, {800, 480}, {800, 600}},    // only the width: (int)(800 / 1.3333334 + 0.5)
      {{640, 480}, {640, 600}, {800, 600}},    // only the height
      {{640, 480}, {1000, 600}, {1000, 750}},  // both: the width changed more
      {{640, 480}, {700, 900}, {1200, 900}},   // both: the height changed more
      {{640, 480}, {640, 480}, {640, 480}},
      {{640, 480}, {641, 480}, {641, 481}},
  };
  for (const Case& c : cases) {
    Size got = FixAspectRatio(c.before, c.now, 640, 480);
    EXPECT_EQ(got, c.expected) << c.now.w << "x" << c.now.h << " gave " << got.w << "x" << got.h;
  }
}

TEST(WindowGeometry, TrackingLimits) {
  TrackingLimits t = WindowTrackingLimits({16, 39}, {1920, 1080}, 640, 480, true);
  EXPECT_EQ(t.min, (Size{16 + 320, 39 + 240}));
  EXPECT_EQ(t.max, (Size{16 + 1388, 1080}));  // as tall as the desktop allows, at 4:3
  TrackingLimits tall = WindowTrackingLimits({0, 0}, {1000, 1000}, 640, 480, true);
  EXPECT_EQ(tall.max, (Size{1000, 750}));
  TrackingLimits free = WindowTrackingLimits({0, 0}, {1000, 1000}, 640, 480, false);
  EXPECT_EQ(free.max, (Size{1000, 1000}));
}

TEST(WindowGeometry, StartSizeAndPosition) {
  const Size screen{640, 480}, desktop{1920, 1080};
  EXPECT_EQ(StartClientSize({0, 0}, screen, desktop, true, true), screen);
  EXPECT_EQ(StartClientSize({900, 700}, screen, desktop, false, true), screen);
  EXPECT_EQ(StartClientSize({900, 700}, screen, desktop, true, false), screen);
  EXPECT_EQ(StartClientSize({900, 700}, screen, desktop, true, true), (Size{900, 700}));
  EXPECT_EQ(StartClientSize({100, 5000}, screen, desktop, true, true), (Size{320, 1080}));
  const Size window{656, 519};
  EXPECT_EQ(StartWindowPosition({50, 60}, window, desktop, false), (Point{632, 280}));
  EXPECT_EQ(StartWindowPosition({50, 60}, window, desktop, true), (Point{50, 60}));
  EXPECT_EQ(StartWindowPosition({-656, 1080}, window, desktop, true), (Point{632, 280}));
  EXPECT_EQ(StartWindowPosition({-655, 1079}, window, desktop, true), (Point{-655, 1079}));
}

}  // namespace
