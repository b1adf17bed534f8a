// Integer and table trigonometry, the Mersenne Twister, the float functions,
// the small curve formulas and the key-frame interpolator that scripts call.
//
// Angles of the table functions: 2048 units per turn, 512 a right angle. The
// sine table is 16.16 fixed point and shared with the graphics code (rotated
// blits, tiling, effects), which reads it through TrigTables() below; the
// tables are built once, on first use or by MathStart, whichever comes first.
#pragma once
#include <cmath>
#include <cstdint>
#include <numbers>

#include "runtime/builtin.h"

constexpr int kSineTableSize = 2560;    // entry i = sin(i * 2 pi / 2048) * 65536, truncated
constexpr int kArctanTableSize = 257;   // entry i = atan(i / 256) * 1024 / pi, truncated

struct TrigTableSet {
  int32_t sine[kSineTableSize];
  int32_t arctan[kArctanTableSize];
};

inline const TrigTableSet& TrigTables() {
  static const TrigTableSet tables = [] {
    TrigTableSet t{};
    for (int i = 0; i < kSineTableSize; ++i)
      t.sine[i] = static_cast<int32_t>(std::sin(i * (2 * std::numbers::pi) / 2048) * 65536);
    for (int i = 0; i < kArctanTableSize; ++i)
      t.arctan[i] = static_cast<int32_t>(std::atan(i / 256.0) * 1024 / std::numbers::pi);
    return t;
  }();
  return tables;
}

// 16.16 sine and cosine of a table angle (any value; it is taken modulo 2048).
inline int32_t TableSin(int32_t angle) { return TrigTables().sine[angle & 2047]; }
inline int32_t TableCos(int32_t angle) { return TrigTables().sine[(static_cast<uint32_t>(angle) + 512) & 2047]; }

// Builds the tables and seeds the random generator from the tick count: the
// engine's start-up step for this family.
void MathStart();

// The process-wide generator. Seeding uses the original (1998) routine of the
// generator's authors; a generator that was never seeded seeds itself with
// 4357 on first use. RandomNext is the raw 32-bit tempered output.
void RandomSeed(uint32_t seed);
uint32_t RandomNext();

// Angle of the vector (x, y) in table units, 0..2047.
int32_t TableAtan(int32_t x, int32_t y);

// The key-frame record scripts keep in their own memory (16 bytes).
struct KeyFrame {
  float time;
  float value;
  float coefficient;  // Newton coefficient, written by kf_calc
  float work;         // scratch of kf_calc
};
static_assert(sizeof(KeyFrame) == 16);

uint32_t builtin_srand(BuiltinArgs args);        // seed (0: the tick count)
uint32_t builtin_rand(BuiltinArgs args);         // -
uint32_t builtin_random(BuiltinArgs args);       // -  (float 0..1)
uint32_t builtin_abs(BuiltinArgs args);          // n
uint32_t builtin_sgn(BuiltinArgs args);          // n
uint32_t builtin_tsin(BuiltinArgs args);         // angle
uint32_t builtin_tcos(BuiltinArgs args);         // angle
uint32_t builtin_tatan(BuiltinArgs args);        // x, y
uint32_t builtin_fabs(BuiltinArgs args);         // float x
uint32_t builtin_sqrt(BuiltinArgs args);         // float x
uint32_t builtin_pow(BuiltinArgs args);          // float x, float y
uint32_t builtin_log(BuiltinArgs args);          // float x
uint32_t builtin_exp(BuiltinArgs args);          // float x
uint32_t builtin_floor(BuiltinArgs args);        // float x
uint32_t builtin_ceil(BuiltinArgs args);         // float x
uint32_t builtin_sin(BuiltinArgs args);          // float x
uint32_t builtin_cos(BuiltinArgs args);          // float x
uint32_t builtin_tan(BuiltinArgs args);          // float x
uint32_t builtin_asin(BuiltinArgs args);         // float x
uint32_t builtin_acos(BuiltinArgs args);         // float x
uint32_t builtin_atan(BuiltinArgs args);         // float x
uint32_t builtin_bezier(BuiltinArgs args);       // float a, b, c, t
uint32_t builtin_neville(BuiltinArgs args);      // float a, b, c, t
uint32_t builtin_linear(BuiltinArgs args);       // float a, b, t
uint32_t builtin_kf_setkey(BuiltinArgs args);    // key, float time, float value
uint32_t builtin_kf_calc(BuiltinArgs args);      // track, count
uint32_t builtin_kf_getindex(BuiltinArgs args);  // track, count, float t
uint32_t builtin_kf_getkey(BuiltinArgs args);    // track, count, float t, type
