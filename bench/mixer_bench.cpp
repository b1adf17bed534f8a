// The sound mixer: the cost of mixing one second of output at 48 kHz with
// 1, 16 and 64 playing buffers, with and without resampling (22050 Hz
// buffers) and with and without two effects (echo and reverb). The
// "of_real_time" counter is the share of one core that mixing in real time
// takes. The resampler comparison converts the same second of stereo sound
// from 22050 to 48000 Hz with each candidate.
#include <SDL.h>
#include <benchmark/benchmark.h>
#include <samplerate.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/sound_device.h"

namespace {

constexpr uint32_t kRate = 48000;

void OpenMixer() {
  SoundDeviceOptions options;
  options.use_hardware = false;
  options.paced = false;
  options.rate = kRate;
  OpenSoundDevice(options);
}

std::vector<int16_t> Noise(size_t samples) {
  std::vector<int16_t> v(samples);
  uint32_t x = 12345;
  for (int16_t& s : v) {
    x = x * 1664525 + 1013904223;
    s = static_cast<int16_t>(x >> 18);
  }
  return v;
}

void BM_Mix(benchmark::State& state) {
  const int slots = static_cast<int>(state.range(0));
  const bool resample = state.range(1) != 0;
  const bool effects = state.range(2) != 0;
  OpenMixer();
  const uint32_t rate = resample ? 22050 : kRate;
  std::vector<int16_t> samples = Noise(2 * rate);  // one second, stereo
  std::vector<SoundBuffer*> buffers;
  for (int i = 0; i < slots; ++i) {
    SoundBuffer* b = CreateSoundBuffer({2, rate, 16}, static_cast<uint32_t>(samples.size() * 2), true);
    uint8_t *first, *second;
    uint32_t first_size, second_size;
    LockSoundBuffer(b, 0, GetSoundBufferSize(b), &first, &first_size, &second, &second_size);
    std::memcpy(first, samples.data(), first_size);
    SetSoundBufferVolume(b, -1000 - 10 * i);
    SetSoundBufferPan(b, (i % 5 - 2) * 500);
    if (effects) {
      SoundEffectSettings chain[2] = {{SoundEffectKind::kEcho, {}}, {SoundEffectKind::kReverb, {}}};
      const float echo[] = {50, 50, 300, 400}, reverb[] = {0, -6, 1500, 0.3f};
      for (int f = 0; f < 4; ++f) chain[0].fields[f] = std::bit_cast<uint32_t>(echo[f]);
      for (int f = 0; f < 4; ++f) chain[1].fields[f] = std::bit_cast<uint32_t>(reverb[f]);
      SetSoundBufferEffects(b, chain, 2);
    }
    PlaySoundBuffer(b, true);
    buffers.push_back(b);
  }
  std::vector<float> out(2 * kRate);
  for (auto _ : state) {
    MixSoundFrames(out.data(), kRate);
    benchmark::DoNotOptimize(out.data());
  }
  // One iteration is one second of sound.
  state.counters["of_real_time"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  CloseSoundDevice();
}
BENCHMARK(BM_Mix)
    ->ArgNames({"slots", "resample", "effects"})
    ->ArgsProduct({{1, 16, 64}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// ---- Resamplers: one second of stereo sound, 22050 -> 48000 Hz ----

void BM_Resample_libsamplerate(benchmark::State& state) {
  const int converter = static_cast<int>(state.range(0));
  std::vector<float> in(2 * 22050), out(2 * kRate + 256);
  std::vector<int16_t> noise = Noise(in.size());
  for (size_t i = 0; i < in.size(); ++i) in[i] = noise[i] / 32768.0f;
  int error = 0;
  SRC_STATE* src = src_new(converter, 2, &error);
  for (auto _ : state) {
    src_reset(src);
    // In blocks of 256 output frames, as the mixer asks.
    size_t used = 0, made = 0;
    while (made < kRate && used < 22050) {
      SRC_DATA d{};
      d.data_in = in.data() + 2 * used;
      d.input_frames = static_cast<long>(std::min<size_t>(512, 22050 - used));
      d.data_out = out.data() + 2 * made;
      d.output_frames = 256;
      d.src_ratio = double(kRate) / 22050;
      src_process(src, &d);
      used += static_cast<size_t>(d.input_frames_used);
      made += static_cast<size_t>(d.output_frames_gen);
    }
    benchmark::DoNotOptimize(out.data());
  }
  src_delete(src);
  state.counters["of_real_time"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Resample_libsamplerate)->Arg(SRC_SINC_FASTEST)->Arg(SRC_LINEAR)->Arg(SRC_SINC_MEDIUM_QUALITY);

void BM_Resample_SdlAudioStream(benchmark::State& state) {
  std::vector<float> in(2 * 22050), out(2 * kRate + 256);
  std::vector<int16_t> noise = Noise(in.size());
  for (size_t i = 0; i < in.size(); ++i) in[i] = noise[i] / 32768.0f;
  for (auto _ : state) {
    SDL_AudioStream* stream = SDL_NewAudioStream(AUDIO_F32SYS, 2, 22050, AUDIO_F32SYS, 2, kRate);
    for (size_t at = 0; at < 22050; at += 512) {
      size_t n = std::min<size_t>(512, 22050 - at);
      SDL_AudioStreamPut(stream, in.data() + 2 * at, static_cast<int>(n * 8));
      while (SDL_AudioStreamAvailable(stream) >= 256 * 8) SDL_AudioStreamGet(stream, out.data(), 256 * 8);
    }
    SDL_FreeAudioStream(stream);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["of_real_time"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Resample_SdlAudioStream);

}  // namespace

BENCHMARK_MAIN();
