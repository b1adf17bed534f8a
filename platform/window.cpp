#include "platform/window.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/presenter.h"
#include "platform/text_encoding.h"
#include "platform/window_internal.h"
#include "platform/window_thread.h"

namespace {

SDL_Window* window = nullptr;
// The owner of message boxes, read by whichever thread shows one.
std::atomic<SDL_Window*> box_owner{nullptr};
// Once the engine is being ended from outside, no box opens any more.
std::atomic<bool> boxes_refused{false};
SDL_Renderer* renderer = nullptr;
SDL_Texture* texture = nullptr;
int32_t texture_w = 0, texture_h = 0;
SDL_Texture* picture_texture = nullptr;  // the video over the frame
int32_t picture_w = 0, picture_h = 0;
WindowEvents callbacks;
std::atomic<bool> quitting{false};
bool reported_active = true;  // the application starts active
bool ever_focused = false;    // without a window manager no window may ever get the focus
Uint32 wake_event = 0;

// The size limits the user may drag the client area to. Every main window is
// resizable for the window system, so that window managers offer to maximise
// it (the request becomes the full-screen switch); a window of fixed size
// gets limits one pixel apart (equal ones would make them refuse) and is put
// back to its size whenever it is dragged. The limits are lifted in full
// screen, where the window covers the display whatever its client limits.
struct ClientLimits {
  int32_t min_w = 1, min_h = 1, max_w = 16384, max_h = 16384;
};
ClientLimits limits;
bool fixed_size = false;
int32_t fixed_w = 0, fixed_h = 0;
// The window's last two places and sizes in its frame, neither maximised nor
// in full screen: where leaving full screen puts it back. The older one is
// used when the newer already holds a maximised size that arrived before the
// maximised state.
struct Placement {
  int32_t x = 0, y = 0, w = 0, h = 0;
};
Placement normal, before_normal;
Placement full_screen_return;
// Where the window stood before the window manager maximised it.
Placement maximised_return;
bool maximised_return_valid = false;
bool in_desktop_full_screen = false;
bool frame_before_full_screen = false;

void ApplyLimits() {
  SDL_SetWindowMinimumSize(window, limits.min_w, limits.min_h);
  SDL_SetWindowMaximumSize(window, limits.max_w, limits.max_h);
}

void LiftLimits() {
  SDL_SetWindowMinimumSize(window, 1, 1);
  SDL_SetWindowMaximumSize(window, 16384, 16384);
}

Placement CurrentPlacement() {
  Placement p;
  SDL_GetWindowPosition(window, &p.x, &p.y);
  SDL_GetWindowSize(window, &p.w, &p.h);
  return p;
}

bool InFrame() { return window && !(SDL_GetWindowFlags(window) & (SDL_WINDOW_FULLSCREEN | SDL_WINDOW_MAXIMIZED | SDL_WINDOW_MINIMIZED)); }

void RememberPlacement() {
  if (!InFrame()) return;
  Placement now = CurrentPlacement();
  if (now.w != normal.w || now.h != normal.h) before_normal = normal;
  else before_normal.x = now.x, before_normal.y = now.y;
  normal = now;
}

bool FrameKnown() {
  int top = 0, left = 0, bottom = 0, right = 0;
  return SDL_GetWindowBordersSize(window, &top, &left, &bottom, &right) == 0 && (top | left | bottom | right) != 0;
}

// Back in the frame: the window manager gives the frame back a moment after
// full screen ends, and a position set before that lands off by the frame's
// width, so the position waits for it (briefly: without a frame there is
// nothing to wait for).
void PutBack(const Placement& p, bool had_frame) {
  if (p.w <= 0 || p.h <= 0) return;
  SDL_SetWindowSize(window, p.w, p.h);
  for (int waited = 0; had_frame && !FrameKnown() && waited < 500; waited += 10) {
    SDL_PumpEvents();
    SDL_Delay(10);
  }
  SDL_SetWindowPosition(window, p.x, p.y);
}

// The main window under X11, and whether another client destroyed it. Once it
// is gone, every X error is the tear-down meeting the missing window: none of
// them may end the process (Xlib's default handler exits).
Display* x_display = nullptr;
Window x_window = 0;
std::atomic<bool> x_window_gone{false};
bool reported_gone = false;
int (*previous_x_error_handler)(Display*, XErrorEvent*) = nullptr;

int OnXError(Display* display, XErrorEvent* error) {
  // Requests on a window that is no longer there: the core errors, or an
  // extension's (the GL swap's bad drawable) when they come before the
  // destroy notice.
  if (x_window && error->resourceid == x_window &&
      (error->error_code == BadWindow || error->error_code == BadDrawable || error->error_code >= 128))
    x_window_gone = true;
  if (x_window_gone) return 0;
  return previous_x_error_handler ? previous_x_error_handler(display, error) : 0;
}

// The legacy name properties (WM_NAME, WM_ICON_NAME), beside the UTF-8 one:
// Latin-1 when the caption is Latin-1, else compound text, both of which
// older taskbars and pagers show. Without the conversion they are left alone.
void SetLegacyWindowName(const std::string& utf8) {
  if (!x_display || !x_window) return;
  char* list[] = {const_cast<char*>(utf8.c_str())};
  XTextProperty name{};
  if (Xutf8TextListToTextProperty(x_display, list, 1, XStdICCTextStyle, &name) < Success) return;
  XSetWMName(x_display, x_window, &name);
  XSetWMIconName(x_display, x_window, &name);
  XFree(name.value);
}

std::atomic<void (*)()> connection_lost{nullptr};

// The X connection is gone (the server ended, or another client killed
// ours): nothing of the window can be used any more. Xlib ends the process
// when this returns.
int OnXConnectionLost(Display*) {
  if (auto lost = connection_lost.exchange(nullptr)) lost();
  _exit(1);
}

void WatchX11Window() {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) return;
  x_display = info.info.x11.display;
  x_window = info.info.x11.window;
  x_window_gone = false;
  reported_gone = false;
  static bool handler_installed = false;
  if (!handler_installed) {
    previous_x_error_handler = XSetErrorHandler(OnXError);
    XSetIOErrorHandler(OnXConnectionLost);
    handler_installed = true;
  }
  SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);  // to see the window destroyed
}

// A display is there when SDL opens a real video driver. Without one SDL
// falls back to drivers that draw nowhere ("offscreen", "dummy"); those count
// as no display unless the user asked for them by name.
bool InitVideo() {
  static const bool ok = [] {
    // Without a desktop session to talk to, don't even probe (the probes
    // complain on standard error).
    if (!SDL_getenv("DISPLAY") && !SDL_getenv("WAYLAND_DISPLAY") && !SDL_getenv("SDL_VIDEODRIVER")) return false;
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) return false;
    const char* driver = SDL_GetCurrentVideoDriver();
    const char* asked = SDL_getenv("SDL_VIDEODRIVER");
    bool nowhere = driver && (SDL_strcmp(driver, "offscreen") == 0 || SDL_strcmp(driver, "dummy") == 0);
    if (nowhere && !(asked && SDL_strcmp(asked, driver) == 0)) {
      SDL_QuitSubSystem(SDL_INIT_VIDEO);
      return false;
    }
    return true;
  }();
  return ok;
}

void Wake() {
  SDL_Event e{};
  e.type = wake_event;
  SDL_PushEvent(&e);
}

int ButtonIndex(Uint8 b) { return b == SDL_BUTTON_LEFT ? 0 : b == SDL_BUTTON_RIGHT ? 1 : b == SDL_BUTTON_MIDDLE ? 2 : -1; }

void Handle(const SDL_Event& e) {
  if (HandleDebugWindowEvent(e)) return;
  if (HandleJoystickEvent(e)) return;
  switch (e.type) {
    case SDL_SYSWMEVENT:
      if (e.syswm.msg && e.syswm.msg->subsystem == SDL_SYSWM_X11 && x_window &&
          e.syswm.msg->msg.x11.event.type == DestroyNotify && e.syswm.msg->msg.x11.event.xdestroywindow.window == x_window)
        x_window_gone = true;
      break;
    case SDL_QUIT:
      if (callbacks.close_requested) callbacks.close_requested();
      break;
    case SDL_WINDOWEVENT:
      switch (e.window.event) {
        case SDL_WINDOWEVENT_CLOSE: if (callbacks.close_requested) callbacks.close_requested(); break;
        case SDL_WINDOWEVENT_SIZE_CHANGED: {
          const Uint32 state = SDL_GetWindowFlags(window);
          // A maximised size only leads to full screen: nobody keeps it.
          if ((state & SDL_WINDOW_MAXIMIZED) && !(state & SDL_WINDOW_FULLSCREEN)) break;
          if (fixed_size && !(state & SDL_WINDOW_FULLSCREEN) && (e.window.data1 != fixed_w || e.window.data2 != fixed_h)) {
            if (InFrame()) SDL_SetWindowSize(window, fixed_w, fixed_h);  // dragged: back to its size
            break;
          }
          RememberPlacement();
          if (callbacks.client_resized) callbacks.client_resized(e.window.data1, e.window.data2);
          break;
        }
        case SDL_WINDOWEVENT_MOVED:
          RememberPlacement();
          if (callbacks.moved) callbacks.moved(e.window.data1, e.window.data2);
          break;
        case SDL_WINDOWEVENT_LEAVE:
          // While a button is held the pointer stays ours (it is captured).
          if (callbacks.mouse_moved && e.window.windowID == SDL_GetWindowID(window) && SDL_GetMouseState(nullptr, nullptr) == 0)
            callbacks.mouse_moved(0, 0, false, 0, 0);
          break;
        case SDL_WINDOWEVENT_MINIMIZED: if (callbacks.minimised) callbacks.minimised(); break;
        case SDL_WINDOWEVENT_MAXIMIZED:
          // Maximising is the full-screen switch: the window goes back to
          // its frame first, so leaving full screen finds its own size.
          if (SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN) break;
          {
            // A size the window manager gave on maximising is not the
            // window's own, even when it came before the maximised state.
            Placement now = CurrentPlacement();
            maximised_return = (normal.w == now.w && normal.h == now.h) ? before_normal : normal;
            maximised_return_valid = maximised_return.w > 0;
          }
          SDL_RestoreWindow(window);
          if (callbacks.maximise_requested) callbacks.maximise_requested();
          break;
        case SDL_WINDOWEVENT_EXPOSED:
          if (callbacks.paint) {
            callbacks.paint();
          } else if (renderer) {
            SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
            SDL_RenderClear(renderer);
            SDL_RenderPresent(renderer);
          }
          break;
      }
      break;
    case SDL_KEYUP:
      if (callbacks.key) callbacks.key(static_cast<uint32_t>(e.key.keysym.scancode), false, false);
      break;
    case SDL_KEYDOWN: {
      if (callbacks.key) callbacks.key(static_cast<uint32_t>(e.key.keysym.scancode), true, e.key.repeat != 0);
      if (!callbacks.key_down || e.key.repeat) break;
      SDL_Keycode k = e.key.keysym.sym;
      int32_t key = k == SDLK_F8 ? kKeyF8 : (k == SDLK_RETURN || k == SDLK_KP_ENTER) ? kKeyReturn : k == SDLK_F12 ? kKeyF12 : kKeyOther;
      callbacks.key_down(key, (e.key.keysym.mod & KMOD_ALT) != 0);
      break;
    }
    case SDL_TEXTINPUT:
      if (callbacks.text) callbacks.text(e.text.text);
      break;
    case SDL_MOUSEMOTION:
      if (callbacks.mouse_moved && e.motion.windowID == SDL_GetWindowID(window))
        callbacks.mouse_moved(e.motion.x, e.motion.y, true, e.motion.xrel, e.motion.yrel);
      break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
      if (callbacks.mouse_button && ButtonIndex(e.button.button) >= 0)
        callbacks.mouse_button(ButtonIndex(e.button.button), e.type == SDL_MOUSEBUTTONDOWN, e.button.clicks);
      break;
    case SDL_MOUSEWHEEL:
      if (callbacks.mouse_wheel) callbacks.mouse_wheel(e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -e.wheel.y : e.wheel.y);
      break;
  }
}

}  // namespace

bool WindowSystemAvailable() { return InitVideo(); }

void DesktopSize(int32_t& w, int32_t& h) {
  SDL_DisplayMode mode{};
  if (InitVideo() && SDL_GetDesktopDisplayMode(0, &mode) == 0) {
    w = mode.w;
    h = mode.h;
  } else {
    w = h = 0;
  }
}

bool CreateMainWindow(std::string_view title, const WindowPlacement& p, const WindowEvents& events) {
  if (!InitVideo()) return false;
  callbacks = events;
  Uint32 flags = SDL_WINDOW_SHOWN | SDL_WINDOW_ALLOW_HIGHDPI | SDL_WINDOW_RESIZABLE;
  int x = p.centred ? SDL_WINDOWPOS_CENTERED : p.x, y = p.centred ? SDL_WINDOWPOS_CENTERED : p.y;
  window = SDL_CreateWindow(SjisToUtf8(title).c_str(), x, y, p.client_w, p.client_h, flags);
  if (!window) return false;
  fixed_size = !p.resizable;
  fixed_w = p.client_w;
  fixed_h = p.client_h;
  limits = fixed_size ? ClientLimits{fixed_w, fixed_h, fixed_w + 1, fixed_h + 1} : ClientLimits{};
  in_desktop_full_screen = false;
  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
  renderer = SDL_CreateRenderer(window, -1, 0);
  ApplyLimits();  // after the renderer, which may create the window anew
  normal = before_normal = CurrentPlacement();
  if (!wake_event) wake_event = SDL_RegisterEvents(1);
  SetWindowThreadWaker(Wake);
  SDL_StartTextInput();
  SDL_RaiseWindow(window);
  box_owner = window;
  WatchX11Window();
  SetLegacyWindowName(SjisToUtf8(title));
  return true;
}

void DestroyMainWindow() {
  SetWindowThreadWaker(nullptr);
  box_owner = nullptr;
  x_window = 0;
  if (texture) SDL_DestroyTexture(texture);
  texture = nullptr;
  if (picture_texture) SDL_DestroyTexture(picture_texture);
  picture_texture = nullptr;
  if (renderer) SDL_DestroyRenderer(renderer);
  if (window) SDL_DestroyWindow(window);
  renderer = nullptr;
  window = nullptr;
}

bool MainWindowExists() { return window != nullptr; }
void* MainWindowHandle() { return window; }
void SetMainWindowClientSize(int32_t w, int32_t h) {
  if (!window) return;
  if (fixed_size) {
    fixed_w = w;
    fixed_h = h;
    limits = {w, h, w + 1, h + 1};
    if (!(SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN)) ApplyLimits();
  }
  SDL_SetWindowSize(window, w, h);
}
void SetMainWindowClientLimits(int32_t min_w, int32_t min_h, int32_t max_w, int32_t max_h) {
  if (!window || fixed_size) return;
  limits = {std::max(min_w, 1), std::max(min_h, 1), std::max(max_w, min_w), std::max(max_h, min_h)};
  if (!(SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN)) ApplyLimits();
}

bool MainWindowFrameSize(int32_t& w, int32_t& h) {
  int top = 0, left = 0, bottom = 0, right = 0;
  if (!window || SDL_GetWindowBordersSize(window, &top, &left, &bottom, &right) != 0) {
    w = h = 0;
    return false;
  }
  w = left + right;
  h = top + bottom;
  return true;
}

void RaiseMainWindow() {
  if (!window) return;
  SDL_RestoreWindow(window);
  SDL_RaiseWindow(window);
}

bool SetMainWindowFullScreen(bool on) {
  if (!window) return false;
  if (on) {
    if (SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN) return true;
    if (SDL_GetWindowFlags(window) & SDL_WINDOW_MINIMIZED) SDL_RestoreWindow(window);
    if (maximised_return_valid) full_screen_return = maximised_return;
    else full_screen_return = InFrame() ? CurrentPlacement() : normal;
    maximised_return_valid = false;
    frame_before_full_screen = FrameKnown();
    LiftLimits();
    if (SDL_SetWindowFullscreen(window, SDL_WINDOW_FULLSCREEN_DESKTOP) != 0) {
      ApplyLimits();
      return false;
    }
    in_desktop_full_screen = true;
    return true;
  }
  if (!(SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN)) return true;
  if (SDL_SetWindowFullscreen(window, 0) != 0) return false;
  ApplyLimits();
  if (in_desktop_full_screen) PutBack(full_screen_return, frame_before_full_screen);
  in_desktop_full_screen = false;
  return true;
}
bool MainWindowFullScreen() { return window && (SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN); }
bool MainWindowMinimised() { return window && (SDL_GetWindowFlags(window) & SDL_WINDOW_MINIMIZED); }

namespace {
int WindowDisplay() { return std::max(SDL_GetWindowDisplayIndex(window), 0); }
}  // namespace

std::vector<DisplayModeSize> DisplayModes() {
  std::vector<DisplayModeSize> modes;
  if (!window) return modes;
  const int display = WindowDisplay();
  const int n = SDL_GetNumDisplayModes(display);
  for (int i = 0; i < n; ++i) {
    SDL_DisplayMode m{};
    if (SDL_GetDisplayMode(display, i, &m) == 0) modes.push_back({m.w, m.h});
  }
  return modes;
}

bool EnterExclusiveFullScreen(int32_t w, int32_t h) {
  if (!window) return false;
  const int display = WindowDisplay();
  SDL_DisplayMode desktop{};
  SDL_GetDesktopDisplayMode(display, &desktop);
  SDL_DisplayMode wanted{desktop.format, w, h, 0, nullptr};
  // A hidden window changes the mode when it is shown again.
  LiftLimits();
  SDL_HideWindow(window);
  bool ok = SDL_SetWindowDisplayMode(window, &wanted) == 0 && SDL_SetWindowFullscreen(window, SDL_WINDOW_FULLSCREEN) == 0;
  SDL_ShowWindow(window);
  SDL_DisplayMode now{};
  ok = ok && (SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN) && SDL_GetCurrentDisplayMode(display, &now) == 0 &&
       now.w == w && now.h == h;
  if (!ok) {
    SDL_SetWindowFullscreen(window, 0);
    ApplyLimits();
  }
  SDL_RaiseWindow(window);
  return ok;
}

void LeaveFullScreenTo(int32_t x, int32_t y, int32_t w, int32_t h) {
  if (!window) return;
  SDL_HideWindow(window);  // hiding a full-screen window gives the desktop its mode back
  SDL_SetWindowFullscreen(window, 0);
  in_desktop_full_screen = false;
  ApplyLimits();
  SDL_SetWindowSize(window, w, h);
  SDL_SetWindowPosition(window, x, y);
  SDL_ShowWindow(window);
  SDL_RaiseWindow(window);
}

void MainWindowPosition(int32_t& x, int32_t& y) {
  int wx = 0, wy = 0;
  if (window) SDL_GetWindowPosition(window, &wx, &wy);
  x = wx;
  y = wy;
}

void RunEventLoop() {
  quitting = false;
  while (!quitting) {
    SDL_Event e;
    // Waiting is cut short by the wake event whenever a script thread sends
    // an engine message; the timeout keeps the loop alive regardless.
    if (SDL_WaitEventTimeout(&e, 10)) {
      do {
        if (e.type != wake_event) Handle(e);
      } while (!quitting && SDL_PollEvent(&e));
    }
    // The application is active while any of its windows has the keyboard
    // focus; moving between them (to the Debug Output window) changes nothing.
    bool active = SDL_GetKeyboardFocus() != nullptr;
    ever_focused = ever_focused || active;
    if (window && ever_focused && active != reported_active && callbacks.activated) {
      reported_active = active;
      callbacks.activated(active);
    }
    if (x_window_gone && !reported_gone && window) {
      reported_gone = true;
      if (callbacks.destroyed) callbacks.destroyed();
    }
    if (callbacks.tick) callbacks.tick();
    ServeEngineMessages();
  }
}

void QuitEventLoop() { quitting = true; }

void ShowMainWindowCursor(bool shown) {
  if (window) SDL_ShowCursor(shown ? SDL_ENABLE : SDL_DISABLE);
}

void ConfineMainWindowCursor(const ClientRect* r) {
  if (!window) return;
  if (!r) {
    SDL_SetWindowMouseRect(window, nullptr);
    return;
  }
  SDL_Rect rect{r->left, r->top, r->right - r->left, r->bottom - r->top};
  SDL_SetWindowMouseRect(window, &rect);
}

void WarpMainWindowCursor(int32_t x, int32_t y) {
  if (window) SDL_WarpMouseInWindow(window, x, y);
}

bool KeyboardLocks(bool& caps, bool& num, bool& scroll) {
  if (!window) return false;
  const SDL_Keymod mod = SDL_GetModState();
  caps = (mod & KMOD_CAPS) != 0;
  num = (mod & KMOD_NUM) != 0;
  scroll = (mod & KMOD_SCROLL) != 0;
  return true;
}

bool MouseButtonsHeld(uint32_t& buttons) {
  if (!window) return false;
  const Uint32 state = SDL_GetGlobalMouseState(nullptr, nullptr);
  buttons = ((state & SDL_BUTTON_LMASK) ? 1u : 0u) | ((state & SDL_BUTTON_RMASK) ? 2u : 0u) |
            ((state & SDL_BUTTON_MMASK) ? 4u : 0u);
  return true;
}

bool ShowMessageBox(std::string_view caption, std::string_view text, bool ok_cancel) {
  std::string c = SjisToUtf8(caption), t = SjisToUtf8(text);
  const SDL_MessageBoxButtonData ok_only[] = {{SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT, 1, "OK"}};
  const SDL_MessageBoxButtonData ok_and_cancel[] = {{SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT, 1, "OK"},
                                                    {SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT, 0, "Cancel"}};
  SDL_MessageBoxData data{};
  data.flags = ok_cancel ? SDL_MESSAGEBOX_WARNING : SDL_MESSAGEBOX_ERROR;
  data.window = box_owner;  // transient for the main window: kept above it
  data.title = c.c_str();
  data.message = t.c_str();
  data.numbuttons = ok_cancel ? 2 : 1;
  data.buttons = ok_cancel ? ok_and_cancel : ok_only;
  int pressed = 1;
  if (boxes_refused) return true;
  if (SDL_ShowMessageBox(&data, &pressed) != 0) return true;  // no box possible: answer OK
  return pressed == 1;
}

void PresentToWindow(const uint32_t* frame, int32_t w, int32_t h, PresenterRect dirty, PresenterRect output,
                     const PresenterPicture* picture) {
  if (!renderer || w <= 0 || h <= 0) return;
  if (!texture || texture_w != w || texture_h != h) {
    if (texture) SDL_DestroyTexture(texture);
    texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, w, h);
    if (!texture) return;
    SDL_SetTextureBlendMode(texture, SDL_BLENDMODE_NONE);
    texture_w = w;
    texture_h = h;
    dirty = {0, 0, w, h};
  }
  if (dirty.w > 0 && dirty.h > 0) {
    SDL_Rect r{dirty.x, dirty.y, dirty.w, dirty.h};
    SDL_UpdateTexture(texture, &r, frame + static_cast<size_t>(dirty.y) * w + dirty.x, w * 4);
  }
  SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
  SDL_RenderClear(renderer);
  SDL_Rect to{output.x, output.y, output.w, output.h};
  SDL_RenderCopy(renderer, texture, nullptr, &to);
  if (picture && picture->pixels && picture->w > 0 && picture->h > 0) {
    bool changed = picture->changed;
    if (!picture_texture || picture_w != picture->w || picture_h != picture->h) {
      if (picture_texture) SDL_DestroyTexture(picture_texture);
      picture_texture =
          SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, picture->w, picture->h);
      picture_w = picture_texture ? picture->w : 0;
      picture_h = picture_texture ? picture->h : 0;
      if (picture_texture) SDL_SetTextureBlendMode(picture_texture, SDL_BLENDMODE_NONE);
      changed = true;
    }
    if (picture_texture) {
      if (changed) SDL_UpdateTexture(picture_texture, nullptr, picture->pixels, picture->w * 4);
      SDL_Rect at{picture->where.x, picture->where.y, picture->where.w, picture->where.h};
      SDL_RenderCopy(renderer, picture_texture, nullptr, &at);
    }
  }
  SDL_RenderPresent(renderer);
}

int ShowChoiceBox(std::string_view caption, std::string_view text, MessageBoxIcon icon,
                  const MessageBoxButton* buttons, int count, int default_index, int escape_id) {
  if (count < 1 || count > 3) return -1;
  std::string c = SjisToUtf8(caption), t = SjisToUtf8(text);
  SDL_MessageBoxButtonData data_buttons[3];
  bool escape_taken = false;
  for (int i = 0; i < count; ++i) {
    Uint32 flags = 0;
    if (i == default_index) flags |= SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT;
    if (buttons[i].id == escape_id && !escape_taken) {
      flags |= SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT;
      escape_taken = true;
    }
    data_buttons[i] = {flags, buttons[i].id, buttons[i].label};
  }
  SDL_MessageBoxData data{};
  data.flags = icon == MessageBoxIcon::kError     ? SDL_MESSAGEBOX_ERROR
               : icon == MessageBoxIcon::kWarning ? SDL_MESSAGEBOX_WARNING
                                                  : SDL_MESSAGEBOX_INFORMATION;
#if SDL_VERSION_ATLEAST(2, 0, 12)
  data.flags |= SDL_MESSAGEBOX_BUTTONS_LEFT_TO_RIGHT;
#endif
  data.window = box_owner;  // transient for the main window: kept above it
  data.title = c.c_str();
  data.message = t.c_str();
  data.numbuttons = count;
  data.buttons = data_buttons;
  int pressed = -1;
  if (boxes_refused || SDL_ShowMessageBox(&data, &pressed) != 0) return -1;
  return pressed < 0 ? escape_id : pressed;
}

bool SetMainWindowCaption(std::string_view caption) {
  if (!window) return false;
  const std::string utf8 = SjisToUtf8(caption);
  SDL_SetWindowTitle(window, utf8.c_str());
  SetLegacyWindowName(utf8);
  return true;
}

// A message box runs in a child process that is a copy of ours (same
// program, no exec), whose caller waits for it; any other child of ours runs
// another program. Ending those copies answers every open box.
void CloseAllMessageBoxes() {
  boxes_refused = true;
  char self[4096];
  ssize_t self_len = readlink("/proc/self/exe", self, sizeof self);
  if (self_len <= 0) return;
  const pid_t me = getpid();
  DIR* proc = opendir("/proc");
  if (!proc) return;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (*end || pid <= 0 || pid == me) continue;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE* f = std::fopen(path, "r");
    if (!f) continue;
    char line[512];
    bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!read) continue;
    // "pid (name) state ppid ...": the name may hold anything but ends at the last ')'.
    const char* close = std::strrchr(line, ')');
    char state = 0;
    long parent = 0;
    if (!close || std::sscanf(close + 1, " %c %ld", &state, &parent) != 2 || parent != me) continue;
    char exe[4096];
    std::snprintf(path, sizeof path, "/proc/%ld/exe", pid);
    ssize_t len = readlink(path, exe, sizeof exe);
    if (len == self_len && std::memcmp(exe, self, static_cast<size_t>(len)) == 0) kill(static_cast<pid_t>(pid), SIGKILL);
  }
  closedir(proc);
}

void SetWindowConnectionLostHandler(void (*lost)()) { connection_lost.store(lost); }
