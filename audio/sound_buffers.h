// The 64 sound slots that scripts play WAV and Ogg Vorbis files through.
// A slot is static (the whole file decoded into one buffer at load) or
// streaming (the coded file kept in memory and decoded by a refill thread
// into a two-second ring while it plays). Every snd_ builtin sends an engine
// message; the operations run on the window thread.
#pragma once
#include <cstdint>
#include <string>

#include "runtime/builtin.h"

struct SoundSettings {
  int32_t direct_sound = 1;  // [System] DirectSound: 0 = no device, every load fails
  bool use_device = true;    // false (headless): the mixer runs paced by the clock
  std::string record_path;   // --audio-out: the mix is recorded to this WAV file
  bool paced = true;         // false (tests): nothing mixes but MixSoundFrames
};
inline SoundSettings g_sound_settings;

// Engine start-up and shut-down (the device, when [System] DirectSound is
// on, then the slots freed before it closes). Both return 1; without a
// usable sound card the mixer runs silent on its timer.
int StartSound();
int StopSound();
// Frees every slot (whenever the runtime stops). Any thread may call it.
void FreeAllSounds();
// Focus changes: pause and replay every slot, as snd_pause and snd_replay
// with slot -1 do (the nested pause count keeps a script's own pause).
void PauseAllSounds();
void ReplayAllSounds();

// The engine window procedure's part for messages 1164 to 1195.
bool IsSoundMessage(uint32_t number);
uint32_t SoundEngineMessage(uint32_t number, uintptr_t w, uintptr_t l);

enum : uint32_t {
  kMessageSoundLoad = 1164,
  kMessageSoundLoadStreaming = 1165,
  kMessageSoundFree = 1166,
  kMessageSoundPlay = 1167,
  kMessageSoundStop = 1168,
  kMessageSoundPause = 1169,
  kMessageSoundReplay = 1170,
  kMessagePrimarySetVolume = 1171,
  kMessagePrimaryGetVolume = 1172,
  kMessagePrimarySetPan = 1173,
  kMessagePrimaryGetPan = 1174,
  kMessageSoundSetVolume = 1175,
  kMessageSoundGetVolume = 1176,
  kMessageSoundSetPan = 1177,
  kMessageSoundGetPan = 1178,
  kMessageSoundSetFrequency = 1179,
  kMessageSoundGetFrequency = 1180,
  kMessageSoundIsPlaying = 1181,
  kMessageSoundSetLoop = 1182,
  kMessageSoundSetPosition = 1183,
  kMessageSoundGetPosition = 1184,
  kMessageSoundGetLength = 1185,
  kMessageSoundGetText = 1186,
  kMessageSoundSetMargin = 1187,
  kMessageSoundSetChorus = 1188,  // then compressor, distortion, echo, flanger, gargle, EQ, reverb
  kMessageSoundSetReverb = 1195,
};

// The volume and pan laws between script units and hundredths of a decibel.
int32_t LinearToAttenuation(double x);
double AttenuationToLinear(int32_t a);

uint32_t builtin_snd_load(BuiltinArgs a);
uint32_t builtin_snd_loads(BuiltinArgs a);
uint32_t builtin_snd_free(BuiltinArgs a);
uint32_t builtin_snd_play(BuiltinArgs a);
uint32_t builtin_snd_stop(BuiltinArgs a);
uint32_t builtin_snd_pause(BuiltinArgs a);
uint32_t builtin_snd_replay(BuiltinArgs a);
uint32_t builtin_snd_setvol(BuiltinArgs a);
uint32_t builtin_snd_getvol(BuiltinArgs a);
uint32_t builtin_snd_setpan(BuiltinArgs a);
uint32_t builtin_snd_getpan(BuiltinArgs a);
uint32_t builtin_snd_setfreq(BuiltinArgs a);
uint32_t builtin_snd_getfreq(BuiltinArgs a);
uint32_t builtin_snd_isplay(BuiltinArgs a);
uint32_t builtin_snd_setloop(BuiltinArgs a);
uint32_t builtin_snd_setpos(BuiltinArgs a);
uint32_t builtin_snd_getpos(BuiltinArgs a);
uint32_t builtin_snd_getlen(BuiltinArgs a);
uint32_t builtin_snd_gettext(BuiltinArgs a);
uint32_t builtin_snd_setmargin(BuiltinArgs a);
uint32_t builtin_snd_setchorus(BuiltinArgs a);
uint32_t builtin_snd_setcompressor(BuiltinArgs a);
uint32_t builtin_snd_setdistortion(BuiltinArgs a);
uint32_t builtin_snd_setecho(BuiltinArgs a);
uint32_t builtin_snd_setflanger(BuiltinArgs a);
uint32_t builtin_snd_setgargle(BuiltinArgs a);
uint32_t builtin_snd_setparameq(BuiltinArgs a);
uint32_t builtin_snd_setreverb(BuiltinArgs a);
