// The MIDI synthesiser lives in a module of its own (libkeva_midi.so, beside
// the engine in the build tree and in lib/keva when installed), so that
// FluidSynth and the many libraries it brings are only loaded by a run that
// plays music. The engine loads it when a synth is first opened or a SoundFont
// first looked at, and reaches it through these two tables: the module's
// calls, and the mixer calls the module makes into the engine.
#pragma once
#include <cstdint>

#include "platform/midi_synth.h"
#include "platform/sound_device.h"

// Raised whenever either table changes: a module built for another engine is
// refused instead of being called with the wrong table.
constexpr uint32_t kMidiModuleVersion = 1;
constexpr const char* kMidiModuleName = "libkeva_midi.so";
constexpr const char* kMidiModuleEntry = "keva_midi_module_start";

struct MidiModuleHost {
  int (*add_sound_stream)(SoundStreamFill fill, void* user);
  void (*remove_sound_stream)(int id);
};

struct MidiModuleCalls {
  decltype(&OpenMidiSynth) open;
  decltype(&CloseMidiSynth) close;
  decltype(&MidiSynthOpen) is_open;
  decltype(&IsSoundFontFile) is_sound_font;
  decltype(&MidiSynthLoad) load;
  decltype(&MidiSynthUnload) unload;
  decltype(&MidiSynthStart) start;
  decltype(&MidiSynthSetRepeat) set_repeat;
  decltype(&MidiSynthStop) stop;
  decltype(&MidiSynthHold) hold;
  decltype(&MidiSynthRunning) running;
  decltype(&MidiSynthFramesPlayed) frames_played;
  decltype(&MidiSynthSetVolume) set_volume;
  decltype(&MidiSynthVolume) volume;
  decltype(&MidiSynthController) controller;
};

// The module's one export: keeps the host table (which must outlive the
// module) and fills calls. False when the versions differ.
using MidiModuleStart = bool (*)(uint32_t version, const MidiModuleHost* host, MidiModuleCalls* calls);
