#include "runtime/math_builtins.h"

#include <random>
#include <sstream>

#include "platform/clock.h"

namespace {

// ---- random generator ----------------------------------------------------------

// The generator proper is the standard library's; only the seeding is ours. A
// state of 624 words loaded through the engine's text form makes the next
// call regenerate all of them, exactly as the reference code does after its
// seeding routine.
struct Random {
  std::mt19937 engine;
  bool seeded = false;
};
Random g_random;

}  // namespace

void RandomSeed(uint32_t s) {
  std::ostringstream text;
  for (int i = 0; i < 624; ++i) {
    uint32_t word = s & 0xFFFF0000u;
    s = 69069 * s + 1;
    word |= s >> 16;
    s = 69069 * s + 1;
    text << word << ' ';
  }
  text << 624;  // position of the next word: regenerate first
  std::istringstream in(text.str());
  in >> g_random.engine;
  g_random.seeded = true;
}

uint32_t RandomNext() {
  if (!g_random.seeded) RandomSeed(4357);
  return static_cast<uint32_t>(g_random.engine());
}

void MathStart() {
  TrigTables();
  RandomSeed(TickCount());
}

int32_t TableAtan(int32_t x, int32_t y) {
  if (x == 0 && y == 0) return 0;
  // 64-bit magnitudes: |INT32_MIN| and the multiplication by 256 cannot overflow.
  const int64_t ax = x < 0 ? -int64_t{x} : x, ay = y < 0 ? -int64_t{y} : y;
  const int32_t* table = TrigTables().arctan;
  int32_t d = ax >= ay ? table[(ay * 256) / ax] : 512 - table[(ax * 256) / ay];
  if (x <= 0) d = 1024 - d;
  if (y <= 0) d = 2048 - d;
  return d & 2047;
}

// ---- integer and table functions -------------------------------------------------

uint32_t builtin_srand(BuiltinArgs args) {
  const uint32_t seed = args.u(0);
  RandomSeed(seed ? seed : TickCount());
  return 1;
}

uint32_t builtin_rand(BuiltinArgs) { return RandomNext() & 0x7FFFFFFFu; }

uint32_t builtin_random(BuiltinArgs) {
  // Exact in double; the conversion to single rounds to nearest, so values
  // just below 1 may become 1.0.
  return FloatResult(static_cast<float>((RandomNext() & 0x7FFFFFFFu) * 0x1p-31));
}

uint32_t builtin_abs(BuiltinArgs args) {
  const uint32_t v = args.u(0);
  return args.i(0) < 0 ? 0u - v : v;  // -2147483648 comes back unchanged
}

uint32_t builtin_sgn(BuiltinArgs args) {
  const int32_t v = args.i(0);
  return static_cast<uint32_t>((v > 0) - (v < 0));
}

uint32_t builtin_tsin(BuiltinArgs args) { return static_cast<uint32_t>(TableSin(args.i(0))); }
uint32_t builtin_tcos(BuiltinArgs args) { return static_cast<uint32_t>(TableCos(args.i(0))); }
uint32_t builtin_tatan(BuiltinArgs args) { return static_cast<uint32_t>(TableAtan(args.i(0), args.i(1))); }

// ---- float functions: computed in double, rounded to single ------------------------

namespace {

template <double (*F)(double)>
uint32_t Unary(BuiltinArgs args) {
  return FloatResult(static_cast<float>(F(args.f(0))));
}

double Fabs(double x) { return std::fabs(x); }
double Sqrt(double x) { return std::sqrt(x); }
double Log(double x) { return std::log(x); }
double Exp(double x) { return std::exp(x); }
double Floor(double x) { return std::floor(x); }
double Ceil(double x) { return std::ceil(x); }
double Sin(double x) { return std::sin(x); }
double Cos(double x) { return std::cos(x); }
double Tan(double x) { return std::tan(x); }
double Asin(double x) { return std::asin(x); }
double Acos(double x) { return std::acos(x); }
double Atan(double x) { return std::atan(x); }

}  // namespace

uint32_t builtin_fabs(BuiltinArgs args) { return Unary<Fabs>(args); }
uint32_t builtin_sqrt(BuiltinArgs args) { return Unary<Sqrt>(args); }
uint32_t builtin_log(BuiltinArgs args) { return Unary<Log>(args); }
uint32_t builtin_exp(BuiltinArgs args) { return Unary<Exp>(args); }
uint32_t builtin_floor(BuiltinArgs args) { return Unary<Floor>(args); }
uint32_t builtin_ceil(BuiltinArgs args) { return Unary<Ceil>(args); }
uint32_t builtin_sin(BuiltinArgs args) { return Unary<Sin>(args); }
uint32_t builtin_cos(BuiltinArgs args) { return Unary<Cos>(args); }
uint32_t builtin_tan(BuiltinArgs args) { return Unary<Tan>(args); }
uint32_t builtin_asin(BuiltinArgs args) { return Unary<Asin>(args); }
uint32_t builtin_acos(BuiltinArgs args) { return Unary<Acos>(args); }
uint32_t builtin_atan(BuiltinArgs args) { return Unary<Atan>(args); }

uint32_t builtin_pow(BuiltinArgs args) {
  return FloatResult(static_cast<float>(std::pow(double{args.f(0)}, double{args.f(1)})));
}

// ---- curves ---------------------------------------------------------------------------

namespace {

double Bezier(double a, double b, double c, double t) {
  return (1 - t) * (1 - t) * a + 2 * t * (1 - t) * b + t * t * c;
}

// The parabola through (0, a), (1, b), (2, c), at x = 2t.
double Neville(double a, double b, double c, double t) {
  const double x = 2 * t;
  const double p01 = b + (x - 1) * (b - a);
  const double p12 = c + (x - 2) * (c - b);
  return p12 + (x - 2) * (p12 - p01) / 2;
}

}  // namespace

uint32_t builtin_bezier(BuiltinArgs args) {
  return FloatResult(static_cast<float>(Bezier(args.f(0), args.f(1), args.f(2), args.f(3))));
}

uint32_t builtin_neville(BuiltinArgs args) {
  return FloatResult(static_cast<float>(Neville(args.f(0), args.f(1), args.f(2), args.f(3))));
}

uint32_t builtin_linear(BuiltinArgs args) {
  const double a = args.f(0), b = args.f(1), t = args.f(2);
  return FloatResult(static_cast<float>(a + (b - a) * t));
}

// ---- key frames -------------------------------------------------------------------

namespace {

// A track in script memory: count records from address, read and written
// through copies so that unaligned tracks are fine.
struct Track {
  uint32_t addr;
  int32_t count;

  KeyFrame at(int32_t i) const {
    KeyFrame k;
    std::memcpy(&k, ToHost(addr + 16 * static_cast<uint32_t>(i)), sizeof k);
    return k;
  }
  void put(int32_t i, const KeyFrame& k) const {
    std::memcpy(ToHost(addr + 16 * static_cast<uint32_t>(i)), &k, sizeof k);
  }
  float time(int32_t i) const { return at(i).time; }
  float value(int32_t i) const { return at(i).value; }
};

// A usable track: a nonzero address and 1 or more records that all lie in the
// script arena.
bool ValidTrack(const Track& t) { return t.addr != 0 && t.count >= 1 && InArena(t.addr, uint64_t(t.count) * 16); }

// Segment i with time[i] <= t < time[i + 1], or -1. Only segments that have a
// following key are searched, so the last record is the last one read.
int32_t FindSegment(const Track& track, float t) {
  int32_t lo = 0, hi = track.count - 2;
  while (lo <= hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    if (t < track.time(mid))
      hi = mid - 1;
    else if (t >= track.time(mid + 1))
      lo = mid + 1;
    else
      return mid;
  }
  return -1;
}

float KeyValue(const Track& track, float t, int32_t type) {
  if (t <= track.time(0)) return track.value(0);
  if (t >= track.time(track.count - 1)) return track.value(track.count - 1);
  const int32_t i = FindSegment(track, t);
  if (i < 0) return 0;
  const float x0 = track.time(i), y0 = track.value(i);
  const float x1 = track.time(i + 1), y1 = track.value(i + 1);
  const float f = y0 == y1 ? 0.0f : (t - x0) / (x1 - x0);
  switch (type) {
    case 0: return y0;
    case 1: return y0 + (y1 - y0) * f;
    case 2: return y0 + (y1 - y0) * (f * f);
    case 3: return y0 + (y1 - y0) * std::sqrt(f);
    case 4: {
      float r = track.at(track.count - 1).coefficient;
      for (int32_t k = track.count - 2; k >= 0; --k) r = (t - track.time(k)) * r + track.at(k).coefficient;
      return r;
    }
    case 5: return static_cast<float>(Neville(y0, y1, y1, f));
    case 6: return static_cast<float>(Neville(y0, y0, y1, f));
    case 7: return static_cast<float>(Bezier(y0, y1, y1, f));
    case 8: return static_cast<float>(Bezier(y0, y0, y1, f));
    case 9: {
      const float g = y1 - y0;
      const float m1 = i + 2 < track.count ? (x1 - x0) / (track.time(i + 2) - x0) * (track.value(i + 2) - y0) : g;
      const float m0 = i >= 1 ? (x1 - x0) / (x1 - track.time(i - 1)) * (y1 - track.value(i - 1)) : g;
      const float f2 = f * f, f3 = f2 * f;
      const float h = 3 * f2 - 2 * f3;
      return y0 * (1 - h) + y1 * h + (f3 - 2 * f2 + f) * m0 + (f3 - f2) * m1;
    }
    default: return 0;
  }
}

}  // namespace

uint32_t builtin_kf_setkey(BuiltinArgs args) {
  const uint32_t key = args.u(0);
  if (!InArena(key, 8)) return 0;
  const float time = args.f(1), value = args.f(2);
  std::memcpy(ToHost(key), &time, 4);
  std::memcpy(ToHost(key + 4), &value, 4);
  return 1;
}

uint32_t builtin_kf_calc(BuiltinArgs args) {
  const Track track{args.u(0), args.i(1)};
  if (track.addr == 0 || track.count <= 0) return 1;
  if (!ValidTrack(track)) return 0;
  for (int32_t j = 0; j < track.count; ++j) {
    KeyFrame kj = track.at(j);
    kj.work = kj.value;
    track.put(j, kj);
    for (int32_t i = j - 1; i >= 0; --i) {
      KeyFrame ki = track.at(i);
      ki.work = (track.at(i + 1).work - ki.work) / (kj.time - ki.time);
      track.put(i, ki);
    }
    kj = track.at(j);
    kj.coefficient = track.at(0).work;
    track.put(j, kj);
  }
  return 1;
}

uint32_t builtin_kf_getindex(BuiltinArgs args) {
  const Track track{args.u(0), args.i(1)};
  if (!ValidTrack(track)) return static_cast<uint32_t>(-1);
  return static_cast<uint32_t>(FindSegment(track, args.f(2)));
}

uint32_t builtin_kf_getkey(BuiltinArgs args) {
  const Track track{args.u(0), args.i(1)};
  if (!ValidTrack(track)) return FloatResult(0.0f);
  return FloatResult(KeyValue(track, args.f(2), args.i(3)));
}
