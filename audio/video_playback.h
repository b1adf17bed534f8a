// Video playback for the scripts: one movie or audio file at a time, its
// picture drawn by the display output over the whole screen or over a
// rectangle of it that the script chooses, its sound played through the
// mixer. Every media_ builtin sends an engine message; the operations run on
// the window thread. Pause and replay nest, as everywhere in the engine.
#pragma once
#include <cstdint>

#include "runtime/builtin.h"

enum : uint32_t {
  kMessageMediaOpen = 1204,
  kMessageMediaClose = 1205,
  kMessageMediaPlay = 1206,
  kMessageMediaStop = 1207,
  kMessageMediaPause = 1208,
  kMessageMediaReplay = 1209,
  kMessageMediaIsPlaying = 1210,
  kMessageMediaRepeat = 1211,
  kMessageMediaSize = 1212,
  kMessageMediaSetVolume = 1213,
};

// The engine window procedure's part for messages 1204 to 1213.
bool IsMediaMessage(uint32_t number);
uint32_t MediaEngineMessage(uint32_t number, uintptr_t w, uintptr_t l);

// Whenever the runtime stops and at shut-down: the file is closed and the
// settings scripts made (repeat, volume, rectangle) forgotten. Window thread.
void ReleaseMedia();
// The main window's size changed: the picture is decoded at its new size.
void PlaceMedia();
// Focus changes: as media_pause and media_replay.
void PauseMedia();
void ReplayMedia();
// Around a switch of the display mode: the file is closed keeping its
// position, playing flag and pause count, then opened again and put back
// in that state.
void SuspendMedia();
void ResumeMedia();

// media_setvol's volume (0 to 100) in hundredths of a decibel.
int32_t MediaVolume(int32_t volume);

uint32_t builtin_media_open(BuiltinArgs a);
uint32_t builtin_media_close(BuiltinArgs a);
uint32_t builtin_media_play(BuiltinArgs a);
uint32_t builtin_media_stop(BuiltinArgs a);
uint32_t builtin_media_pause(BuiltinArgs a);
uint32_t builtin_media_replay(BuiltinArgs a);
uint32_t builtin_media_isplay(BuiltinArgs a);
uint32_t builtin_media_repeat(BuiltinArgs a);
uint32_t builtin_media_size(BuiltinArgs a);
uint32_t builtin_media_setvol(BuiltinArgs a);
