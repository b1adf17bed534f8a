// Joysticks and game controllers on SDL: four slots, hot-plugged.
#include <SDL.h>

#include "platform/window.h"
#include "platform/window_internal.h"

namespace {

struct Slot {
  SDL_Joystick* joystick = nullptr;        // every device
  SDL_GameController* controller = nullptr;  // when SDL knows its mapping
  SDL_JoystickID id = -1;
  bool reported = false;
  int32_t x = 0, y = 0;
  uint32_t buttons = 0;
};
Slot slots[4];
bool started = false;
JoystickChanged on_changed = nullptr;

Slot* SlotOf(SDL_JoystickID id) {
  for (Slot& s : slots)
    if (s.joystick && s.id == id) return &s;
  return nullptr;
}

int SlotNumber(const Slot* s) { return static_cast<int>(s - slots); }

// Reads the device and reports its state when it changed.
void Refresh(Slot& s) {
  int32_t x = 0, y = 0;
  uint32_t buttons = 0;
  if (s.controller) {
    x = SDL_GameControllerGetAxis(s.controller, SDL_CONTROLLER_AXIS_LEFTX);
    y = SDL_GameControllerGetAxis(s.controller, SDL_CONTROLLER_AXIS_LEFTY);
    for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX && b < 32; ++b)
      if (SDL_GameControllerGetButton(s.controller, static_cast<SDL_GameControllerButton>(b))) buttons |= 1u << b;
    if (buttons & (1u << SDL_CONTROLLER_BUTTON_DPAD_LEFT)) x = -32768;
    if (buttons & (1u << SDL_CONTROLLER_BUTTON_DPAD_RIGHT)) x = 32767;
    if (buttons & (1u << SDL_CONTROLLER_BUTTON_DPAD_UP)) y = -32768;
    if (buttons & (1u << SDL_CONTROLLER_BUTTON_DPAD_DOWN)) y = 32767;
  } else {
    if (SDL_JoystickNumAxes(s.joystick) >= 2) {
      x = SDL_JoystickGetAxis(s.joystick, 0);
      y = SDL_JoystickGetAxis(s.joystick, 1);
    }
    if (SDL_JoystickNumHats(s.joystick) > 0) {
      const Uint8 hat = SDL_JoystickGetHat(s.joystick, 0);
      if (hat & SDL_HAT_LEFT) x = -32768;
      if (hat & SDL_HAT_RIGHT) x = 32767;
      if (hat & SDL_HAT_UP) y = -32768;
      if (hat & SDL_HAT_DOWN) y = 32767;
    }
    const int n = SDL_JoystickNumButtons(s.joystick);
    for (int b = 0; b < n && b < 32; ++b)
      if (SDL_JoystickGetButton(s.joystick, b)) buttons |= 1u << b;
  }
  if (s.reported && x == s.x && y == s.y && buttons == s.buttons) return;
  s.reported = true;
  s.x = x;
  s.y = y;
  s.buttons = buttons;
  if (on_changed) on_changed(SlotNumber(&s), true, x, y, buttons);
}

void Attach(int device_index) {
  const SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(device_index);
  if (id < 0 || SlotOf(id)) return;
  Slot* free = nullptr;
  for (Slot& s : slots)
    if (!s.joystick) {
      free = &s;
      break;
    }
  if (!free) return;  // a fifth device is left alone
  Slot s;
  if (SDL_IsGameController(device_index)) {
    s.controller = SDL_GameControllerOpen(device_index);
    if (s.controller) s.joystick = SDL_GameControllerGetJoystick(s.controller);
  }
  if (!s.joystick) s.joystick = SDL_JoystickOpen(device_index);
  if (!s.joystick) return;
  s.id = SDL_JoystickInstanceID(s.joystick);
  *free = s;
  Refresh(*free);
}

void Detach(Slot& s) {
  if (s.controller) SDL_GameControllerClose(s.controller);
  else if (s.joystick) SDL_JoystickClose(s.joystick);
  const int n = SlotNumber(&s);
  s = Slot{};
  if (on_changed) on_changed(n, false, 0, 0, 0);
}

}  // namespace

void StartJoysticks(const std::string& mapping_file, JoystickChanged changed) {
  on_changed = changed;
  if (started || SDL_InitSubSystem(SDL_INIT_JOYSTICK | SDL_INIT_GAMECONTROLLER) != 0) return;
  started = true;
  // SDL reads SDL_GAMECONTROLLERCONFIG by itself; the game's own file adds to it.
  if (!mapping_file.empty()) SDL_GameControllerAddMappingsFromFile(mapping_file.c_str());
  // Devices present now arrive as attach events as well; Attach ignores repeats.
  for (int i = 0; i < SDL_NumJoysticks(); ++i) Attach(i);
}

void StopJoysticks() {
  if (!started) return;
  for (Slot& s : slots)
    if (s.joystick) Detach(s);
  on_changed = nullptr;
  SDL_QuitSubSystem(SDL_INIT_JOYSTICK | SDL_INIT_GAMECONTROLLER);
  started = false;
}

bool HandleJoystickEvent(const SDL_Event& e) {
  switch (e.type) {
    case SDL_JOYDEVICEADDED:
      if (started) Attach(e.jdevice.which);
      return true;
    case SDL_JOYDEVICEREMOVED:
      if (Slot* s = SlotOf(e.jdevice.which)) Detach(*s);
      return true;
    case SDL_JOYAXISMOTION:
    case SDL_JOYHATMOTION:
    case SDL_JOYBUTTONDOWN:
    case SDL_JOYBUTTONUP:
      if (Slot* s = SlotOf(e.jdevice.which)) Refresh(*s);
      return true;
    case SDL_CONTROLLERAXISMOTION:
    case SDL_CONTROLLERBUTTONDOWN:
    case SDL_CONTROLLERBUTTONUP:
      if (Slot* s = SlotOf(e.cdevice.which)) Refresh(*s);
      return true;
    case SDL_CONTROLLERDEVICEADDED:
    case SDL_CONTROLLERDEVICEREMOVED:
    case SDL_CONTROLLERDEVICEREMAPPED:
      return true;
    default:
      return false;
  }
}
