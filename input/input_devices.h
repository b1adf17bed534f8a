// Keyboard, mouse, joysticks and the cursor for scripts, and scripted input.
//
// Every device is event-fed: the window's events (or the lines of an input
// file) reach the Input* functions below on the window thread, which keep the
// state that the builtins read. getkey, getjoy and getmouse read it on the
// window thread through one engine message each; getpoint and the cursor
// builtins work on the calling script thread without one.
//
// Keys are named by their physical place on the keyboard (USB HID usage, the
// number the platform reports). One table (key_table.cpp) gives each key its
// two script numberings: the scan code ([System] DirectInput 1) and the
// virtual-key code with its toggle bit (DirectInput 0).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/builtin.h"

struct InputSettings {
  int32_t direct_input = 0;           // [System] DirectInput: scan-code numbering and relative mouse
  int32_t width = 640, height = 480;  // [Screen] Width, Height
  std::string mapping_file;           // game controller mappings beside the game ("gamecontrollerdb.txt")
};
inline InputSettings g_input_settings;

// --- The key table -------------------------------------------------------------

struct KeyInfo {
  uint16_t usage;         // USB HID usage (keyboard page): the platform's scan code
  uint8_t scan_code;      // scan-code numbering, 0 when the key has none
  uint8_t virtual_key;    // virtual-key numbering, 0 when the key has none
  uint8_t generic_key;    // also set for the key's side-less virtual key (Shift, Ctrl, Alt), or 0
  const char* name;       // the name input files use
};
// nullptr for a usage the table does not know.
const KeyInfo* KeyByUsage(uint32_t usage);
// Case-insensitive; nullptr for an unknown name.
const KeyInfo* KeyByName(std::string_view name);
const std::vector<KeyInfo>& KeyTable();

// --- Joysticks -------------------------------------------------------------------

constexpr int kJoystickSlots = 4;
constexpr int32_t kAxisMin = -32768, kAxisMax = 32767;  // raw axis values from devices and input files

// A raw axis position to -1000..1000 with the inner half of each side of the
// centre as dead zone (0), for an axis travelling from min to max.
int32_t ScaleJoystickAxis(int32_t position, int32_t min, int32_t max);

// --- Events (window thread) ------------------------------------------------------

// A key went down or up, or repeats while held (repeat: down is true and the
// key state does not change; only the typed character repeats).
void InputKey(uint32_t usage, bool down, bool repeat = false);
// The pointer stands at (x, y) in the main window's client area; inside is
// false when it has left the window (getpoint then reports -1, -1). dx, dy:
// the relative movement the device reported.
void InputPointer(int32_t x, int32_t y, bool inside, int32_t dx = 0, int32_t dy = 0);
// A mouse button (0 left, 1 right, 2 middle); clicks 2 for a double click.
void InputMouseButton(int button, bool down, int clicks);
// Wheel notches, positive away from the user.
void InputWheel(int32_t notches);
// Text typed (UTF-8).
void InputText(std::string_view utf8);
// The state of a joystick slot: present, raw axes, button bits.
void InputJoystick(int slot, bool present, int32_t x, int32_t y, uint32_t buttons);
// The application became active or inactive (the host pauses; this records
// the input enabled flag and forgets keys held across the switch).
void InputActivated(bool active);

// --- Start, stop, engine messages -------------------------------------------------

// The host's hooks, so scripted input reaches what a real window event would.
struct InputHostHooks {
  void (*activated)(bool active) = nullptr;  // focus events of input files
};
inline InputHostHooks g_input_host_hooks;

// Window thread. Start forgets every key, button, pointer, snapshot and
// joystick and shows the arrow cursor; stop releases the cursor.
void StartInput();
void StopInput();
// Engine messages 1214 (getkey), 1215 (getjoy), 1216 (getmouse).
constexpr uint32_t kMessageGetKey = 1214, kMessageGetJoy = 1215, kMessageGetMouse = 1216;
uint32_t InputEngineMessage(uint32_t number, uintptr_t w, uintptr_t l);

// --- Scripted input ----------------------------------------------------------------
//
// An input file holds one event a line: TIME EVENT..., TIME in milliseconds
// from the start of the main script (lines are sorted by it, equal times
// keeping their order). Blank lines and lines starting with # are skipped.
// Events (the README tells more):
//   key down|up|press|repeat NAME   (press: down and up; repeat: held down)
//   mouse move X Y                  (screen coordinates)
//   mouse down|dbldown|up|click|double left|right|middle [X Y]
//                                   (dbldown: down as the second click of a
//                                   double click; double: dbldown and up)
//   mouse wheel N                   (notches, positive away from the user)
//   mouse leave
//   text TEXT                       (UTF-8, the rest of the line)
//   joy N axis x|y VALUE            (-32768..32767)
//   joy N button B down|up          (B 0..31)
//   joy N detach
//   focus out|in

struct ScriptedEvent {
  uint32_t time;
  std::string line;  // the event without its time
};
// Parses an input file's text. False with "line N: reason" on the first bad line.
bool ParseInputScript(std::string_view text, std::vector<ScriptedEvent>& events, std::string& error);
// Runs one event (window thread). False when the event is malformed.
bool RunScriptedEvent(std::string_view event);

// Loads the file to replay; false with a reason.
bool LoadInputScript(const std::string& host_path, std::string& error);
// Records every event from now on; the file is written by FinishRecording.
// False with a reason when the file cannot be written.
bool StartRecording(const std::string& host_path, std::string& error);
// Window thread: the main script starts now; times count from here.
void MarkMainScriptStart();
// Window thread: runs the events that are due.
void FeedScriptedInput();
// How many events of the input file are still waiting.
size_t ScriptedInputPending();
// Writes the recording (replacing the file atomically); false with a reason.
bool FinishRecording(std::string& error);

// --- Builtins ---------------------------------------------------------------------

uint32_t builtin_getkey(BuiltinArgs args);
uint32_t builtin_getjoy(BuiltinArgs args);
uint32_t builtin_getmouse(BuiltinArgs args);
uint32_t builtin_getpoint(BuiltinArgs args);
uint32_t builtin_cur_set(BuiltinArgs args);
uint32_t builtin_cur_clip(BuiltinArgs args);
uint32_t builtin_cur_setpos(BuiltinArgs args);
