// The software 3D renderer on a 640 x 480 32-bit plane: a 2000-triangle
// textured, lit torus (items per second are model triangles per second) and
// a scene of 5000 triangles (iterations per second are frames per second),
// each with the rows split over threads and on one thread. The baseline is a
// copy of the frame's bytes, timed the same way.
#include <benchmark/benchmark.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "builtin_call.h"
#include "graphics/planes.h"
#include "model_shapes.h"
#include "render3d/renderer3d.h"
#include "vm/arena.h"

namespace {

constexpr int kWidth = 640, kHeight = 480;
constexpr uint32_t kTarget = 1, kTexture = 2;

uint32_t F(float f) { return std::bit_cast<uint32_t>(f); }

struct Setup {
  uint32_t scratch = 0;
  uint32_t torus2000 = 0, torus2500 = 0;

  uint32_t Call(BuiltinHandler h, std::initializer_list<uint32_t> words) { return CallBuiltin(h, scratch, words); }
  uint32_t LoadModel(const ModelFile& m, const char* name) {
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    const std::vector<uint8_t> bytes = EncodeModelFile(m);
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    std::memcpy(ToHost(scratch + 1024), path.c_str(), path.size() + 1);
    const uint32_t model = Call(builtin_p3d_load, {scratch + 1024});
    std::filesystem::remove(path);
    return model;
  }
  void Materialise(uint32_t model, uint32_t colour, uint8_t type) {
    const uint32_t rec = scratch + 512;
    const uint32_t words[3] = {colour, Call(builtin_p3d_tex, {kTexture}), type};
    std::memcpy(ToHost(rec), words, sizeof words);
    Call(builtin_p3d_material, {model, 0, rec});
  }
};

Setup& Shared() {
  static Setup s = [] {
    Setup x;
    ArenaStart();
    g_graphics_settings.Width = 64;
    g_graphics_settings.Height = 48;
    GraphicsStart();
    x.scratch = ArenaAllocZeroed(4096);
    SetPlaneAt(kTarget, CreatePlane(kWidth, kHeight, 32));
    Plane* checker = CreatePlane(64, 64, 32);
    for (int y = 0; y < 64; ++y)
      for (int i = 0; i < 64; ++i) {
        const uint32_t c = ((i / 8 + y / 8) & 1) ? 0xFFF0C040 : 0xFF4060C8;
        std::memcpy(PixelAddress(checker, i, y), &c, 4);
      }
    SetPlaneAt(kTexture, checker);
    x.Call(builtin_p3d_init, {kTarget, F(400), F(0.5f), F(0)});
    x.torus2000 = x.LoadModel(model_shapes::Torus(50, 20, 1.0f, 0.4f), "keva-bench-torus2000.bin");
    x.torus2500 = x.LoadModel(model_shapes::Torus(50, 25, 1.0f, 0.4f), "keva-bench-torus2500.bin");
    return x;
  }();
  return s;
}

// One frame: camera, ambient, a sun and a point light, the objects, render.
void Frame(Setup& s, int frame, std::initializer_list<std::pair<uint32_t, float>> objects) {
  const uint32_t cam = s.scratch + 256, light = s.scratch + 320, pos = s.scratch + 384;
  const float camera[6] = {0, 0, -4, 0, 0, 0};
  std::memcpy(ToHost(cam), camera, sizeof camera);
  s.Call(builtin_p3d_clear, {});
  s.Call(builtin_p3d_view, {cam, cam + 12});
  s.Call(builtin_p3d_env, {F(0.2f), F(0.2f), F(0.2f)});
  const uint32_t sun[4] = {F(0.8f), F(0.8f), F(0.8f), 0}, lamp[4] = {F(0.3f), F(0.5f), F(0.9f), 1};
  std::memcpy(ToHost(light), sun, sizeof sun);
  s.Call(builtin_p3d_light, {light, F(0.5f), F(0.4f), F(0)});
  std::memcpy(ToHost(light + 16), lamp, sizeof lamp);
  s.Call(builtin_p3d_light, {light + 16, F(-3), F(1), F(-2)});
  for (const auto& [model, x] : objects) {
    const float place[6] = {x, 0, 0, frame * 0.01f, frame * 0.013f, 0.3f};
    std::memcpy(ToHost(pos), place, sizeof place);
    s.Call(builtin_p3d_setobj, {model, pos, pos + 12});
  }
  s.Call(builtin_p3d_render, {});
}

void BM_FrameCopy(benchmark::State& state) {
  std::vector<uint8_t> a(size_t(kWidth) * kHeight * 4, 1), b(a.size());
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), a.size());
    benchmark::DoNotOptimize(b.data());
  }
}
BENCHMARK(BM_FrameCopy);

// arg: 1 rows split over threads, 0 one thread.
void BM_TexturedLitTorus2000(benchmark::State& state) {
  Setup& s = Shared();
  g_graphics_settings.MultiThreading = int32_t(state.range(0));
  s.Materialise(s.torus2000, 0xFFFFFF, 5);
  int frame = 0;
  for (auto _ : state) Frame(s, frame++, {{s.torus2000, 0.0f}});
  state.SetItemsProcessed(state.iterations() * 2000);
  state.counters["drawn"] = SceneTriangleCount();
}
BENCHMARK(BM_TexturedLitTorus2000)->Arg(1)->Arg(0);

void BM_Scene5000(benchmark::State& state) {
  Setup& s = Shared();
  g_graphics_settings.MultiThreading = int32_t(state.range(0));
  s.Materialise(s.torus2500, 0x80C0FF, 1);
  int frame = 0;
  for (auto _ : state)
    Frame(s, frame++, {{s.torus2500, -1.3f}, {s.torus2500, 1.3f}});
  state.counters["drawn"] = SceneTriangleCount();
}
BENCHMARK(BM_Scene5000)->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
