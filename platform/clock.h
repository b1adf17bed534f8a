// Time for the engine: a millisecond tick count that wraps like a 32-bit
// counter, and sleeps.
#pragma once
#include <cstdint>

// Milliseconds since an arbitrary start, wrapping at 2^32 (compare two ticks
// by their signed difference).
uint32_t TickCount();

// Gives up the rest of the time slice (ms 0) or sleeps ms milliseconds.
void SleepMs(uint32_t ms);
