// CD audio from a virtual disc: a folder of numbered audio track files beside
// the game stands for the disc in the drive. One track plays at a time,
// streamed into the mixer, with fade-in and fade-out, nested pauses, four
// repeat modes, positions and lengths in seconds, a CD volume and the tray.
// Every cd_ builtin sends an engine message; the operations run on the window
// thread, and a CD thread of ours refills the stream, runs the fades and
// follows track ends (both under one lock).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/builtin.h"

struct CdSettings {
  int32_t cd = 0;                // [Drive] CD: the CD part is on
  std::string folder;            // [Drive] Folder: the disc's folder (engine path), or empty
  std::string module_directory;  // the game's folder (engine path, ends with a separator)
};
inline CdSettings g_cd_settings;

constexpr int kCdMostTracks = 99;

// The track number a file of the disc folder stands for, 0 when it is none:
// an audio file whose name is a number 1 to 99, optionally after a word and
// spaces and optionally followed by more text ("track02.ogg", "02.wav",
// "Track 02 - Title.flac").
int CdTrackNumber(std::string_view file_name);

// The disc's folder (host path): [Drive] Folder, else "CD", else "cdda"
// beside the game. Empty when there is none.
std::string FindDiscFolder();

// Engine start-up and shut-down (when [Drive] CD is on).
int StartCdAudio();
int StopCdAudio();
// Whenever the runtime stops: the play ends.
void StopCdPlay();
// Focus changes, as cd_pause and cd_replay.
void PauseCd();
void ReplayCd();

bool IsCdMessage(uint32_t number);
uint32_t CdEngineMessage(uint32_t number, uintptr_t w, uintptr_t l);

enum : uint32_t {
  kMessageCdPlay = 1124,
  kMessageCdStop = 1125,
  kMessageCdPause = 1126,
  kMessageCdReplay = 1127,
  kMessageCdSetVolume = 1128,
  kMessageCdGetVolume = 1129,
  kMessageCdIsPlaying = 1130,
  kMessageCdGetPosition = 1131,
  kMessageCdGetLength = 1132,
  kMessageCdRepeat = 1133,
  kMessageCdEject = 1134,
};

uint32_t builtin_cd_play(BuiltinArgs a);
uint32_t builtin_cd_stop(BuiltinArgs a);
uint32_t builtin_cd_pause(BuiltinArgs a);
uint32_t builtin_cd_replay(BuiltinArgs a);
uint32_t builtin_cd_setvol(BuiltinArgs a);
uint32_t builtin_cd_getvol(BuiltinArgs a);
uint32_t builtin_cd_isplay(BuiltinArgs a);
uint32_t builtin_cd_getpos(BuiltinArgs a);
uint32_t builtin_cd_getlen(BuiltinArgs a);
uint32_t builtin_cd_repeat(BuiltinArgs a);
uint32_t builtin_cd_eject(BuiltinArgs a);
