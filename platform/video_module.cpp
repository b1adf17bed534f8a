// The entry point of the video module, and the module's side of the mixer:
// the decoder's calls into the sound device go to the engine's own mixer
// through the table the engine hands over (the module must not carry a mixer
// of its own). Everything else in the module is hidden.
#include "platform/video_module.h"

namespace {

const VideoModuleHost* g_host = nullptr;

}  // namespace

uint32_t SoundDeviceRate() { return g_host->sound_device_rate(); }
int AddSoundStream(SoundStreamFill fill, void* user) { return g_host->add_sound_stream(fill, user); }
void RemoveSoundStream(int id) { g_host->remove_sound_stream(id); }

extern "C" [[gnu::visibility("default")]] bool keva_video_module_start(uint32_t version, const VideoModuleHost* host,
                                                                       VideoModuleCalls* calls) {
  if (version != kVideoModuleVersion || !host || !calls) return false;
  g_host = host;
  *calls = {
      .open = OpenVideoPlayer,
      .close = CloseVideoPlayer,
      .has_picture = VideoPlayerHasPicture,
      .duration = VideoPlayerDuration,
      .run = RunVideoPlayer,
      .pause = PauseVideoPlayer,
      .seek = SeekVideoPlayer,
      .position = VideoPlayerPosition,
      .set_volume = SetVideoPlayerVolume,
      .set_picture_size = SetVideoPictureSize,
  };
  return true;
}
