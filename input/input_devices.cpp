#include "input/input_devices.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "display/display_output.h"
#include "input/input_recording.h"
#include "input/typed_characters.h"
#include "input/window_input.h"
#include "platform/window.h"
#include "platform/window_thread.h"
#include "runtime/script_threads.h"

namespace {

// Window thread only: the keys held (by HID usage), the toggle bit of each
// virtual key, the relative mouse movement since the last getmouse.
struct Keyboard {
  bool down[256]{};
  uint8_t toggled[256]{};
} keyboard;
int32_t mouse_dx = 0, mouse_dy = 0, mouse_dz = 0;

struct Joystick {
  bool present = false;
  int32_t x = 0, y = 0;
  uint32_t buttons = 0;
};
Joystick joysticks[kJoystickSlots];  // window thread only

// The pointer in client coordinates, x in the low and y in the high word,
// or kOutside; written by the window thread, read by getpoint.
constexpr uint64_t kOutside = ~uint64_t{0};
std::atomic<uint64_t> pointer{kOutside};
uint64_t PackPoint(int32_t x, int32_t y) { return uint64_t{static_cast<uint32_t>(x)} | uint64_t{static_cast<uint32_t>(y)} << 32; }

// One per script thread, and one for calls from outside any script thread.
struct PointSnapshot {
  uint32_t presses[3];
  uint32_t double_clicks[3];
  int32_t wheel;
};
PointSnapshot snapshots[kScriptThreadSlots + 1];

// The cursor as cur_set and cur_clip left it; any thread, under the lock.
std::mutex cursor_lock;
bool cursor_shown = true;
bool clip_on = false;
ClientRect clip{0, 0, 0, 0};  // client coordinates, right and bottom exclusive

int32_t ScreenW() { return std::max(g_input_settings.width, 1); }
int32_t ScreenH() { return std::max(g_input_settings.height, 1); }

// Where the screen lies in the client area; without a window the client area
// is the screen.
OutputRect Presentation() {
  OutputRect r = PresentationRectangle();
  if (r.w <= 0 || r.h <= 0) r = {0, 0, ScreenW(), ScreenH()};
  return r;
}

// Screen to client: the centre of the screen pixel, so that mapping back
// gives the same pixel whenever the screen is shown at least 1:1.
void ScreenToClient(int32_t x, int32_t y, int32_t& cx, int32_t& cy) {
  OutputRect r = Presentation();
  cx = r.x + static_cast<int32_t>((2 * int64_t{x} + 1) * r.w / (2 * int64_t{ScreenW()}));
  cy = r.y + static_cast<int32_t>((2 * int64_t{y} + 1) * r.h / (2 * int64_t{ScreenH()}));
}

void ClientToScreen(int32_t cx, int32_t cy, int32_t& x, int32_t& y) {
  OutputRect r = Presentation();
  x = static_cast<int32_t>((int64_t{cx} - r.x) * ScreenW() / r.w);
  y = static_cast<int32_t>((int64_t{cy} - r.y) * ScreenH() / r.h);
}

bool InputEnabled() { return g_window_input.input_enabled.load(std::memory_order_relaxed) != 0; }

uint8_t* Record(uint32_t addr, uint32_t bytes) { return addr && InArena(addr, bytes) ? ToHost(addr) : nullptr; }

bool IsCtrlHeld() { return keyboard.down[0xE0] || keyboard.down[0xE4]; }
bool IsAltHeld() { return keyboard.down[0xE2] || keyboard.down[0xE6]; }

// The characters a key types by itself, as the platform's character
// messages deliver them (the window system's text events leave them out).
void TypeControlCharacter(uint32_t usage) {
  if (IsAltHeld()) return;
  uint8_t c = 0;
  switch (usage) {
    case 0x28: case 0x58: c = 13; break;  // Return, keypad Enter
    case 0x2A: c = 8; break;              // Backspace
    case 0x29: c = 27; break;             // Escape
    case 0x2B: c = 9; break;              // Tab
    default:
      if (IsCtrlHeld() && usage >= 0x04 && usage <= 0x1D) c = static_cast<uint8_t>(usage - 0x04 + 1);  // Ctrl+A..Z
      break;
  }
  if (c) StoreTypedByte(c);
}

// What the window thread still has to do to the cursor, under cursor_lock.
// Script calls in a tight loop coalesce into one posted call.
bool cursor_changed = false;
bool warp_pending = false;
int32_t warp_x = 0, warp_y = 0;
bool cursor_posted = false;

void ApplyCursorOnWindowThread(uintptr_t) {
  bool shown, on, changed, warp;
  ClientRect r;
  int32_t x, y;
  {
    std::lock_guard lock(cursor_lock);
    shown = cursor_shown;
    on = clip_on;
    r = clip;
    changed = cursor_changed;
    warp = warp_pending;
    x = warp_x;
    y = warp_y;
    cursor_changed = warp_pending = cursor_posted = false;
  }
  if (changed) {
    ShowMainWindowCursor(shown);
    ConfineMainWindowCursor(on ? &r : nullptr);
  }
  if (warp) WarpMainWindowCursor(x, y);
}

// Cursor lock held: whether the caller is to post the work, once the lock
// is released (without a window thread the call runs at once).
bool TakeCursorPost() {
  if (cursor_posted) return false;
  cursor_posted = true;
  return true;
}

void PostCursorWork(bool post) {
  if (post) PostToWindowThread(ApplyCursorOnWindowThread, 0);
}

void ClampToClip(int32_t& x, int32_t& y) {
  std::lock_guard lock(cursor_lock);
  if (!clip_on) return;
  x = std::clamp(x, clip.left, clip.right - 1);
  y = std::clamp(y, clip.top, clip.bottom - 1);
}

// The lock keys' toggle bits as the keyboard has them (they may have been
// switched while the application was in the background).
void ReadKeyboardLocks() {
  bool caps, num, scroll;
  if (!KeyboardLocks(caps, num, scroll)) return;
  keyboard.toggled[0x14] = caps;
  keyboard.toggled[0x90] = num;
  keyboard.toggled[0x91] = scroll;
}

void FillKeyBuffer(uint8_t* buffer) {
  std::memset(buffer, 0, 256);
  const bool scan_codes = g_input_settings.direct_input != 0;
  for (const KeyInfo& k : KeyTable()) {
    if (scan_codes) {
      if (keyboard.down[k.usage] && k.scan_code) buffer[k.scan_code] = 0x80;
      continue;
    }
    if (!k.virtual_key) continue;
    if (keyboard.down[k.usage]) {
      buffer[k.virtual_key] |= 0x80;
      if (k.generic_key) buffer[k.generic_key] |= 0x80;
    }
  }
  if (scan_codes) return;
  for (int vk = 0; vk < 256; ++vk) buffer[vk] |= keyboard.toggled[vk];
  const uint32_t buttons = g_window_input.buttons.load();
  constexpr uint8_t kButtonKeys[3] = {0x01, 0x02, 0x04};  // left, right, middle
  for (int b = 0; b < 3; ++b)
    if (buttons & (1u << b)) buffer[kButtonKeys[b]] |= 0x80;
}

}  // namespace

int32_t ScaleJoystickAxis(int32_t position, int32_t min, int32_t max) {
  int64_t half = (int64_t{max} - min) / 2;
  if (half < 2) half = 1;
  const int64_t centre = min + half;
  const int64_t d = half / 2;
  if (d == 0) return 0;
  const int64_t p = position;
  if (p < centre - d) return static_cast<int32_t>(std::max<int64_t>((p + d - centre) * 1000 / d, -1000));
  if (p > centre + d) return static_cast<int32_t>(std::min<int64_t>((p - centre - d) * 1000 / d, 1000));
  return 0;
}

// --- Events -----------------------------------------------------------------------

void InputKey(uint32_t usage, bool down, bool repeat) {
  const KeyInfo* key = KeyByUsage(usage);
  if (!key) return;
  RecordKey(*key, down, repeat);
  if (down) TypeControlCharacter(usage);
  if (repeat || keyboard.down[usage] == down) return;
  keyboard.down[usage] = down;
  if (down && key->virtual_key) {
    keyboard.toggled[key->virtual_key] ^= 1;
    if (key->generic_key) keyboard.toggled[key->generic_key] ^= 1;
  }
}

void InputPointer(int32_t x, int32_t y, bool inside, int32_t dx, int32_t dy) {
  pointer.store(inside ? PackPoint(x, y) : kOutside);
  mouse_dx += dx;
  mouse_dy += dy;
  if (!inside) {
    RecordPointerLeft();
    return;
  }
  int32_t sx, sy;
  ClientToScreen(x, y, sx, sy);
  RecordPointer(sx, sy);
}

void InputMouseButton(int button, bool down, int clicks) {
  if (button < 0 || button > 2) return;
  RecordMouseButton(button, down, clicks);
  const uint32_t bit = 1u << button;
  if (down) {
    if (clicks >= 2) g_window_input.double_clicks[button].fetch_add(1);
    g_window_input.presses[button].fetch_add(1);
    g_window_input.buttons.fetch_or(bit);
  } else {
    g_window_input.buttons.fetch_and(~bit);
  }
}

void InputWheel(int32_t notches) {
  RecordWheel(notches);
  g_window_input.wheel_total.fetch_add(notches * 120);
  mouse_dz += notches * 120;
}

void InputText(std::string_view utf8) {
  RecordText(utf8);
  StoreTypedText(utf8);
}

void InputJoystick(int slot, bool present, int32_t x, int32_t y, uint32_t buttons) {
  if (slot < 0 || slot >= kJoystickSlots) return;
  Joystick& j = joysticks[slot];
  Joystick now{present, present ? x : 0, present ? y : 0, present ? buttons : 0};
  RecordJoystick(slot, j.present, j.x, j.y, j.buttons, now.present, now.x, now.y, now.buttons);
  j = now;
}

void InputActivated(bool active) {
  RecordFocus(active);
  g_window_input.input_enabled = active ? 1 : 0;
  if (!active) return;
  // Back in front: what was held when the application went away has been
  // released meanwhile, and movement made elsewhere is not ours.
  std::memset(keyboard.down, 0, sizeof keyboard.down);
  mouse_dx = mouse_dy = mouse_dz = 0;
  ReadKeyboardLocks();
  uint32_t held;
  if (MouseButtonsHeld(held)) g_window_input.buttons = held;  // released elsewhere meanwhile
}

// --- Start, stop, engine messages -------------------------------------------------

void StartInput() {
  keyboard = Keyboard{};
  ReadKeyboardLocks();
  mouse_dx = mouse_dy = mouse_dz = 0;
  for (Joystick& j : joysticks) j = Joystick{};
  pointer = kOutside;
  std::memset(snapshots, 0, sizeof snapshots);
  {
    std::lock_guard lock(cursor_lock);
    cursor_shown = true;
    clip_on = false;
    cursor_changed = true;
    warp_pending = false;
  }
  ApplyCursorOnWindowThread(0);
  if (MainWindowExists()) StartJoysticks(g_input_settings.mapping_file, InputJoystick);
}

void StopInput() {
  StopJoysticks();
  {
    std::lock_guard lock(cursor_lock);
    cursor_shown = true;
    clip_on = false;
    cursor_changed = true;
    warp_pending = false;
  }
  ApplyCursorOnWindowThread(0);
}

// w and l carry script addresses, as the builtins send them.
uint32_t InputEngineMessage(uint32_t number, uintptr_t w, uintptr_t l) {
  switch (number) {
    case kMessageGetKey: {
      uint8_t* buffer = Record(static_cast<uint32_t>(w), 256);
      if (!buffer) return 0;
      FillKeyBuffer(buffer);
      return 1;
    }
    case kMessageGetJoy: {
      uint8_t* record = Record(static_cast<uint32_t>(l), 12);
      const int32_t n = static_cast<int32_t>(w);
      if (!record) return 0;
      if (n < 0 || n >= kJoystickSlots || !joysticks[n].present) {
        std::memset(record, 0, 12);
        return 0;
      }
      const int32_t words[3] = {ScaleJoystickAxis(joysticks[n].x, kAxisMin, kAxisMax),
                                ScaleJoystickAxis(joysticks[n].y, kAxisMin, kAxisMax),
                                static_cast<int32_t>(joysticks[n].buttons)};
      std::memcpy(record, words, 12);
      return 1;
    }
    case kMessageGetMouse: {
      uint8_t* record = Record(static_cast<uint32_t>(l), 16);
      if (!record) return 0;
      int32_t words[4] = {0, 0, 0, static_cast<int32_t>(g_window_input.buttons.load() & 7)};
      if (g_input_settings.direct_input) {
        words[0] = mouse_dx;
        words[1] = mouse_dy;
        words[2] = mouse_dz;
        mouse_dx = mouse_dy = mouse_dz = 0;
      }
      std::memcpy(record, words, 16);
      return 1;
    }
    default:
      return 0;
  }
}

// --- Builtins ---------------------------------------------------------------------

uint32_t builtin_getkey(BuiltinArgs args) {
  uint8_t* buffer = Record(args.u(0), 256);
  if (!buffer) return 0;
  if (InputEnabled() && SendEngineMessage(kMessageGetKey, args.u(0), 256)) return 1;
  std::memset(buffer, 0, 256);
  return 0;
}

uint32_t builtin_getjoy(BuiltinArgs args) {
  uint8_t* record = Record(args.u(1), 12);
  if (!record) return 0;
  if (InputEnabled() && SendEngineMessage(kMessageGetJoy, args.u(0), args.u(1))) return 1;
  std::memset(record, 0, 12);
  return 0;
}

uint32_t builtin_getmouse(BuiltinArgs args) {
  uint8_t* record = Record(args.u(0), 16);
  if (!record) return 0;
  if (InputEnabled() && SendEngineMessage(kMessageGetMouse, 0, args.u(0))) return 1;
  std::memset(record, 0, 16);
  return 0;
}

uint32_t builtin_getpoint(BuiltinArgs args) {
  const ScriptContext* ctx = CurrentContext();
  const uint32_t slot = ctx && ctx->thread_slot < kScriptThreadSlots ? ctx->thread_slot : kScriptThreadSlots;
  PointSnapshot& s = snapshots[slot];
  PointSnapshot now;
  for (int b = 0; b < 3; ++b) {
    now.presses[b] = g_window_input.presses[b].load();
    now.double_clicks[b] = g_window_input.double_clicks[b].load();
  }
  now.wheel = g_window_input.wheel_total.load();
  int32_t words[4] = {-1, -1, 0, 0};
  if (InputEnabled()) {
    const uint64_t p = pointer.load();
    if (p != kOutside) ClientToScreen(static_cast<int32_t>(p & 0xFFFFFFFF), static_cast<int32_t>(p >> 32), words[0], words[1]);
    words[2] = static_cast<int32_t>(static_cast<uint32_t>(now.wheel) - static_cast<uint32_t>(s.wheel));
    uint32_t flags = g_window_input.buttons.load() & 7;
    for (int b = 0; b < 3; ++b) {
      if (now.presses[b] != s.presses[b]) flags |= 1u << (16 + b);
      if (now.double_clicks[b] != s.double_clicks[b]) flags |= 1u << (24 + b);
    }
    words[3] = static_cast<int32_t>(flags);
  }
  s = now;
  const uint32_t addr = args.u(0);
  if (!addr) return 1;
  uint8_t* record = Record(addr, 16);
  if (!record) return 0;
  std::memcpy(record, words, 16);
  return 1;
}

uint32_t builtin_cur_set(BuiltinArgs args) {
  const int32_t choice = args.i(0);
  if (choice != 0 && choice != 1) return 0;
  bool post;
  {
    std::lock_guard lock(cursor_lock);
    cursor_shown = choice == 1;
    cursor_changed = true;
    post = TakeCursorPost();
  }
  PostCursorWork(post);
  return 1;
}

uint32_t builtin_cur_clip(BuiltinArgs args) {
  const uint32_t addr = args.u(0);
  bool on = false;
  ClientRect r{0, 0, 0, 0};
  if (addr && InArena(addr, 16)) {
    int32_t rect[4];
    std::memcpy(rect, ToHost(addr), 16);
    const int32_t left = std::max(rect[0], 0), top = std::max(rect[1], 0);
    const int32_t right = std::min(rect[2], g_input_settings.width), bottom = std::min(rect[3], g_input_settings.height);
    if (left < right && top < bottom) {
      const OutputRect p = Presentation();
      const int64_t w = ScreenW(), h = ScreenH();
      r = {static_cast<int32_t>(p.w * int64_t{left} / w + p.x), static_cast<int32_t>(p.h * int64_t{top} / h + p.y),
           static_cast<int32_t>(p.x + p.w * int64_t{right} / w), static_cast<int32_t>(p.h * int64_t{bottom} / h + p.y)};
      on = r.left < r.right && r.top < r.bottom;
    }
  }
  bool post;
  {
    std::lock_guard lock(cursor_lock);
    clip_on = on;
    clip = r;
    cursor_changed = true;
    post = TakeCursorPost();
  }
  PostCursorWork(post);
  return 1;
}

uint32_t builtin_cur_setpos(BuiltinArgs args) {
  // The centre of the screen pixel, so that getpoint reads the same
  // position back also when the screen is shown enlarged.
  int32_t cx, cy;
  ScreenToClient(args.i(0), args.i(1), cx, cy);
  ClampToClip(cx, cy);
  // The pointer is there at once for getpoint; the window's own pointer
  // follows on the window thread.
  pointer.store(PackPoint(cx, cy));
  bool post;
  {
    std::lock_guard lock(cursor_lock);
    warp_pending = true;
    warp_x = cx;
    warp_y = cy;
    post = TakeCursorPost();
  }
  PostCursorWork(post);
  return 1;
}

// --- For scripted input -------------------------------------------------------------

void MovePointerToScreen(int32_t x, int32_t y) {
  int32_t cx, cy;
  ScreenToClient(x, y, cx, cy);
  ClampToClip(cx, cy);
  const uint64_t before = pointer.load();
  int32_t dx = 0, dy = 0;
  if (before != kOutside) {
    dx = cx - static_cast<int32_t>(before & 0xFFFFFFFF);
    dy = cy - static_cast<int32_t>(before >> 32);
  }
  InputPointer(cx, cy, true, dx, dy);
}
