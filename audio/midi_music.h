// MIDI music: one Standard MIDI File at a time, played by the synthesiser
// into the mixer, with nested pauses, repeat, a position in milliseconds and
// the music volume (the volume tool scales every channel volume the file
// sets). Every midi_ builtin sends an engine message; the operations run on
// the window thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/builtin.h"

struct MidiSettings {
  int32_t direct_music = 0;      // [System] DirectMusic: 0 = no music device, every load fails
  std::string sound_font;        // [System] SoundFont (engine path), or empty
  std::string module_directory;  // the game's folder (engine path, ends with a separator)
};
inline MidiSettings g_midi_settings;

// What a Standard MIDI File holds, checked before it reaches the synth.
struct MidiFileInfo {
  bool valid = false;
  uint16_t format = 0;
  uint16_t tracks = 0;
  uint32_t end_tick = 0;     // the last event of the longest track
  uint64_t length_ms = 0;    // one pass, through the file's tempo changes
};
// Refuses a file whose chunks run past its end, whose track count is not
// there (or above 128), whose events are cut off, that sets a tempo of 0 or
// counts time in time-code frames.
MidiFileInfo ScanMidiFile(const uint8_t* data, size_t size);

// The SoundFont the music uses (host path): [System] SoundFont when set and
// found (beside the game or as given), else the first of `system_candidates`
// that is a SoundFont. Empty when there is none.
std::string FindSoundFont(const std::string& configured, const std::string& module_directory);
extern const char* const kSystemSoundFonts[];

// Engine start-up and shut-down (after the sound device). Without a SoundFont
// the music stays off and the Debug Output says why.
int StartMidi();
int StopMidi();
bool MidiStarted();
// Whenever the runtime stops.
void FreeMidi();
// Focus changes, as midi_pause and midi_replay.
void PauseMidi();
void ReplayMidi();

bool IsMidiMessage(uint32_t number);
uint32_t MidiEngineMessage(uint32_t number, uintptr_t w, uintptr_t l);

enum : uint32_t {
  kMessageMidiLoad = 1144,
  kMessageMidiFree = 1145,
  kMessageMidiPlay = 1146,
  kMessageMidiStop = 1147,
  kMessageMidiPause = 1148,
  kMessageMidiReplay = 1149,
  kMessageMidiSetVolume = 1150,
  kMessageMidiGetVolume = 1151,
  kMessageMidiIsPlaying = 1152,
  kMessageMidiGetPosition = 1153,
  kMessageMidiRepeat = 1154,
};

uint32_t builtin_midi_load(BuiltinArgs a);
uint32_t builtin_midi_free(BuiltinArgs a);
uint32_t builtin_midi_play(BuiltinArgs a);
uint32_t builtin_midi_stop(BuiltinArgs a);
uint32_t builtin_midi_pause(BuiltinArgs a);
uint32_t builtin_midi_replay(BuiltinArgs a);
uint32_t builtin_midi_setvol(BuiltinArgs a);
uint32_t builtin_midi_getvol(BuiltinArgs a);
uint32_t builtin_midi_isplay(BuiltinArgs a);
uint32_t builtin_midi_getpos(BuiltinArgs a);
uint32_t builtin_midi_repeat(BuiltinArgs a);
