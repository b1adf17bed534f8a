// CD audio from a virtual disc made by the tests: track files written with
// libsndfile into a folder, played through the cd_ builtins on a mixer the
// tests drive by hand (the CD thread refills and follows track ends for real).
#include "audio/cd_audio.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "builtin_call.h"
#include "platform/sound_device.h"
#include "platform/window_thread.h"
#include "sound_fixtures.h"
#include "vm/arena.h"

namespace {

constexpr uint32_t kRate = 48000;

TEST(CdTrackNames, NumberTheTracks) {
  struct Case {
    const char* name;
    int track;
  };
  for (Case c : {Case{"track02.ogg", 2}, Case{"02.wav", 2}, Case{"Track 02.flac", 2}, Case{"Track 12 - Title.mp3", 12},
                 Case{"TRACK_7.OPUS", 7}, Case{"99.wav", 99}, Case{"100.wav", 0}, Case{"00.wav", 0},
                 Case{"track02.txt", 0}, Case{"track.wav", 0}, Case{"cover.jpg", 0}, Case{"2023.ogg", 0},
                 Case{".", 0}, Case{"..", 0}, Case{"track-03.aiff", 3}}) {
    EXPECT_EQ(CdTrackNumber(c.name), c.track) << c.name;
  }
}

// A track: `seconds` of a constant level (the level names the track in the
// mix), written at `rate` in the file type the name's extension gives.
void WriteTrack(const std::filesystem::path& path, double seconds, float level, int rate = kRate,
                int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  std::vector<float> samples(static_cast<size_t>(seconds * rate), level);
  sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
}

class CdAudio : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ArenaStart());
    args_ = ArenaAllocZeroed(64);
    dir_ = std::filesystem::temp_directory_path() /
           ("keva-cd-" + std::to_string(getpid()) + "-" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_ / "CD");
    SetEngineMessageHandler(CdEngineMessage);
    EnableEngineMessages(true);
    SoundDeviceOptions options;
    options.use_hardware = false;
    options.paced = false;
    options.rate = kRate;
    OpenSoundDevice(options);
  }
  void TearDown() override {
    StopCdAudio();
    CloseSoundDevice();
    EnableEngineMessages(false);
    SetEngineMessageHandler(nullptr);
    std::filesystem::remove_all(dir_);
  }
  // The disc of the edge cases: a data track 1 and short audio tracks 2 to 5
  // whose levels are 0.2 to 0.5.
  void ShortDisc() {
    WriteBytes((dir_ / "CD" / "track01.bin").string(), Bytes(1000, 0));
    WriteBytes((dir_ / "CD" / "track01.wav").string(), Bytes(100, 7));  // unreadable: the data track
    WriteTrack(dir_ / "CD" / "track02.wav", 0.25, 0.2f);
    WriteTrack(dir_ / "CD" / "03.flac", 0.25, 0.3f, kRate, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    WriteTrack(dir_ / "CD" / "Track 04.ogg", 0.25, 0.4f, kRate, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    WriteTrack(dir_ / "CD" / "track05.wav", 0.25, 0.5f, 22050);
  }
  void Start() {
    g_cd_settings = CdSettings{1, "", (dir_.string() + "/")};
    StartCdAudio();
  }
  uint32_t Call(BuiltinHandler h, std::initializer_list<uint32_t> words = {0}) { return CallBuiltin(h, args_, words); }
  // Mixes until the CD stops (or `ms` of mixed sound), and returns the
  // sequence of track levels heard (tenths, silence left out).
  std::vector<int> Heard(uint32_t ms) {
    std::vector<int> tracks;
    std::vector<float> block(2 * kRate / 100);
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (uint32_t done = 0; done < ms && Call(builtin_cd_isplay) && std::chrono::steady_clock::now() < give_up;) {
      MixSoundFrames(block.data(), kRate / 100);
      float middle = block[kRate / 100];
      if (std::fabs(middle) < 0.05f) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the CD thread refills
        continue;
      }
      done += 10;
      int level = static_cast<int>(std::lround(middle * 10));
      if (tracks.empty() || tracks.back() != level) tracks.push_back(level);
    }
    return tracks;
  }
  // Mixes until the position (kind 0) reaches `seconds`.
  void MixUntil(uint32_t seconds) {
    std::vector<float> block(2 * kRate / 100);
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Call(builtin_cd_getpos, {0}) < seconds && std::chrono::steady_clock::now() < give_up) {
      MixSoundFrames(block.data(), kRate / 100);
      if (block[0] == 0 && block[1] == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  float Level() {
    std::vector<float> block(2 * kRate / 100);
    for (int tries = 0; tries < 2000; ++tries) {
      MixSoundFrames(block.data(), kRate / 100);
      if (block[kRate / 100] != 0) return block[kRate / 100];
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
  }
  uint32_t args_ = 0;
  std::filesystem::path dir_;
};

TEST_F(CdAudio, TheCdPartOffRefusesEverything) {
  ShortDisc();
  g_cd_settings = CdSettings{0, "", dir_.string() + "/"};
  StartCdAudio();
  EXPECT_EQ(Call(builtin_cd_play, {2, 0}), 0u);
  EXPECT_EQ(Call(builtin_cd_stop, {0}), 0u);
  EXPECT_EQ(Call(builtin_cd_pause), 0u);
  EXPECT_EQ(Call(builtin_cd_eject), 0u);
}

TEST_F(CdAudio, RepeatModesChooseTheNextTrack) {
  ShortDisc();
  Start();
  struct Case {
    int32_t mode, first;
    std::vector<int> heard;
  };
  const std::vector<Case> cases = {
      {0, 4, {4}},
      {2, 4, {4, 5}},
      {3, 5, {5, 2, 3, 4, 5}},
      {1, 3, {3}},  // the same track again and again
  };
  int32_t previous = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    EXPECT_EQ(static_cast<int32_t>(Call(builtin_cd_repeat, {static_cast<uint32_t>(c.mode)})), previous);
    previous = c.mode;
    ASSERT_EQ(Call(builtin_cd_play, {static_cast<uint32_t>(c.first), 0}), 1u);
    EXPECT_EQ(Heard(1100), c.heard);
    bool repeating = c.mode == 1 || c.mode == 3;
    EXPECT_EQ(Call(builtin_cd_isplay), repeating ? 1u : 0u);
    EXPECT_EQ(Call(builtin_cd_stop, {0}), 1u);
  }
}

TEST_F(CdAudio, EveryTrackFormatIsHeard) {
  struct Case {
    const char* name;
    int format;
  };
  const std::vector<Case> cases = {
      {"track01.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},   {"track02.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
      {"track03.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},   {"track04.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},
      {"track05.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III}, {"track06.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
  };
  for (const Case& c : cases) {
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = c.format;
    SNDFILE* file = sf_open((dir_ / "CD" / c.name).c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << c.name << ": " << sf_strerror(nullptr);
    std::vector<int16_t> tone = Sine(kRate * 3 / 2, kRate, {1000, 1000});
    sf_writef_short(file, tone.data(), kRate * 3 / 2);
    sf_close(file);
  }
  Start();
  for (int track = 1; track <= static_cast<int>(cases.size()); ++track) {
    SCOPED_TRACE(cases[track - 1].name);
    EXPECT_EQ(Call(builtin_cd_getlen, {static_cast<uint32_t>(track)}), 1u);
    ASSERT_EQ(Call(builtin_cd_play, {static_cast<uint32_t>(track), 0}), 1u);
    // Past the codec's first frames; the play put a third of a second in the ring.
    std::vector<float> block(2 * kRate / 10);
    MixSoundFrames(block.data(), kRate / 20);
    MixSoundFrames(block.data(), kRate / 10);
    EXPECT_GT(Rms(block.data(), kRate / 10, 0), 0.2);  // a tone of amplitude 0.5 is 0.35
  }
}

TEST_F(CdAudio, TracksThatCannotPlayAreRefused) {
  ShortDisc();
  Start();
  for (uint32_t track : {0u, 1u, 6u, 99u, 0xFFFFFFFFu}) EXPECT_EQ(Call(builtin_cd_play, {track, 0}), 0u) << track;
  EXPECT_EQ(Call(builtin_cd_isplay), 0u);
  EXPECT_EQ(Call(builtin_cd_getlen, {6}), 0u);
  // Opening the door takes the disc away; closing it reads the disc again.
  EXPECT_EQ(Call(builtin_cd_play, {2, 0}), 1u);
  EXPECT_EQ(Call(builtin_cd_eject), 1u);
  EXPECT_EQ(Call(builtin_cd_isplay), 0u);
  EXPECT_EQ(Call(builtin_cd_play, {2, 0}), 0u);
  WriteTrack(dir_ / "CD" / "track06.wav", 1.5, 0.6f);
  EXPECT_EQ(Call(builtin_cd_eject), 1u);
  EXPECT_EQ(Call(builtin_cd_getlen, {6}), 1u);
  EXPECT_EQ(Call(builtin_cd_play, {6, 0}), 1u);
}

TEST_F(CdAudio, PositionsCountTheDiscsAudioTracks) {
  // Tracks 4 and 5 last 200 and 180 seconds (1 kHz files keep them small).
  WriteBytes((dir_ / "CD" / "track01.wav").string(), Bytes(100, 7));
  WriteTrack(dir_ / "CD" / "track02.wav", 30, 0.2f, 1000, SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
  WriteTrack(dir_ / "CD" / "track03.wav", 40, 0.3f, 1000, SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
  WriteTrack(dir_ / "CD" / "track04.wav", 200, 0.4f, 1000, SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
  WriteTrack(dir_ / "CD" / "track05.wav", 180, 0.5f, 1000, SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
  Start();
  EXPECT_EQ(Call(builtin_cd_getlen, {4}), 200u);
  EXPECT_EQ(Call(builtin_cd_getlen, {0}), 450u);
  EXPECT_EQ(Call(builtin_cd_getpos, {0}), 0u);  // not playing
  ASSERT_EQ(Call(builtin_cd_play, {4, 0}), 1u);
  MixUntil(10);
  struct Case {
    uint32_t kind, seconds;
  };
  for (Case c : {Case{0, 10}, Case{1, 188}, Case{2, 10 + 28 + 38}, Case{3, 188 + 178}, Case{7, 10}})
    EXPECT_EQ(Call(builtin_cd_getpos, {c.kind}), c.seconds) << c.kind;
  // Paused, the position holds and nothing is heard.
  EXPECT_EQ(Call(builtin_cd_pause), 1u);
  EXPECT_EQ(Call(builtin_cd_pause), 1u);
  EXPECT_EQ(Call(builtin_cd_isplay), 0u);
  std::vector<float> block(2 * kRate);
  MixSoundFrames(block.data(), kRate);
  EXPECT_EQ(Rms(block.data(), kRate, 0), 0.0);
  EXPECT_EQ(Call(builtin_cd_replay), 1u);
  EXPECT_EQ(Call(builtin_cd_isplay), 0u);
  EXPECT_EQ(Call(builtin_cd_replay), 1u);
  EXPECT_EQ(Call(builtin_cd_isplay), 1u);
  EXPECT_EQ(Call(builtin_cd_getpos, {0}), 10u);
}

TEST_F(CdAudio, FadesAndTheVolumeScaleTheTrack) {
  WriteTrack(dir_ / "CD" / "track01.wav", 1, 0.5f);
  Start();
  EXPECT_EQ(Call(builtin_cd_repeat, {1}), 0u);
  EXPECT_EQ(Call(builtin_cd_getvol), 100u);
  ASSERT_EQ(Call(builtin_cd_play, {1, 0}), 1u);
  EXPECT_NEAR(Level(), 0.5f, 0.01f);
  EXPECT_EQ(Call(builtin_cd_setvol, {50}), 1u);
  EXPECT_NEAR(Level(), 0.25f, 0.01f);
  EXPECT_EQ(Call(builtin_cd_setvol, {150}), 1u);
  EXPECT_EQ(Call(builtin_cd_getvol), 100u);

  // A fade-in starts silent and reaches the full level.
  ASSERT_EQ(Call(builtin_cd_play, {1, 400}), 1u);
  std::vector<float> first(2 * kRate / 100);
  MixSoundFrames(first.data(), kRate / 100);
  EXPECT_LT(std::fabs(first[kRate / 100]), 0.05f);
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  float level = 0;
  while ((level = Level()) < 0.499f && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NEAR(level, 0.5f, 0.01f);

  // A fade-out lowers it and then stops; the next play is at full level.
  EXPECT_EQ(Call(builtin_cd_stop, {400}), 1u);
  EXPECT_EQ(Call(builtin_cd_isplay), 1u);
  give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  float lowest = 1;
  while (Call(builtin_cd_isplay) && std::chrono::steady_clock::now() < give_up) {
    lowest = std::min(lowest, Level());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Call(builtin_cd_isplay), 0u);
  EXPECT_LT(lowest, 0.4f);
  ASSERT_EQ(Call(builtin_cd_play, {1, 0}), 1u);
  EXPECT_NEAR(Level(), 0.5f, 0.01f);
}

}  // namespace
