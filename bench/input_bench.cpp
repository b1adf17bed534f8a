// The cost of polling input from a script thread: getpoint (no engine
// message) and getkey (one engine message to a window thread that serves
// them), beside key_get, the cheapest builtin of the family, as baseline.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "input/input_devices.h"
#include "input/typed_characters.h"
#include "platform/window_thread.h"
#include "vm/arena.h"

namespace {

uint32_t Args(uint32_t record) {
  uint32_t args = ArenaAllocZeroed(16);
  std::memcpy(ToHost(args), &record, 4);
  return args;
}

void BM_KeyGetBaseline(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(builtin_key_get(BuiltinArgs{0}));
}
BENCHMARK(BM_KeyGetBaseline);

void BM_GetPoint(benchmark::State& state) {
  StartInput();
  InputPointer(100, 100, true);
  const uint32_t args = Args(ArenaAllocZeroed(16));
  for (auto _ : state) benchmark::DoNotOptimize(builtin_getpoint(BuiltinArgs{args}));
}
BENCHMARK(BM_GetPoint);

// getkey from this thread while another thread serves engine messages, as
// the window thread does.
void BM_GetKeyThroughTheWindowThread(benchmark::State& state) {
  StartInput();
  const uint32_t args = Args(ArenaAllocZeroed(256));
  SetEngineMessageHandler(InputEngineMessage);
  std::atomic<bool> ready{false}, stop{false};
  std::thread window([&] {
    BecomeWindowThread();
    EnableEngineMessages(true);
    ready = true;
    while (!stop) ServeEngineMessages();
  });
  while (!ready) std::this_thread::yield();
  for (auto _ : state) benchmark::DoNotOptimize(builtin_getkey(BuiltinArgs{args}));
  stop = true;
  window.join();
}
BENCHMARK(BM_GetKeyThroughTheWindowThread)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
