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

// floor(n[i] / a[i]) as the vectorised alpha composite divides, eight lanes at
// a time (count a multiple of 8), for whole numbers n[i] < 2^24 and
// 1 <= a[i] <= 65025 with n[i] <= 255 a[i]. Needs SimdLevel::kAvx2.
void QuotientsByDivision(const uint32_t* n, const uint32_t* a, uint32_t* q, size_t count);
