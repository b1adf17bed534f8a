#include "host/main_window.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "audio/cd_audio.h"
#include "audio/midi_music.h"
#include "audio/sound_buffers.h"
#include "audio/video_playback.h"
#include "display/display_output.h"
#include "host/engine.h"
#include "host/screenshot_name.h"
#include "host/window_geometry.h"
#include "input/input_devices.h"
#include "input/window_input.h"
#include "platform/debug_window.h"
#include "platform/user_folders.h"
#include "platform/window.h"
#include "platform/window_thread.h"
#include "runtime/clock_builtins.h"
#include "runtime/runtime_settings.h"
#include "runtime/script_threads.h"

namespace {

bool closing = false;
bool closed = false;
bool resizable_window = false;
bool full_screen_at_close = false;
bool internal_resize = false;
Size client{0, 0};

void SetClientLimitsFromFrame();

void FinishClose(uintptr_t confirmed) {
  if (closed) return;  // a box answered after the engine was ended from outside
  g_window_input.input_enabled = 1;
  if (!confirmed) {
    closing = false;
    return;
  }
  closed = true;
  closing = true;
  full_screen_at_close = MainWindowFullScreen();
  EngineShutdown();
  DestroyDebugWindow();
  DestroyMainWindow();
  ScriptClockStop();
  QuitEventLoop();
}

void HandleClose(uintptr_t) {
  if (closing || !MainWindowExists()) return;
  closing = true;
  if (!g_runtime_settings.confirmation) {
    FinishClose(1);
    return;
  }
  g_window_input.input_enabled = 0;
  // The question waits on a thread of its own, so the window thread goes on
  // serving engine messages meanwhile.
  std::thread([] {
    bool ok = ShowMessageBox("\x8f\x49\x97\xb9\x8a\x6d\x94\x46",       // 終了確認
                             "\x8f\x49\x97\xb9\x82\xb5\x82\xdc\x82\xb7\x82\xa9\x81\x48",  // 終了しますか？
                             true);
    PostToWindowThread(FinishClose, ok ? 1 : 0);
  }).detach();
}

void OnCloseRequested() { HandleClose(0); }

// Another program destroyed the window: a close without the confirmation.
void OnDestroyed() {
  CloseAllMessageBoxes();
  FinishClose(1);
}

void OnResized(int32_t w, int32_t h) {
  if (internal_resize) {
    client = {w, h};
    internal_resize = false;
    DisplayClientResized(w, h, MainWindowFullScreen());
    PaintWindow();
    PlaceMedia();
    return;
  }
  Size before = client;
  client = {w, h};
  if (MainWindowFullScreen()) {
    DisplayClientResized(w, h, true);
    PaintWindow();
    PlaceMedia();
    return;
  }
  if (g_settings.fixed_aspect_ratio) {
    Size fixed = FixAspectRatio(before, client, g_settings.width, g_settings.height);
    if (!(fixed == client)) {
      internal_resize = true;
      SetMainWindowClientSize(fixed.w, fixed.h);
      client = fixed;
    }
  }
  g_settings.window_width = client.w;
  g_settings.window_height = client.h;
  SetClientLimitsFromFrame();
  DisplayClientResized(client.w, client.h, false);
  PaintWindow();
  PlaceMedia();  // the video learns the new size
}

void OnMoved(int32_t x, int32_t y) {
  if (MainWindowFullScreen()) return;
  SetClientLimitsFromFrame();
  g_settings.window_left = x;
  g_settings.window_top = y;
}

}  // namespace

void ApplicationActivated(bool active) {
  int32_t a = active ? 1 : 0;
  if (!g_runtime_settings.global_focus && a != g_application_active.load()) {
    if (a) ResumeEngine();
    else PauseEngine();
    g_application_active = a;
  }
  InputActivated(active);
}

namespace {

// F12: a PNG of the screen into the user's pictures folder, Keva/, named by
// the time it was taken (never the name of an earlier one).
void SaveScreenshotToPictures() {
  std::string folder = UserFolder("PICTURES", "Pictures") + "/Keva";
  if (!MakeFolders(folder)) return;
  std::string path = UnusedScreenshotPath(folder, std::chrono::system_clock::now());
  std::string error;
  if (!path.empty()) SaveFrame(path, error);
}

void OnKeyDown(int32_t key, bool alt) {
  if (key == kKeyReturn && alt) SetFullScreen(MainWindowFullScreen() ? 0 : 1);
  if (key == kKeyF12) SaveScreenshotToPictures();
  if (key == kKeyF8) ToggleDebugWindow();
}

void OnMouseMoved(int32_t x, int32_t y, bool inside, int32_t dx, int32_t dy) { InputPointer(x, y, inside, dx, dy); }

void OnMaximise() {
  if (!MainWindowFullScreen()) SetFullScreen(1);
}

void OnPaint() { PaintWindow(); }

void RaiseFromAnotherInstance(uintptr_t) { RaiseMainWindow(); }

int32_t IsFullScreen() {
  if (!g_settings.direct3d) return WindowOutputFullScreen() ? 1 : 0;  // the painted output keeps the flag
  return MainWindowFullScreen() ? 1 : 0;
}
int32_t DesktopWidth() {
  int32_t w, h;
  DesktopSize(w, h);
  return w;
}
int32_t DesktopHeight() {
  int32_t w, h;
  DesktopSize(w, h);
  return h;
}
int32_t FullScreenFromScript(int32_t on) { return static_cast<int32_t>(SendEngineMessage(kMessageSetFullScreen, static_cast<uint32_t>(on), 0)); }
void CloseFromScriptThread() { PostToWindowThread(HandleClose, 0); }

// The user's limits on the client area: the window limits of the engine's
// rule, with the frame the window manager puts around the window, less that
// frame (the window system limits the client area). The frame is known only
// once the window manager has framed the window, and may change later: the
// limits follow it, and a client larger than they allow is brought within.
Size limits_frame{-1, -1};
void SetClientLimitsFromFrame() {
  if (!resizable_window || MainWindowFullScreen()) return;
  int32_t dw, dh, fw, fh;
  MainWindowFrameSize(fw, fh);
  if (limits_frame == Size{fw, fh}) return;
  limits_frame = {fw, fh};
  DesktopSize(dw, dh);
  const Settings& s = g_settings;
  TrackingLimits limits = WindowTrackingLimits({fw, fh}, {dw, dh}, s.width, s.height, s.fixed_aspect_ratio);
  Size max{limits.max.w - fw, limits.max.h - fh};
  SetMainWindowClientLimits(limits.min.w - fw, limits.min.h - fh, max.w, max.h);
  if (client.w > max.w || client.h > max.h) SetMainWindowClientSize(std::min(client.w, max.w), std::min(client.h, max.h));
}

}  // namespace

bool OpenMainWindow() {
  int32_t dw, dh;
  DesktopSize(dw, dh);
  const Settings& s = g_settings;
  bool resizable = s.direct3d && s.resize;
  resizable_window = resizable;
  limits_frame = {-1, -1};
  Size size = StartClientSize({s.window_width, s.window_height}, {s.width, s.height}, {dw, dh}, s.restore_bounds, resizable);
  bool restore = s.restore_bounds && s.window_width && s.window_height;
  Point at = StartWindowPosition({s.window_left, s.window_top}, size, {dw, dh}, restore);
  WindowEvents events;
  events.close_requested = OnCloseRequested;
  events.destroyed = OnDestroyed;
  events.client_resized = OnResized;
  events.moved = OnMoved;
  events.activated = ApplicationActivated;
  events.key_down = OnKeyDown;
  events.key = InputKey;
  events.text = InputText;
  events.mouse_moved = OnMouseMoved;
  events.mouse_button = InputMouseButton;
  events.mouse_wheel = InputWheel;
  events.tick = FeedScriptedInput;
  events.maximise_requested = OnMaximise;
  events.paint = OnPaint;
  if (!CreateMainWindow(s.title, {at.x, at.y, size.w, size.h, resizable, false}, events)) return false;
  ScriptClockStart();  // the script clock runs with the main window
  if (resizable) SetClientLimitsFromFrame();
  client = size;
  DisplayClientResized(size.w, size.h, false);
  g_settings.window_width = size.w;
  g_settings.window_height = size.h;
  g_settings.window_left = at.x;
  g_settings.window_top = at.y;
  g_runtime_host_hooks.close_main_window = CloseFromScriptThread;
  g_runtime_host_hooks.is_full_screen = IsFullScreen;
  g_runtime_host_hooks.set_full_screen = FullScreenFromScript;
  g_runtime_host_hooks.desktop_width = DesktopWidth;
  g_runtime_host_hooks.desktop_height = DesktopHeight;
  return true;
}

int32_t SetFullScreen(int32_t mode) {
  if (g_settings.direct3d) return SetMainWindowFullScreen(mode != 0) ? 1 : 0;
  // The painted output changes the display mode: the engine pauses and the
  // display gets time to settle on either side of the switch.
  PauseEngine();
  SuspendMedia();  // the video's state saved and the video closed
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int32_t result = SetFullScreenWindowOutput(mode);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ResumeMedia();  // ... and the video opened again and its state restored
  ResumeEngine();
  return result;
}

void PauseEngine() {
  if (!g_runtime_settings.global_sound) PauseAllSounds();
  PauseMidi();
  PauseMedia();
  PauseCd();
  PauseScriptClock();
  PauseAllScriptThreads();
}

void ResumeEngine() {
  ResumeAllScriptThreads();
  ResumeScriptClock();
  ReplayCd();
  ReplayMedia();
  ReplayMidi();
  if (!g_runtime_settings.global_sound) ReplayAllSounds();
}

void RequestMainWindowClose() { PostToWindowThread(HandleClose, 0); }

void CloseMainWindowNow() {
  // Boxes first: a script thread or the window thread waiting on one would
  // hold up the shut-down.
  CloseAllMessageBoxes();
  PostToWindowThread(FinishClose, 1);
}

void RaiseMainWindowSoon() { PostToWindowThread(RaiseFromAnotherInstance, 0); }

bool FullScreenAtClose() { return full_screen_at_close; }
