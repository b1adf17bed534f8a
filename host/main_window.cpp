#include "host/main_window.h"

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include "audio/cd_audio.h"
#include "audio/midi_music.h"
#include "audio/sound_buffers.h"
#include "display/display_output.h"
#include "host/engine.h"
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
bool full_screen_at_close = false;
bool internal_resize = false;
Size client{0, 0};

void FinishClose(uintptr_t confirmed) {
  g_window_input.input_enabled = 1;
  if (!confirmed) {
    closing = false;
    return;
  }
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

void OnResized(int32_t w, int32_t h) {
  if (internal_resize) {
    client = {w, h};
    internal_resize = false;
    DisplayClientResized(w, h, MainWindowFullScreen());
    PaintWindow();
    return;
  }
  Size before = client;
  client = {w, h};
  if (MainWindowFullScreen()) {
    DisplayClientResized(w, h, true);
    PaintWindow();
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
  DisplayClientResized(client.w, client.h, false);
  PaintWindow();
  // The video learns the new size here once it exists.
}

void OnMoved(int32_t x, int32_t y) {
  if (MainWindowFullScreen()) return;
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
// the time it was taken.
void SaveScreenshotToPictures() {
  std::string folder = UserFolder("PICTURES", "Pictures") + "/Keva";
  if (!MakeFolders(folder)) return;
  std::time_t now = std::time(nullptr);
  char name[64];
  std::strftime(name, sizeof name, "keva-%Y%m%d-%H%M%S.png", std::localtime(&now));
  std::string error;
  SaveFrame(folder + "/" + name, error);
}

void OnKeyDown(int32_t key, bool alt) {
  if (key == kKeyReturn && alt) SetFullScreen(MainWindowFullScreen() ? 0 : 1);
  if (key == kKeyF12) SaveScreenshotToPictures();
  if (key == kKeyF8) ToggleDebugWindow();
}

void OnMouseMoved(int32_t x, int32_t y, bool inside, int32_t dx, int32_t dy) { InputPointer(x, y, inside, dx, dy); }

void OnMaximise() { SetFullScreen(1); }

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

}  // namespace

bool OpenMainWindow() {
  int32_t dw, dh;
  DesktopSize(dw, dh);
  const Settings& s = g_settings;
  bool resizable = s.direct3d && s.resize;
  Size size = StartClientSize({s.window_width, s.window_height}, {s.width, s.height}, {dw, dh}, s.restore_bounds, resizable);
  bool restore = s.restore_bounds && s.window_width && s.window_height;
  Point at = StartWindowPosition({s.window_left, s.window_top}, size, {dw, dh}, restore);
  WindowEvents events;
  events.close_requested = OnCloseRequested;
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
  // The window system measures limits on the client area: no frame to add.
  TrackingLimits limits = WindowTrackingLimits({0, 0}, {dw, dh}, s.width, s.height, s.fixed_aspect_ratio);
  if (resizable) SetMainWindowClientLimits(limits.min.w, limits.min.h, limits.max.w, limits.max.h);
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
  // The video's state is saved and the video closed here once it exists.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int32_t result = SetFullScreenWindowOutput(mode);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // ... and the video reopened and its state restored.
  ResumeEngine();
  return result;
}

void PauseEngine() {
  if (!g_runtime_settings.global_sound) PauseAllSounds();
  PauseMidi();
  // the video pauses here, between MIDI and CD audio
  PauseCd();
  PauseScriptClock();
  PauseAllScriptThreads();
}

void ResumeEngine() {
  ResumeAllScriptThreads();
  ResumeScriptClock();
  ReplayCd();
  // the video resumes here, between CD audio and MIDI
  ReplayMidi();
  if (!g_runtime_settings.global_sound) ReplayAllSounds();
}

void RequestMainWindowClose() { PostToWindowThread(HandleClose, 0); }

void RaiseMainWindowSoon() { PostToWindowThread(RaiseFromAnotherInstance, 0); }

bool FullScreenAtClose() { return full_screen_at_close; }
