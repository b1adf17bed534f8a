// Turning a script source path into a ready-to-run context.
#pragma once
#include <cstdint>

#include "vm/context.h"

// True when the path's last '.' (never a Shift_JIS trail byte) starts the
// extension ".c", in any case.
bool HasScriptExtension(const char* path);

// Compiles the source at path (relative to the script directory) into a new
// context. With program_size 0 a measuring compilation sizes the program area
// exactly. nullptr for a bad extension, a failed compilation or no memory;
// only the compiler reports anything.
ScriptContext* LoadScript(const char* path, uint32_t program_size, uint32_t stack_size);
