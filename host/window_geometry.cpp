#include "host/window_geometry.h"

#include <algorithm>

Size FixAspectRatio(Size before, Size now, int32_t screen_w, int32_t screen_h) {
  float r = static_cast<float>(screen_w) / static_cast<float>(screen_h);
  int32_t w = now.w, h = now.h;
  bool width_changed = w != before.w, height_changed = h != before.h;
  if (width_changed && !height_changed) {
    h = static_cast<int32_t>(static_cast<float>(w) / r + 0.5f);
  } else if (height_changed && !width_changed) {
    w = static_cast<int32_t>(static_cast<float>(h) * r + 0.5f);
  } else if (static_cast<float>(h) / static_cast<float>(screen_h) < static_cast<float>(w) / static_cast<float>(screen_w)) {
    h = static_cast<int32_t>(static_cast<float>(w) / r + 0.5f);
  } else {
    w = static_cast<int32_t>(static_cast<float>(h) * r + 0.5f);
  }
  return {w, h};
}

TrackingLimits WindowTrackingLimits(Size frame, Size desktop, int32_t screen_w, int32_t screen_h,
                                    bool fixed_aspect_ratio) {
  TrackingLimits t;
  t.min = {frame.w + screen_w / 2, frame.h + screen_h / 2};
  int32_t aw = desktop.w - frame.w, ah = desktop.h - frame.h;
  t.max = {frame.w + aw, frame.h + ah};
  if (fixed_aspect_ratio) {
    float r = static_cast<float>(screen_w) / static_cast<float>(screen_h);
    float d = static_cast<float>(aw) / static_cast<float>(ah);
    if (r < d) t.max = {frame.w + static_cast<int32_t>(static_cast<float>(ah) * r + 0.5f), frame.h + ah};
    else if (r > d) t.max = {frame.w + aw, frame.h + static_cast<int32_t>(static_cast<float>(aw) / r + 0.5f)};
  }
  return t;
}

Size StartClientSize(Size saved, Size screen, Size desktop, bool restore_bounds, bool resizable) {
  if (saved.w == 0 || saved.h == 0 || !restore_bounds || !resizable) return screen;
  return {std::min(std::max(saved.w, screen.w / 2), desktop.w), std::min(std::max(saved.h, screen.h / 2), desktop.h)};
}

Point StartWindowPosition(Point saved, Size window, Size desktop, bool restore) {
  Point centred{(desktop.w - window.w) / 2, (desktop.h - window.h) / 2};
  if (!restore) return centred;
  Point p = saved;
  if (p.x + window.w <= 0 || p.x >= desktop.w) p.x = centred.x;
  if (p.y + window.h <= 0 || p.y >= desktop.h) p.y = centred.y;
  return p;
}
