// The main window's size rules: the client size kept at the screen's aspect
// ratio while the user resizes, the tracking limits, and the start-up size
// and position.
#pragma once
#include <cstdint>

struct Size {
  int32_t w, h;
  bool operator==(const Size&) const = default;
};
struct Point {
  int32_t x, y;
  bool operator==(const Point&) const = default;
};

// The client size after the user resized from `before` to `now`, for a screen
// of screen_w x screen_h: when only one side changed the other follows; when
// both changed, the side with the larger relative change wins.
Size FixAspectRatio(Size before, Size now, int32_t screen_w, int32_t screen_h);

// Tracking limits of the window (frame = window size minus client size).
struct TrackingLimits {
  Size min, max;
};
TrackingLimits WindowTrackingLimits(Size frame, Size desktop, int32_t screen_w, int32_t screen_h,
                                    bool fixed_aspect_ratio);

// The client size at start: the saved size when bounds are restored on a
// resizable window (at least half the screen, at most the desktop), else the
// screen size.
Size StartClientSize(Size saved, Size screen, Size desktop, bool restore_bounds, bool resizable);

// The window position at start: centred on the desktop, or the saved one
// when restoring bounds, except on an axis where the window would lie wholly
// off the desktop.
Point StartWindowPosition(Point saved, Size window, Size desktop, bool restore);
