// Shared between the platform's window files (not for the rest of the engine).
#pragma once
#include <SDL.h>

// Events of the Debug Output window; true when the event was its own.
bool HandleDebugWindowEvent(const SDL_Event& e);
// Joystick and game controller events (attach, detach, axes, buttons, hats);
// true when the event was one of them.
bool HandleJoystickEvent(const SDL_Event& e);
