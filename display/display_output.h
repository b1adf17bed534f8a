// The display output: the screen frame (Width x Height pixels, what the
// window shows) and its two ways into the main window.
// - Scaled ([System] Direct3D 1): update converts the view page into the
//   frame, which is presented scaled to the window, letterboxed in full
//   screen when the aspect ratio is fixed; repaints show the frame as it was
//   last updated.
// - Window-painted ([System] Direct3D 0): the frame is the view window, a
//   Width x Height rectangle of the client area, at (0, 0) in a window and
//   centred in full screen, which switches the display mode. Every repaint
//   (update, an expose of the window, a palette change) paints the invalid
//   part of the current view page into it 1:1.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "graphics/planes.h"
#include "platform/window.h"
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

// Where the frame is shown in the client area now: the scaled output's
// rectangle or the painted view's; all zero before the output knows a window.
OutputRect PresentationRectangle();

// Where a rectangle of the screen (width x height) lies in the client area
// when the frame is shown at `output`: moved by the output's origin, and
// scaled when the output is not the screen's size (integer arithmetic).
OutputRect VideoPictureRectangle(const OutputRect& output, int32_t width, int32_t height, const OutputRect& on_screen);

// Start and stop. Start clears the frame to black, starts the output that
// the settings choose and installs the repaint that pal_change asks for.
int StartDisplayOutput();
void StopDisplayOutput();

// The lock of the output in use (the view lock of the painted output, else
// the display lock); drawing onto pages holds it while it draws, never
// across update, which waits for the window thread to paint under it.
std::mutex& OutputLock();

// Converts the region of the plane (nullptr: the whole plane; after a reset
// the whole plane anyway) into the frame: 32-bit pixels as they are, 24-bit
// with the fourth byte left, 16-bit through the RGB555 expansion, 8-bit
// through the engine colour table; 1- and 4-bit planes copy nothing. 1, or 0
// when nothing was converted.
int UploadPage(const Plane* plane, const PlaneRect* region);

// Shows the frame: on the window thread, or soon (the request is handed to
// the window thread and several coalesce into one).
void PresentFrame();

// The client area changed: the scaled frame is presented there from now on,
// and the next upload converts the whole page. (The painted view keeps its
// place; only the full-screen switch moves it.)
void DisplayClientResized(int32_t w, int32_t h, bool full_screen);

// The window needs its picture again (exposed, resized, new colours): the
// scaled output presents the frame as it is; the painted output repaints the
// whole view from the current view page and returns when that is done.
void PaintWindow();

// --- The window-painted output ------------------------------------------------

// Paints the invalid rectangle of the current view page into the frame 1:1
// (8-bit pages through the engine colour table, 1- and 4-bit pages through
// their own), or black without a view page plane; the part of the rectangle
// beyond a smaller page keeps what it showed. Then presents the frame at the
// view rectangle. Window thread.
void PaintView(const PlaneRect& invalid);

// The full-screen display mode for a screen of width x height: the first
// mode at least that large in both directions, replaced by any later one
// that fits and is smaller in both directions than the one chosen so far.
// {0, 0} when none fits.
DisplayModeSize ChooseFullScreenMode(const std::vector<DisplayModeSize>& modes, int32_t width, int32_t height);

// Where the view (width x height) sits in the client area: at (0, 0) in a
// window, centred on the display mode in full screen.
OutputRect ViewRectangle(bool full_screen, DisplayModeSize mode, int32_t width, int32_t height);

// Start (with a window, picks the full-screen mode) and stop.
int StartWindowOutput();
void StopWindowOutput();

// Window thread: full screen (nonzero) in the chosen display mode, or back to
// the window. 0 without a window to switch; else 1, also when no mode fits or
// the display refuses the mode (the window then stays, or is back, in window
// mode).
int32_t SetFullScreenWindowOutput(int32_t mode);
// Whether the painted output is in full screen.
bool WindowOutputFullScreen();

// Moves the view to a rectangle of the client area and repaints it whole.
void PlaceView(const OutputRect& view);

// The video's picture, shown over the frame wherever it is presented or
// copied (the view page underneath stays as it is): w x h X8R8G8B8 words
// covering `on_screen` (screen pixels, clipped to the screen). The window
// shows it scaled from its own size into the client rectangle that
// VideoPictureRectangle gives, copies of the frame scaled to the screen
// rectangle. Any thread; it is presented soon.
void ShowVideoPicture(const uint32_t* pixels, int32_t w, int32_t h, const OutputRect& on_screen);
// Takes the picture away (the frame shows alone again).
void HideVideoPicture();

// A copy of the frame as 0x00RRGGBB words, row 0 at the top, with the video's
// picture over it.
std::vector<uint32_t> FrameSnapshot();

// Writes the frame to a file, PNG or BMP by the file name's extension (host
// path). False with a reason when it cannot.
bool SaveFrame(const std::string& host_path, std::string& error);

uint32_t builtin_update(BuiltinArgs args);
