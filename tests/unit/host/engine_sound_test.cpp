// Sound in the host: the engine procedure routes the sound messages, and the
// engine's pause on focus loss holds playing sounds unless [Option]
// GlobalSound keeps them going.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "audio/sound_buffers.h"
#include "host/engine.h"
#include "host/main_window.h"
#include "runtime/runtime_settings.h"
#include "sound_fixtures.h"

TEST(EngineSound, TheEnginePauseHoldsSoundsUnlessGlobalSound) {
  std::string path = std::filesystem::temp_directory_path() / ("keva-host-sound-" + std::to_string(getpid()) + ".wav");
  WriteBytes(path, PcmWave(1, 22050, 16, Sine(22050, 22050, {440})));
  g_sound_settings = SoundSettings{};
  g_sound_settings.use_device = false;
  g_sound_settings.paced = false;  // nothing mixes: a playing sound stays playing
  StartSound();
  auto send = [](uint32_t number, uintptr_t w, uintptr_t l) { return EngineWindowProcedure(number, w, l); };
  ASSERT_EQ(send(kMessageSoundLoad, 0, reinterpret_cast<uintptr_t>(path.c_str())), 1u);
  ASSERT_EQ(send(kMessageSoundPlay, 0, 1), 1u);
  for (int32_t global_sound : {0, 1}) {
    SCOPED_TRACE(global_sound);
    g_runtime_settings.global_sound = global_sound;
    PauseEngine();
    EXPECT_EQ(send(kMessageSoundIsPlaying, 0, 0), global_sound ? 1u : 0u);
    ResumeEngine();
    EXPECT_EQ(send(kMessageSoundIsPlaying, 0, 0), 1u);
  }
  g_runtime_settings.global_sound = 0;
  StopSound();
  std::filesystem::remove(path);
}
