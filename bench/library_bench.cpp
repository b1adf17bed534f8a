// Calls into native library functions with a list of words, against direct
// calls through a function pointer of the right type (the baseline).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "platform/dynamic_library.h"

extern "C" {
__attribute__((noinline)) uint32_t bench_three(uint32_t a, uint32_t b, uint32_t c) { return a * 100 + b * 10 + c; }
__attribute__((noinline)) uint32_t bench_twelve(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5,
                                                uint32_t a6, uint32_t a7, uint32_t a8, uint32_t a9, uint32_t a10,
                                                uint32_t a11, uint32_t a12) {
  return a1 + a2 + a3 + a4 + a5 + a6 + a7 + a8 + a9 + a10 + a11 + a12;
}
}

namespace {

void BM_DirectThree(benchmark::State& state) {
  uint32_t (*volatile f)(uint32_t, uint32_t, uint32_t) = bench_three;
  for (auto _ : state) benchmark::DoNotOptimize(f(1, 2, 3));
}
BENCHMARK(BM_DirectThree);

void BM_LibraryCallThree(benchmark::State& state) {
  std::array<uint32_t, 3> words{1, 2, 3};
  uint32_t result = 0;
  for (auto _ : state) {
    CallLibraryFunction(reinterpret_cast<void*>(bench_three), words, result);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_LibraryCallThree);

void BM_DirectTwelve(benchmark::State& state) {
  auto* volatile f = bench_twelve;
  for (auto _ : state) benchmark::DoNotOptimize(f(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12));
}
BENCHMARK(BM_DirectTwelve);

void BM_LibraryCallTwelve(benchmark::State& state) {
  std::array<uint32_t, 12> words{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  uint32_t result = 0;
  for (auto _ : state) {
    CallLibraryFunction(reinterpret_cast<void*>(bench_twelve), words, result);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_LibraryCallTwelve);

}  // namespace

BENCHMARK_MAIN();
