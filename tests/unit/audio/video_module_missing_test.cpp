// Without the video module (this test program's run path does not have its
// folder, unlike the other audio tests'), opening a video is refused like an
// unreadable file, and nothing else is disturbed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "audio/sound_buffers.h"
#include "audio/video_playback.h"
#include "builtin_call.h"
#include "display/display_output.h"
#include "platform/dynamic_library.h"
#include "platform/error_box.h"
#include "platform/video_module.h"
#include "platform/window_thread.h"
#include "video_fixtures.h"
#include "vm/arena.h"

namespace {

namespace fs = std::filesystem;

uint32_t g_boxes = 0;
void CountBox(std::string_view, std::string_view) { ++g_boxes; }

TEST(VideoWithoutModule, OpeningIsRefusedWithTheMessage) {
  std::string error;
  ASSERT_EQ(OpenDynamicLibrary(kVideoModuleName, error), nullptr) << "the module is in reach after all";

  const fs::path dir = fs::temp_directory_path() / ("keva-video-missing-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string clip = (dir / "clip.avi").string();
  ASSERT_TRUE(WriteTestVideo(clip, kMpeg4WithSound, 4));

  ASSERT_TRUE(ArenaStart());
  const uint32_t args = ArenaAllocZeroed(64);
  const uint32_t path = ArenaAllocZeroed(clip.size() + 1);
  std::memcpy(ToHost(path), clip.c_str(), clip.size());
  BecomeWindowThread();
  SetEngineMessageHandler(MediaEngineMessage);
  EnableEngineMessages(true);
  SetErrorBoxBackend(CountBox);
  g_sound_settings = SoundSettings{};
  g_sound_settings.use_device = false;
  StartSound();
  g_display_settings = DisplaySettings{};
  g_display_settings.width = 64;
  g_display_settings.height = 48;
  StartDisplayOutput();

  for (int attempt = 0; attempt < 2; ++attempt) {  // the failed load is not retried into a crash
    SCOPED_TRACE(attempt);
    g_boxes = 0;
    EXPECT_EQ(CallBuiltin(builtin_media_open, args, {path}), 0u);
    EXPECT_EQ(g_boxes, 1u);
    EXPECT_EQ(CallBuiltin(builtin_media_play, args, {}), 0u);
    EXPECT_EQ(CallBuiltin(builtin_media_isplay, args, {}), 0u);
  }
  EXPECT_EQ(CallBuiltin(builtin_media_setvol, args, {50}), 1u);  // the volume is kept for later as before

  ReleaseMedia();
  StopDisplayOutput();
  StopSound();
  SetErrorBoxBackend(nullptr);
  EnableEngineMessages(false);
  SetEngineMessageHandler(nullptr);
  fs::remove_all(dir);
}

}  // namespace
