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

#include "audio/cd_audio.h"
#include "audio/midi_music.h"

// MIDI music and CD audio pause with the engine whatever GlobalSound says,
// and their messages reach them through the engine procedure.
TEST(EngineSound, TheEnginePauseHoldsMusicAndCdAudio) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("keva-host-music-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "CD");
  std::string tune = (dir / "tune.mid").string();
  WriteBytes(tune, {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0, 'M', 'T', 'r', 'k', 0, 0, 0, 13,
                    0x00, 0x90, 0x3C, 0x64, 0x8F, 0x00, 0x80, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00});
  WriteBytes((dir / "CD" / "track01.wav").string(), PcmWave(1, 22050, 16, Sine(22050, 22050, {440})));
  g_sound_settings = SoundSettings{};
  g_sound_settings.use_device = false;
  g_sound_settings.paced = false;
  StartSound();
  g_midi_settings = MidiSettings{1, "", ""};
  StartMidi();
  g_cd_settings = CdSettings{1, "", dir.string() + "/"};
  StartCdAudio();
  auto send = [](uint32_t number, uintptr_t w, uintptr_t l) { return EngineWindowProcedure(number, w, l); };
  bool music = MidiStarted();
  if (music) {
    ASSERT_EQ(send(kMessageMidiLoad, 0, reinterpret_cast<uintptr_t>(tune.c_str())), 1u);
    ASSERT_EQ(send(kMessageMidiPlay, 0, 0), 1u);
  }
  ASSERT_EQ(send(kMessageCdPlay, 1, 0), 1u);
  for (int32_t global_sound : {0, 1}) {
    SCOPED_TRACE(global_sound);
    g_runtime_settings.global_sound = global_sound;
    PauseEngine();
    if (music) {
      EXPECT_EQ(send(kMessageMidiIsPlaying, 0, 0), 0u);
    }
    EXPECT_EQ(send(kMessageCdIsPlaying, 0, 0), 0u);
    // A script's own pause stays held after the engine resumes.
    EXPECT_EQ(send(kMessageCdPause, 0, 0), 1u);
    ResumeEngine();
    EXPECT_EQ(send(kMessageCdIsPlaying, 0, 0), 0u);
    EXPECT_EQ(send(kMessageCdReplay, 0, 0), 1u);
    if (music) {
      EXPECT_EQ(send(kMessageMidiIsPlaying, 0, 0), 1u);
    }
    EXPECT_EQ(send(kMessageCdIsPlaying, 0, 0), 1u);
  }
  g_runtime_settings.global_sound = 0;
  StopCdAudio();
  StopMidi();
  StopSound();
  std::filesystem::remove_all(dir);
}
