// Text builtins beside the C library on the same inputs: the script
// formatter against snprintf, and the Shift_JIS-aware strstr against the
// byte-wise strstr, on plain ASCII and on Japanese text.
#include <benchmark/benchmark.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/format.h"
#include "runtime/string_builtins.h"
#include "vm/arena.h"

namespace {

uint32_t ScriptBytes(const std::string& s) {
  uint32_t b = ArenaAlloc(s.size() + 1);
  std::memcpy(ToHost(b), s.c_str(), s.size() + 1);
  return b;
}

void PutWords(uint32_t at, std::initializer_list<uint32_t> words) {
  for (uint32_t w : words) {
    std::memcpy(ToHost(at), &w, 4);
    at += 4;
  }
}

constexpr const char* kFormat = "x=%d y=%5d name=%s hex=%08X f=%.3f|%-6s|%u\n";

void BM_FormatScript(benchmark::State& state) {
  ArenaStart();
  uint32_t format = ScriptBytes(kFormat);
  uint32_t name = ScriptBytes("player");
  uint32_t args = ArenaAlloc(64);
  uint64_t d = std::bit_cast<uint64_t>(3.14159);
  PutWords(args, {123, static_cast<uint32_t>(-45), name, 0xBEEF, static_cast<uint32_t>(d), static_cast<uint32_t>(d >> 32),
                  name, 4000000000u});
  char out[1024];
  for (auto _ : state) {
    size_t n = FormatScriptText(format, args, out, sizeof out);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_FormatScript);

void BM_FormatSnprintf(benchmark::State& state) {
  char out[1024];
  for (auto _ : state) {
    int n = std::snprintf(out, sizeof out, kFormat, 123, -45, "player", 0xBEEF, 3.14159, "player", 4000000000u);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_FormatSnprintf);

// 64 KiB of text with the needle at the very end.
std::string Haystack(bool japanese) {
  const std::string line = japanese ? "\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd\x81\x41\x90\xa2\x8a\x45\x81\x42 abc\r\n"
                                    : "the quick brown fox jumps over the lazy dog\r\n";
  std::string s;
  while (s.size() < 65536) s += line;
  return s + "needle";
}

void BM_StrstrScript(benchmark::State& state) {
  ArenaStart();
  std::string hay = Haystack(state.range(0) != 0);
  uint32_t s = ScriptBytes(hay), t = ScriptBytes("needle");
  uint32_t args = ArenaAlloc(8);
  PutWords(args, {s, t});
  for (auto _ : state) benchmark::DoNotOptimize(builtin_strstr(BuiltinArgs{args}));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(hay.size()));
}
BENCHMARK(BM_StrstrScript)->Arg(0)->Arg(1);

void BM_StrstrLibc(benchmark::State& state) {
  std::string hay = Haystack(state.range(0) != 0);
  for (auto _ : state) {
    const char* h = hay.c_str();
    benchmark::DoNotOptimize(h);
    benchmark::DoNotOptimize(std::strstr(h, "needle"));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(hay.size()));
}
BENCHMARK(BM_StrstrLibc)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
