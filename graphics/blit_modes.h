// The 36 blit modes: the parameter block scripts pass, mode normalisation, the
// routine tables by mode and pixel-format pair, and the lookup tables the
// per-pixel arithmetic uses.
//
// A routine combines, for every destination pixel of a rectangle, the source
// pixel the caller picked for it with the destination pixel. The caller (the
// blit geometry) works out which source pixel belongs to which destination
// pixel and hands over per-column and per-row byte offsets.
#pragma once
#include <cstddef>
#include <cstdint>

struct Plane;

// The 12-byte block scripts pass by address (0 means all zero: mode 0).
struct BlitParams {
  uint8_t mode;          // 0..35
  uint8_t channel_mask;  // mode 22: bit 0 blue, 1 green, 2 red, 3 alpha
  uint8_t level;         // strength of the blending modes
  uint8_t amount;        // second strength (tint amount, range width)
  uint32_t colour_a;     // colour value: the key
  uint32_t colour_b;     // colour value: tint or fill colour
};
static_assert(sizeof(BlitParams) == 12);

// Reads a block from script memory (address 0: all zero).
BlitParams ReadBlitParams(uint32_t addr);

// 1..255 become 2..256, 0 stays 0.
inline int Weight(uint8_t v) { return v ? v + 1 : 0; }

// Lookup tables, built once by BuildBlendTables. T[s * 256 + d].
struct alignas(256) BlendTables {
  uint8_t multiply[65536];
  uint8_t dest_alpha_weight[65536];  // [row r][column c], mode 9
  uint8_t overlay[65536];
  uint8_t soft_light[65536];
  uint8_t hard_light[65536];
  uint8_t dodge[65536];
  uint8_t burn[65536];
  uint8_t inverse_map[32768];  // RGB555 -> engine colour table index (pal_map)
  uint32_t rgb555[32768];      // x1r5g5b5 -> 0x00RRGGBB, channels v * 255 / 31
  uint8_t saturate_table[768]; // saturate(v) = saturate_table[v + 256], v in -256..511
  uint64_t reciprocal[65026];  // floor((2^64 - 1) / A) for the alpha composite, A >= 1
};
extern BlendTables g_blend;

void BuildBlendTables();  // idempotent; the first call builds
inline uint8_t* InverseColourMap() { return g_blend.inverse_map; }

// floor(n / a) through the reciprocal table, for 1 <= a <= 65025 and the
// numerators of the alpha composite (below 2^32).
inline uint32_t DivideByReciprocal(uint32_t n, uint32_t a) {
  return static_cast<uint32_t>((static_cast<unsigned __int128>(n) * g_blend.reciprocal[a] + (uint64_t{1} << 32)) >> 64);
}

// The routine row a mode runs on, or a refusal.
struct NormalisedMode {
  bool ok;
  int row;               // 0..27
  const uint8_t* table;  // blend table of modes 26..35, else nullptr
  BlitParams params;     // the parameters with the mode rewritten to the row
};
NormalisedMode NormaliseMode(const BlitParams& params);

// Everything one routine call needs. Offsets are in bytes. Source pixel of
// destination column i, row j: src + src_rows[j] + src_cols[i]; mask byte
// likewise with mask, mask_rows and mask_cols.
struct BlitJob {
  uint8_t* dst;                 // first destination pixel
  ptrdiff_t dst_step;           // +/- destination bytes per pixel
  ptrdiff_t dst_row;            // +/- destination stride
  const uint8_t* src;           // source base
  const ptrdiff_t* src_cols;    // cols entries
  const ptrdiff_t* src_rows;    // rows entries
  int cols, rows;
  const BlitParams* params;     // normalised (NormaliseMode)
  const uint8_t* blend;         // blend table of rows 26 and 27
  const uint32_t* dst_colours;  // colour table of the destination (8-bit planes)
  const uint32_t* src_colours;  // colour table of the source (8-bit planes)
  const uint8_t* mask;          // masked routines only
  const ptrdiff_t* mask_cols;
  const ptrdiff_t* mask_rows;
};
// A routine splits its rows over threads when [System] MultiThreading is on and
// the job is large enough; a one-row job always runs on the calling thread, so
// a caller that builds offsets row by row (rotated copies) may run its own
// parallel loop over rows and call the routine once per row.
using BlitRoutine = void (*)(const BlitJob& job);

// Pair index: (source bytes per pixel - 1) * 4 + (destination bytes per pixel - 1).
inline int FormatPair(int src_bytes, int dst_bytes) { return (src_bytes - 1) * 4 + (dst_bytes - 1); }

// The routine for a normalised row and format pair, or nullptr where the mode
// does nothing for that pair. masked selects the routines of modes 7, 10, 11
// and 12 that take the alpha from an attached plane (other rows ignore it).
// For two 8-bit planes the colour mapping switch decides between working on
// the index numbers and matching colours. Same-format pairs of the common
// modes get a vectorised routine (unscaled, scaled and mirrored rows alike)
// with the scalar routine's exact results. The choice depends on the switch,
// so look the routine up per blit.
BlitRoutine FindBlitRoutine(int row, int src_bytes, int dst_bytes, bool masked);

// The scalar reference routine, never a vectorised one (tests compare them).
BlitRoutine FindScalarBlitRoutine(int row, int src_bytes, int dst_bytes, bool masked);

// The colour mapping switch (system variable "color_mapping"), 0 at start.
extern int32_t g_colour_mapping;

// Which vector paths the processor offers and the dispatcher uses (kNone: the
// scalar routines only). Tests and benchmarks switch it to compare the paths.
enum class SimdLevel { kNone, kSse2, kAvx2 };
SimdLevel DetectedSimdLevel();
extern SimdLevel g_simd_level;  // DetectedSimdLevel() at start
