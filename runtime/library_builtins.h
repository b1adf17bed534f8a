// Native libraries for scripts: dll_load, dll_unload, dll_proc, dll_call, and
// the functions the engine exports to those libraries (sdk/keva_library.h).
#pragma once
#include <cstdint>

#include "runtime/builtin.h"

constexpr int kLibrarySlotCount = 256;

// Unloads every library loaded by dll_load (engine reset and shut-down).
void UnloadAllLibraries();

uint32_t builtin_dll_load(BuiltinArgs args);
uint32_t builtin_dll_unload(BuiltinArgs args);
uint32_t builtin_dll_proc(BuiltinArgs args);
uint32_t builtin_dll_call(BuiltinArgs args);
