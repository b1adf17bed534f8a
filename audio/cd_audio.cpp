#include "audio/cd_audio.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio_file_stream.h"
#include "platform/directory.h"
#include "platform/file_system.h"
#include "platform/sound_device.h"
#include "platform/window_thread.h"

// ---- The disc folder ----

namespace {

bool IsAudioExtension(std::string_view ext) {
  static constexpr std::string_view kExtensions[] = {"wav", "flac", "ogg", "oga", "opus", "mp3", "aif", "aiff"};
  for (std::string_view known : kExtensions) {
    if (known.size() != ext.size()) continue;
    bool same = true;
    for (size_t i = 0; i < ext.size(); ++i)
      if ((ext[i] | 0x20) != known[i]) same = false;
    if (same) return true;
  }
  return false;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

}  // namespace

int CdTrackNumber(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || !IsAudioExtension(name.substr(dot + 1))) return 0;
  std::string_view stem = name.substr(0, dot);
  size_t at = 0;
  while (at < stem.size() && (IsLetter(stem[at]) || stem[at] == ' ' || stem[at] == '_' || stem[at] == '-')) ++at;
  int number = 0;
  size_t digits = 0;
  while (at < stem.size() && IsDigit(stem[at]) && digits < 3) {
    number = number * 10 + (stem[at++] - '0');
    ++digits;
  }
  if (digits == 0 || (at < stem.size() && IsDigit(stem[at]))) return 0;
  return number >= 1 && number <= kCdMostTracks ? number : 0;
}

std::string FindDiscFolder() {
  const std::string& base = g_cd_settings.module_directory;
  std::string host;
  if (!g_cd_settings.folder.empty()) {
    HostEntryInfo info;
    for (const std::string& path : {base + g_cd_settings.folder, g_cd_settings.folder})
      if (ResolveReadPath(path, host) && GetHostEntryInfo(host, info) && info.directory) return host;
    return {};
  }
  for (const char* name : {"CD", "cdda"}) {
    HostEntryInfo info;
    if (ResolveReadPath(base + name, host) && GetHostEntryInfo(host, info) && info.directory) return host;
  }
  return {};
}

// ---- The CD state ----

namespace {

constexpr int32_t kFullLevel = 10000;
constexpr int32_t kFadeStep = 313;
constexpr uint32_t kRingFrames = 16384;
constexpr uint32_t kDecodeFrames = 2048;

struct Disc {
  int track_count = 0;
  int audio_track_count = 0;
  std::array<uint32_t, kCdMostTracks> lengths{};  // seconds
  std::array<uint8_t, kCdMostTracks> audio{};
  std::array<std::string, kCdMostTracks> paths;
};

struct Cd {
  bool on = false;
  std::string folder;  // host path of the disc, empty: no drive
  Disc disc;
  bool playing = false;
  int32_t pause_count = 0;
  int current = 0;
  int32_t repeat = 0;
  bool door_open = false;
  int32_t fade_level = kFullLevel;
  int32_t fade_step = 0;
  bool stop_after_fade = false;
  std::chrono::steady_clock::duration fade_period{};
  std::chrono::steady_clock::time_point next_fade{};
  int32_t volume = 100;
  AudioFileStream* stream = nullptr;
  bool decoded_all = false;
  int mixer_stream = -1;
  std::thread thread;
  bool quit = false;
  std::condition_variable wake;
};
Cd g_cd;
std::mutex g_cd_lock;  // everything above, between the window thread and the CD thread

// What the mixing thread reads. The ring is one producer (the CD thread, or
// the window thread while it holds g_cd_lock) and one consumer (the mixer).
struct Ring {
  std::vector<float> samples = std::vector<float>(2 * kRingFrames);
  std::atomic<uint64_t> written{0};
  std::atomic<uint64_t> read{0};
  std::atomic<bool> running{false};  // a track plays and is not paused
  std::atomic<float> gain{1.0f};
  std::mutex reset;  // held by the mixer while it reads; the mixer only ever tries it
};
Ring g_ring;

void Fill(void*, float* out, uint32_t frames, uint32_t) {
  std::unique_lock guard(g_ring.reset, std::try_to_lock);
  uint32_t done = 0;
  if (guard.owns_lock() && g_ring.running.load(std::memory_order_acquire)) {
    uint64_t read = g_ring.read.load(std::memory_order_relaxed);
    uint64_t written = g_ring.written.load(std::memory_order_acquire);
    done = static_cast<uint32_t>(std::min<uint64_t>(written - read, frames));
    float gain = g_ring.gain.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < done; ++i) {
      size_t at = 2 * ((read + i) % kRingFrames);
      out[2 * i] = g_ring.samples[at] * gain;
      out[2 * i + 1] = g_ring.samples[at + 1] * gain;
    }
    g_ring.read.store(read + done, std::memory_order_release);
  }
  std::fill(out + 2 * static_cast<size_t>(done), out + 2 * static_cast<size_t>(frames), 0.0f);
}

// ---- With g_cd_lock held ----

void ApplyGain() {
  g_ring.gain.store(static_cast<float>(g_cd.fade_level) / kFullLevel * static_cast<float>(g_cd.volume) / 100.0f,
                    std::memory_order_relaxed);
}

void SetRunning() { g_ring.running.store(g_cd.playing && g_cd.pause_count == 0, std::memory_order_release); }

void EmptyRing() {
  std::lock_guard guard(g_ring.reset);
  g_ring.running = false;
  g_ring.read = 0;
  g_ring.written = 0;
}

// Decodes into the ring while it has room.
void Refill() {
  if (!g_cd.stream || g_cd.decoded_all) return;
  float block[2 * kDecodeFrames];
  for (;;) {
    uint64_t written = g_ring.written.load(std::memory_order_relaxed);
    uint64_t room = kRingFrames - (written - g_ring.read.load(std::memory_order_acquire));
    if (room < kDecodeFrames) return;
    uint32_t got = ReadAudioFileStream(g_cd.stream, block, kDecodeFrames);
    for (uint32_t i = 0; i < got; ++i) {
      size_t at = 2 * ((written + i) % kRingFrames);
      g_ring.samples[at] = block[2 * i];
      g_ring.samples[at + 1] = block[2 * i + 1];
    }
    g_ring.written.store(written + got, std::memory_order_release);
    if (got < kDecodeFrames) {
      g_cd.decoded_all = true;
      return;
    }
  }
}

void CloseTrack() {
  EmptyRing();
  CloseAudioFileStream(g_cd.stream);
  g_cd.stream = nullptr;
  g_cd.decoded_all = false;
}

// Starts track t from its beginning (the play itself, also for the next
// track of a repeat mode). False when it cannot play.
bool StartTrack(int t) {
  CloseTrack();
  if (t < 1 || t > g_cd.disc.track_count || !g_cd.disc.audio[t - 1] || g_cd.mixer_stream < 0) return false;
  g_cd.stream = OpenAudioFileStream(g_cd.disc.paths[t - 1], SoundDeviceRate());
  if (!g_cd.stream) return false;
  g_cd.current = t;
  Refill();
  return true;
}

uint32_t Stop() {
  if (!g_cd.playing) return 1;
  g_cd.playing = false;
  g_cd.pause_count = 0;
  g_cd.current = 0;
  CloseTrack();
  return 1;
}

uint32_t PlayTrack(int t) {
  if (g_cd.playing) return 1;
  if (!StartTrack(t)) {
    CloseTrack();
    return 0;
  }
  g_cd.playing = true;
  g_cd.pause_count = 0;
  SetRunning();
  g_cd.wake.notify_all();
  return 1;
}

void ClearDisc() { g_cd.disc = Disc{}; }

void ReadDisc() {
  ClearDisc();
  if (g_cd.folder.empty()) return;
  std::vector<std::string> names;
  if (!ListHostFolder(g_cd.folder, names)) return;
  std::sort(names.begin(), names.end());
  Disc& d = g_cd.disc;
  for (const std::string& name : names) {
    int t = CdTrackNumber(name);
    if (t == 0 || !d.paths[t - 1].empty()) continue;
    d.paths[t - 1] = g_cd.folder + "/" + name;
    AudioFileInfo info;
    if (ProbeAudioFile(d.paths[t - 1], info)) {  // an unreadable file stays a track that does not play
      d.audio[t - 1] = 1;
      d.lengths[t - 1] = info.Seconds();
    }
    d.track_count = std::max(d.track_count, t);
  }
  for (int t = 0; t < d.track_count; ++t) d.audio_track_count += d.audio[t];
}

// The next track after a track end, 0 for none.
int NextTrack() {
  const Disc& d = g_cd.disc;
  int current = g_cd.current;
  switch (g_cd.repeat) {
    case 1: return current;
    case 2:
      for (int t = current + 1; t <= d.track_count; ++t)
        if (d.audio[t - 1]) return t;
      return 0;
    case 3:
      for (int step = 1; step < d.track_count; ++step) {
        int t = (current - 1 + step) % d.track_count + 1;
        if (d.audio[t - 1]) return t;
      }
      return 0;
    default: return 0;
  }
}

void TrackEnded() {
  int next = NextTrack();
  if (next == 0 || !StartTrack(next)) {
    Stop();
    return;
  }
  SetRunning();
}

void SetFadeLevel(int32_t level) {
  g_cd.fade_level = std::clamp(level, 0, kFullLevel);
  ApplyGain();
}

void StartFade(int32_t step, int32_t milliseconds, bool stop_after) {
  g_cd.fade_step = step;
  g_cd.stop_after_fade = stop_after;
  g_cd.fade_period = std::chrono::milliseconds(std::max(1, milliseconds / 32));
  g_cd.next_fade = std::chrono::steady_clock::now() + g_cd.fade_period;
  g_cd.wake.notify_all();
}

void EndFade() {
  g_cd.fade_step = 0;
  SetFadeLevel(kFullLevel);
}

// One pass of the CD thread: the fade ticks that are due, the ring, the track end.
void Tick() {
  auto now = std::chrono::steady_clock::now();
  while (g_cd.fade_step != 0 && now >= g_cd.next_fade) {
    g_cd.next_fade += g_cd.fade_period;
    SetFadeLevel(g_cd.fade_level + g_cd.fade_step);
    if (g_cd.fade_level == 0 || g_cd.fade_level == kFullLevel) {
      g_cd.fade_step = 0;
      if (g_cd.stop_after_fade) {
        Stop();
        SetFadeLevel(kFullLevel);
      }
    }
  }
  if (!g_cd.playing) return;
  Refill();
  if (g_cd.decoded_all && g_ring.read.load(std::memory_order_acquire) == g_ring.written.load(std::memory_order_acquire))
    TrackEnded();
}

void CdThread() {
  std::unique_lock guard(g_cd_lock);
  while (!g_cd.quit) {
    Tick();
    // Idle, the thread only looks in now and then; a play or a fade wakes it.
    bool busy = g_cd.playing || g_cd.fade_step != 0;
    g_cd.wake.wait_for(guard, std::chrono::milliseconds(busy ? 5 : 200));
  }
}

uint32_t Play(int t, int32_t fade) {
  if (!g_cd.on) return 0;
  Stop();
  bool fading = g_cd.fade_step != 0;
  g_cd.fade_step = 0;
  if (fade <= 0) {
    if (fading) EndFade();
    return PlayTrack(t);
  }
  SetFadeLevel(0);
  uint32_t result = PlayTrack(t);
  StartFade(kFadeStep, fade, false);
  return result;
}

uint32_t StopWithFade(int32_t fade) {
  if (!g_cd.on) return 0;
  if (!g_cd.playing) return 1;
  bool fading = g_cd.fade_step != 0;
  g_cd.fade_step = 0;
  if (fade <= 0) {
    uint32_t result = Stop();
    if (fading) EndFade();
    return result;
  }
  StartFade(-kFadeStep, fade, true);
  return 1;
}

uint32_t Pause() {
  if (!g_cd.on) return 0;
  if (g_cd.pause_count > 0) {
    ++g_cd.pause_count;
  } else if (g_cd.playing) {
    g_cd.pause_count = 1;
    SetRunning();
  }
  return 1;
}

uint32_t Replay() {
  if (!g_cd.on) return 0;
  if (g_cd.pause_count == 0) return 1;
  if (--g_cd.pause_count == 0) SetRunning();
  return 1;
}

uint32_t Elapsed() {
  uint32_t rate = SoundDeviceRate();
  return rate ? static_cast<uint32_t>(g_ring.read.load(std::memory_order_acquire) / rate) : 0;
}

uint32_t Position(int32_t kind) {
  if (!g_cd.playing || g_cd.current < 1) return 0;
  const Disc& d = g_cd.disc;
  int64_t e = Elapsed();
  int64_t remaining = int64_t{d.lengths[g_cd.current - 1]} - e - 2;
  int64_t result = e;
  if (kind == 1) {
    result = remaining;
  } else if (kind == 2) {
    for (int t = 1; t < g_cd.current; ++t)
      if (d.audio[t - 1]) result += int64_t{d.lengths[t - 1]} - 2;
  } else if (kind == 3) {
    result = remaining;
    for (int t = g_cd.current + 1; t <= d.track_count; ++t)
      if (d.audio[t - 1]) result += int64_t{d.lengths[t - 1]} - 2;
  }
  return result < 0 ? 0 : static_cast<uint32_t>(std::min<int64_t>(result, INT32_MAX));
}

uint32_t Length(int32_t t) {
  const Disc& d = g_cd.disc;
  if (t > 0) return t <= d.track_count ? d.lengths[t - 1] : 0;
  if (t < 0) return 0;
  uint32_t total = 0;
  for (int n = 0; n < d.track_count; ++n) total += d.lengths[n];
  return total;
}

uint32_t Eject() {
  if (!g_cd.on || g_cd.folder.empty()) return 0;
  g_cd.door_open = !g_cd.door_open;
  if (g_cd.door_open) {
    Stop();
    ClearDisc();
  } else {
    ReadDisc();
  }
  return 1;
}

}  // namespace

int StartCdAudio() {
  StopCdAudio();
  if (!g_cd_settings.cd) return 1;
  std::lock_guard guard(g_cd_lock);
  g_cd.on = true;
  g_cd.folder = FindDiscFolder();
  g_cd.fade_level = kFullLevel;
  g_cd.volume = 100;
  ApplyGain();
  ReadDisc();
  g_cd.mixer_stream = AddSoundStream(Fill, nullptr);
  g_cd.quit = false;
  g_cd.thread = std::thread(CdThread);
  return 1;
}

int StopCdAudio() {
  std::thread thread;
  {
    std::lock_guard guard(g_cd_lock);
    if (!g_cd.on) return 1;
    Stop();
    g_cd.quit = true;
    g_cd.wake.notify_all();
    thread = std::move(g_cd.thread);
  }
  if (thread.joinable()) thread.join();
  std::lock_guard guard(g_cd_lock);
  if (g_cd.mixer_stream >= 0) RemoveSoundStream(g_cd.mixer_stream);
  g_cd.mixer_stream = -1;
  CloseTrack();
  g_cd.on = false;
  g_cd.disc = Disc{};
  g_cd.repeat = 0;
  g_cd.door_open = false;
  g_cd.fade_step = 0;
  return 1;
}

void StopCdPlay() {
  std::lock_guard guard(g_cd_lock);
  if (g_cd.fade_step != 0) EndFade();
  Stop();
}

void PauseCd() {
  std::lock_guard guard(g_cd_lock);
  Pause();
}

void ReplayCd() {
  std::lock_guard guard(g_cd_lock);
  Replay();
}

bool IsCdMessage(uint32_t number) { return number >= kMessageCdPlay && number <= kMessageCdEject; }

uint32_t CdEngineMessage(uint32_t number, uintptr_t w, uintptr_t l) {
  std::lock_guard guard(g_cd_lock);
  int32_t wv = static_cast<int32_t>(static_cast<intptr_t>(w));
  int32_t lv = static_cast<int32_t>(static_cast<intptr_t>(l));
  switch (number) {
    case kMessageCdPlay: return Play(wv, lv);
    case kMessageCdStop: return StopWithFade(lv);
    case kMessageCdPause: return Pause();
    case kMessageCdReplay: return Replay();
    case kMessageCdSetVolume:
      g_cd.volume = std::clamp(lv, 0, 100);
      ApplyGain();
      return 1;
    case kMessageCdGetVolume: return static_cast<uint32_t>(g_cd.volume);
    case kMessageCdIsPlaying: return g_cd.playing && g_cd.pause_count == 0 ? 1 : 0;
    case kMessageCdGetPosition: return Position(lv);
    case kMessageCdGetLength: return Length(wv);
    case kMessageCdRepeat: {
      int32_t previous = g_cd.repeat;
      g_cd.repeat = wv;
      return static_cast<uint32_t>(previous);
    }
    case kMessageCdEject: return Eject();
    default: return 0;
  }
}

// ---- Builtins: each sends its engine message ----

namespace {
uintptr_t Word(BuiltinArgs a, int i) { return static_cast<uintptr_t>(static_cast<intptr_t>(a.i(i))); }
}  // namespace

uint32_t builtin_cd_play(BuiltinArgs a) { return SendEngineMessage(kMessageCdPlay, Word(a, 0), Word(a, 1)); }
uint32_t builtin_cd_stop(BuiltinArgs a) { return SendEngineMessage(kMessageCdStop, 0, Word(a, 0)); }
uint32_t builtin_cd_pause(BuiltinArgs) { return SendEngineMessage(kMessageCdPause, 0, 0); }
uint32_t builtin_cd_replay(BuiltinArgs) { return SendEngineMessage(kMessageCdReplay, 0, 0); }
uint32_t builtin_cd_setvol(BuiltinArgs a) { return SendEngineMessage(kMessageCdSetVolume, 0, Word(a, 0)); }
uint32_t builtin_cd_getvol(BuiltinArgs) { return SendEngineMessage(kMessageCdGetVolume, 0, 0); }
uint32_t builtin_cd_isplay(BuiltinArgs) { return SendEngineMessage(kMessageCdIsPlaying, 0, 0); }
uint32_t builtin_cd_getpos(BuiltinArgs a) { return SendEngineMessage(kMessageCdGetPosition, 0, Word(a, 0)); }
uint32_t builtin_cd_getlen(BuiltinArgs a) { return SendEngineMessage(kMessageCdGetLength, Word(a, 0), 0); }
uint32_t builtin_cd_repeat(BuiltinArgs a) { return SendEngineMessage(kMessageCdRepeat, Word(a, 0), 0); }
uint32_t builtin_cd_eject(BuiltinArgs) { return SendEngineMessage(kMessageCdEject, 0, 0); }
