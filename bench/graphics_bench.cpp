// Blit routines on 1920 x 1080 32-bit planes, beside memcpy of the same bytes
// and (when built with pixman) pixman's SRC, OVER and ADD composites on the
// same buffers. Items per second are pixels per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "graphics/blit_modes.h"
#include "graphics/planes.h"
#include "vm/arena.h"

#ifdef KEVA_BENCH_PIXMAN
#include <pixman.h>
#endif

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

struct Buffers {
  Plane* src = nullptr;
  Plane* dst = nullptr;
  Plane* sprite = nullptr;  // alpha: a third clear, a third opaque, a third random
  Plane* screen = nullptr;  // random colours, alpha 255 (an opaque destination, as a screen is)
  std::vector<ptrdiff_t> cols, rows;
};

Buffers& Shared() {
  static Buffers b = [] {
    Buffers x;
    ArenaStart();
    BuildBlendTables();
    x.src = CreatePlane(kWidth, kHeight, 32);
    x.dst = CreatePlane(kWidth, kHeight, 32);
    std::mt19937 rng(1);
    const size_t bytes = size_t(x.src->stride) * kHeight;
    for (size_t i = 0; i < bytes; ++i) {
      PlanePixels(x.src)[i] = uint8_t(rng());
      PlanePixels(x.dst)[i] = uint8_t(rng());
    }
    x.sprite = CreatePlane(kWidth, kHeight, 32);
    for (int y = 0; y < kHeight; ++y) {
      for (int i = 0; i < kWidth; ++i) {
        uint32_t v = rng();
        v = i < kWidth / 3 ? v & 0xFFFFFF : i < 2 * kWidth / 3 ? v | 0xFF000000 : v;
        std::memcpy(PixelAddress(x.sprite, i, y), &v, 4);
      }
    }
    x.screen = CreatePlane(kWidth, kHeight, 32);
    for (size_t i = 0; i < bytes; ++i) PlanePixels(x.screen)[i] = i % 4 == 3 ? 255 : uint8_t(rng());
    x.cols.resize(kWidth);
    x.rows.resize(kHeight);
    for (int i = 0; i < kWidth; ++i) x.cols[i] = ptrdiff_t(i) * 4;
    for (int y = 0; y < kHeight; ++y) x.rows[y] = -ptrdiff_t(y) * x.src->stride;
    return x;
  }();
  return b;
}

// Vector paths: 0 scalar routines only, 1 SSE2, 2 what the processor offers best.
BlitRoutine Routine(int row, int64_t simd) {
  g_simd_level = simd == 0 ? SimdLevel::kNone : simd == 1 ? SimdLevel::kSse2 : DetectedSimdLevel();
  return FindBlitRoutine(row, 4, 4, false);
}

// args: mode, threads (0 one, 1 all), vector paths, source (0 random, 1 sprite),
// destination (0 random, 1 opaque).
void BM_Blit(benchmark::State& state) {
  Buffers& b = Shared();
  const Plane* src = state.range(3) ? b.sprite : b.src;
  Plane* dst = state.range(4) ? b.screen : b.dst;
  BlitParams p{uint8_t(state.range(0)), 0, uint8_t(state.range(3) ? 255 : 200), 0, 0x123456, 0x00FF00};
  g_graphics_settings.MultiThreading = int32_t(state.range(1));
  NormalisedMode n = NormaliseMode(p);
  BlitRoutine f = Routine(n.row, state.range(2));
  BlitJob j{};
  j.dst = PixelAddress(dst, 0, 0);
  j.dst_step = 4;
  j.dst_row = -dst->stride;
  j.src = PixelAddress(src, 0, 0);
  j.src_cols = b.cols.data();
  j.src_rows = b.rows.data();
  j.cols = kWidth;
  j.rows = kHeight;
  j.params = &n.params;
  j.blend = n.table;
  for (auto _ : state) {
    f(j);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
  g_graphics_settings.MultiThreading = 1;
}
BENCHMARK(BM_Blit)
    ->ArgNames({"mode", "threads", "simd", "sprite", "opaque_dst"})
    ->ArgsProduct({{0, 3, 7, 13}, {0, 1}, {0, 1, 2}, {0}, {0}})
    ->Args({7, 0, 0, 1, 0})
    ->Args({7, 0, 2, 1, 0})
    ->Args({7, 0, 2, 0, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Mode 7 over a destination with its own alpha, beside pixman's OVER on the
// same buffers; the destination is restored (untimed) before every pass, since
// repeated composites drive its alpha toward one value. args: data (0 random:
// every source and destination alpha, the worst case; 1 layers: a sprite of
// clear, opaque and soft runs over a layer of opaque, clear and translucent
// runs, as games draw), operator (0 mode 7, 1 pixman OVER).
struct AlphaData {
  Plane* src;
  Plane* dst;
  std::vector<uint8_t> pristine;
};
AlphaData& AlphaBuffers(int data) {
  static AlphaData sets[2] = {};
  AlphaData& a = sets[data];
  if (a.src) return a;
  Shared();
  a.src = CreatePlane(kWidth, kHeight, 32);
  a.dst = CreatePlane(kWidth, kHeight, 32);
  std::mt19937 rng(7);
  for (int y = 0; y < kHeight; ++y) {
    for (int i = 0; i < kWidth; ++i) {
      uint32_t sv = rng(), dv = rng();
      if (data == 1) {
        // Runs of 40 pixels, shifting from row to row like sprite outlines.
        const int run = ((i + y / 3) / 40) % 6, ramp = (i + y) & 255;
        sv = (sv & 0xFFFFFF) | uint32_t(run < 2 ? 0 : run < 4 ? 255 : ramp) << 24;
        const int layer = ((i / 48) + (y / 64)) % 4;
        dv = (dv & 0xFFFFFF) | uint32_t(layer < 2 ? 255 : layer == 2 ? 0 : 128) << 24;
      }
      std::memcpy(PixelAddress(a.src, i, y), &sv, 4);
      std::memcpy(PixelAddress(a.dst, i, y), &dv, 4);
    }
  }
  const size_t bytes = size_t(a.dst->stride) * kHeight;
  a.pristine.assign(PlanePixels(a.dst), PlanePixels(a.dst) + bytes);
  return a;
}

void BM_AlphaOverAlpha(benchmark::State& state) {
  Buffers& b = Shared();
  AlphaData& a = AlphaBuffers(int(state.range(0)));
  const size_t bytes = a.pristine.size();
  g_graphics_settings.MultiThreading = 0;
  BlitParams p{7, 0, 255, 0, 0, 0};
  NormalisedMode n = NormaliseMode(p);
  BlitRoutine f = Routine(n.row, 2);
  BlitJob j{};
  j.dst = PixelAddress(a.dst, 0, 0);
  j.dst_step = 4;
  j.dst_row = -a.dst->stride;
  j.src = PixelAddress(a.src, 0, 0);
  j.src_cols = b.cols.data();
  j.src_rows = b.rows.data();
  j.cols = kWidth;
  j.rows = kHeight;
  j.params = &n.params;
#ifdef KEVA_BENCH_PIXMAN
  pixman_image_t* src = pixman_image_create_bits(PIXMAN_a8r8g8b8, kWidth, kHeight,
                                                 reinterpret_cast<uint32_t*>(PlanePixels(a.src)), a.src->stride);
  pixman_image_t* dst = pixman_image_create_bits(PIXMAN_a8r8g8b8, kWidth, kHeight,
                                                 reinterpret_cast<uint32_t*>(PlanePixels(a.dst)), a.dst->stride);
#else
  if (state.range(1)) {
    state.SkipWithError("built without pixman");
    return;
  }
#endif
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(PlanePixels(a.dst), a.pristine.data(), bytes);
    state.ResumeTiming();
    if (state.range(1) == 0) {
      f(j);
    } else {
#ifdef KEVA_BENCH_PIXMAN
      pixman_image_composite32(PIXMAN_OP_OVER, src, nullptr, dst, 0, 0, 0, 0, 0, 0, kWidth, kHeight);
#endif
    }
    benchmark::ClobberMemory();
  }
#ifdef KEVA_BENCH_PIXMAN
  pixman_image_unref(src);
  pixman_image_unref(dst);
#endif
  state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
  g_graphics_settings.MultiThreading = 1;
}
BENCHMARK(BM_AlphaOverAlpha)
    ->ArgNames({"layers", "pixman_over"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A scaled copy (source columns and rows at 2/3 speed), as a stretched blit
// hands it over; args: mode, vector paths.
void BM_BlitScaled(benchmark::State& state) {
  Buffers& b = Shared();
  BlitParams p{uint8_t(state.range(0)), 0, 200, 0, 0x123456, 0x00FF00};
  g_graphics_settings.MultiThreading = 0;
  NormalisedMode n = NormaliseMode(p);
  BlitRoutine f = Routine(n.row, state.range(1));
  std::vector<ptrdiff_t> cols(kWidth), rows(kHeight);
  for (int i = 0; i < kWidth; ++i) cols[i] = ptrdiff_t(i * 2 / 3) * 4;
  for (int y = 0; y < kHeight; ++y) rows[y] = -ptrdiff_t(y * 2 / 3) * b.src->stride;
  BlitJob j{};
  j.dst = PixelAddress(b.dst, 0, 0);
  j.dst_step = 4;
  j.dst_row = -b.dst->stride;
  j.src = PixelAddress(b.src, 0, 0);
  j.src_cols = cols.data();
  j.src_rows = rows.data();
  j.cols = kWidth;
  j.rows = kHeight;
  j.params = &n.params;
  for (auto _ : state) {
    f(j);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
  g_graphics_settings.MultiThreading = 1;
}
BENCHMARK(BM_BlitScaled)
    ->ArgNames({"mode", "simd"})
    ->ArgsProduct({{0, 7}, {0, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_Memcpy(benchmark::State& state) {
  Buffers& b = Shared();
  const size_t bytes = size_t(b.src->stride) * kHeight;
  for (auto _ : state) {
    std::memcpy(PlanePixels(b.dst), PlanePixels(b.src), bytes);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef KEVA_BENCH_PIXMAN
// args: operator, destination (0 random, 1 opaque).
void BM_Pixman(benchmark::State& state) {
  Buffers& b = Shared();
  const pixman_op_t ops[] = {PIXMAN_OP_SRC, PIXMAN_OP_OVER, PIXMAN_OP_ADD};
  const pixman_op_t op = ops[state.range(0)];
  Plane* target = state.range(1) ? b.screen : b.dst;
  pixman_image_t* src = pixman_image_create_bits(PIXMAN_a8r8g8b8, kWidth, kHeight,
                                                 reinterpret_cast<uint32_t*>(PlanePixels(b.src)), b.src->stride);
  pixman_image_t* dst = pixman_image_create_bits(PIXMAN_a8r8g8b8, kWidth, kHeight,
                                                 reinterpret_cast<uint32_t*>(PlanePixels(target)), target->stride);
  for (auto _ : state) {
    pixman_image_composite32(op, src, nullptr, dst, 0, 0, 0, 0, 0, 0, kWidth, kHeight);
    benchmark::ClobberMemory();
  }
  pixman_image_unref(src);
  pixman_image_unref(dst);
  state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
}
BENCHMARK(BM_Pixman)
    ->ArgNames({"op_src_over_add", "opaque_dst"})
    ->ArgsProduct({{0, 1, 2}, {0}})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
