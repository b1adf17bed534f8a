// Vectorised routines for the common same-format blits. Each one gives exactly
// the scalar routine's results. Unscaled copies run straight on the rows;
// scaled or mirrored rows are first gathered into a contiguous run.
#pragma once
#include "graphics/blit_modes.h"

// The fast routine for a row and format pair under the current SIMD level, or
// nullptr when there is none. mapping is the colour mapping switch.
BlitRoutine FindFastBlitRoutine(int row, int src_bytes, int dst_bytes, bool mapping);

// True when a routine splits this job's rows over threads.
bool BlitRowsInParallel(const BlitJob& job);
