// The video decoder lives in a module of its own (libkeva_video.so, beside
// the engine in the build tree and in lib/keva when installed), so that its
// libraries are only loaded by a run that opens a video. The engine loads it
// on the first OpenVideoPlayer and reaches it through these two tables: the
// module's calls, and the mixer calls the module makes into the engine.
#pragma once
#include <cstdint>

#include "platform/sound_device.h"
#include "platform/video_decoder.h"

// Raised whenever either table changes: a module built for another engine is
// refused instead of being called with the wrong table.
constexpr uint32_t kVideoModuleVersion = 1;
constexpr const char* kVideoModuleName = "libkeva_video.so";
constexpr const char* kVideoModuleEntry = "keva_video_module_start";

struct VideoModuleHost {
  uint32_t (*sound_device_rate)();
  int (*add_sound_stream)(SoundStreamFill fill, void* user);
  void (*remove_sound_stream)(int id);
};

struct VideoModuleCalls {
  decltype(&OpenVideoPlayer) open;
  decltype(&CloseVideoPlayer) close;
  decltype(&VideoPlayerHasPicture) has_picture;
  decltype(&VideoPlayerDuration) duration;
  decltype(&RunVideoPlayer) run;
  decltype(&PauseVideoPlayer) pause;
  decltype(&SeekVideoPlayer) seek;
  decltype(&VideoPlayerPosition) position;
  decltype(&SetVideoPlayerVolume) set_volume;
  decltype(&SetVideoPictureSize) set_picture_size;
};

// The module's one export: keeps the host table (which must outlive the
// module) and fills calls. False when the versions differ.
using VideoModuleStart = bool (*)(uint32_t version, const VideoModuleHost* host, VideoModuleCalls* calls);
