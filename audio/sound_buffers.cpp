#include "audio/sound_buffers.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "audio/sound_decoding.h"
#include "platform/error_box.h"
#include "platform/sound_device.h"
#include "platform/window_thread.h"
#include "runtime/runtime_settings.h"

namespace {

constexpr int kSlotCount = 64;
constexpr int kPathSize = 260;
// Fields of each effect's parameter record, in the order of the mask bits.
constexpr int kEffectFieldCount[kSoundEffectKinds] = {7, 6, 5, 5, 7, 2, 3, 4};

#define FAILED_SJIS "\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42"
constexpr const char* kCreateBufferFailed = "DirectSound::CreateSoundBuffer " FAILED_SJIS;
constexpr const char* kLockFailed = "DirectSoundBuffer::Lock " FAILED_SJIS;
#undef FAILED_SJIS

struct SoundSlot {
  char name[kPathSize] = {};
  int32_t loop = 0;
  int32_t pause_count = 0;
  SoundBuffer* buffer = nullptr;
  bool effects_capable = false;  // the buffer was made with effect control
  uint32_t buffer_size = 0;
  int32_t streaming = 0;
  uint32_t length_ms = 0;  // static slots: the length of the file they were loaded from
  uint32_t effects_mask = 0;
  uint32_t effect_fields[kSoundEffectKinds][kSoundEffectFields] = {};
  // Streaming: the refill thread and the state it shares with the window
  // thread. stream_lock guards the source, repeat, bytes written and the
  // half that is due, so that a refill that follows a stop never meets a
  // position or loop start being set.
  std::thread thread;
  std::atomic<int32_t> stop_request{0};
  std::atomic<int32_t> end_reached{0};
  std::mutex stream_lock;
  int32_t repeat = 0;
  uint32_t bytes_written = 0;
  int due_half = 1;
  SoundSource source;

  // A process that ends without the sound shut-down still ends the thread.
  ~SoundSlot() {
    if (thread.joinable()) {
      stop_request = 1;
      thread.join();
    }
  }
};

std::array<SoundSlot, kSlotCount> g_slots;
int32_t g_margin_ms = 0;
bool g_device = false;

bool Loaded(int n) { return n >= 0 && n < kSlotCount && g_slots[n].buffer; }

// ---- Streaming ----

// Decodes into one region of the ring, continuing at the loop start when
// the source runs out and the stream repeats.
void FillRegion(SoundSlot& s, uint8_t* region, uint32_t size) {
  uint32_t done = 0;
  // Each pass either fills the region or starts the loop again; a loop that
  // delivers nothing twice in a row is silence.
  for (int empty_loops = 0; done < size && empty_loops < 2;) {
    uint32_t real = 0;
    DecodeSound(s.source, region + done, size - done, &real);
    if (real == size - done) break;
    if (!s.repeat) {
      if (real == 0) s.end_reached = 1;
      break;
    }
    done += real;
    empty_loops = real == 0 ? empty_loops + 1 : 0;
    if (s.source.is_ogg) {
      SeekVorbis(s.source, s.source.loop_start / (DecodedChannels(s.source) * 2u));
    } else {
      s.source.decode_offset = s.source.loop_start;
      s.source.adpcm_left = 0;
    }
  }
}

// Refills one half of the ring (stream_lock held).
void RefillHalf(SoundSlot& s, int half) {
  if (s.end_reached) StopSoundBuffer(s.buffer);  // the stream has played out
  uint32_t half_size = s.buffer_size / 2;
  uint8_t *first, *second;
  uint32_t first_size, second_size;
  if (!LockSoundBuffer(s.buffer, static_cast<uint32_t>(half) * half_size, half_size, &first, &first_size, &second,
                       &second_size))
    return;
  FillRegion(s, first, first_size);
  if (second) FillRegion(s, second, second_size);
  s.bytes_written += first_size + second_size;
}

void RefillLoop(SoundSlot* s) {
  uint32_t half_size = s->buffer_size / 2;
  while (!s->stop_request.load()) {
    uint32_t play = 0;
    GetSoundBufferPosition(s->buffer, &play, nullptr);
    int cursor_half = play >= half_size ? 1 : 0;
    {
      std::lock_guard hold(s->stream_lock);
      if (cursor_half == 0 && s->due_half == 1) {
        RefillHalf(*s, 1);
        s->due_half = 0;
      } else if (cursor_half == 1 && s->due_half == 0) {
        RefillHalf(*s, 0);
        s->due_half = 1;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void EndRefillThread(SoundSlot& s) {
  if (!s.thread.joinable()) return;
  s.stop_request = 1;
  s.thread.join();
  s.stop_request = 0;
}

// Starts the ring over from the source's current state: half 0 filled now,
// half 1 due first.
void RestartRing(SoundSlot& s) {
  SetSoundBufferPosition(s.buffer, 0);
  std::lock_guard hold(s.stream_lock);
  s.bytes_written = 0;
  s.end_reached = 0;
  RefillHalf(s, 0);
  s.due_half = 1;
}

// ---- Slots ----

void ClearSlot(SoundSlot& s) {
  std::memset(s.name, 0, sizeof s.name);
  s.loop = s.pause_count = 0;
  s.buffer = nullptr;
  s.effects_capable = false;
  s.buffer_size = 0;
  s.streaming = 0;
  s.length_ms = 0;
  s.effects_mask = 0;
  std::memset(s.effect_fields, 0, sizeof s.effect_fields);
  s.stop_request = 0;
  s.end_reached = 0;
  s.repeat = 0;
  s.bytes_written = 0;
  s.due_half = 1;
}

uint32_t FreeSlot(int n) {
  SoundSlot& s = g_slots[n];
  if (!s.buffer) return 1;
  if (s.streaming) {
    StopSoundBuffer(s.buffer);
    SetSoundBufferVolume(s.buffer, -10000);
    s.pause_count = 0;
    EndRefillThread(s);
    ReleaseSoundBuffer(s.buffer);
    CloseSoundSource(s.source);
  } else {
    StopSoundBuffer(s.buffer);
    ReleaseSoundBuffer(s.buffer);
  }
  s.buffer = nullptr;
  s.name[0] = 0;
  return 1;
}

SoundFormat BufferFormat(const SoundSource& source) {
  return SoundFormat{DecodedChannels(source), DecodedRate(source), DecodedBits(source)};
}

bool StorePath(SoundSlot& s, const char* path) {
  size_t length = std::strlen(path);
  if (length >= kPathSize) return false;  // the name could not be stored whole
  std::memcpy(s.name, path, length + 1);
  return true;
}

uint32_t LoadStatic(int n, const char* path) {
  FreeSlot(n);
  SoundSlot& s = g_slots[n];
  ClearSlot(s);
  if (!g_device || !path || !*path || std::strlen(path) >= kPathSize) return 0;
  SoundSource source;
  if (!OpenSoundSource(path, source)) return 0;
  SoundFormat format = BufferFormat(source);
  uint32_t frame = format.FrameSize();
  uint64_t data_bytes = DecodedLength(source) / frame * frame;
  int64_t margin_bytes = int64_t{frame} * (int64_t{g_margin_ms} * format.rate / 1000);
  int64_t size = static_cast<int64_t>(data_bytes) + margin_bytes;
  uint32_t bytes_per_second = DecodedBytesPerSecond(source);
  bool effects = size > 0 && size * 1000 / bytes_per_second > 149;  // holds at least 150 ms
  SoundBuffer* buffer =
      size > 0 && size <= 0x0FFFFFFF ? CreateSoundBuffer(format, static_cast<uint32_t>(size), effects) : nullptr;
  if (!buffer) {
    ShowError(1, "%s", kCreateBufferFailed);
    CloseSoundSource(source);
    return 0;
  }
  uint8_t *first, *second;
  uint32_t first_size, second_size;
  if (!LockSoundBuffer(buffer, 0, static_cast<uint32_t>(size), &first, &first_size, &second, &second_size)) {
    ShowError(1, "%s", kLockFailed);
    ReleaseSoundBuffer(buffer);
    CloseSoundSource(source);
    return 0;
  }
  // A negative margin shortens the buffer: only what fits is decoded.
  uint32_t decoded = static_cast<uint32_t>(std::min<int64_t>(static_cast<int64_t>(data_bytes), size));
  DecodeSound(source, first, decoded);
  std::memset(first + decoded, format.bits == 8 ? 128 : 0, first_size - decoded);
  s.length_ms = SoundLengthMs(source);
  CloseSoundSource(source);
  s.buffer = buffer;
  s.effects_capable = effects;
  s.buffer_size = static_cast<uint32_t>(size);
  StorePath(s, path);
  s.streaming = 0;
  return 1;
}

uint32_t LoadStreaming(int n, const char* path) {
  FreeSlot(n);
  SoundSlot& s = g_slots[n];
  ClearSlot(s);
  if (!g_device || !path || !*path || std::strlen(path) >= kPathSize) return 0;
  if (!OpenSoundSource(path, s.source)) return 0;
  SoundFormat format = BufferFormat(s.source);
  uint32_t ring_frame = 2 * format.FrameSize();  // both halves hold whole frames
  uint64_t size = uint64_t{2} * DecodedBytesPerSecond(s.source) / ring_frame * ring_frame;
  SoundBuffer* buffer = size <= 0x0FFFFFFF ? CreateSoundBuffer(format, static_cast<uint32_t>(size), true) : nullptr;
  if (!buffer) {
    ShowError(1, "%s", kCreateBufferFailed);
    CloseSoundSource(s.source);
    return 0;
  }
  s.buffer = buffer;
  s.effects_capable = true;
  s.buffer_size = static_cast<uint32_t>(size);
  StorePath(s, path);
  s.streaming = 1;
  return 1;
}

void ApplyEffects(SoundSlot& s) {
  if (!s.effects_capable) return;
  SoundEffectSettings chain[kSoundEffectKinds];
  int count = 0;
  for (int kind = 0; kind < kSoundEffectKinds; ++kind) {
    if (!(s.effects_mask & (1u << kind))) continue;
    chain[count].kind = static_cast<SoundEffectKind>(kind);
    std::memcpy(chain[count].fields, s.effect_fields[kind], sizeof chain[count].fields);
    ++count;
  }
  SetSoundBufferEffects(s.buffer, chain, count);
}

// Decision: every snd_play starts the sound from its beginning, streaming or
// static alike: a stream's decoder goes back to the first sample and its
// start offset to 0, so a stream that has played out plays again.
void RewindSource(SoundSource& source) {
  source.decode_offset = 0;
  source.adpcm_left = 0;
  source.start_offset = 0;
  if (source.is_ogg) SeekVorbis(source, 0);
}

uint32_t Play(int n, int32_t repeat) {
  if (!Loaded(n)) return 0;
  SoundSlot& s = g_slots[n];
  s.pause_count = 0;
  if (!s.streaming) {
    s.loop = repeat;
    StopSoundBuffer(s.buffer);
    SetSoundBufferPosition(s.buffer, 0);
    ApplyEffects(s);
    PlaySoundBuffer(s.buffer, s.loop != 0);
    return 1;
  }
  StopSoundBuffer(s.buffer);
  EndRefillThread(s);
  ApplyEffects(s);
  s.loop = 1;
  {
    std::lock_guard hold(s.stream_lock);
    s.repeat = repeat != 0;
    RewindSource(s.source);
  }
  RestartRing(s);
  PlaySoundBuffer(s.buffer, true);
  try {
    s.thread = std::thread(RefillLoop, &s);
  } catch (const std::system_error&) {
    StopSoundBuffer(s.buffer);
    return 0;
  }
  return 1;
}

uint32_t Stop(int n) {
  if (!Loaded(n)) return 1;
  SoundSlot& s = g_slots[n];
  if (SoundBufferPlaying(s.buffer)) {
    StopSoundBuffer(s.buffer);
    SetSoundBufferPosition(s.buffer, 0);
  }
  return 1;
}

uint32_t Pause(int n) {
  if (!Loaded(n)) return 1;
  SoundSlot& s = g_slots[n];
  if (s.pause_count > 0) ++s.pause_count;
  if (SoundBufferPlaying(s.buffer)) {
    s.pause_count = 1;
    StopSoundBuffer(s.buffer);
  }
  return 1;
}

uint32_t Replay(int n) {
  if (!Loaded(n)) return 1;
  SoundSlot& s = g_slots[n];
  if (s.pause_count == 0) return 1;
  if (--s.pause_count == 0) PlaySoundBuffer(s.buffer, s.loop != 0);
  return 1;
}

// Applies op to one slot, or to all of them for slot -1. The results of
// stop, pause, replay and free are 1 whatever the slots hold.
uint32_t ForSlots(int32_t slot, uint32_t (*op)(int)) {
  if (slot == -1) {
    uint32_t result = 1;
    for (int n = 0; n < kSlotCount; ++n) result &= op(n);
    return result;
  }
  if (slot < 0 || slot >= kSlotCount) return 0;
  return op(slot);
}

uint32_t SetFrequency(int n, uint32_t hertz) {
  if (!Loaded(n)) return 0;
  if (hertz != 0) hertz = std::clamp<uint32_t>(hertz, 100, 100000);
  return SetSoundBufferFrequency(g_slots[n].buffer, hertz) ? 0 : 1;
}

uint32_t SetPosition(int n, int32_t ms) {
  if (!Loaded(n)) return 0;
  SoundSlot& s = g_slots[n];
  if (SoundBufferPlaying(s.buffer)) return 0;
  uint32_t ums = static_cast<uint32_t>(ms);
  if (!s.streaming) {
    SoundFormat f = GetSoundBufferFormat(s.buffer);
    uint64_t offset = uint64_t{ums} * f.rate / 1000 * f.bits / 8 * f.channels;
    if (offset < s.buffer_size) SetSoundBufferPosition(s.buffer, static_cast<uint32_t>(offset));
    return 1;
  }
  SoundSource& source = s.source;
  bool moved = false;
  {
    std::lock_guard hold(s.stream_lock);
    if (source.is_ogg) {
      uint64_t samples = uint64_t{source.rate} * ums / 1000;
      if (samples < source.total_samples) {
        source.start_offset = static_cast<uint32_t>(samples * source.channels * 2);
        moved = SeekVorbis(source, static_cast<uint32_t>(samples));
      }
    } else {
      uint32_t frame = DecodedFrameSize(source);
      uint64_t offset = uint64_t{DecodedBytesPerSecond(source)} * ums / 1000 / frame * frame;
      if (offset < DecodedLength(source)) {
        source.decode_offset = source.start_offset = static_cast<uint32_t>(offset);
        source.adpcm_left = 0;
        moved = true;
      }
    }
  }
  // Decision: the ring is refilled from the new position at once, so that
  // a replay after the pause continues there and not after the up to two
  // seconds of sound the ring still held.
  if (moved) RestartRing(s);
  return 1;
}

uint32_t GetPosition(int n) {
  if (!Loaded(n)) return 0;
  SoundSlot& s = g_slots[n];
  if (!SoundBufferPlaying(s.buffer)) return 0;
  SoundFormat f = GetSoundBufferFormat(s.buffer);
  uint32_t play = 0;
  GetSoundBufferPosition(s.buffer, &play, nullptr);
  int64_t position = play;
  if (s.streaming) {
    std::lock_guard hold(s.stream_lock);
    int64_t ahead = int64_t{s.bytes_written % s.buffer_size} - play;
    if (ahead <= 0) ahead += s.buffer_size;
    position = std::max<int64_t>(0, int64_t{s.source.start_offset} + s.bytes_written - ahead);
    int64_t length = static_cast<int64_t>(DecodedLength(s.source));
    int64_t loop = s.source.loop_start;
    if (position >= length && length > loop) position = loop + (position - loop) % (length - loop);
  }
  double bytes_per_ms = f.channels * f.bits / 8 * f.rate / 1000.0;
  return static_cast<uint32_t>(static_cast<double>(position) / bytes_per_ms);
}

uint32_t SetLoop(int n, int32_t ms) {
  if (!Loaded(n) || !g_slots[n].streaming) return 0;
  SoundSlot& s = g_slots[n];
  uint32_t frame = DecodedFrameSize(s.source);
  uint64_t offset = uint64_t{DecodedBytesPerSecond(s.source)} * static_cast<uint32_t>(ms) / 1000 / frame * frame;
  std::lock_guard hold(s.stream_lock);
  if (offset < DecodedLength(s.source)) s.source.loop_start = static_cast<uint32_t>(offset);
  return 1;
}

uint32_t GetLength(int n) {
  if (!Loaded(n)) return 0;
  SoundSlot& s = g_slots[n];
  return s.streaming ? SoundLengthMs(s.source) : s.length_ms;
}

uint32_t GetText(int n, char* buffer) {
  if (!Loaded(n) || !g_slots[n].streaming || !buffer) return 0;
  SoundSlot& s = g_slots[n];
  buffer[0] = 0;
  if (!s.source.is_ogg) return 0;
  std::lock_guard hold(s.stream_lock);
  const char* text = FindVorbisComment(s.source, "COMMENT=");
  if (!text) return 0;
  size_t length = std::min<size_t>(std::strlen(text), 255);
  std::memcpy(buffer, text, length);
  buffer[length] = 0;
  return 1;
}

uint32_t SetEffect(int n, int kind, const uint8_t* record) {
  if (!Loaded(n)) return 0;
  SoundSlot& s = g_slots[n];
  if (!record) {
    s.effects_mask &= ~(1u << kind);
    return 1;
  }
  std::memset(s.effect_fields[kind], 0, sizeof s.effect_fields[kind]);
  std::memcpy(s.effect_fields[kind], record, 4u * kEffectFieldCount[kind]);
  s.effects_mask |= 1u << kind;
  return 1;
}

uint32_t SetVolume(SoundBuffer* buffer, int32_t volume) {
  volume = std::clamp(volume, 0, 100);
  int32_t attenuation = LinearToAttenuation(volume / 100.0);
  if (buffer) {
    SetSoundBufferVolume(buffer, attenuation);
  } else {
    SetPrimaryVolume(attenuation);
  }
  return 0;
}

uint32_t SetPan(SoundBuffer* buffer, int32_t pan) {
  pan = std::clamp(pan, -100, 100);
  int32_t d = LinearToAttenuation(1 - std::abs(pan) / 100.0);
  int32_t value = pan > 0 ? -d : d;
  if (buffer) {
    SetSoundBufferPan(buffer, value);
  } else {
    SetPrimaryPan(value);
  }
  return 0;
}

uint32_t VolumeOf(int32_t attenuation) { return static_cast<uint32_t>(AttenuationToLinear(attenuation) * 100); }

uint32_t PanOf(int32_t v) {
  auto magnitude = static_cast<int32_t>((1 - AttenuationToLinear(-std::abs(v))) * 100);
  return static_cast<uint32_t>(v < 0 ? -magnitude : magnitude);
}

void FreeAllOnWindowThread(uintptr_t) {
  for (int n = 0; n < kSlotCount; ++n) {
    FreeSlot(n);
    ClearSlot(g_slots[n]);
  }
}

}  // namespace

int32_t LinearToAttenuation(double x) {
  if (x <= 0.002) return -10000;
  return static_cast<int32_t>(std::log10(x) * 3322);
}

double AttenuationToLinear(int32_t a) {
  if (a <= -10000) return 0;
  return std::pow(10.0, a / 33.22 / 100);
}

int StartSound() {
  if (!g_sound_settings.direct_sound) {
    if (!g_sound_settings.record_path.empty())
      std::fprintf(stderr, "keva: sound is off ([System] DirectSound=0): nothing is recorded\n");
    return 1;
  }
  SoundDeviceOptions options;
  options.use_hardware = g_sound_settings.use_device;
  options.record_path = g_sound_settings.record_path;
  options.paced = g_sound_settings.paced;
  if (!OpenSoundDevice(options))
    std::fprintf(stderr, "keva: cannot create the sound recording %s\n", options.record_path.c_str());
  g_device = SoundDeviceOpen();
  g_margin_ms = 0;
  return 1;
}

int StopSound() {
  FreeAllOnWindowThread(0);
  CloseSoundDevice();
  g_device = false;
  return 1;
}

void FreeAllSounds() { CallOnWindowThread(FreeAllOnWindowThread, 0); }

void PauseAllSounds() { ForSlots(-1, Pause); }
void ReplayAllSounds() { ForSlots(-1, Replay); }

bool IsSoundMessage(uint32_t number) { return number >= kMessageSoundLoad && number <= kMessageSoundSetReverb; }

uint32_t SoundEngineMessage(uint32_t number, uintptr_t w, uintptr_t l) {
  const auto slot = static_cast<int32_t>(w);
  const auto value = static_cast<int32_t>(l);
  const bool valid = slot >= 0 && slot < kSlotCount;
  switch (number) {
    case kMessageSoundLoad: return valid ? LoadStatic(slot, reinterpret_cast<const char*>(l)) : 0;
    case kMessageSoundLoadStreaming: return valid ? LoadStreaming(slot, reinterpret_cast<const char*>(l)) : 0;
    case kMessageSoundFree: return ForSlots(slot, FreeSlot);
    case kMessageSoundPlay: return valid ? Play(slot, value) : 0;
    case kMessageSoundStop: return ForSlots(slot, Stop);
    case kMessageSoundPause: return ForSlots(slot, Pause);
    case kMessageSoundReplay: return ForSlots(slot, Replay);
    case kMessagePrimarySetVolume: return g_device ? SetVolume(nullptr, value) : 0;
    case kMessagePrimaryGetVolume: return g_device ? VolumeOf(GetPrimaryVolume()) : 0;
    case kMessagePrimarySetPan: return g_device ? SetPan(nullptr, value) : 0;
    case kMessagePrimaryGetPan: return g_device ? PanOf(GetPrimaryPan()) : 0;
    case kMessageSoundSetVolume: return Loaded(slot) ? SetVolume(g_slots[slot].buffer, value) : 0;
    case kMessageSoundGetVolume: return Loaded(slot) ? VolumeOf(GetSoundBufferVolume(g_slots[slot].buffer)) : 0;
    case kMessageSoundSetPan: return Loaded(slot) ? SetPan(g_slots[slot].buffer, value) : 0;
    case kMessageSoundGetPan: return Loaded(slot) ? PanOf(GetSoundBufferPan(g_slots[slot].buffer)) : 0;
    case kMessageSoundSetFrequency:
      // Decision: slot -1 sets every loaded slot; the result is 0 when all
      // of them took the frequency.
      if (slot == -1) {
        uint32_t result = 0;
        for (int n = 0; n < kSlotCount; ++n)
          if (Loaded(n)) result |= SetFrequency(n, static_cast<uint32_t>(l));
        return result;
      }
      return SetFrequency(slot, static_cast<uint32_t>(l));
    case kMessageSoundGetFrequency: return Loaded(slot) ? GetSoundBufferFrequency(g_slots[slot].buffer) : 0;
    case kMessageSoundIsPlaying: return Loaded(slot) && SoundBufferPlaying(g_slots[slot].buffer) ? 1 : 0;
    case kMessageSoundSetLoop: return SetLoop(slot, value);
    case kMessageSoundSetPosition: return SetPosition(slot, value);
    case kMessageSoundGetPosition: return GetPosition(slot);
    case kMessageSoundGetLength: return GetLength(slot);
    case kMessageSoundGetText: return GetText(slot, reinterpret_cast<char*>(l));
    case kMessageSoundSetMargin:
      g_margin_ms = slot;
      return 1;
    default:
      if (number >= kMessageSoundSetChorus && number <= kMessageSoundSetReverb)
        return SetEffect(slot, static_cast<int>(number - kMessageSoundSetChorus), reinterpret_cast<const uint8_t*>(l));
      return 0;
  }
}

// ---- Builtins: each sends its engine message ----

namespace {

uint32_t Send(uint32_t number, int32_t w, uintptr_t l) {
  return SendEngineMessage(number, static_cast<uintptr_t>(static_cast<intptr_t>(w)), l);
}
uintptr_t Word(BuiltinArgs a, int i) { return static_cast<uintptr_t>(static_cast<intptr_t>(a.i(i))); }
// A script address as a host pointer, 0 staying 0.
uintptr_t Pointer(BuiltinArgs a, int i) { return a.u(i) ? reinterpret_cast<uintptr_t>(a.ptr(i)) : 0; }

}  // namespace

uint32_t builtin_snd_load(BuiltinArgs a) { return Send(kMessageSoundLoad, a.i(0), Pointer(a, 1)); }
uint32_t builtin_snd_loads(BuiltinArgs a) { return Send(kMessageSoundLoadStreaming, a.i(0), Pointer(a, 1)); }
uint32_t builtin_snd_free(BuiltinArgs a) { return Send(kMessageSoundFree, a.i(0), 0); }
uint32_t builtin_snd_play(BuiltinArgs a) { return Send(kMessageSoundPlay, a.i(0), Word(a, 1)); }
uint32_t builtin_snd_stop(BuiltinArgs a) { return Send(kMessageSoundStop, a.i(0), 0); }
uint32_t builtin_snd_pause(BuiltinArgs a) { return Send(kMessageSoundPause, a.i(0), 0); }
uint32_t builtin_snd_replay(BuiltinArgs a) { return Send(kMessageSoundReplay, a.i(0), 0); }
uint32_t builtin_snd_setvol(BuiltinArgs a) {
  if (a.i(0) == -1) return Send(kMessagePrimarySetVolume, 0, Word(a, 1));
  return Send(kMessageSoundSetVolume, a.i(0), Word(a, 1));
}
uint32_t builtin_snd_getvol(BuiltinArgs a) {
  if (a.i(0) == -1) return Send(kMessagePrimaryGetVolume, 0, 0);
  return Send(kMessageSoundGetVolume, a.i(0), 0);
}
uint32_t builtin_snd_setpan(BuiltinArgs a) {
  if (a.i(0) == -1) return Send(kMessagePrimarySetPan, 0, Word(a, 1));
  return Send(kMessageSoundSetPan, a.i(0), Word(a, 1));
}
uint32_t builtin_snd_getpan(BuiltinArgs a) {
  if (a.i(0) == -1) return Send(kMessagePrimaryGetPan, 0, 0);
  return Send(kMessageSoundGetPan, a.i(0), 0);
}
uint32_t builtin_snd_setfreq(BuiltinArgs a) { return Send(kMessageSoundSetFrequency, a.i(0), a.u(1)); }
uint32_t builtin_snd_getfreq(BuiltinArgs a) { return Send(kMessageSoundGetFrequency, a.i(0), 0); }
uint32_t builtin_snd_isplay(BuiltinArgs a) { return Send(kMessageSoundIsPlaying, a.i(0), 0); }
uint32_t builtin_snd_setloop(BuiltinArgs a) { return Send(kMessageSoundSetLoop, a.i(0), Word(a, 1)); }
uint32_t builtin_snd_setpos(BuiltinArgs a) { return Send(kMessageSoundSetPosition, a.i(0), Word(a, 1)); }
uint32_t builtin_snd_getpos(BuiltinArgs a) { return Send(kMessageSoundGetPosition, a.i(0), 0); }
uint32_t builtin_snd_getlen(BuiltinArgs a) { return Send(kMessageSoundGetLength, a.i(0), 0); }
uint32_t builtin_snd_gettext(BuiltinArgs a) { return Send(kMessageSoundGetText, a.i(0), Pointer(a, 1)); }
uint32_t builtin_snd_setmargin(BuiltinArgs a) { return Send(kMessageSoundSetMargin, a.i(0), 0); }
uint32_t builtin_snd_setchorus(BuiltinArgs a) { return Send(kMessageSoundSetChorus + 0, a.i(0), Pointer(a, 1)); }
uint32_t builtin_snd_setcompressor(BuiltinArgs a) { return Send(kMessageSoundSetChorus + 1, a.i(0), Pointer(a, 1)); }
uint32_t builtin_snd_setdistortion(BuiltinArgs a) { return Send(kMessageSoundSetChorus + 2, a.i(0), Pointer(a, 1)); }
uint32_t builtin_snd_setecho(BuiltinArgs a) { return Send(kMessageSoundSetChorus + 3, a.i(0), Pointer(a, 1)); }
uint32_t builtin_snd_setflanger(BuiltinArgs a) { return Send(kMessageSoundSetChorus + 4, a.i(0), Pointer(a, 1)); }
uint32_t builtin_snd_setgargle(BuiltinArgs a) { return Send(kMessageSoundSetChorus + 5, a.i(0), Pointer(a, 1)); }
uint32_t builtin_snd_setparameq(BuiltinArgs a) { return Send(kMessageSoundSetChorus + 6, a.i(0), Pointer(a, 1)); }
uint32_t builtin_snd_setreverb(BuiltinArgs a) { return Send(kMessageSoundSetChorus + 7, a.i(0), Pointer(a, 1)); }
