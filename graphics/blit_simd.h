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

// The alpha composite of mode 7 without a division: for effective source
// alpha t and destination alpha D (A = 255 t + (255 - t) D), entry D * 256 + t
// holds in bits 0..23 V, the destination's weight in units of 2^-24, chosen
// so that the source's weight 2^24 - V is ceil(255 t * 2^24 / A) (1 where t
// is 0, which keeps the destination as well as 0 does), and in bits 24..31 the
// resulting alpha A / 255. Built on the first call.
const uint32_t* AlphaCompositeWeights();

// One colour channel through an entry: exactly the reference composite
// floor((255 t s + (255 - t) D d) / A), and d itself where t is 0. The sum
// stays below 2^32, and the rounding of the weight is absorbed by adding
// max(d - s, 0), because |s - d| * A < 2^24 over the whole domain.
inline uint8_t CompositeByWeight(uint32_t s, uint32_t d, uint32_t entry) {
  const uint32_t v = entry & 0xFFFFFF;
  return static_cast<uint8_t>((s * ((1u << 24) - v) + d * v + (d > s ? d - s : 0)) >> 24);
}
