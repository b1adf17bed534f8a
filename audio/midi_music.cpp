#include "audio/midi_music.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "files/file_layer.h"
#include "platform/debug_output.h"
#include "platform/directory.h"
#include "platform/file_system.h"
#include "platform/midi_synth.h"
#include "platform/sound_device.h"
#include "platform/window_thread.h"

// ---- The file check ----

namespace {

constexpr uint16_t kMostTracks = 128;  // what the synthesiser's player takes
constexpr uint32_t kDefaultTempo = 500000;

struct Reader {
  const uint8_t* at;
  const uint8_t* end;
  bool ok = true;
  uint8_t Byte() {
    if (at >= end) {
      ok = false;
      return 0;
    }
    return *at++;
  }
  uint32_t Number() {  // a variable-length quantity, four bytes at most
    uint32_t v = 0;
    for (int n = 0; n < 4; ++n) {
      uint8_t b = Byte();
      v = (v << 7) | (b & 0x7F);
      if (!(b & 0x80)) return v;
    }
    ok = false;
    return 0;
  }
  void Skip(uint32_t count) {
    if (static_cast<size_t>(end - at) < count) {
      ok = false;
      at = end;
    } else {
      at += count;
    }
  }
};

uint32_t Big32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }
uint16_t Big16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

struct TempoChange {
  uint64_t tick;
  uint32_t tempo;
};

// One track's events: its end tick and its tempo changes. False when the
// events are cut off, malformed or set a tempo of 0.
bool ScanTrack(Reader r, uint64_t& end_tick, std::vector<TempoChange>& tempos) {
  uint64_t tick = 0;
  uint8_t running = 0;
  while (r.at < r.end) {
    tick += r.Number();
    uint8_t status = r.Byte();
    if (!r.ok) return false;
    if (status == 0xFF) {
      uint8_t type = r.Byte();
      uint32_t length = r.Number();
      if (!r.ok) return false;
      // The player's reader refuses these with any other length.
      if ((type == 0x54 && length != 5) || (type == 0x58 && length != 4) || (type == 0x59 && length != 2)) return false;
      if (type == 0x51) {
        if (length != 3 || r.end - r.at < 3) return false;
        uint32_t tempo = uint32_t{r.at[0]} << 16 | uint32_t{r.at[1]} << 8 | r.at[2];
        if (tempo == 0) return false;
        tempos.push_back({tick, tempo});
      }
      r.Skip(length);
      if (!r.ok) return false;
      if (type == 0x2F) break;
      continue;
    }
    if (status == 0xF0 || status == 0xF7) {
      r.Skip(r.Number());
      if (!r.ok) return false;
      continue;
    }
    if (status < 0x80) {  // running status: this byte is the first data byte
      if (!running) return false;
      --r.at;
      status = running;
    } else if (status >= 0xF0) {
      return false;  // system messages have no place in a file
    }
    running = status;
    uint8_t kind = status & 0xF0;
    r.Skip(kind == 0xC0 || kind == 0xD0 ? 1 : 2);
    if (!r.ok) return false;
  }
  end_tick = tick;
  return true;
}

}  // namespace

MidiFileInfo ScanMidiFile(const uint8_t* data, size_t size) {
  MidiFileInfo info;
  if (!data || size < 14 || std::memcmp(data, "MThd", 4) != 0) return info;
  uint32_t header_length = Big32(data + 4);
  if (header_length < 6 || header_length > size - 8) return info;
  info.format = Big16(data + 8);
  info.tracks = Big16(data + 10);
  uint16_t division = Big16(data + 12);
  if (info.format > 2 || info.tracks == 0 || info.tracks > kMostTracks || division == 0) return info;
  // Time-code divisions (frames per second and ticks per frame) are refused:
  // the synthesiser's player misreads them and can spin on them.
  if (division & 0x8000) return info;
  const double ms_per_tick_at_tempo = 1.0 / (1000.0 * division);  // for a tempo of 1 microsecond per quarter
  std::vector<TempoChange> tempos;
  uint64_t end_tick = 0;
  size_t at = 8 + header_length;
  int found = 0;
  while (found < info.tracks) {
    if (size - at < 8) return info;  // a track the header counts is not there
    uint32_t length = Big32(data + at + 4);
    if (length > size - at - 8) return info;  // the chunk runs past the end of the file
    if (std::memcmp(data + at, "MTrk", 4) == 0) {
      uint64_t track_end = 0;
      if (!ScanTrack(Reader{data + at + 8, data + at + 8 + length}, track_end, tempos)) return info;
      end_tick = std::max(end_tick, track_end);
      ++found;
    }
    at += 8 + size_t{length};
  }
  if (end_tick > UINT32_MAX) return info;
  info.end_tick = static_cast<uint32_t>(end_tick);
  std::stable_sort(tempos.begin(), tempos.end(), [](auto& a, auto& b) { return a.tick < b.tick; });
  double ms = 0;
  uint64_t tick = 0;
  uint32_t tempo = kDefaultTempo;
  for (const TempoChange& change : tempos) {
    if (change.tick >= end_tick) break;
    ms += static_cast<double>(change.tick - tick) * tempo * ms_per_tick_at_tempo;
    tick = change.tick;
    tempo = change.tempo;
  }
  ms += static_cast<double>(end_tick - tick) * tempo * ms_per_tick_at_tempo;
  info.length_ms = static_cast<uint64_t>(ms);
  info.valid = true;
  return info;
}

// ---- The SoundFont ----

const char* const kSystemSoundFonts[] = {
    "/usr/share/sounds/sf2/default-GM.sf2", "/usr/share/sounds/sf3/default-GM.sf3",
    "/usr/share/sounds/sf2/FluidR3_GM.sf2", "/usr/share/sounds/sf3/FluidR3_GM.sf3",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",   nullptr,
};

std::string FindSoundFont(const std::string& configured, const std::string& module_directory) {
  std::string host;
  if (!configured.empty()) {
    if (ResolveReadPath(module_directory + configured, host) && IsSoundFontFile(host)) return host;
    if (ResolveReadPath(configured, host) && IsSoundFontFile(host)) return host;
  }
  for (const char* const* p = kSystemSoundFonts; *p; ++p)
    if (CanReadHostFile(*p) && IsSoundFontFile(*p)) return *p;
  return {};
}

// ---- The music ----

namespace {

struct Music {
  bool started = false;  // the synthesiser is there
  bool loaded = false;
  bool repeat = false;
  bool play_repeats = false;  // the repeat flag the current play started with
  int32_t pause_count = 0;
  uint64_t length_ms = 0;
  uint32_t end_tick = 0;
};
Music g_music;

uint64_t PlayedMs() {
  uint32_t rate = SoundDeviceRate();
  return rate ? MidiSynthFramesPlayed() * 1000 / rate : 0;
}

// The synthesiser lets the last notes ring out after the end of a pass; the
// music counts as playing until the end of the file's events.
bool Playing() {
  if (!g_music.loaded || g_music.pause_count != 0 || !MidiSynthRunning()) return false;
  return g_music.play_repeats || PlayedMs() < g_music.length_ms;
}

// A file whose last event is at tick 0 never repeats: the player would
// start it again and again within one render.
bool Repeats() { return g_music.repeat && g_music.end_tick > 0; }

bool Start() {
  g_music.play_repeats = Repeats();
  return MidiSynthStart(g_music.play_repeats);
}

uint32_t Stop() {
  if (g_music.loaded) MidiSynthStop();
  return 1;
}

uint32_t Free() {
  if (g_music.loaded) MidiSynthUnload();
  g_music.loaded = false;
  g_music.length_ms = 0;
  g_music.end_tick = 0;
  return 1;
}

uint32_t Load(const char* path) {
  if (!path || !g_music.started) return 0;
  Free();
  ExpFile* file = OpenExpFile(path);
  if (!file) return 0;
  int32_t size = GetExpFileSize(file);
  std::vector<uint8_t> block(size > 0 ? static_cast<size_t>(size) : 0);
  uint32_t read = 0;
  bool ok = size > 0 && ReadExpFile(file, block.data(), static_cast<uint32_t>(size), &read) &&
            read == static_cast<uint32_t>(size);
  CloseExpFile(file);
  if (!ok) return 0;
  MidiFileInfo info = ScanMidiFile(block.data(), block.size());
  if (!info.valid || !MidiSynthLoad(block.data(), block.size())) return 0;
  g_music.loaded = true;
  g_music.length_ms = info.length_ms;
  g_music.end_tick = info.end_tick;
  return 1;
}

uint32_t Play() {
  g_music.pause_count = 0;
  if (!g_music.loaded) return 1;
  Stop();
  return Start() ? 1 : 0;
}

uint32_t Pause() {
  if (g_music.pause_count > 0) ++g_music.pause_count;
  if (!Playing()) return 1;
  g_music.pause_count = 1;
  MidiSynthHold(true);
  return 1;
}

uint32_t Replay() {
  if (g_music.pause_count == 0) return 1;
  if (--g_music.pause_count > 0) return 1;
  if (!g_music.loaded) return 1;
  // A held play continues where it stopped; after midi_stop the music
  // starts again from its beginning.
  if (MidiSynthRunning()) {
    g_music.play_repeats = Repeats();
    MidiSynthSetRepeat(g_music.play_repeats);
    MidiSynthHold(false);
    return 1;
  }
  return Start() ? 1 : 0;
}

uint32_t Position() {
  if (!Playing()) return 0;
  uint64_t ms = PlayedMs();
  if (g_music.length_ms > 0) ms %= g_music.length_ms;
  return static_cast<uint32_t>(ms);
}

}  // namespace

int StartMidi() {
  g_music = Music{};
  if (!g_midi_settings.direct_music) return 1;
  if (!SoundDeviceOpen()) {
    DebugOutputAppend("MIDI: no music, because the sound device is off ([System] DirectSound=0)");
    return 1;
  }
  std::string sound_font = FindSoundFont(g_midi_settings.sound_font, g_midi_settings.module_directory);
  if (sound_font.empty()) {
    DebugOutputAppend(
        "MIDI: no music, because no General MIDI SoundFont was found ([System] SoundFont, "
        "/usr/share/sounds/sf2/default-GM.sf2, /usr/share/sounds/sf3/default-GM.sf3)");
    return 1;
  }
  std::string error;
  if (!OpenMidiSynth(sound_font, SoundDeviceRate(), error)) {
    DebugOutputAppend("MIDI: no music, because " + error);
    return 1;
  }
  g_music.started = true;
  return 1;
}

int StopMidi() {
  Free();
  if (g_music.started) CloseMidiSynth();
  g_music = Music{};
  return 1;
}

bool MidiStarted() { return g_music.started; }

void FreeMidi() {
  Free();
  g_music.pause_count = 0;
  g_music.repeat = false;
}

void PauseMidi() { Pause(); }
void ReplayMidi() { Replay(); }

bool IsMidiMessage(uint32_t number) { return number >= kMessageMidiLoad && number <= kMessageMidiRepeat; }

uint32_t MidiEngineMessage(uint32_t number, uintptr_t w, uintptr_t l) {
  switch (number) {
    case kMessageMidiLoad: return Load(reinterpret_cast<const char*>(l));
    case kMessageMidiFree: return Free();
    case kMessageMidiPlay: return Play();
    case kMessageMidiStop: return Stop();
    case kMessageMidiPause: return Pause();
    case kMessageMidiReplay: return Replay();
    case kMessageMidiSetVolume:
      if (g_music.loaded) MidiSynthSetVolume(std::clamp(static_cast<int32_t>(l), 0, 100), true);
      return 1;
    case kMessageMidiGetVolume: return g_music.loaded ? static_cast<uint32_t>(MidiSynthVolume()) : 0;
    case kMessageMidiIsPlaying: return Playing() ? 1 : 0;
    case kMessageMidiGetPosition: return Position();
    case kMessageMidiRepeat:
      g_music.repeat = w != 0;
      return 1;
    default: return 0;
  }
}

// ---- Builtins: each sends its engine message ----

namespace {
uintptr_t Pointer(BuiltinArgs a, int i) { return a.u(i) ? reinterpret_cast<uintptr_t>(a.ptr(i)) : 0; }
uintptr_t Word(BuiltinArgs a, int i) { return static_cast<uintptr_t>(static_cast<intptr_t>(a.i(i))); }
}  // namespace

uint32_t builtin_midi_load(BuiltinArgs a) { return SendEngineMessage(kMessageMidiLoad, 0, Pointer(a, 0)); }
uint32_t builtin_midi_free(BuiltinArgs) { return SendEngineMessage(kMessageMidiFree, 0, 0); }
uint32_t builtin_midi_play(BuiltinArgs) { return SendEngineMessage(kMessageMidiPlay, 0, 0); }
uint32_t builtin_midi_stop(BuiltinArgs) { return SendEngineMessage(kMessageMidiStop, 0, 0); }
uint32_t builtin_midi_pause(BuiltinArgs) { return SendEngineMessage(kMessageMidiPause, 0, 0); }
uint32_t builtin_midi_replay(BuiltinArgs) { return SendEngineMessage(kMessageMidiReplay, 0, 0); }
uint32_t builtin_midi_setvol(BuiltinArgs a) { return SendEngineMessage(kMessageMidiSetVolume, 0, Word(a, 0)); }
uint32_t builtin_midi_getvol(BuiltinArgs) { return SendEngineMessage(kMessageMidiGetVolume, 0, 0); }
uint32_t builtin_midi_isplay(BuiltinArgs) { return SendEngineMessage(kMessageMidiIsPlaying, 0, 0); }
uint32_t builtin_midi_getpos(BuiltinArgs) { return SendEngineMessage(kMessageMidiGetPosition, 0, 0); }
uint32_t builtin_midi_repeat(BuiltinArgs a) { return SendEngineMessage(kMessageMidiRepeat, Word(a, 0), 0); }
