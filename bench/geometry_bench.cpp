// Scaled and rotated copies onto 1920 x 1080 32-bit planes: a 960 x 540 source
// doubled by gblit's path, and a full-size source turned by 100 units with
// bilinear sampling by gblita's path, beside pixman's transformed composites
// of the same sizes (when built with pixman). Items per second are
// destination pixels per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>

#include "graphics/blit_geometry.h"
#include "vm/arena.h"

#ifdef KEVA_BENCH_PIXMAN
#include <pixman.h>
#endif

namespace {

constexpr int kWidth = 1920, kHeight = 1080;
constexpr int32_t kAngle = 100;

struct Planes {
  Plane* half = nullptr;  // 960 x 540 source
  Plane* full = nullptr;  // 1920 x 1080 source
  Plane* dst = nullptr;
};

void Randomise(Plane* p, std::mt19937& rng) {
  const size_t bytes = size_t(p->stride) * p->height;
  for (size_t i = 0; i < bytes; ++i) PlanePixels(p)[i] = uint8_t(rng());
}

Planes& Shared() {
  static Planes b = [] {
    Planes x;
    ArenaStart();
    BuildBlendTables();
    x.half = CreatePlane(kWidth / 2, kHeight / 2, 32);
    x.full = CreatePlane(kWidth, kHeight, 32);
    x.dst = CreatePlane(kWidth, kHeight, 32);
    std::mt19937 rng(1);
    Randomise(x.half, rng);
    Randomise(x.full, rng);
    Randomise(x.dst, rng);
    return x;
  }();
  return b;
}

// args: mode (0 copy, 7 alpha), threads (0 one, 1 all).
void BM_GblitScale2x(benchmark::State& state) {
  Planes& b = Shared();
  const BlitParams p{uint8_t(state.range(0)), 0, 255, 0, 0, 0};
  g_graphics_settings.MultiThreading = int32_t(state.range(1));
  for (auto _ : state) {
    benchmark::DoNotOptimize(StretchBlit(b.dst, nullptr, b.half, nullptr, nullptr, &p));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
  g_graphics_settings.MultiThreading = 1;
}
BENCHMARK(BM_GblitScale2x)
    ->ArgNames({"mode", "threads"})
    ->ArgsProduct({{0, 7}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// args: bilinear (0 nearest as gblit, 1 as gblita), threads.
void BM_RotateBy100(benchmark::State& state) {
  Planes& b = Shared();
  const BlitParams p{0, 0, 0, 0, 0, 0};
  g_graphics_settings.MultiThreading = int32_t(state.range(1));
  for (auto _ : state) {
    benchmark::DoNotOptimize(RotateBlit(b.dst, nullptr, b.full, nullptr, nullptr, &p, kAngle, state.range(0) != 0));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
  g_graphics_settings.MultiThreading = 1;
}
BENCHMARK(BM_RotateBy100)
    ->ArgNames({"bilinear", "threads"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

#ifdef KEVA_BENCH_PIXMAN
pixman_image_t* Wrap(Plane* p) {
  return pixman_image_create_bits(PIXMAN_a8r8g8b8, p->width, p->height, reinterpret_cast<uint32_t*>(PlanePixels(p)),
                                  p->stride);
}

// The same two copies as pixman composites (one thread): SRC through a
// transform; arg 0 selects nearest (0) or bilinear (1) filtering.
void BM_PixmanScale2x(benchmark::State& state) {
  Planes& b = Shared();
  pixman_image_t* src = Wrap(b.half);
  pixman_image_t* dst = Wrap(b.dst);
  pixman_transform_t t;
  pixman_transform_init_scale(&t, pixman_double_to_fixed(0.5), pixman_double_to_fixed(0.5));
  pixman_image_set_transform(src, &t);
  pixman_image_set_filter(src, state.range(0) ? PIXMAN_FILTER_BILINEAR : PIXMAN_FILTER_NEAREST, nullptr, 0);
  for (auto _ : state) {
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, kWidth, kHeight);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
  pixman_image_unref(src);
  pixman_image_unref(dst);
}
BENCHMARK(BM_PixmanScale2x)->ArgName("bilinear")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PixmanRotateBy100(benchmark::State& state) {
  Planes& b = Shared();
  pixman_image_t* src = Wrap(b.full);
  pixman_image_t* dst = Wrap(b.dst);
  const double theta = kAngle * 2 * std::numbers::pi / 2048;
  pixman_f_transform ft;
  pixman_f_transform_init_identity(&ft);
  pixman_f_transform_translate(&ft, nullptr, -kWidth / 2.0, -kHeight / 2.0);
  pixman_f_transform_rotate(&ft, nullptr, std::cos(theta), std::sin(theta));
  pixman_f_transform_translate(&ft, nullptr, kWidth / 2.0, kHeight / 2.0);
  pixman_transform_t t;
  pixman_transform_from_pixman_f_transform(&t, &ft);
  pixman_image_set_transform(src, &t);
  pixman_image_set_filter(src, state.range(0) ? PIXMAN_FILTER_BILINEAR : PIXMAN_FILTER_NEAREST, nullptr, 0);
  for (auto _ : state) {
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, kWidth, kHeight);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
  pixman_image_unref(src);
  pixman_image_unref(dst);
}
BENCHMARK(BM_PixmanRotateBy100)->ArgName("bilinear")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
