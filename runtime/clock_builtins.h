// The script clock (milliseconds of system uptime, frozen while the engine is
// paused), the 256 stopwatches, the local time and the frame counter.
#pragma once
#include <cstdint>

#include "runtime/builtin.h"

// The clock starts with the main window and stops with it.
void ScriptClockStart();
void ScriptClockStop();
// Nested pause and resume, driven by the host's pause of the whole engine.
// Resume reports 0 when there was no pause to end, else 1.
void PauseScriptClock();
int ResumeScriptClock();
// The clock reading: raw time minus the time spent paused; frozen while paused.
uint32_t ScriptClock();

uint32_t builtin_getcount(BuiltinArgs args);
uint32_t builtin_setcount(BuiltinArgs args);
uint32_t builtin_gettime(BuiltinArgs args);
uint32_t builtin_fps(BuiltinArgs args);
