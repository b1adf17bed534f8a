// Presentation of the screen frame in the main window: one streaming texture
// of the frame's size, updated in the changed region only, drawn into the
// output rectangle, scaled with linear filtering when that is not the frame's
// size (the painted view is drawn 1:1). Window thread only; without a window
// nothing happens.
#pragma once
#include <cstdint>

struct PresenterRect {
  int32_t x, y, w, h;
};

// frame: w x h pixels, X8R8G8B8 words (bytes blue, green, red, unused), row 0
// at the top. dirty: the part that changed since the last call (w or h 0 for
// none). The client area outside the output rectangle is painted black.
//
// picture (when given): a second picture drawn over the frame (the video),
// w x h words of the same format, scaled with linear filtering into `where`
// of the client area; its words are taken again only when `changed`.
struct PresenterPicture {
  const uint32_t* pixels;
  int32_t w, h;
  PresenterRect where;
  bool changed;
};
void PresentToWindow(const uint32_t* frame, int32_t w, int32_t h, PresenterRect dirty, PresenterRect output,
                     const PresenterPicture* picture = nullptr);
