// Starting and stopping the engine, and the engine window procedure that
// serves engine messages on the window thread.
#pragma once
#include <cstdint>

#include "host/settings.h"

// The settings the engine runs with (filled before EngineInit).
inline Settings g_settings;
inline GamePaths g_game_paths;

// Hands the settings to every subsystem that reads them.
void ApplySettings();

// Start and stop every subsystem in a fixed order. Both return 1. A subsystem
// that fails to start has shown its own error; the engine goes on without it.
int EngineInit();
int EngineShutdown();

// Loads the main script and starts it on a script thread (not suspended).
// False when it cannot be loaded (the compiler has said why) or started.
bool StartMainScript();

// The engine window procedure: the operations behind the engine messages.
uint32_t EngineWindowProcedure(uint32_t number, uintptr_t w, uintptr_t l);

struct KevaEngineInfo;
// Fills the record a native library asks for with message 1234.
void FillEngineInfo(KevaEngineInfo& info);

// Engine message numbers.
enum : uint32_t {
  kMessageSetFullScreen = 1224,
  kMessageEngineInfo = 1234,
};
