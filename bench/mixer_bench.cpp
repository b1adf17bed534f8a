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
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/audio_file_stream.h"
#include "platform/midi_synth.h"
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

// MIDI music: the synthesiser rendering a dense file (a four-note chord
// struck on each of 16 channels every quarter, repeating) into the mix.
void BM_MixMidiMusic(benchmark::State& state) {
  OpenMixer();
  std::string error;
  if (!OpenMidiSynth("/usr/share/sounds/sf2/default-GM.sf2", kRate, error)) {
    state.SkipWithError(error.c_str());
    CloseSoundDevice();
    return;
  }
  std::vector<uint8_t> track;
  for (int quarter = 0; quarter < 8; ++quarter)
    for (int channel = 0; channel < 16; ++channel)
      for (int note : {48, 52, 55, 60}) {
        if (quarter > 0 && channel == 0 && note == 48) track.insert(track.end(), {0x83, 0x60});  // 480 ticks on
        else track.push_back(0x00);
        track.insert(track.end(), {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(note + quarter), 0x60});
      }
  track.insert(track.end(), {0x83, 0x60, 0xFF, 0x2F, 0x00});
  std::vector<uint8_t> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0, 'M', 'T', 'r', 'k'};
  for (int shift = 24; shift >= 0; shift -= 8) file.push_back(static_cast<uint8_t>(track.size() >> shift));
  file.insert(file.end(), track.begin(), track.end());
  MidiSynthLoad(file.data(), file.size());
  MidiSynthStart(true);
  std::vector<float> out(2 * kRate);
  for (auto _ : state) {
    MixSoundFrames(out.data(), kRate);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["of_real_time"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  CloseMidiSynth();
  CloseSoundDevice();
}
BENCHMARK(BM_MixMidiMusic)->Unit(benchmark::kMillisecond);

// A CD track: decoding one second of a 44.1 kHz stereo WAV and resampling it
// to 48 kHz, as the CD thread does.
void BM_DecodeCdTrack(benchmark::State& state) {
  std::string path = "/tmp/keva-mixer-bench-track.wav";
  {
    std::vector<int16_t> samples = Noise(2 * 44100 * 4);
    std::vector<uint8_t> wav = {'R', 'I', 'F', 'F'};
    auto put = [&](uint32_t v, int bytes) {
      for (int i = 0; i < bytes; ++i) wav.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    put(36 + data, 4);
    wav.insert(wav.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put(16, 4), put(1, 2), put(2, 2), put(44100, 4), put(44100 * 4, 4), put(4, 2), put(16, 2);
    wav.insert(wav.end(), {'d', 'a', 't', 'a'});
    put(data, 4);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    wav.insert(wav.end(), bytes, bytes + data);
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(wav.data(), 1, wav.size(), f);
    std::fclose(f);
  }
  std::vector<float> out(2 * kRate);
  AudioFileStream* stream = OpenAudioFileStream(path, kRate);
  for (auto _ : state) {
    if (ReadAudioFileStream(stream, out.data(), kRate) < kRate) {
      CloseAudioFileStream(stream);
      stream = OpenAudioFileStream(path, kRate);
    }
    benchmark::DoNotOptimize(out.data());
  }
  CloseAudioFileStream(stream);
  std::remove(path.c_str());
  state.counters["of_real_time"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DecodeCdTrack)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
