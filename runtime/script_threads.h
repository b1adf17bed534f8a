// Script threads: 32 slots, each an OS thread running a stack of contexts
// (a script entered with `call` runs on top of its caller), and the control
// builtins jump, call, exit, setjmp, longjmp, thd_begin, thd_end,
// thd_suspend, thd_resume and sleep.
#pragma once
#include <cstdint>

#include "runtime/builtin.h"

constexpr int kScriptThreadSlots = 32;
constexpr int kContextStackDepth = 32;

// Zeroes the thread table and clears the script stop flag. No script thread
// may be running.
void ClearThreadTable();

// Puts ctx into the first free slot as its bottom context and starts a thread
// on it, held before its first pass when start_suspended is set (ResumeScriptThread
// lets it go). Returns the slot number, or -1 (the caller keeps ctx).
int StartScriptThread(ScriptContext* ctx, bool start_suspended);
void ResumeScriptThread(int slot);

// Stops and joins every script thread, serving engine messages while it
// waits; then zeroes the table and clears the stop flag. Window thread only.
void StopAllScriptThreads();

// Number of script threads inside their thread procedure.
int RunningScriptThreads();

// True while some slot holds a thread that still runs its scripts (one that
// has left them and only frees its contexts no longer counts).
bool AnyScriptThreadAlive();

// r0 of the bottom context of the slot's last thread when it ended normally;
// `ended` tells whether it did.
uint32_t ScriptThreadResult(int slot, bool* ended);

// The context at the top of the slot's context stack and the stack's depth
// (top + 1), for inspection; nullptr and 0 for a free slot.
const ScriptContext* ScriptThreadTopContext(int slot);
int ScriptThreadDepth(int slot);

// The host's pause and resume while the application is inactive: a suspend
// and a resume request on every slot, so scripts' own requests survive.
void PauseAllScriptThreads();
void ResumeAllScriptThreads();

// The calling thread's font number (font_use sets it, gtext reads it; a new
// thread starts with 0). Under the builtin lock only.
uint8_t ThreadFontNumber();
void SetThreadFontNumber(uint8_t number);

uint32_t builtin_jump(BuiltinArgs args);
uint32_t builtin_call(BuiltinArgs args);
uint32_t builtin_exit(BuiltinArgs args);
uint32_t builtin_setjmp(BuiltinArgs args);
uint32_t builtin_longjmp(BuiltinArgs args);
uint32_t builtin_thd_begin(BuiltinArgs args);
uint32_t builtin_thd_end(BuiltinArgs args);
uint32_t builtin_thd_suspend(BuiltinArgs args);
uint32_t builtin_thd_resume(BuiltinArgs args);
uint32_t builtin_sleep(BuiltinArgs args);
