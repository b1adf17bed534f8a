// Playback of one movie or audio file: the file is demuxed and decoded on a
// thread of its own; its sound goes into the mixer as one stream and its
// pictures are timed against the sound that has been played (against the
// clock when there is no sound, or once the sound has run out), converted to
// X8R8G8B8 at the size the caller asks for and handed over when they are due.
//
// The control functions are meant for one thread (the window thread); the
// events come from the decoding thread, without any lock of the player held,
// so they may call the control functions (but never CloseVideoPlayer).
#pragma once
#include <cstdint>
#include <string>

struct VideoPlayer;

struct VideoPlayerEvents {
  void* user = nullptr;
  // A picture is due: w x h X8R8G8B8 words (bytes blue, green, red, unused),
  // row 0 at the top, valid during the call only.
  void (*picture)(void* user, const uint32_t* pixels, int32_t w, int32_t h) = nullptr;
  // The file has played to its end; the player has stopped there.
  void (*finished)(void* user) = nullptr;
};

// Opens the file (a host path) and decodes up to its first frame, leaving
// the player stopped at the start. Null with a reason when the file cannot be
// opened, holds nothing playable, or its first frame does not decode.
VideoPlayer* OpenVideoPlayer(const std::string& host_path, const VideoPlayerEvents& events, std::string& error);
// Stops the thread, takes the stream out of the mixer and frees everything.
void CloseVideoPlayer(VideoPlayer* player);

bool VideoPlayerHasPicture(const VideoPlayer* player);  // false: audio only
double VideoPlayerDuration(const VideoPlayer* player);  // seconds; 0 when the file does not say

// Run from the current position, pause there, or stop there (a stopped
// player is paused too; the difference is only whether pictures keep
// coming once it runs again).
void RunVideoPlayer(VideoPlayer* player);
void PauseVideoPlayer(VideoPlayer* player);
// Moves to a position in seconds (clamped at 0); the state stays as it was.
void SeekVideoPlayer(VideoPlayer* player, double seconds);
// The position in seconds that is playing now.
double VideoPlayerPosition(VideoPlayer* player);
// Hundredths of a decibel, -10000 (silent) .. 0.
void SetVideoPlayerVolume(VideoPlayer* player, int32_t volume);
// The size pictures are converted to from now on (the current picture is
// converted again at once); 1 .. 8192 in each direction.
void SetVideoPictureSize(VideoPlayer* player, int32_t w, int32_t h);
