#include "runtime/clock_builtins.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>

#include "platform/clock.h"

namespace {

// Pause and resume run on the window thread without the builtin lock while
// script threads read; plain atomics keep every word whole.
std::atomic<int32_t> pause_depth{0};
std::atomic<uint32_t> pause_start{0};
std::atomic<uint32_t> paused_total{0};

constexpr int kStopwatchCount = 256;
int32_t stopwatch_base[kStopwatchCount] = {};

// The frame counter: the start of the current one-second window, the calls
// counted in it, and the count of the previous window.
uint32_t window_start = 0;
uint32_t window_count = 0;
uint32_t previous_count = 0;

}  // namespace

void ScriptClockStart() {
  // The tick source has millisecond resolution already: nothing to raise.
  pause_depth = 0;
  paused_total = 0;
}

void ScriptClockStop() {}

void PauseScriptClock() {
  uint32_t now = TickCount();
  if (pause_depth.fetch_add(1) == 0) pause_start = now;
}

int ResumeScriptClock() {
  uint32_t now = TickCount();
  int32_t depth = pause_depth.load();
  if (depth <= 0) return 0;
  if (pause_depth.fetch_sub(1) == 1) paused_total += now - pause_start.load();
  return 1;
}

uint32_t ScriptClock() {
  if (pause_depth.load() > 0) return pause_start.load() - paused_total.load();
  return TickCount() - paused_total.load();
}

uint32_t builtin_getcount(BuiltinArgs args) {
  int32_t n = args.i(0);
  if (n < 0 || n >= kStopwatchCount) return 0;
  return ScriptClock() - static_cast<uint32_t>(stopwatch_base[n]);
}

uint32_t builtin_setcount(BuiltinArgs args) {
  int32_t n = args.i(0);
  if (n < 0 || n >= kStopwatchCount) return 0;
  stopwatch_base[n] = static_cast<int32_t>(ScriptClock() - args.u(1));
  return 1;
}

uint32_t builtin_gettime(BuiltinArgs args) {
  uint32_t addr = args.u(0);
  if (addr == 0) return 0;
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t seconds = system_clock::to_time_t(now);
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  // SYSTEMTIME: year, month, day of week (0 = Sunday), day, hour, minute,
  // second, milliseconds, eight 16-bit words.
  uint16_t words[8] = {static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
                       static_cast<uint16_t>(local.tm_wday),        static_cast<uint16_t>(local.tm_mday),
                       static_cast<uint16_t>(local.tm_hour),        static_cast<uint16_t>(local.tm_min),
                       static_cast<uint16_t>(local.tm_sec),         static_cast<uint16_t>(ms)};
  std::memcpy(ToHost(addr), words, sizeof words);
  return 1;
}

uint32_t builtin_fps(BuiltinArgs) {
  uint32_t t = TickCount();
  if (t < window_start + 1000) {
    ++window_count;
    return previous_count;
  }
  window_start = t;
  previous_count = window_count;
  window_count = 0;
  return previous_count;
}
