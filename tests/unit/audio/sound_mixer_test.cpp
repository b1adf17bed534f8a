// The mixer, driven by hand: levels, pan, pitch, ends of buffers, effects and
// streams, checked on the mixed float frames.
#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <limits>
#include <vector>

#include "platform/sound_device.h"
#include "sound_fixtures.h"

namespace {

constexpr uint32_t kRate = 48000;

class SoundMixer : public testing::Test {
 protected:
  void SetUp() override {
    SoundDeviceOptions options;
    options.use_hardware = false;
    options.paced = false;
    options.rate = kRate;
    ASSERT_TRUE(OpenSoundDevice(options));
  }
  void TearDown() override { CloseSoundDevice(); }

  // A playing buffer holding the samples.
  SoundBuffer* Buffer(uint16_t channels, uint32_t rate, const std::vector<int16_t>& samples, bool looping,
                      bool effects = false) {
    SoundBuffer* b = CreateSoundBuffer({channels, rate, 16}, uint32_t(samples.size() * 2), effects);
    EXPECT_NE(b, nullptr);
    uint8_t *first, *second;
    uint32_t first_size, second_size;
    EXPECT_TRUE(LockSoundBuffer(b, 0, GetSoundBufferSize(b), &first, &first_size, &second, &second_size));
    std::memcpy(first, samples.data(), first_size);
    PlaySoundBuffer(b, looping);
    return b;
  }
  std::vector<float> Mix(uint32_t frames) {
    std::vector<float> out(2 * frames);
    MixSoundFrames(out.data(), frames);
    return out;
  }
};

TEST_F(SoundMixer, VolumeAndPanAttenuateInHundredthsOfADecibel) {
  struct Case {
    int32_t volume, pan;
    double left, right;  // gains against full scale
  };
  const Case cases[] = {
      {0, 0, 1, 1},           {-1000, 0, 0.316, 0.316}, {-2000, 0, 0.1, 0.1},   {0, -1000, 1, 0.316},
      {0, 1000, 0.316, 1},    {-1000, 1000, 0.1, 0.316}, {-10000, 0, 0, 0},     {0, 10000, 0, 1},
  };
  std::vector<int16_t> tone = Sine(4800, kRate, {1000}, 0.5);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.volume << " " << c.pan);
    SoundBuffer* b = Buffer(1, kRate, tone, true);
    SetSoundBufferVolume(b, c.volume);
    SetSoundBufferPan(b, c.pan);
    std::vector<float> out = Mix(4800);
    double full = 0.5 / std::sqrt(2.0);
    EXPECT_NEAR(Rms(out.data(), 4800, 0), full * c.left, 0.005);
    EXPECT_NEAR(Rms(out.data(), 4800, 1), full * c.right, 0.005);
    ReleaseSoundBuffer(b);
  }
}

TEST_F(SoundMixer, ThePrimaryVolumeAndPanApplyToTheWholeMixWhichIsClippedOnce) {
  std::vector<int16_t> loud(960, 30000);
  SoundBuffer* a = Buffer(1, kRate, loud, true);
  SoundBuffer* b = Buffer(1, kRate, loud, true);
  std::vector<float> out = Mix(480);
  EXPECT_FLOAT_EQ(out[100], 1.0f);  // two near-full buffers sum past full scale
  SetPrimaryVolume(-1000);
  SetPrimaryPan(-1000);
  out = Mix(480);
  EXPECT_NEAR(out[100], 2 * 30000 / 32768.0 * 0.316, 0.01);
  EXPECT_NEAR(out[101], 2 * 30000 / 32768.0 * 0.1, 0.01);
  EXPECT_EQ(GetPrimaryVolume(), -1000);
  ReleaseSoundBuffer(a);
  ReleaseSoundBuffer(b);
}

TEST_F(SoundMixer, BuffersAreResampledFromTheirFrequencyToTheMixRate) {
  struct Case {
    uint32_t rate, frequency;
    double heard;  // hertz of a 1000 Hz tone in the file
  };
  const Case cases[] = {{22050, 0, 1000}, {44100, 0, 1000}, {48000, 0, 1000}, {22050, 44100, 2000}, {22050, 11025, 500}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " " << c.frequency);
    SoundBuffer* b = Buffer(1, c.rate, Sine(c.rate, c.rate, {1000}, 0.5), true);
    ASSERT_TRUE(SetSoundBufferFrequency(b, c.frequency));
    EXPECT_EQ(GetSoundBufferFrequency(b), c.frequency ? c.frequency : c.rate);
    std::vector<float> out = Mix(kRate / 2);
    EXPECT_NEAR(ToneFrequency(out.data() + 2 * 2000, kRate / 2 - 2000, 0, kRate), c.heard, c.heard * 0.01);
    EXPECT_NEAR(Rms(out.data() + 2 * 2000, kRate / 2 - 2000, 0), 0.5 / std::sqrt(2.0), 0.02);
    ReleaseSoundBuffer(b);
  }
  SoundBuffer* b = Buffer(1, 22050, Sine(100, 22050, {1000}), false);
  EXPECT_FALSE(SetSoundBufferFrequency(b, 50));
  EXPECT_FALSE(SetSoundBufferFrequency(b, 300000));
  ReleaseSoundBuffer(b);
}

TEST_F(SoundMixer, AOnceBufferStopsAtItsEndAndALoopingOneWraps) {
  for (uint32_t rate : {kRate, 22050u}) {
    SCOPED_TRACE(rate);
    SoundBuffer* once = Buffer(2, rate, std::vector<int16_t>(2 * rate / 10, 8000), false);  // 100 ms
    SoundBuffer* loop = Buffer(2, rate, std::vector<int16_t>(2 * rate / 10, 8000), true);
    Mix(kRate / 20);
    uint32_t play = 0, write = 0;
    GetSoundBufferPosition(once, &play, &write);
    EXPECT_NEAR(play, rate / 20 * 4, rate / 100 * 4);  // about 50 ms in
    EXPECT_GT(write, play);
    EXPECT_TRUE(SoundBufferPlaying(once));
    std::vector<float> out = Mix(kRate / 10);
    EXPECT_FALSE(SoundBufferPlaying(once));
    EXPECT_TRUE(SoundBufferPlaying(loop));
    // After the end only the looping buffer sounds.
    EXPECT_NEAR(out[2 * (kRate / 10 - 10)], 8000 / 32768.0, 0.01);
    ReleaseSoundBuffer(once);
    ReleaseSoundBuffer(loop);
  }
}

TEST_F(SoundMixer, PositionsAndStopsHoldWhereTheyWereSet) {
  SoundBuffer* b = Buffer(1, kRate, std::vector<int16_t>(kRate, 1000), false);
  StopSoundBuffer(b);
  SetSoundBufferPosition(b, 2 * 24000 + 1);  // rounded down to the frame
  uint32_t play = 0;
  GetSoundBufferPosition(b, &play, nullptr);
  EXPECT_EQ(play, 48000u);
  Mix(480);
  GetSoundBufferPosition(b, &play, nullptr);
  EXPECT_EQ(play, 48000u);  // a stopped buffer does not move
  PlaySoundBuffer(b, false);
  Mix(480);
  GetSoundBufferPosition(b, &play, nullptr);
  EXPECT_EQ(play, 48000u + 960);
  ReleaseSoundBuffer(b);
}

SoundEffectSettings Effect(SoundEffectKind kind, std::initializer_list<float> floats) {
  SoundEffectSettings s{kind, {}};
  int i = 0;
  for (float f : floats) s.fields[i++] = std::bit_cast<uint32_t>(f);
  return s;
}
uint32_t Int(int32_t v) { return static_cast<uint32_t>(v); }

TEST_F(SoundMixer, EchoRepeatsAfterItsDelayWithItsFeedback) {
  // One click, then silence; echo 50 % wet, 50 % feedback, 100 ms left, 200 ms right.
  std::vector<int16_t> click(2 * kRate, 0);
  click[0] = click[1] = 16384;
  SoundBuffer* b = Buffer(2, kRate, click, false, true);
  SoundEffectSettings echo = Effect(SoundEffectKind::kEcho, {50, 50, 100, 200});
  echo.fields[4] = 0;
  ASSERT_TRUE(SetSoundBufferEffects(b, &echo, 1));
  std::vector<float> out = Mix(kRate / 2);
  EXPECT_NEAR(out[0], 0.25, 0.01);                      // dry half
  EXPECT_NEAR(out[2 * (kRate / 10)], 0.25, 0.02);        // left echo at 100 ms
  EXPECT_NEAR(out[2 * (kRate / 10) + 1], 0, 0.01);       // not yet on the right
  EXPECT_NEAR(out[2 * (kRate / 5) + 1], 0.25, 0.02);     // right echo at 200 ms
  EXPECT_NEAR(out[2 * (kRate / 5)], 0.125, 0.02);        // second left echo, fed back at 50 %
  ReleaseSoundBuffer(b);
}

TEST_F(SoundMixer, GargleModulatesAtItsRateWithItsWaveShape) {
  std::vector<int16_t> level(2 * kRate, 16384);
  for (int32_t shape : {0, 1}) {
    SCOPED_TRACE(shape);
    SoundBuffer* b = Buffer(2, kRate, level, true, true);
    SoundEffectSettings gargle{SoundEffectKind::kGargle, {Int(10), Int(shape)}};  // 10 Hz: 4800 frames a cycle
    ASSERT_TRUE(SetSoundBufferEffects(b, &gargle, 1));
    std::vector<float> out = Mix(4800);
    EXPECT_NEAR(out[0], shape ? 0.5 : 0, 0.01);
    EXPECT_NEAR(out[2 * 1200], shape ? 0.5 : 0.25, 0.01);  // a quarter cycle in
    EXPECT_NEAR(out[2 * 3600], shape ? 0 : 0.25, 0.01);    // three quarters in
    ReleaseSoundBuffer(b);
  }
}

TEST_F(SoundMixer, TheEqualiserRaisesItsBandAndLeavesOthers) {
  SoundEffectSettings eq = Effect(SoundEffectKind::kParametricEqualiser, {1000, 12, 12});
  struct Case {
    double tone, gain;
  };
  for (Case c : {Case{1000, 3.98}, Case{8000, 1.0}}) {
    SCOPED_TRACE(c.tone);
    SoundBuffer* b = Buffer(1, kRate, Sine(kRate, kRate, {c.tone}, 0.1), true, true);
    ASSERT_TRUE(SetSoundBufferEffects(b, &eq, 1));
    std::vector<float> out = Mix(kRate / 4);
    EXPECT_NEAR(Rms(out.data() + 4000, kRate / 4 - 2000, 0) / (0.1 / std::sqrt(2.0)), c.gain, c.gain * 0.12);
    ReleaseSoundBuffer(b);
  }
}

TEST_F(SoundMixer, ChorusAndFlangerDelayByTheirDelayInMilliseconds) {
  // Fully wet, no depth, no feedback: a click comes out after the delay.
  struct Case {
    SoundEffectKind kind;
    float delay_ms;
  };
  for (Case c : {Case{SoundEffectKind::kChorus, 10}, Case{SoundEffectKind::kFlanger, 2}}) {
    SCOPED_TRACE(c.delay_ms);
    std::vector<int16_t> click(2 * 4800, 0);
    click[0] = click[1] = 16384;
    SoundBuffer* b = Buffer(2, kRate, click, false, true);
    SoundEffectSettings s = Effect(c.kind, {100, 0, 0, 1, 0, c.delay_ms, 0});
    s.fields[4] = 1;  // sine
    s.fields[6] = 2;  // no phase difference
    ASSERT_TRUE(SetSoundBufferEffects(b, &s, 1));
    std::vector<float> out = Mix(4800);
    size_t peak = 0;
    for (size_t n = 0; n < 4800; ++n)
      if (std::fabs(out[2 * n]) > std::fabs(out[2 * peak])) peak = n;
    EXPECT_NEAR(double(peak), c.delay_ms * kRate / 1000, 2);
    ReleaseSoundBuffer(b);
  }
}

TEST_F(SoundMixer, TheCompressorLowersWhatPassesItsThresholdByItsRatio) {
  // A full-scale tone, threshold -20 dB, ratio 4: 20 dB over becomes 5 dB.
  SoundBuffer* b = Buffer(1, kRate, Sine(kRate, kRate, {500}, 1.0), true, true);
  SoundEffectSettings s = Effect(SoundEffectKind::kCompressor, {0, 1, 500, -20, 4, 0});
  ASSERT_TRUE(SetSoundBufferEffects(b, &s, 1));
  std::vector<float> out = Mix(kRate / 2);
  float peak = 0;
  for (size_t n = kRate / 4; n < kRate / 2; ++n) peak = std::max(peak, std::fabs(out[2 * n]));
  EXPECT_NEAR(peak, 0.178, 0.03);  // -15 dB
  ReleaseSoundBuffer(b);
}

TEST_F(SoundMixer, DistortionSquaresTheWaveByItsEdgeAndScalesByItsGain) {
  // A 500 Hz tone through a wide post-EQ: the edge flattens the peaks (the
  // crest factor of a sine, 1.41, falls toward 1), the gain scales the level.
  struct Case {
    float gain_db, edge;
    double crest_below, crest_above, level;  // level against the 0 dB, edge 0 run
  };
  const Case cases[] = {{0, 0, 1.5, 1.3, 1.0}, {0, 95, 1.25, 0.9, -1}, {-20, 0, 1.5, 1.3, 0.1}};
  double reference = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.gain_db << " " << c.edge);
    SoundBuffer* b = Buffer(1, kRate, Sine(kRate, kRate, {500}, 0.5), true, true);
    SoundEffectSettings s = Effect(SoundEffectKind::kDistortion, {c.gain_db, c.edge, 500, 8000, 8000});
    ASSERT_TRUE(SetSoundBufferEffects(b, &s, 1));
    std::vector<float> out = Mix(kRate / 2);
    const float* tail = out.data() + 2 * 4800;
    size_t count = kRate / 2 - 4800;
    double rms = Rms(tail, count, 0), peak = 0;
    for (size_t n = 0; n < count; ++n) peak = std::max(peak, double(std::fabs(tail[2 * n])));
    EXPECT_LT(peak / rms, c.crest_below);
    EXPECT_GT(peak / rms, c.crest_above);
    if (c.level == 1.0) reference = rms;
    if (c.level > 0) {
      EXPECT_NEAR(rms / reference, c.level, c.level * 0.05);
    }
    ReleaseSoundBuffer(b);
  }
}

TEST_F(SoundMixer, TheReverbTailFallsBy60DecibelsOverTheReverbTime) {
  std::vector<int16_t> burst(2 * kRate, 0);
  for (size_t n = 0; n < 480; ++n) burst[2 * n] = burst[2 * n + 1] = static_cast<int16_t>((n * 7919 % 2001) * 16 - 16000);
  SoundBuffer* b = Buffer(2, kRate, burst, false, true);
  SoundEffectSettings s = Effect(SoundEffectKind::kReverb, {0, 0, 600, 0.5f});
  ASSERT_TRUE(SetSoundBufferEffects(b, &s, 1));
  std::vector<float> out = Mix(kRate);
  auto level = [&](double at_ms) { return 20 * std::log10(Rms(out.data() + 2 * size_t(at_ms * 48), 2400, 0)); };
  // From 100 ms to 400 ms (half the reverb time) about 30 dB are lost.
  EXPECT_NEAR(level(100) - level(400), 30, 10);
  ReleaseSoundBuffer(b);
}

TEST_F(SoundMixer, EveryEffectRunsFromItsDefaultsAndFromOutOfRangeFields) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int kind = 0; kind < kSoundEffectKinds; ++kind) {
    for (float fill : {nan, 1e9f, -1e9f}) {
      SCOPED_TRACE(testing::Message() << kind << " " << fill);
      SoundEffectSettings s{static_cast<SoundEffectKind>(kind), {}};
      for (uint32_t& f : s.fields) f = std::bit_cast<uint32_t>(fill);
      SoundBuffer* b = Buffer(2, kRate, Sine(kRate / 10, kRate, {440, 660}, 0.5), true, true);
      ASSERT_TRUE(SetSoundBufferEffects(b, &s, 1));
      std::vector<float> out = Mix(kRate / 10);
      for (float v : out) ASSERT_TRUE(std::isfinite(v) && v >= -1 && v <= 1);
      ReleaseSoundBuffer(b);
    }
  }
}

TEST_F(SoundMixer, BuffersWithoutEffectControlTakeNoChain) {
  SoundBuffer* b = Buffer(1, kRate, std::vector<int16_t>(100, 0), false, false);
  SoundEffectSettings echo = Effect(SoundEffectKind::kEcho, {50, 50, 100, 100});
  EXPECT_FALSE(SetSoundBufferEffects(b, &echo, 1));
  EXPECT_TRUE(SetSoundBufferEffects(b, nullptr, 0));
  ReleaseSoundBuffer(b);
}

void FillQuarter(void* user, float* frames, uint32_t count, uint32_t rate) {
  *static_cast<uint32_t*>(user) = rate;
  for (uint32_t n = 0; n < 2 * count; ++n) frames[n] = 0.25f;
}

TEST_F(SoundMixer, StreamsAreAddedToTheMixUntilRemoved) {
  uint32_t seen_rate = 0;
  int id = AddSoundStream(FillQuarter, &seen_rate);
  ASSERT_GE(id, 0);
  SoundBuffer* b = Buffer(1, kRate, std::vector<int16_t>(480, 8192), true);
  std::vector<float> out = Mix(100);
  EXPECT_EQ(seen_rate, kRate);
  EXPECT_NEAR(out[11], 0.5, 0.001);
  RemoveSoundStream(id);
  out = Mix(100);
  EXPECT_NEAR(out[11], 0.25, 0.001);
  ReleaseSoundBuffer(b);
}

TEST_F(SoundMixer, UnusableFormatsAndSizesMakeNoBuffer) {
  struct Case {
    SoundFormat format;
    uint32_t bytes;
  };
  const Case cases[] = {{{0, 22050, 16}, 100}, {{9, 22050, 16}, 180}, {{2, 22050, 24}, 120}, {{2, 0, 16}, 100},
                        {{2, 22050, 16}, 0},   {{2, 22050, 16}, 6},   {{2, 22050, 16}, 0x10000000}};
  for (const Case& c : cases) EXPECT_EQ(CreateSoundBuffer(c.format, c.bytes, false), nullptr);
}

}  // namespace

namespace {

// The device's own callback (SDL's dummy driver, which needs no sound card)
// mixes in real time and the recording gets what it mixed.
TEST(SoundDevice, TheDeviceMixesInRealTimeAndRecords) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  std::string path = (std::filesystem::temp_directory_path() / ("keva-mix-" + std::to_string(getpid()) + ".wav")).string();
  SoundDeviceOptions options;
  options.record_path = path;
  ASSERT_TRUE(OpenSoundDevice(options));
  ASSERT_GT(SoundDeviceRate(), 0u);
  SoundBuffer* b = CreateSoundBuffer({1, 22050, 16}, 22050, false);  // half a second
  ASSERT_NE(b, nullptr);
  PlaySoundBuffer(b, false);
  for (int i = 0; i < 300 && SoundBufferPlaying(b); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(SoundBufferPlaying(b));  // it played out by itself
  CloseSoundDevice();
  std::ifstream in(path, std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(file.size(), 44u);
  uint32_t data = file[40] | file[41] << 8 | file[42] << 16 | uint32_t(file[43]) << 24;
  EXPECT_EQ(data, file.size() - 44);
  EXPECT_GT(data, 0u);
  std::filesystem::remove(path);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

}  // namespace
