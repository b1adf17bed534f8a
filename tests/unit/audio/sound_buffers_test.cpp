// The sound slots through their builtins, on a mixer that the tests drive by
// hand (streaming slots' refill threads run for real between the steps).
#include "audio/sound_buffers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "builtin_call.h"
#include "platform/error_box.h"
#include "platform/sound_device.h"
#include "platform/window_thread.h"
#include "sound_fixtures.h"
#include "vm/arena.h"

namespace {

constexpr uint32_t kRate = 48000;

class SoundSlots : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ArenaStart());
    args_ = ArenaAllocZeroed(64);
    text_ = ArenaAllocZeroed(512);
    record_ = ArenaAllocZeroed(64);
    dir_ = std::filesystem::temp_directory_path() /
           ("keva-slots-" + std::to_string(getpid()) + "-" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    SetEngineMessageHandler(SoundEngineMessage);
    EnableEngineMessages(true);
    g_sound_settings = SoundSettings{};
    g_sound_settings.use_device = false;
    g_sound_settings.paced = false;
    StartSound();
    ASSERT_EQ(SoundDeviceRate(), kRate);
  }
  void TearDown() override {
    StopSound();
    EnableEngineMessages(false);
    SetEngineMessageHandler(nullptr);
    std::filesystem::remove_all(dir_);
  }

  // Writes a file into the test folder and returns its path in script memory.
  uint32_t File(const std::string& name, const Bytes& bytes) {
    std::string path = (dir_ / name).string();
    if (!bytes.empty()) WriteBytes(path, bytes);
    uint32_t at = ArenaAllocZeroed(path.size() + 1);
    std::memcpy(ToHost(at), path.c_str(), path.size());
    return at;
  }
  uint32_t Call(BuiltinHandler h, std::initializer_list<uint32_t> words) { return CallBuiltin(h, args_, words); }
  int32_t CallInt(BuiltinHandler h, std::initializer_list<uint32_t> words) {
    return static_cast<int32_t>(Call(h, words));
  }
  // Mixes ms milliseconds in 20 ms steps, giving refill threads time between them.
  std::vector<float> Mix(uint32_t ms, bool wait = false) {
    std::vector<float> out(2 * kRate * ms / 1000);
    for (uint32_t done = 0; done < ms; done += 20) {
      MixSoundFrames(out.data() + 2 * kRate * done / 1000, kRate * std::min(20u, ms - done) / 1000);
      if (wait) std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    return out;
  }
  // An effect record in script memory: floats then whole numbers.
  uint32_t Record(std::initializer_list<uint32_t> words) {
    uint32_t at = record_;
    for (uint32_t w : words) {
      std::memcpy(ToHost(at), &w, 4);
      at += 4;
    }
    return record_;
  }

  uint32_t args_ = 0, text_ = 0, record_ = 0;
  std::filesystem::path dir_;
};

uint32_t F(float f) { return std::bit_cast<uint32_t>(f); }
uint32_t W(int32_t v) { return static_cast<uint32_t>(v); }

// A mono 16-bit tone of the given length at 48 kHz, amplitude 0.5.
Bytes Tone(uint32_t ms, double hertz = 1000) { return PcmWave(1, kRate, 16, Sine(kRate * ms / 1000, kRate, {hertz})); }

TEST_F(SoundSlots, VolumeAndPanFollowTheDecibelLawsBothWays) {
  uint32_t path = File("tone.wav", Tone(500));
  ASSERT_EQ(Call(builtin_snd_load, {3, path}), 1u);
  // Halving the amplitude costs 10 dB (-1000), heard at 0.316 of full scale.
  struct Case {
    int32_t volume, pan;
    int32_t read_volume;
    std::vector<int32_t> read_pan;  // truncation may give one below
    double left, right;             // heard gains
  };
  const std::vector<Case> cases = {
      {50, 0, 50, {0}, 0.316, 0.316},    {100, 50, 100, {49, 50}, 0.316, 1}, {100, -50, 100, {-49, -50}, 1, 0.316},
      {0, 0, 0, {0}, 0, 0},              {150, 0, 100, {0}, 1, 1},           {100, 100, 100, {100}, 0, 1},
      {100, -100, 100, {-100}, 1, 0},    {25, 0, 25, {0}, 0.1, 0.1},         {50, 50, 50, {49, 50}, 0.1, 0.316},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.volume << " " << c.pan);
    EXPECT_EQ(Call(builtin_snd_setvol, {3, W(c.volume)}), 0u);
    EXPECT_EQ(Call(builtin_snd_setpan, {3, W(c.pan)}), 0u);
    EXPECT_EQ(CallInt(builtin_snd_getvol, {3}), c.read_volume);
    int32_t pan = CallInt(builtin_snd_getpan, {3});
    EXPECT_TRUE(std::find(c.read_pan.begin(), c.read_pan.end(), pan) != c.read_pan.end()) << pan;
    ASSERT_EQ(Call(builtin_snd_play, {3, 1}), 1u);
    std::vector<float> out = Mix(100);
    double full = 0.5 / std::sqrt(2.0);
    EXPECT_NEAR(Rms(out.data(), 4800, 0), full * c.left, 0.005);
    EXPECT_NEAR(Rms(out.data(), 4800, 1), full * c.right, 0.005);
  }
  // Slot -1 is the primary buffer.
  EXPECT_EQ(Call(builtin_snd_setvol, {W(-1), 50}), 0u);
  EXPECT_EQ(CallInt(builtin_snd_getvol, {W(-1)}), 50);
  EXPECT_EQ(Call(builtin_snd_setpan, {W(-1), W(-100)}), 0u);
  EXPECT_EQ(CallInt(builtin_snd_getpan, {W(-1)}), -100);
}

TEST_F(SoundSlots, FrequencyIsClampedAndZeroRestoresTheFilesRate) {
  uint32_t path = File("tone.wav", PcmWave(1, 22050, 16, Sine(2205, 22050, {440})));
  ASSERT_EQ(Call(builtin_snd_load, {0, path}), 1u);
  ASSERT_EQ(Call(builtin_snd_load, {5, path}), 1u);
  struct Case {
    uint32_t set, read;
  };
  for (Case c : {Case{50, 100}, Case{1, 100}, Case{100, 100}, Case{30000, 30000}, Case{200000, 100000}, Case{0, 22050}}) {
    EXPECT_EQ(Call(builtin_snd_setfreq, {0, c.set}), 0u);
    EXPECT_EQ(Call(builtin_snd_getfreq, {0}), c.read);
  }
  // Slot -1 sets every loaded slot.
  EXPECT_EQ(Call(builtin_snd_setfreq, {W(-1), 11025}), 0u);
  EXPECT_EQ(Call(builtin_snd_getfreq, {0}), 11025u);
  EXPECT_EQ(Call(builtin_snd_getfreq, {5}), 11025u);
  EXPECT_EQ(Call(builtin_snd_getfreq, {6}), 0u);  // empty
}

TEST_F(SoundSlots, AMarginAddsSilenceThatPlaysAndLoops) {
  uint32_t path = File("tone.wav", Tone(100));
  EXPECT_EQ(Call(builtin_snd_setmargin, {500}), 1u);
  ASSERT_EQ(Call(builtin_snd_load, {1, path}), 1u);
  EXPECT_EQ(Call(builtin_snd_getlen, {1}), 100u);
  ASSERT_EQ(Call(builtin_snd_play, {1, 0}), 1u);
  std::vector<float> out = Mix(400);
  EXPECT_GT(Rms(out.data(), 4800, 0), 0.3);
  EXPECT_EQ(Rms(out.data() + 2 * 4900, 14000, 0), 0);  // the silent tail
  EXPECT_EQ(Call(builtin_snd_isplay, {1}), 1u);         // 600 ms in all
  Mix(300);
  EXPECT_EQ(Call(builtin_snd_isplay, {1}), 0u);
  // Looping: the tone comes back after the gap.
  ASSERT_EQ(Call(builtin_snd_play, {1, 1}), 1u);
  out = Mix(700);
  EXPECT_GT(Rms(out.data() + 2 * 28800, 4800, 0), 0.3);  // 600..700 ms
}

TEST_F(SoundSlots, PausesNestAndSetPositionWorksOnlyWhileNotPlaying) {
  uint32_t path = File("long.wav", Tone(2000));
  ASSERT_EQ(Call(builtin_snd_load, {2, path}), 1u);
  ASSERT_EQ(Call(builtin_snd_play, {2, 0}), 1u);
  Mix(100);
  uint32_t at = Call(builtin_snd_getpos, {2});
  EXPECT_NEAR(at, 100, 5);
  EXPECT_EQ(Call(builtin_snd_setpos, {2, 1000}), 0u);  // refused while playing
  EXPECT_NEAR(Call(builtin_snd_getpos, {2}), at, 1);
  EXPECT_EQ(Call(builtin_snd_pause, {2}), 1u);
  EXPECT_EQ(Call(builtin_snd_pause, {2}), 1u);
  EXPECT_EQ(Call(builtin_snd_getpos, {2}), 0u);  // paused: not playing
  EXPECT_EQ(Call(builtin_snd_setpos, {2, 1000}), 1u);
  EXPECT_EQ(Call(builtin_snd_replay, {2}), 1u);
  EXPECT_EQ(Call(builtin_snd_isplay, {2}), 0u);  // one pause still holds
  EXPECT_EQ(Call(builtin_snd_replay, {2}), 1u);
  EXPECT_EQ(Call(builtin_snd_isplay, {2}), 1u);
  Mix(100);
  EXPECT_NEAR(Call(builtin_snd_getpos, {2}), 1100, 5);
  EXPECT_EQ(Call(builtin_snd_stop, {2}), 1u);
  EXPECT_EQ(Call(builtin_snd_getpos, {2}), 0u);
  // The focus pause nests with the script's own.
  ASSERT_EQ(Call(builtin_snd_play, {2, 0}), 1u);
  EXPECT_EQ(Call(builtin_snd_pause, {2}), 1u);
  PauseAllSounds();
  ReplayAllSounds();
  EXPECT_EQ(Call(builtin_snd_isplay, {2}), 0u);
  EXPECT_EQ(Call(builtin_snd_replay, {W(-1)}), 1u);
  EXPECT_EQ(Call(builtin_snd_isplay, {2}), 1u);
}

TEST_F(SoundSlots, EffectsApplyAtPlayOnlyToBuffersOfAtLeast150Ms) {
  // A click at the start of a buffer of the given length; echo 100 ms later.
  struct Case {
    uint32_t ms;
    bool echoed;
  };
  for (Case c : {Case{1000, true}, Case{140, false}}) {
    SCOPED_TRACE(c.ms);
    std::vector<int16_t> click(kRate * c.ms / 1000, 0);
    click[0] = 16384;
    uint32_t path = File("click.wav", PcmWave(1, kRate, 16, click));
    ASSERT_EQ(Call(builtin_snd_load, {4, path}), 1u);
    uint32_t echo = Record({F(50), F(0), F(100), F(100), 0});
    EXPECT_EQ(Call(builtin_snd_setecho, {4, echo}), 1u);
    ASSERT_EQ(Call(builtin_snd_play, {4, 0}), 1u);
    std::vector<float> out = Mix(120);
    EXPECT_NEAR(out[2 * 4800], c.echoed ? 0.25 : 0, 0.01);
    if (!c.echoed) continue;
    // Switched off: gone at the next play, though no other effect remains.
    EXPECT_EQ(Call(builtin_snd_setecho, {4, 0}), 1u);
    ASSERT_EQ(Call(builtin_snd_play, {4, 0}), 1u);
    out = Mix(120);
    EXPECT_NEAR(out[2 * 4800], 0, 0.001);
    // Loading again forgets the effects set before.
    EXPECT_EQ(Call(builtin_snd_setecho, {4, echo}), 1u);
    ASSERT_EQ(Call(builtin_snd_load, {4, path}), 1u);
    ASSERT_EQ(Call(builtin_snd_play, {4, 0}), 1u);
    out = Mix(120);
    EXPECT_NEAR(out[2 * 4800], 0, 0.001);
  }
  EXPECT_EQ(Call(builtin_snd_setecho, {9, 0}), 0u);  // empty slot
}

TEST_F(SoundSlots, ARepeatingStreamLoopsFromItsLoopStart) {
  struct Case {
    const char* name;
    Bytes file;
  };
  std::vector<int16_t> second = Sine(22050, 22050, {440}, 0.5);
  const Case cases[] = {
      {"stream.wav", PcmWave(1, 22050, 16, second)},
      {"stream.ogg", OggVorbis(1, 22050, second)},
      {"adpcm.wav", AdpcmWave(1, 22050, 256, 500, Sine(22000, 22050, {440}, 0.5))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t path = File(c.name, c.file);
    ASSERT_EQ(Call(builtin_snd_loads, {7, path}), 1u);
    EXPECT_EQ(Call(builtin_snd_setloop, {7, 5000}), 1u);  // past the end: ignored
    EXPECT_EQ(Call(builtin_snd_setloop, {7, 500}), 1u);
    ASSERT_EQ(Call(builtin_snd_play, {7, 1}), 1u);
    Mix(1300, true);
    // 1300 ms: once through the first second, then 300 ms from 500 ms on.
    EXPECT_NEAR(Call(builtin_snd_getpos, {7}), 800, 40);
    EXPECT_EQ(Call(builtin_snd_isplay, {7}), 1u);
    // Without repeat the stream plays out and stops.
    ASSERT_EQ(Call(builtin_snd_play, {7, 0}), 1u);
    Mix(500, true);
    EXPECT_NEAR(Call(builtin_snd_getpos, {7}), 500, 40);
    Mix(2600, true);
    EXPECT_EQ(Call(builtin_snd_isplay, {7}), 0u);
  }
}

TEST_F(SoundSlots, SetPositionOnAPausedStreamContinuesThere) {
  uint32_t path = File("stream.wav", PcmWave(1, 22050, 16, Sine(3 * 22050, 22050, {440})));
  ASSERT_EQ(Call(builtin_snd_loads, {8, path}), 1u);
  ASSERT_EQ(Call(builtin_snd_play, {8, 0}), 1u);
  Mix(200, true);
  EXPECT_EQ(Call(builtin_snd_pause, {8}), 1u);
  EXPECT_EQ(Call(builtin_snd_setpos, {8, 2000}), 1u);
  EXPECT_EQ(Call(builtin_snd_replay, {8}), 1u);
  Mix(100, true);
  EXPECT_NEAR(Call(builtin_snd_getpos, {8}), 2100, 40);
  EXPECT_EQ(Call(builtin_snd_getlen, {8}), 3000u);
}

TEST_F(SoundSlots, CommentsComeFromOggStreamsOnly) {
  std::vector<int16_t> wave = Sine(4410, 22050, {440});
  uint32_t ogg = File("c.ogg", OggVorbis(1, 22050, wave, {"TITLE=t", "COMMENT=ab", "COMMENT=cd"}));
  uint32_t wav = File("c.wav", PcmWave(1, 22050, 16, wave));
  char* text = reinterpret_cast<char*>(ToHost(text_));
  ASSERT_EQ(Call(builtin_snd_loads, {10, ogg}), 1u);
  EXPECT_EQ(Call(builtin_snd_gettext, {10, text_}), 1u);
  EXPECT_STREQ(text, "ab");
  std::strcpy(text, "old");
  ASSERT_EQ(Call(builtin_snd_loads, {11, wav}), 1u);
  EXPECT_EQ(Call(builtin_snd_gettext, {11, text_}), 0u);
  EXPECT_STREQ(text, "");  // emptied for a streaming slot
  std::strcpy(text, "old");
  ASSERT_EQ(Call(builtin_snd_load, {12, ogg}), 1u);
  EXPECT_EQ(Call(builtin_snd_gettext, {12, text_}), 0u);
  EXPECT_STREQ(text, "old");
  EXPECT_EQ(Call(builtin_snd_getlen, {12}), 200u);
}

TEST_F(SoundSlots, FailuresYieldTheFailureValue) {
  uint32_t good = File("good.wav", Tone(50));
  uint32_t missing = File("missing.wav", {});
  uint32_t broken = File("broken.wav", Bytes{'R', 'I', 'F', 'F', 0xFF, 0xFF, 0, 0, 'W', 'A', 'V', 'E'});
  std::string long_name(300, 'a');
  uint32_t too_long = ArenaAllocZeroed(301);
  std::memcpy(ToHost(too_long), long_name.data(), 300);
  for (uint32_t path : {missing, broken, too_long, 0u}) {
    EXPECT_EQ(Call(builtin_snd_load, {0, path}), 0u);
    EXPECT_EQ(Call(builtin_snd_loads, {0, path}), 0u);
  }
  for (int32_t slot : {-2, 64, 1000}) {
    EXPECT_EQ(Call(builtin_snd_load, {W(slot), good}), 0u);
    EXPECT_EQ(Call(builtin_snd_play, {W(slot), 0}), 0u);
    EXPECT_EQ(Call(builtin_snd_stop, {W(slot)}), 0u);
  }
  // An empty slot.
  EXPECT_EQ(Call(builtin_snd_play, {0, 0}), 0u);
  EXPECT_EQ(Call(builtin_snd_getlen, {0}), 0u);
  EXPECT_EQ(Call(builtin_snd_setpos, {0, 10}), 0u);
  EXPECT_EQ(Call(builtin_snd_setloop, {0, 10}), 0u);
  EXPECT_EQ(Call(builtin_snd_free, {0}), 1u);
  // A failed load leaves the slot empty.
  ASSERT_EQ(Call(builtin_snd_load, {0, good}), 1u);
  EXPECT_EQ(Call(builtin_snd_load, {0, missing}), 0u);
  EXPECT_EQ(Call(builtin_snd_isplay, {0}), 0u);
  EXPECT_EQ(Call(builtin_snd_getlen, {0}), 0u);
  // Without a device every load fails.
  StopSound();
  g_sound_settings.direct_sound = 0;
  StartSound();
  EXPECT_EQ(Call(builtin_snd_load, {0, good}), 0u);
  EXPECT_EQ(Call(builtin_snd_loads, {0, good}), 0u);
  EXPECT_EQ(Call(builtin_snd_getvol, {W(-1)}), 0u);
}

}  // namespace
