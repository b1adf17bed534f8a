// 1000 moving 64 x 64 32-bit sprites with alpha, a quarter of them rotated
// and scaled (smooth, 0.5 to 1.5 times), on a 1280 x 720 page over a background plane; one
// iteration is one frame, so iterations per second are frames per second.
//   BM_FullRedraw: the background copied whole, every sprite blitted as
//     gcopy and gblita do, the whole page uploaded (what update(0) does).
//   BM_DirtyRectangles/P: P % of the sprites move (bit 0 set), then sp_draw
//     and an upload of the changed region it reports (update(rect)).
// Both run on one thread ([System] MultiThreading 0).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "display/display_output.h"
#include "graphics/blit_geometry.h"
#include "graphics/sprites.h"
#include "vm/arena.h"

namespace {

constexpr int kWidth = 1280, kHeight = 720, kSprites = 1000, kSize = 64;
constexpr uint32_t kBackground = 1, kSheet = 2;

struct Mover {
  int32_t x, y, dx, dy;
  bool turning;
  int16_t angle;
  int32_t scale;  // 16.16, 0.5 to 1.5 for the turning ones
};

struct Scene {
  std::vector<Mover> movers;
  std::vector<uint32_t> sprites;
};

void Start() {
  static bool started = [] {
    ArenaStart();
    g_graphics_settings.Width = kWidth;
    g_graphics_settings.Height = kHeight;
    g_graphics_settings.Depth = 32;
    g_graphics_settings.MultiThreading = 0;
    g_display_settings.width = kWidth;
    g_display_settings.height = kHeight;
    g_display_settings.multi_threading = 0;
    GraphicsStart();
    StartDisplayOutput();
    Plane* bg = CreatePlane(kWidth, kHeight, 32);
    std::mt19937 rng(7);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        const uint32_t c = 0xFF000000u | uint32_t(x * 255 / kWidth) << 16 | uint32_t(y * 255 / kHeight) << 8 | (rng() & 63);
        std::memcpy(PixelAddress(bg, x, y), &c, 4);
      }
    SetPlaneAt(kBackground, bg);
    // A disc with a soft edge: opaque inside, clear outside.
    Plane* sheet = CreatePlane(kSize, kSize, 32);
    for (int y = 0; y < kSize; ++y)
      for (int x = 0; x < kSize; ++x) {
        const double d = std::hypot(x - 31.5, y - 31.5);
        const uint32_t a = d < 26 ? 255 : d < 32 ? uint32_t((32 - d) * 42) : 0;
        const uint32_t c = a << 24 | uint32_t(x * 4) << 16 | 0x8000 | uint32_t(y * 4);
        std::memcpy(PixelAddress(sheet, x, y), &c, 4);
      }
    SetPlaneAt(kSheet, sheet);
    return true;
  }();
  (void)started;
}

BlitParams Alpha() {
  BlitParams p{};
  p.mode = 7;
  p.level = 255;
  return p;
}

Scene MakeScene() {
  Scene s;
  std::mt19937 rng(11);
  for (int i = 0; i < kSprites; ++i) {
    Mover m{int32_t(rng() % kWidth), int32_t(rng() % kHeight), int32_t(rng() % 7) - 3, int32_t(rng() % 7) - 3,
            rng() % 4 == 0, int16_t(rng() % 2048), 0x10000};
    if (m.dx == 0) m.dx = 1;
    if (m.turning) m.scale = 0x8000 + int32_t(rng() % 0x10000);
    else m.angle = 0;
    s.movers.push_back(m);
  }
  return s;
}

void Step(Mover& m) {
  m.x += m.dx;
  m.y += m.dy;
  if (m.x < 0 || m.x >= kWidth) m.dx = -m.dx;
  if (m.y < 0 || m.y >= kHeight) m.dy = -m.dy;
  if (m.turning) m.angle = int16_t((m.angle + 8) & 2047);
}

void BM_FullRedraw(benchmark::State& state) {
  Start();
  Scene scene = MakeScene();
  Plane* page = PlaneAt(0);
  Plane* bg = PlaneAt(kBackground);
  Plane* sheet = PlaneAt(kSheet);
  const BlitParams copy{}, alpha = Alpha();
  const PlaneRect whole{0, 0, kSize, kSize};
  for (auto _ : state) {
    StretchBlit(page, nullptr, bg, nullptr, nullptr, &copy);
    for (Mover& m : scene.movers) {
      Step(m);
      if (m.turning) {
        const int32_t w = (kSize * m.scale) >> 16;
        const PlaneRect d{m.x - w / 2, m.y - w / 2, m.x - w / 2 + w, m.y - w / 2 + w};
        RotateBlit(page, &d, sheet, &whole, nullptr, &alpha, m.angle, true);
      } else {
        const PlaneRect d{m.x - kSize / 2, m.y - kSize / 2, m.x + kSize / 2, m.y + kSize / 2};
        StretchBlit(page, &d, sheet, &whole, nullptr, &alpha);
      }
    }
    UploadPage(page, nullptr);
    PresentFrame();
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_DirtyRectangles(benchmark::State& state) {
  Start();
  SpritesStart();
  Scene scene = MakeScene();
  Plane* page = PlaneAt(0);
  const BlitParams alpha = Alpha();
  const uint32_t args = ArenaAllocZeroed(16);
  builtin_sp_flag(BuiltinArgs{args});  // sp_flag(0): sprites redraw only when changed
  std::memcpy(ToHost(args), &kBackground, 4);
  builtin_sp_setbg(BuiltinArgs{args});
  for (Mover& m : scene.movers) {
    const uint32_t addr = SetSprite(0, kSpriteShown, m.x, m.y, kSheet, nullptr, &alpha);
    Sprite* s = SpriteAt(addr);
    s->pivot_x = s->pivot_y = kSize / 2;
    if (m.turning) {
      s->scale_x = s->scale_y = m.scale;
      s->angle = m.angle;
      s->flags |= kSpriteSmooth;
    } else {
      s->flags = 0;
    }
    scene.sprites.push_back(addr);
  }
  PlaneRect changed;
  DrawSprites(uint32_t(-1), &changed);
  const int moving_every = int(100 / state.range(0));  // every n-th sprite moves
  for (auto _ : state) {
    for (size_t i = 0; i < scene.movers.size(); i += moving_every) {
      Mover& m = scene.movers[i];
      Step(m);
      Sprite* s = SpriteAt(scene.sprites[i]);
      s->x = m.x;
      s->y = m.y;
      s->angle = m.angle;
      s->flags |= kSpriteChanged;
    }
    DrawSprites(uint32_t(-1), &changed);
    UploadPage(page, &changed);
    PresentFrame();
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  SpritesStop();
}

BENCHMARK(BM_FullRedraw)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DirtyRectangles)->ArgName("moving_percent")->Arg(100)->Arg(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
