#include "audio/video_playback.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "display/display_output.h"
#include "platform/error_box.h"
#include "platform/file_system.h"
#include "platform/video_decoder.h"
#include "platform/window.h"
#include "platform/window_thread.h"

namespace {

constexpr size_t kPathSize = 260;
// レンダーファイルのオープンに失敗しました。
constexpr const char* kOpenFailed =
    "\x83\x8c\x83\x93\x83\x5f\x81\x5b\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x83\x49\x81\x5b\x83\x76\x83\x93\x82\xc9"
    "\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42";

struct MediaRect {
  int32_t left, top, right, bottom;
};

struct MediaState {
  char path[kPathSize] = {};  // kept for opening the file again after a suspend
  VideoPlayer* player = nullptr;
  bool audio_only = false;
  int32_t playing = 0;
  int32_t pause_count = 0;
  int32_t repeat = 0;
  double start_position = 0;
  int32_t volume = 0;  // hundredths of a decibel
  MediaRect rect{};    // empty: the whole screen
  bool suspended = false;
  double saved_position = 0;
  int32_t saved_playing = 0, saved_pause_count = 0;
};

MediaState g_media;
// Read by the decoding thread: which opening its pictures belong to, whether
// they may show yet (from the first play on) and where they go.
std::atomic<uint32_t> g_generation{0};
std::atomic<bool> g_picture_allowed{false};
std::atomic<uint64_t> g_picture_origin{0}, g_picture_size{0};  // x, y and w, h on the screen

uint64_t Pack(int32_t a, int32_t b) { return uint64_t{static_cast<uint32_t>(a)} | uint64_t{static_cast<uint32_t>(b)} << 32; }
int32_t Low(uint64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }
int32_t High(uint64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v >> 32)); }

void OnPicture(void* user, const uint32_t* pixels, int32_t w, int32_t h) {
  if (static_cast<uint32_t>(reinterpret_cast<uintptr_t>(user)) != g_generation.load() || !g_picture_allowed.load()) return;
  const uint64_t origin = g_picture_origin.load(), size = g_picture_size.load();
  ShowVideoPicture(pixels, w, h, {Low(origin), High(origin), Low(size), High(size)});
}

void OnFinishedOnWindowThread(uintptr_t generation) {
  MediaState& m = g_media;
  if (!m.player || generation != g_generation.load()) return;
  if (m.repeat) {
    // Around again from the start, still running.
    SeekVideoPlayer(m.player, m.start_position);
    RunVideoPlayer(m.player);
    return;
  }
  m.playing = 0;
  PauseVideoPlayer(m.player);
}

void OnFinished(void* user) { PostToWindowThread(OnFinishedOnWindowThread, reinterpret_cast<uintptr_t>(user)); }

// The picture covers the script's rectangle of the screen, or the whole
// screen; the display output maps the screen onto the window (scaled and
// letterboxed, or centred 1:1), and the picture is decoded at the size it
// has there.
void Place() {
  MediaState& m = g_media;
  if (!m.player || m.audio_only) return;
  MediaRect r = m.rect;
  if (r.left == 0 && r.top == 0 && r.right == 0 && r.bottom == 0)
    r = {0, 0, g_display_settings.width, g_display_settings.height};
  const auto w = static_cast<int32_t>(std::clamp<int64_t>(int64_t{r.right} - r.left, 1, INT32_MAX));
  const auto h = static_cast<int32_t>(std::clamp<int64_t>(int64_t{r.bottom} - r.top, 1, INT32_MAX));
  const OutputRect on_screen{r.left, r.top, w, h};
  g_picture_origin = Pack(r.left, r.top);
  g_picture_size = Pack(w, h);
  OutputRect in_window = on_screen;
  const OutputRect output = PresentationRectangle();
  if (output.w > 0 && output.h > 0)
    in_window = VideoPictureRectangle(output, g_display_settings.width, g_display_settings.height, on_screen);
  SetVideoPictureSize(m.player, std::max(in_window.w, 1), std::max(in_window.h, 1));
}

void ClosePlayer() {
  MediaState& m = g_media;
  if (!m.player) return;
  m.playing = 0;
  g_picture_allowed = false;
  ++g_generation;  // pictures and ends still on their way are dropped
  CloseVideoPlayer(m.player);
  m.player = nullptr;
  HideVideoPicture();
}

// Opens the kept path. 1, or 0 after the message.
uint32_t Build() {
  MediaState& m = g_media;
  std::string host;
  if (!ResolveReadPath(m.path, host)) {
    ShowError(1, "%s", kOpenFailed);
    return 0;
  }
  const uint32_t generation = ++g_generation;
  VideoPlayerEvents events;
  events.user = reinterpret_cast<void*>(uintptr_t{generation});
  events.picture = OnPicture;
  events.finished = OnFinished;
  std::string error;
  m.player = OpenVideoPlayer(host, events, error);
  if (!m.player) {
    ShowError(1, "%s", kOpenFailed);
    return 0;
  }
  m.audio_only = !VideoPlayerHasPicture(m.player);
  m.start_position = 0;
  SetVideoPlayerVolume(m.player, m.volume);
  Place();
  return 1;
}

uint32_t Open(const char* path) {
  MediaState& m = g_media;
  m.playing = 0;
  m.pause_count = 0;
  m.suspended = false;
  ClosePlayer();
  size_t length = path ? strnlen(path, kPathSize) : 0;
  if (length == 0 || length >= kPathSize) {  // the path could not be kept whole
    ShowError(1, "%s", kOpenFailed);
    return 0;
  }
  std::memcpy(m.path, path, length);
  m.path[length] = 0;
  if (MainWindowExists() && MainWindowMinimised()) return 0;
  return Build();
}

void Run() {
  g_picture_allowed = true;
  RunVideoPlayer(g_media.player);
}

uint32_t Play() {
  MediaState& m = g_media;
  if (!m.player) return 0;
  SeekVideoPlayer(m.player, m.start_position);
  m.playing = 1;
  m.pause_count = 0;
  SetVideoPlayerVolume(m.player, m.volume);  // every play is heard at the volume set
  Run();
  return 1;
}

uint32_t Stop() {
  MediaState& m = g_media;
  if (!m.player) return 0;
  m.playing = 0;
  PauseVideoPlayer(m.player);
  return 1;
}

uint32_t Pause() {
  MediaState& m = g_media;
  if (m.pause_count++ > 0) return 1;
  if (!m.playing || !m.player) return 0;
  PauseVideoPlayer(m.player);
  return 1;
}

uint32_t Replay() {
  MediaState& m = g_media;
  if (m.pause_count <= 0) return 1;
  if (--m.pause_count > 0) return 1;
  if (!m.playing || !m.player) return 0;
  Run();
  return 1;
}

uint32_t Size(const MediaRect* r) {
  MediaState& m = g_media;
  m.rect = r ? *r : MediaRect{0, 0, g_display_settings.width, g_display_settings.height};
  Place();
  return 1;
}

uint32_t SetVolume(int32_t v) {
  MediaState& m = g_media;
  m.volume = MediaVolume(v);
  if (m.player) SetVideoPlayerVolume(m.player, m.volume);
  return 1;
}

}  // namespace

int32_t MediaVolume(int32_t v) {
  if (v > 100) return 0;
  if (v <= 0) return -10000;
  // log10(v / 100) x 5000, taken as log10(v) - 2 so that whole powers of ten come out exact.
  return static_cast<int32_t>((std::log10(static_cast<double>(v)) - 2.0) * 5000.0);
}

bool IsMediaMessage(uint32_t number) { return number >= kMessageMediaOpen && number <= kMessageMediaSetVolume; }

uint32_t MediaEngineMessage(uint32_t number, uintptr_t w, uintptr_t l) {
  switch (number) {
    case kMessageMediaOpen: return Open(reinterpret_cast<const char*>(w));
    case kMessageMediaClose:
      ClosePlayer();
      return 1;
    case kMessageMediaPlay: return Play();
    case kMessageMediaStop: return Stop();
    case kMessageMediaPause: return Pause();
    case kMessageMediaReplay: return Replay();
    case kMessageMediaIsPlaying: return static_cast<uint32_t>(g_media.playing);
    case kMessageMediaRepeat:
      g_media.repeat = static_cast<int32_t>(w);
      return 1;
    case kMessageMediaSize: return Size(reinterpret_cast<const MediaRect*>(w));
    case kMessageMediaSetVolume: return SetVolume(static_cast<int32_t>(l));
    default: return 0;
  }
}

void ReleaseMedia() {
  ClosePlayer();
  g_media = MediaState{};
}

void PlaceMedia() { Place(); }
void PauseMedia() { Pause(); }
void ReplayMedia() { Replay(); }

void SuspendMedia() {
  MediaState& m = g_media;
  if (!m.player) return;
  m.saved_playing = m.playing;
  m.saved_pause_count = m.pause_count;
  m.saved_position = VideoPlayerPosition(m.player);
  ClosePlayer();
  m.suspended = true;
}

void ResumeMedia() {
  MediaState& m = g_media;
  if (!m.suspended) return;
  m.suspended = false;
  if (!Build()) return;
  SeekVideoPlayer(m.player, m.saved_position);
  m.playing = m.pause_count = 0;
  if (m.saved_playing) {
    m.playing = 1;
    Run();
  }
  if (m.saved_pause_count > 0) {
    PauseVideoPlayer(m.player);
    m.pause_count = m.saved_pause_count;
  }
}

namespace {

uint32_t Send(uint32_t number, uintptr_t w, uintptr_t l) { return SendEngineMessage(number, w, l); }

}  // namespace

uint32_t builtin_media_open(BuiltinArgs a) { return Send(kMessageMediaOpen, a.u(0) ? reinterpret_cast<uintptr_t>(a.str(0)) : 0, 0); }
uint32_t builtin_media_close(BuiltinArgs) { return Send(kMessageMediaClose, 0, 0); }
uint32_t builtin_media_play(BuiltinArgs) { return Send(kMessageMediaPlay, 0, 0); }
uint32_t builtin_media_stop(BuiltinArgs) { return Send(kMessageMediaStop, 0, 0); }
uint32_t builtin_media_pause(BuiltinArgs) { return Send(kMessageMediaPause, 0, 0); }
uint32_t builtin_media_replay(BuiltinArgs) { return Send(kMessageMediaReplay, 0, 0); }
uint32_t builtin_media_isplay(BuiltinArgs) { return Send(kMessageMediaIsPlaying, 0, 0); }
uint32_t builtin_media_repeat(BuiltinArgs a) { return Send(kMessageMediaRepeat, static_cast<uintptr_t>(static_cast<intptr_t>(a.i(0))), 0); }
uint32_t builtin_media_size(BuiltinArgs a) {
  const uint32_t addr = a.u(0);
  if (addr && !InArena(addr, 16)) return 0;
  return Send(kMessageMediaSize, addr ? reinterpret_cast<uintptr_t>(ToHost(addr)) : 0, 0);
}
uint32_t builtin_media_setvol(BuiltinArgs a) { return Send(kMessageMediaSetVolume, 0, static_cast<uintptr_t>(static_cast<intptr_t>(a.i(0)))); }
