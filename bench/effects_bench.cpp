// Plane effects and primitives against a plain memcpy of the same plane in the
// same run: the box blur at radius 8 and 64 across and down a 1920 x 1080
// 32-bit plane (the running sums make both radii cost the same), a water step
// with its rendering on 640 x 480, and a filled polygon of 1000 corners.
// Items per second are destination pixels per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "graphics/blit_modes.h"
#include "graphics/plane_effects.h"
#include "graphics/primitives.h"
#include "vm/arena.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080;
constexpr uint32_t kSource = 1, kDest = 2, kSmallSource = 3, kSmallDest = 4;

void Randomise(Plane* p, std::mt19937& rng) {
  const size_t bytes = size_t(p->stride) * p->height;
  for (size_t i = 0; i < bytes; ++i) PlanePixels(p)[i] = uint8_t(rng());
}

// The planes in their slots and an argument area in script memory.
uint32_t Setup() {
  static const uint32_t args = [] {
    ArenaStart();
    BuildBlendTables();
    std::mt19937 rng(1);
    for (auto [slot, w, h] : {std::tuple{kSource, kWidth, kHeight}, {kDest, kWidth, kHeight}, {kSmallSource, 640, 480},
                              {kSmallDest, 640, 480}}) {
      Plane* p = CreatePlane(w, h, 32);
      Randomise(p, rng);
      SetPlaneAt(slot, p);
    }
    return ArenaAllocZeroed(64 + 8 * 1000);
  }();
  return args;
}

uint32_t Call(BuiltinHandler h, std::initializer_list<uint32_t> words) {
  uint32_t at = Setup();
  for (uint32_t w : words) std::memcpy(ToHost(at), &w, 4), at += 4;
  return h(BuiltinArgs{Setup()});
}

// arg: 1 the whole 1920 x 1080 plane, 0 the 640 x 480 one.
void BM_Memcpy(benchmark::State& state) {
  Setup();
  const Plane* src = PlaneAt(state.range(0) ? kSource : kSmallSource);
  Plane* dst = PlaneAt(state.range(0) ? kDest : kSmallDest);
  const size_t bytes = size_t(src->stride) * src->height;
  for (auto _ : state) {
    std::memcpy(PlanePixels(dst), PlanePixels(src), bytes);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(src->width) * src->height);
}
BENCHMARK(BM_Memcpy)->ArgName("full")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

// args: radius (negative: down the columns), threads (0 one, 1 all).
void BM_Blur(benchmark::State& state) {
  Setup();
  g_graphics_settings.MultiThreading = int32_t(state.range(1));
  for (auto _ : state) {
    benchmark::DoNotOptimize(Call(builtin_blur, {kDest, 0, 0, kSource, 0, uint32_t(state.range(0))}));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
  g_graphics_settings.MultiThreading = 1;
}
BENCHMARK(BM_Blur)
    ->ArgNames({"radius", "threads"})
    ->ArgsProduct({{8, 64, -8, -64}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The other per-pixel effects on the full plane, one thread. arg: which.
void BM_PerPixel(benchmark::State& state) {
  Setup();
  g_graphics_settings.MultiThreading = 0;
  for (auto _ : state) {
    switch (state.range(0)) {
      case 0: Call(builtin_gradation, {kDest, 0, 0, kSource, 0}); break;
      case 1: Call(builtin_mosaic, {kDest, 0, 0, kSource, 0, 8, 8}); break;
      case 2: Call(builtin_monotone, {kDest, 0, 0x102040, 0xF0E0C0}); break;
      default: Call(builtin_noise, {kDest, 0, 100}); break;
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
  g_graphics_settings.MultiThreading = 1;
}
BENCHMARK(BM_PerPixel)
    ->ArgName("gradation0_mosaic1_monotone2_noise3")
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// arg: threads.
void BM_WaterAndCopy(benchmark::State& state) {
  Setup();
  g_graphics_settings.MultiThreading = int32_t(state.range(0));
  Call(builtin_ef_init, {0, kSmallDest, 0, kSmallSource, 0});
  Call(builtin_ef_blob, {0, 320, 240, 40, 600});
  for (auto _ : state) {
    benchmark::DoNotOptimize(Call(builtin_ef_water, {0}));
    benchmark::DoNotOptimize(Call(builtin_ef_copy, {0}));
    benchmark::ClobberMemory();
  }
  ResetMeshWarps();
  state.SetItemsProcessed(state.iterations() * 640 * 480);
  g_graphics_settings.MultiThreading = 1;
}
BENCHMARK(BM_WaterAndCopy)->ArgName("threads")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 1000-corner star filling most of the full plane, translucent, over a
// page of opaque pixels (arg 1, as a page composed from pictures) or of
// random alpha (arg 0).
void BM_Polygon1000(benchmark::State& state) {
  const uint32_t args = Setup();
  Plane* page = PlaneAt(kDest);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) PixelAddress(page, x, y)[3] = state.range(0) ? 255 : uint8_t(x * 7 + y * 13);
  const uint32_t points = args + 64;
  for (int k = 0; k < 1000; ++k) {
    const double a = k * 2 * 3.141592653589793 / 1000, r = k % 2 ? 520 : 300;
    const int32_t xy[2] = {int32_t(960 + r * std::cos(a)), int32_t(540 + r * std::sin(a))};
    std::memcpy(ToHost(points + 8 * uint32_t(k)), xy, 8);
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(Call(builtin_gpoly, {kDest, points, 1000, 0x80406080}));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
}
BENCHMARK(BM_Polygon1000)->ArgName("opaque")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
