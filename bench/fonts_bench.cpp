// gtext on a 32-bit plane: a 40-character Japanese line at 24 pixels, plain
// and anti-aliased, measured in characters per second. The baseline is a
// blit (mode 0) of an already drawn line of the same size, which is what a
// game would do instead of drawing the text again.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "graphics/blit_geometry.h"
#include "graphics/planes.h"
#include "graphics/text.h"
#include "platform/text_encoding.h"
#include "vm/arena.h"

namespace {

constexpr int kCharacters = 40;

struct Setup {
  std::string line;  // Shift_JIS
  uint32_t record = 0;
  uint32_t args = 0;
};

Setup& Shared() {
  static Setup s = [] {
    Setup x;
    ArenaStart();
    g_graphics_settings.Width = 1280;
    g_graphics_settings.Height = 256;
    g_graphics_settings.Depth = 32;
    g_graphics_settings.MultiThreading = 0;
    GraphicsStart();
    TextStart();
    // 40 characters of a visual novel's line: kana, kanji and punctuation.
    std::string utf8 = "吾輩は猫である。名前はまだ無い。どこで生れたかとんと見当がつかぬ。何でも薄暗いじめじめ";
    Utf8ToSjis(utf8, x.line);
    x.record = ArenaAllocZeroed(64);
    x.args = ArenaAllocZeroed(64);
    return x;
  }();
  return s;
}

void UseFont(Setup& s, int32_t flags) {
  FontRecord r{};
  std::memcpy(r.face, "\x82\x6c\x82\x72\x20\x83\x53\x83\x56\x83\x62\x83\x4e", 13);  // ＭＳ ゴシック
  r.size = 24;
  r.flags = flags;
  std::memcpy(ToHost(s.record), &r, sizeof r);
  uint32_t words[2] = {1, s.record};
  std::memcpy(ToHost(s.args), words, sizeof words);
  builtin_font_set(BuiltinArgs{s.args});
}

void BM_Gtext(benchmark::State& state) {
  Setup& s = Shared();
  UseFont(s, state.range(0) ? kFontAntiAliased : 0);
  for (auto _ : state) benchmark::DoNotOptimize(DrawTextInPlane(0, 8, 8, 7, s.line, 1));
  state.SetItemsProcessed(state.iterations() * kCharacters);
}
BENCHMARK(BM_Gtext)->ArgName("anti_aliased")->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);

// A slot whose record changes before every line (a name box and the message
// at two sizes): the slot's font objects come back from the spares.
void BM_GtextSwitchingRecords(benchmark::State& state) {
  Setup& s = Shared();
  int32_t size = 24;
  for (auto _ : state) {
    FontRecord r{};
    std::memcpy(r.face, "\x82\x6c\x82\x72\x20\x83\x53\x83\x56\x83\x62\x83\x4e", 13);
    r.size = size;
    size ^= 1;
    std::memcpy(ToHost(s.record), &r, sizeof r);
    uint32_t words[2] = {1, s.record};
    std::memcpy(ToHost(s.args), words, sizeof words);
    builtin_font_set(BuiltinArgs{s.args});
    benchmark::DoNotOptimize(DrawTextInPlane(0, 8, 8, 7, s.line, 1));
  }
  state.SetItemsProcessed(state.iterations() * kCharacters);
}
BENCHMARK(BM_GtextSwitchingRecords)->Unit(benchmark::kMicrosecond);

void BM_BlitLine(benchmark::State& state) {
  Setup& s = Shared();
  SetPlaneAt(2, CreatePlane(kCharacters * 24, 24, 32));
  uint32_t words[6] = {0, 8, 40, 2, 0, 0};  // gcopy(0, 8, 40, 2, whole plane, mode 0)
  std::memcpy(ToHost(s.args), words, sizeof words);
  for (auto _ : state) benchmark::DoNotOptimize(builtin_gcopy(BuiltinArgs{s.args}));
  state.SetItemsProcessed(state.iterations() * kCharacters);
  SetPlaneAt(2, nullptr);
}
BENCHMARK(BM_BlitLine)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
