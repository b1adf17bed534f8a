// Shared between the platform's window files (not for the rest of the engine).
#pragma once
#include <SDL.h>

// Events of the Debug Output window; true when the event was its own.
bool HandleDebugWindowEvent(const SDL_Event& e);
