// The engine's side of the video module: the first OpenVideoPlayer loads it
// (once, whichever thread gets there first); the module stays loaded until
// the process ends. A player only exists once the module is loaded, so the
// other calls go straight to it.
#include <string>

#include "platform/dynamic_library.h"
#include "platform/video_decoder.h"
#include "platform/video_module.h"

namespace {

struct VideoModule {
  VideoModuleCalls calls{};
  bool loaded = false;
  std::string error;  // why it is not loaded
};

constexpr VideoModuleHost kHost = {
    .sound_device_rate = SoundDeviceRate,
    .add_sound_stream = AddSoundStream,
    .remove_sound_stream = RemoveSoundStream,
};

VideoModule Load() {
  VideoModule m;
  // By bare name: the engine's run path has the module's folder.
  void* library = OpenDynamicLibrary(kVideoModuleName, m.error);
  if (!library) return m;
  const auto start = reinterpret_cast<VideoModuleStart>(FindLibraryFunction(library, kVideoModuleEntry));
  if (!start || !start(kVideoModuleVersion, &kHost, &m.calls)) {
    m.error = std::string(kVideoModuleName) + " is not this engine's video module";
    CloseDynamicLibrary(library);
    return m;
  }
  m.loaded = true;
  return m;
}

const VideoModule& Module() {
  static const VideoModule module = Load();
  return module;
}

const VideoModuleCalls& Calls() { return Module().calls; }

}  // namespace

VideoPlayer* OpenVideoPlayer(const std::string& host_path, const VideoPlayerEvents& events, std::string& error) {
  const VideoModule& m = Module();
  if (!m.loaded) {
    error = "no video playback: " + m.error;
    return nullptr;
  }
  return m.calls.open(host_path, events, error);
}

// A null player does nothing (and answers as for no file), loaded or not.
void CloseVideoPlayer(VideoPlayer* player) {
  if (player) Calls().close(player);
}
bool VideoPlayerHasPicture(const VideoPlayer* player) { return player && Calls().has_picture(player); }
double VideoPlayerDuration(const VideoPlayer* player) { return player ? Calls().duration(player) : 0; }
void RunVideoPlayer(VideoPlayer* player) {
  if (player) Calls().run(player);
}
void PauseVideoPlayer(VideoPlayer* player) {
  if (player) Calls().pause(player);
}
void SeekVideoPlayer(VideoPlayer* player, double seconds) {
  if (player) Calls().seek(player, seconds);
}
double VideoPlayerPosition(VideoPlayer* player) { return player ? Calls().position(player) : 0; }
void SetVideoPlayerVolume(VideoPlayer* player, int32_t volume) {
  if (player) Calls().set_volume(player, volume);
}
void SetVideoPictureSize(VideoPlayer* player, int32_t w, int32_t h) {
  if (player) Calls().set_picture_size(player, w, h);
}
