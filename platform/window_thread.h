// Engine messages: synchronous calls from script threads to the window thread.
// A builtin that needs the window thread (sound, music, video, input, the
// full-screen switch) sends a numbered message and blocks until the window
// thread has run the operation and handed back its 32-bit result.
#pragma once
#include <cstdint>

// The engine window procedure: runs the operation of one message number on the
// window thread and returns its result. w and l are pointer-sized like the
// platform's message parameters: builtins pass their 32-bit arguments, a
// native library may pass the address of one of its own records.
using EngineMessageHandler = uint32_t (*)(uint32_t number, uintptr_t w, uintptr_t l);

// The host installs the procedure; the runtime enables it while it runs (it
// is off before the runtime starts and after it stops, and a message then
// gets the default answer 0).
void SetEngineMessageHandler(EngineMessageHandler handler);
void EnableEngineMessages(bool enabled);

// Makes the calling thread the window thread (the process's main thread, or
// the thread of a headless run).
void BecomeWindowThread();
bool OnWindowThread();

// Called after a message is queued, to wake the window thread's event loop
// (the windowed host pushes an event); the default does nothing, for loops
// that poll.
void SetWindowThreadWaker(void (*wake)());

// Sends a message. On the window thread the operation runs at once; from any
// other thread the call waits until the window thread serves it. With no
// window thread at all the operation runs on the caller.
uint32_t SendEngineMessage(uint32_t number, uintptr_t w, uintptr_t l);

// Runs fn(arg) on the window thread and waits until it has run (at once on
// the window thread, or on the caller when there is no window thread). Unlike
// a message it runs whether or not engine messages are enabled.
void CallOnWindowThread(void (*fn)(uintptr_t), uintptr_t arg);

// Queues fn(arg) to run on the window thread at its next serving of
// messages, whether or not engine messages are enabled, and returns at once.
// Any thread may post (a failed script closing the window, a finished dialog).
// With no window thread at all it runs on the caller at once.
void PostToWindowThread(void (*fn)(uintptr_t), uintptr_t arg);

// Window thread: runs every queued message and posted call. Returns how many ran.
int ServeEngineMessages();

// Window thread of a loop without an event queue (headless): waits until a
// message or call is queued or timeout_ms have passed; true when one is
// waiting. A script thread blocked in a message is thus served at once.
bool WaitForEngineMessages(uint32_t timeout_ms);
