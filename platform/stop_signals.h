// Ending the engine from outside: SIGTERM and SIGINT (kill, Ctrl+C in the
// terminal, a session logging out).
#pragma once

// From now on the first SIGTERM or SIGINT runs `first` on a thread of its
// own (never inside the signal handler), so the engine can close in order;
// a second one ends the process at once with status 128 + the signal, after
// closing any message box still up.
void WatchStopSignals(void (*first)());
