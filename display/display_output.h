// The display output: the screen frame (Width x Height pixels, what the
// window shows), filled from the view page by update and presented scaled to
// the window, letterboxed in full screen when the aspect ratio is fixed.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "graphics/planes.h"
#include "runtime/builtin.h"

struct DisplaySettings {
  int32_t width = 640, height = 480;  // [Screen] Width, Height
  int32_t fixed_aspect_ratio = 1;     // [Screen] FixedAspectRatio
  int32_t scaled = 1;                 // [System] Direct3D: scale to the window; 0 shows the page 1:1
  int32_t multi_threading = 1;        // [System] MultiThreading
};
inline DisplaySettings g_display_settings;

struct OutputRect {
  int32_t x, y, w, h;
  bool operator==(const OutputRect&) const = default;
};

// Where the frame is drawn in a client area of client_w x client_h.
OutputRect OutputRectangle(int32_t client_w, int32_t client_h, bool full_screen, bool fixed_aspect_ratio,
                           int32_t width, int32_t height);

// Start and stop. Start clears the frame to black.
int StartDisplayOutput();
void StopDisplayOutput();

// Converts the region of the plane (nullptr: the whole plane; after a reset
// the whole plane anyway) into the frame: 32-bit pixels as they are, 24-bit
// with the fourth byte left, 16-bit through the RGB555 expansion, 8-bit
// through the engine colour table; 1- and 4-bit planes copy nothing. 1, or 0
// when nothing was converted.
int UploadPage(const Plane* plane, const PlaneRect* region);

// Shows the frame: on the window thread, or soon (the request is handed to
// the window thread and several coalesce into one).
void PresentFrame();

// The client area changed: the frame is presented there from now on, and the
// next upload converts the whole page.
void DisplayClientResized(int32_t w, int32_t h, bool full_screen);

// A copy of the frame as 0x00RRGGBB words, row 0 at the top.
std::vector<uint32_t> FrameSnapshot();

// Writes the frame to a file, PNG or BMP by the file name's extension (host
// path). False with a reason when it cannot.
bool SaveFrame(const std::string& host_path, std::string& error);

uint32_t builtin_update(BuiltinArgs args);
