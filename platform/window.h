// The main window, its event loop and message boxes (SDL underneath). All of
// it runs on the window thread, except ShowMessageBox, which any thread may
// call.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the window reports; each callback runs on the window thread.
struct WindowEvents {
  void (*close_requested)() = nullptr;               // the user closes the window
  void (*destroyed)() = nullptr;                     // another program destroyed the window
  void (*client_resized)(int32_t w, int32_t h) = nullptr;
  void (*moved)(int32_t x, int32_t y) = nullptr;
  void (*activated)(bool active) = nullptr;          // focus gained or lost
  void (*minimised)() = nullptr;
  void (*key_down)(int32_t key, bool alt) = nullptr; // key: one of the WindowKey values, or 0
  // Every key by its place on the keyboard (USB HID usage); repeat while held.
  void (*key)(uint32_t usage, bool down, bool repeat) = nullptr;
  // The pointer in client coordinates and its relative movement; inside is
  // false once it has left the window.
  void (*mouse_moved)(int32_t x, int32_t y, bool inside, int32_t dx, int32_t dy) = nullptr;
  void (*text)(std::string_view utf8) = nullptr;     // typed text
  void (*mouse_button)(int button, bool down, int clicks) = nullptr;  // 0 left, 1 right, 2 middle
  void (*mouse_wheel)(int32_t steps) = nullptr;      // positive away from the user
  void (*maximise_requested)() = nullptr;            // the maximise button
  void (*paint)() = nullptr;                         // the window needs its picture again
  void (*tick)() = nullptr;                          // every pass of the event loop (at least every 10 ms)
};

enum WindowKey : int32_t { kKeyOther = 0, kKeyF8 = 1, kKeyReturn = 2, kKeyF12 = 3 };

struct WindowPlacement {
  int32_t x, y;             // top-left of the window on the desktop
  int32_t client_w, client_h;
  bool resizable;
  bool centred;             // ignore x, y
};

// True when a display can be opened (there is none in a headless session).
bool WindowSystemAvailable();
// Size of the desktop (the primary display); 0 x 0 without a display.
void DesktopSize(int32_t& w, int32_t& h);

bool CreateMainWindow(std::string_view title_sjis, const WindowPlacement& placement, const WindowEvents& events);
void DestroyMainWindow();
bool MainWindowExists();
// The main window as the platform knows it (what native libraries are handed), or nullptr.
void* MainWindowHandle();
void SetMainWindowClientSize(int32_t w, int32_t h);
// The smallest and largest client size the user can drag a resizable window
// to (they do not hold in full screen).
void SetMainWindowClientLimits(int32_t min_w, int32_t min_h, int32_t max_w, int32_t max_h);
// The frame around the client area (window size minus client size) as the
// window manager reports it; false, with 0 x 0, when it is not known.
bool MainWindowFrameSize(int32_t& w, int32_t& h);
void RaiseMainWindow();
// Switches the window between its frame and the desktop's full screen, which
// covers the whole display; back in its frame the window has the size and
// place it had before (not a maximised size).
bool SetMainWindowFullScreen(bool on);
// True in either kind of full screen.
bool MainWindowFullScreen();
// True while the main window is minimised.
bool MainWindowMinimised();

struct DisplayModeSize {
  int32_t w, h;
  bool operator==(const DisplayModeSize&) const = default;
};
// The display modes of the display the main window is on, in the system's
// order; empty without a window.
std::vector<DisplayModeSize> DisplayModes();
// Exclusive full screen: the display changes to a mode of w x h at the
// desktop's pixel format and the window covers it. False, with the window
// back in its frame and the desktop's mode, when the display does not end up
// in that mode.
bool EnterExclusiveFullScreen(int32_t w, int32_t h);
// Back from full screen to the window, with a client area of w x h whose
// window stands at (x, y) on the desktop.
void LeaveFullScreenTo(int32_t x, int32_t y, int32_t w, int32_t h);
// Where the window stands on the desktop.
void MainWindowPosition(int32_t& x, int32_t& y);

// When the connection to the window system is lost (the display's server
// ends, or another program cuts the engine off it), `lost` runs on the thread
// that found out and must end the process; the window can no longer be used.
void SetWindowConnectionLostHandler(void (*lost)());

// Runs the event loop until QuitEventLoop; engine messages are served in it.
void RunEventLoop();
void QuitEventLoop();

// The mouse cursor over the client area: shown (the arrow) or hidden; kept
// inside a client rectangle (right and bottom exclusive) or free; moved to a
// client position. Window thread; nothing happens without a window.
struct ClientRect {
  int32_t left, top, right, bottom;
};
void ShowMainWindowCursor(bool shown);
void ConfineMainWindowCursor(const ClientRect* rect);
void WarpMainWindowCursor(int32_t x, int32_t y);
// Whether Caps Lock, Num Lock and Scroll Lock are on; false when unknown
// (no window).
bool KeyboardLocks(bool& caps, bool& num, bool& scroll);
// The mouse buttons held now (bit 0 left, bit 1 right, bit 2 middle); false
// when unknown (no window).
bool MouseButtonsHeld(uint32_t& buttons);

// Joysticks and game controllers: up to four, in slots 0 to 3 in the order
// they are attached (a freed slot is taken by the next device). Game
// controllers are recognised by SDL's mapping database, the
// SDL_GAMECONTROLLERCONFIG variable and the mapping file given here (a
// missing file is fine); their left stick is x, y and the D-pad, when held,
// overrides it; plain joysticks give their first two axes or their first
// hat. Axes are raw, -32768 to 32767; button n is bit n. changed runs on the
// window thread whenever a slot's state changes (present false: detached).
using JoystickChanged = void (*)(int slot, bool present, int32_t x, int32_t y, uint32_t buttons);
void StartJoysticks(const std::string& mapping_file, JoystickChanged changed);
void StopJoysticks();

// Closes every message box that is up (each caller gets its box's default
// answer) and lets no new one open: the engine is being ended. Any thread.
void CloseAllMessageBoxes();

// A modal message box (Shift_JIS texts), transient for the main window while
// it exists. Returns true for OK.
bool ShowMessageBox(std::string_view caption_sjis, std::string_view text_sjis, bool ok_cancel);

// A modal message box with up to three buttons, shown from any thread. The
// buttons stand left to right in the order given; default_index is the one
// Return presses. Returns the id of the button pressed, escape_id when the box
// is closed with Escape, or -1 when no box can be shown.
enum class MessageBoxIcon { kNone, kError, kWarning, kInformation };
struct MessageBoxButton {
  int id;
  const char* label;  // UTF-8
};
int ShowChoiceBox(std::string_view caption_sjis, std::string_view text_sjis, MessageBoxIcon icon,
                  const MessageBoxButton* buttons, int count, int default_index, int escape_id);

// Sets the main window's caption (window thread). False without a window.
bool SetMainWindowCaption(std::string_view caption_sjis);
