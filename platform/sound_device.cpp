#include "platform/sound_device.h"

#include <SDL.h>
#include <samplerate.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sound_effects.h"

namespace {

constexpr int kMaxBuffers = 256;
constexpr int kMaxStreams = 16;
constexpr uint32_t kChunkFrames = 256;  // the mixer works in blocks of this many frames
constexpr uint32_t kInputFrames = 512;  // resampler input gathered per call
// The resampler: libsamplerate's linear converter. Its band-limited
// converters cost ten times as much per voice (mixer_bench), which puts 16
// resampled voices past the mixer's budget; SDL's audio stream allocates as
// it goes and fixes its rates at creation.
constexpr int kConverter = SRC_LINEAR;

float Amplitude(int32_t hundredths_of_db) {
  return hundredths_of_db <= -10000 ? 0.0f : std::pow(10.0f, static_cast<float>(hundredths_of_db) / 2000.0f);
}

// Volume and pan as left and right gains: the pan lowers the far side.
void Gains(int32_t volume, int32_t pan, float& left, float& right) {
  float a = Amplitude(volume);
  left = pan > 0 ? a * Amplitude(-pan) : a;
  right = pan < 0 ? a * Amplitude(pan) : a;
}

}  // namespace

struct SoundBuffer {
  SoundFormat format;
  uint32_t bytes = 0, frames = 0;
  uint8_t* data = nullptr;
  bool effects_allowed = false;
  // Under the mix lock:
  bool playing = false, looping = false;
  uint32_t position = 0;  // frame the next read starts at
  // What has been heard, in frames of the buffer: behind the position by
  // what the resampler holds.
  double heard = 0;
  int32_t volume = 0, pan = 0;
  uint32_t frequency = 0;  // 0: the format's rate
  float gain_left = 1, gain_right = 1;
  SRC_STATE* resampler = nullptr;
  bool resampling = false;
  std::vector<std::unique_ptr<SoundEffectUnit>> chain;
};

namespace {

struct Stream {
  SoundStreamFill fill = nullptr;
  void* user = nullptr;
};

struct Mixer {
  std::mutex lock;  // the mixer holds it for one pass; control calls for a few instructions
  bool open = false;
  uint32_t rate = 0;
  std::array<SoundBuffer*, kMaxBuffers> buffers{};
  std::array<Stream, kMaxStreams> streams{};
  int32_t primary_volume = 0, primary_pan = 0;
  float primary_left = 1, primary_right = 1;
  // Scratch of the mixing thread.
  float voice[2 * kChunkFrames];
  float input[2 * kInputFrames];
  float bus[2 * kChunkFrames];
  // The backends.
  SDL_AudioDeviceID device = 0;
  std::thread pacer;
  std::atomic<bool> stop_pacer{false};
  std::mutex pacer_lock;  // with pacer_wake: a stop ends the pacer's sleep at once
  std::condition_variable pacer_wake;
  // The recording, written by the mixing thread only.
  FILE* record = nullptr;
  std::string record_path, record_temp;
  uint64_t recorded_frames = 0;
  int16_t record_scratch[2 * kChunkFrames];

  // A process that ends without closing the device still ends the pacer.
  ~Mixer() { StopPacer(); }

  void StopPacer() {
    if (!pacer.joinable()) return;
    {
      std::lock_guard hold(pacer_lock);
      stop_pacer = true;
    }
    pacer_wake.notify_all();
    pacer.join();
  }
};
Mixer g_mixer;

// Reads `count` frames of the buffer from `frame` (no wrap) as stereo floats.
void ToFloat(const SoundBuffer& b, uint32_t frame, uint32_t count, float* out) {
  const uint32_t channels = b.format.channels;
  if (b.format.bits == 16) {
    const uint8_t* p = b.data + size_t{frame} * channels * 2;
    for (uint32_t n = 0; n < count; ++n, p += 2 * channels) {
      int16_t left, right;
      std::memcpy(&left, p, 2);
      if (channels > 1) {
        std::memcpy(&right, p + 2, 2);
      } else {
        right = left;
      }
      out[2 * n] = left * (1.0f / 32768);
      out[2 * n + 1] = right * (1.0f / 32768);
    }
  } else {
    const uint8_t* p = b.data + size_t{frame} * channels;
    for (uint32_t n = 0; n < count; ++n, p += channels) {
      out[2 * n] = (p[0] - 128) * (1.0f / 128);
      out[2 * n + 1] = (p[channels > 1 ? 1 : 0] - 128) * (1.0f / 128);
    }
  }
}

// Gathers up to `count` frames from the position on, wrapping when looping.
uint32_t Gather(const SoundBuffer& b, uint32_t count, float* out) {
  uint32_t done = 0, at = b.position;
  while (done < count) {
    if (at >= b.frames) {
      if (!b.looping) break;
      at = 0;
    }
    uint32_t n = std::min(count - done, b.frames - at);
    ToFloat(b, at, n, out + 2 * done);
    done += n;
    at += n;
  }
  return done;
}

void EndOfBuffer(SoundBuffer& b) {
  b.playing = false;
  b.position = 0;
  b.heard = 0;
  b.resampling = false;  // the next start resets the converter
}

// Produces the buffer's next `frames` frames at the mix rate into out.
void RenderVoice(SoundBuffer& b, float* out, uint32_t frames) {
  uint32_t own = b.frequency ? b.frequency : b.format.rate;
  uint32_t produced = 0;
  if (own == g_mixer.rate) {
    b.resampling = false;
    while (produced < frames && b.playing) {
      if (b.position >= b.frames) {
        if (!b.looping) {
          EndOfBuffer(b);
          break;
        }
        b.position = 0;
      }
      uint32_t n = std::min(frames - produced, b.frames - b.position);
      ToFloat(b, b.position, n, out + 2 * produced);
      b.position += n;
      produced += n;
      b.heard = b.position;
      if (b.position == b.frames && !b.looping) EndOfBuffer(b);
    }
  } else {
    if (!b.resampling) {
      src_reset(b.resampler);
      b.resampling = true;
    }
    double ratio = static_cast<double>(g_mixer.rate) / own;
    // Each pass consumes input or produces output; the bound only guards
    // against a converter that does neither.
    for (int pass = 0; produced < frames && b.playing && pass < 64; ++pass) {
      uint32_t available = Gather(b, kInputFrames, g_mixer.input);
      bool last = !b.looping && b.position + available >= b.frames;
      SRC_DATA d{};
      d.data_in = g_mixer.input;
      d.data_out = out + 2 * produced;
      d.input_frames = available;
      d.output_frames = frames - produced;
      d.end_of_input = last ? 1 : 0;
      d.src_ratio = ratio;
      if (src_process(b.resampler, &d) != 0) {
        EndOfBuffer(b);
        break;
      }
      produced += static_cast<uint32_t>(d.output_frames_gen);
      b.position += static_cast<uint32_t>(d.input_frames_used);
      if (b.looping) b.position %= b.frames;
      b.heard += static_cast<double>(d.output_frames_gen) / ratio;
      if (b.heard >= b.frames) b.heard = b.looping ? std::fmod(b.heard, b.frames) : b.frames - 1;
      if (last && d.output_frames_gen == 0) EndOfBuffer(b);
    }
  }
  std::fill(out + 2 * produced, out + 2 * frames, 0.0f);
}

// One block of the mix, with the lock held.
void MixBlock(float* out, uint32_t frames) {
  std::fill(out, out + 2 * frames, 0.0f);
  for (SoundBuffer* b : g_mixer.buffers) {
    if (!b || !b->playing) continue;
    RenderVoice(*b, g_mixer.voice, frames);
    for (auto& effect : b->chain) effect->Process(g_mixer.voice, frames);
    const float left = b->gain_left, right = b->gain_right;
    for (uint32_t n = 0; n < frames; ++n) {
      out[2 * n] += g_mixer.voice[2 * n] * left;
      out[2 * n + 1] += g_mixer.voice[2 * n + 1] * right;
    }
  }
  for (const Stream& s : g_mixer.streams) {
    if (!s.fill) continue;
    s.fill(s.user, g_mixer.voice, frames, g_mixer.rate);
    for (uint32_t n = 0; n < 2 * frames; ++n) out[n] += g_mixer.voice[n];
  }
  const float left = g_mixer.primary_left, right = g_mixer.primary_right;
  for (uint32_t n = 0; n < frames; ++n) {
    out[2 * n] = std::clamp(out[2 * n] * left, -1.0f, 1.0f);
    out[2 * n + 1] = std::clamp(out[2 * n + 1] * right, -1.0f, 1.0f);
  }
}

void Record(const float* mix, uint32_t frames) {
  if (!g_mixer.record) return;
  for (uint32_t n = 0; n < 2 * frames; ++n)
    g_mixer.record_scratch[n] = static_cast<int16_t>(std::lrintf(mix[n] * 32767.0f));
  std::fwrite(g_mixer.record_scratch, 4, frames, g_mixer.record);
  g_mixer.recorded_frames += frames;
}

// Mixes `frames` stereo frames, in blocks, and records them.
void Render(float* out, uint32_t frames) {
  for (uint32_t done = 0; done < frames;) {
    uint32_t n = std::min(kChunkFrames, frames - done);
    {
      std::lock_guard hold(g_mixer.lock);
      MixBlock(out + 2 * done, n);
    }
    Record(out + 2 * done, n);
    done += n;
  }
}

void DeviceCallback(void*, Uint8* stream, int length) {
  Render(reinterpret_cast<float*>(stream), static_cast<uint32_t>(length) / 8);
}

// Without a device: mixes in real time, a few milliseconds at a time.
void PacerLoop() {
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  uint64_t rendered = 0;
  float block[2 * kChunkFrames];
  while (!g_mixer.stop_pacer.load()) {
    {
      std::unique_lock hold(g_mixer.pacer_lock);
      if (g_mixer.pacer_wake.wait_for(hold, std::chrono::milliseconds(5), [] { return g_mixer.stop_pacer.load(); }))
        break;
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    auto due = static_cast<uint64_t>(elapsed * g_mixer.rate);
    while (rendered < due && !g_mixer.stop_pacer.load()) {
      uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kChunkFrames, due - rendered));
      Render(block, n);
      rendered += n;
    }
  }
}

void PutLe(uint8_t* p, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A 44-byte header of 16-bit stereo PCM at the mix rate.
void WaveHeader(uint8_t* h, uint32_t rate, uint64_t frames) {
  uint32_t data = static_cast<uint32_t>(std::min<uint64_t>(frames * 4, 0xFFFFFFFFu - 36));
  std::memcpy(h, "RIFF", 4);
  PutLe(h + 4, data + 36, 4);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  PutLe(h + 16, 16, 4);
  PutLe(h + 20, 1, 2);
  PutLe(h + 22, 2, 2);
  PutLe(h + 24, rate, 4);
  PutLe(h + 28, rate * 4, 4);
  PutLe(h + 32, 4, 2);
  PutLe(h + 34, 16, 2);
  std::memcpy(h + 36, "data", 4);
  PutLe(h + 40, data, 4);
}

bool StartRecording(const std::string& path) {
  g_mixer.record_path = path;
  g_mixer.record_temp = path + ".tmp";
  g_mixer.record = std::fopen(g_mixer.record_temp.c_str(), "wb");
  if (!g_mixer.record) return false;
  uint8_t header[44];
  WaveHeader(header, g_mixer.rate, 0);
  std::fwrite(header, 1, 44, g_mixer.record);
  g_mixer.recorded_frames = 0;
  return true;
}

// The header gets its sizes; the file replaces the old one only when whole.
void FinishRecording() {
  FILE* f = g_mixer.record;
  if (!f) return;
  g_mixer.record = nullptr;
  uint8_t header[44];
  WaveHeader(header, g_mixer.rate, g_mixer.recorded_frames);
  bool ok = std::fseek(f, 0, SEEK_SET) == 0 && std::fwrite(header, 1, 44, f) == 44 && std::fflush(f) == 0 &&
            ::fsync(fileno(f)) == 0;
  ok = std::fclose(f) == 0 && ok;
  if (!ok || std::rename(g_mixer.record_temp.c_str(), g_mixer.record_path.c_str()) != 0) {
    std::fprintf(stderr, "keva: cannot write the sound recording %s\n", g_mixer.record_path.c_str());
    std::remove(g_mixer.record_temp.c_str());
  }
}

bool OpenHardware() {
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return false;
  SDL_AudioSpec want{}, have{};
  want.freq = 48000;
  want.format = AUDIO_F32SYS;
  want.channels = 2;
  want.samples = 1024;
  want.callback = DeviceCallback;
  g_mixer.device = SDL_OpenAudioDevice(nullptr, 0, &want, &have,
                                       SDL_AUDIO_ALLOW_FREQUENCY_CHANGE | SDL_AUDIO_ALLOW_SAMPLES_CHANGE);
  if (g_mixer.device == 0) {
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return false;
  }
  g_mixer.rate = static_cast<uint32_t>(have.freq);
  return true;
}

void FreeBuffer(SoundBuffer* b) {
  if (!b) return;
  if (b->resampler) src_delete(b->resampler);
  std::free(b->data);
  delete b;
}

}  // namespace

bool OpenSoundDevice(const SoundDeviceOptions& options) {
  if (g_mixer.open) CloseSoundDevice();
  bool hardware = options.use_hardware && OpenHardware();
  if (!hardware) g_mixer.rate = options.rate ? options.rate : 48000;
  g_mixer.primary_volume = g_mixer.primary_pan = 0;
  g_mixer.primary_left = g_mixer.primary_right = 1;
  bool recording = options.record_path.empty() || StartRecording(options.record_path);
  g_mixer.open = true;
  if (hardware) {
    SDL_PauseAudioDevice(g_mixer.device, 0);
  } else if (options.paced) {
    g_mixer.stop_pacer = false;
    g_mixer.pacer = std::thread(PacerLoop);
  }
  return recording;
}

void CloseSoundDevice() {
  if (!g_mixer.open) return;
  if (g_mixer.device) {
    SDL_CloseAudioDevice(g_mixer.device);  // waits for a callback in progress
    g_mixer.device = 0;
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }
  g_mixer.StopPacer();
  FinishRecording();
  std::array<SoundBuffer*, kMaxBuffers> left{};
  {
    std::lock_guard hold(g_mixer.lock);
    std::swap(left, g_mixer.buffers);
    g_mixer.streams = {};
    g_mixer.open = false;
    g_mixer.rate = 0;
  }
  for (SoundBuffer* b : left) FreeBuffer(b);
}

bool SoundDeviceOpen() { return g_mixer.open; }
uint32_t SoundDeviceRate() { return g_mixer.rate; }

void SetPrimaryVolume(int32_t volume) {
  std::lock_guard hold(g_mixer.lock);
  g_mixer.primary_volume = std::clamp(volume, -10000, 0);
  Gains(g_mixer.primary_volume, g_mixer.primary_pan, g_mixer.primary_left, g_mixer.primary_right);
}
int32_t GetPrimaryVolume() { return g_mixer.primary_volume; }
void SetPrimaryPan(int32_t pan) {
  std::lock_guard hold(g_mixer.lock);
  g_mixer.primary_pan = std::clamp(pan, -10000, 10000);
  Gains(g_mixer.primary_volume, g_mixer.primary_pan, g_mixer.primary_left, g_mixer.primary_right);
}
int32_t GetPrimaryPan() { return g_mixer.primary_pan; }

SoundBuffer* CreateSoundBuffer(const SoundFormat& format, uint32_t bytes, bool effects) {
  if (!g_mixer.open || format.channels < 1 || format.channels > 8 || (format.bits != 8 && format.bits != 16) ||
      format.rate < 1 || format.rate > 384000)
    return nullptr;
  uint32_t frame = format.FrameSize();
  if (bytes < frame || bytes % frame != 0 || bytes > 0x0FFFFFFF) return nullptr;
  auto* b = new (std::nothrow) SoundBuffer;
  if (!b) return nullptr;
  b->format = format;
  b->bytes = bytes;
  b->frames = bytes / frame;
  b->effects_allowed = effects;
  b->data = static_cast<uint8_t*>(std::malloc(bytes));
  int error = 0;
  b->resampler = src_new(kConverter, 2, &error);
  if (!b->data || !b->resampler) {
    FreeBuffer(b);
    return nullptr;
  }
  std::memset(b->data, format.bits == 8 ? 128 : 0, bytes);
  std::lock_guard hold(g_mixer.lock);
  for (SoundBuffer*& slot : g_mixer.buffers) {
    if (!slot) {
      slot = b;
      return b;
    }
  }
  FreeBuffer(b);
  return nullptr;
}

void ReleaseSoundBuffer(SoundBuffer* buffer) {
  if (!buffer) return;
  {
    std::lock_guard hold(g_mixer.lock);
    for (SoundBuffer*& slot : g_mixer.buffers)
      if (slot == buffer) slot = nullptr;
  }
  FreeBuffer(buffer);
}

SoundFormat GetSoundBufferFormat(const SoundBuffer* buffer) { return buffer->format; }
uint32_t GetSoundBufferSize(const SoundBuffer* buffer) { return buffer->bytes; }

bool LockSoundBuffer(SoundBuffer* b, uint32_t offset, uint32_t bytes, uint8_t** first, uint32_t* first_size,
                     uint8_t** second, uint32_t* second_size) {
  if (!b || offset >= b->bytes || bytes > b->bytes) return false;
  uint32_t head = std::min(bytes, b->bytes - offset);
  *first = b->data + offset;
  *first_size = head;
  *second = head < bytes ? b->data : nullptr;
  *second_size = bytes - head;
  return true;
}

void PlaySoundBuffer(SoundBuffer* b, bool looping) {
  std::lock_guard hold(g_mixer.lock);
  b->looping = looping;
  b->playing = true;
}

void StopSoundBuffer(SoundBuffer* b) {
  std::lock_guard hold(g_mixer.lock);
  b->playing = false;
}

bool SoundBufferPlaying(const SoundBuffer* b) {
  std::lock_guard hold(g_mixer.lock);
  return b->playing;
}

void GetSoundBufferPosition(const SoundBuffer* b, uint32_t* play, uint32_t* write) {
  std::lock_guard hold(g_mixer.lock);
  uint32_t frame = b->format.FrameSize();
  uint32_t at = std::min(static_cast<uint32_t>(b->heard), b->frames - 1) * frame;
  if (play) *play = at;
  if (write) {
    // Fifteen milliseconds ahead while playing: what the mixer may read next.
    uint32_t ahead = b->playing ? (b->format.rate * 15 / 1000) * frame : 0;
    *write = static_cast<uint32_t>((uint64_t{at} + ahead) % b->bytes);
  }
}

void SetSoundBufferPosition(SoundBuffer* b, uint32_t offset) {
  std::lock_guard hold(g_mixer.lock);
  uint32_t frame = offset / b->format.FrameSize();
  if (frame >= b->frames) return;
  b->position = frame;
  b->heard = frame;
  if (b->resampling) src_reset(b->resampler);
}

void SetSoundBufferVolume(SoundBuffer* b, int32_t volume) {
  std::lock_guard hold(g_mixer.lock);
  b->volume = std::clamp(volume, -10000, 0);
  Gains(b->volume, b->pan, b->gain_left, b->gain_right);
}
int32_t GetSoundBufferVolume(const SoundBuffer* b) { return b->volume; }

void SetSoundBufferPan(SoundBuffer* b, int32_t pan) {
  std::lock_guard hold(g_mixer.lock);
  b->pan = std::clamp(pan, -10000, 10000);
  Gains(b->volume, b->pan, b->gain_left, b->gain_right);
}
int32_t GetSoundBufferPan(const SoundBuffer* b) { return b->pan; }

bool SetSoundBufferFrequency(SoundBuffer* b, uint32_t hertz) {
  if (hertz != 0 && (hertz < 100 || hertz > 200000)) return false;
  std::lock_guard hold(g_mixer.lock);
  b->frequency = hertz;
  return true;
}
uint32_t GetSoundBufferFrequency(const SoundBuffer* b) { return b->frequency ? b->frequency : b->format.rate; }

bool SetSoundBufferEffects(SoundBuffer* b, const SoundEffectSettings* effects, int count) {
  if (!b->effects_allowed) return count == 0;
  std::vector<std::unique_ptr<SoundEffectUnit>> chain;
  for (int i = 0; i < count; ++i) {
    auto unit = MakeSoundEffect(effects[i], g_mixer.rate);
    if (!unit) return false;
    chain.push_back(std::move(unit));
  }
  {
    std::lock_guard hold(g_mixer.lock);
    std::swap(chain, b->chain);
  }
  return true;  // the old chain is freed here, outside the lock
}

int AddSoundStream(SoundStreamFill fill, void* user) {
  std::lock_guard hold(g_mixer.lock);
  if (!g_mixer.open || !fill) return -1;
  for (int i = 0; i < kMaxStreams; ++i) {
    if (!g_mixer.streams[i].fill) {
      g_mixer.streams[i] = {fill, user};
      return i;
    }
  }
  return -1;
}

void RemoveSoundStream(int id) {
  if (id < 0 || id >= kMaxStreams) return;
  std::lock_guard hold(g_mixer.lock);
  g_mixer.streams[id] = {};
}

void MixSoundFrames(float* out, uint32_t frames) {
  for (uint32_t done = 0; done < frames;) {
    uint32_t n = std::min(kChunkFrames, frames - done);
    std::lock_guard hold(g_mixer.lock);
    MixBlock(out + 2 * done, n);
    done += n;
  }
}
