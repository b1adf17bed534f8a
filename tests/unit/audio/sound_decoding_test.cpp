#include "audio/sound_decoding.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "sound_fixtures.h"

namespace {

// Opens bytes as a source; the source owns a copy.
bool Open(const Bytes& file, SoundSource& s) { return OpenSoundSourceFromBlock(Block(file), uint32_t(file.size()), s) == 1; }

int16_t SampleAt(const Bytes& pcm, size_t index) {
  int16_t v;
  std::memcpy(&v, pcm.data() + 2 * index, 2);
  return v;
}

TEST(SoundDecoding, PcmIsPassedThroughAndPaddedWithTheFormatsSilence) {
  struct Case {
    uint16_t bits;
    uint8_t silence;
  };
  for (Case c : {Case{8, 128}, Case{16, 0}}) {
    SCOPED_TRACE(c.bits);
    Bytes file = PcmWave(1, 8000, c.bits, {1000, -1000, 2000, -2000});
    SoundSource s;
    ASSERT_TRUE(Open(file, s));
    uint32_t data = 4 * c.bits / 8;
    EXPECT_EQ(DecodedLength(s), data);
    EXPECT_EQ(DecodedBytesPerSecond(s), 8000u * c.bits / 8);
    Bytes out(data + 6, 0x55);
    uint32_t real = 0;
    DecodeSound(s, out.data(), uint32_t(out.size()), &real);
    EXPECT_EQ(real, data);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + data, file.end() - data));  // unchanged bytes
    for (size_t i = data; i < out.size(); ++i) EXPECT_EQ(out[i], c.silence);
    // At the end a request is all silence.
    DecodeSound(s, out.data(), 4, &real);
    EXPECT_EQ(real, 0u);
    CloseSoundSource(s);
  }
}

TEST(SoundDecoding, AdpcmDecodesMonoAndStereoAndStopsBeforeAnIncompleteLastBlock) {
  struct Case {
    uint16_t channels;
    uint16_t block_align;
  };
  for (Case c : {Case{1, 256}, Case{2, 512}}) {
    SCOPED_TRACE(c.channels);
    // samples per block = 2 + (align - 7 × channels) × 2 / channels
    uint16_t per_block = static_cast<uint16_t>(2 + (c.block_align - 7 * c.channels) * 2 / c.channels);
    // Left 440 Hz, right 1000 Hz; three whole blocks and a half one.
    std::vector<double> tones = c.channels == 1 ? std::vector<double>{440} : std::vector<double>{440, 1000};
    uint32_t frames = per_block * 3 + per_block / 2;
    std::vector<int16_t> wave = Sine(frames, 22050, tones, 0.3);
    Bytes file = AdpcmWave(c.channels, 22050, c.block_align, per_block, wave);
    SoundSource s;
    ASSERT_TRUE(Open(file, s));
    uint32_t block_bytes = per_block * c.channels * 2u;
    EXPECT_EQ(DecodedLength(s), 3u * block_bytes);
    EXPECT_EQ(SoundLengthMs(s), 3u * per_block * 1000 / 22050);
    Bytes out(4 * block_bytes);
    uint32_t real = 0;
    DecodeSound(s, out.data(), uint32_t(out.size()), &real);
    EXPECT_EQ(real, 3u * block_bytes);
    // The decoded sound follows the tone of each channel closely (a wrong
    // nibble order or channel interleave gives noise).
    double error = 0, energy = 0;
    for (size_t i = 0; i < 3u * per_block * c.channels; ++i) {
      error += std::pow(SampleAt(out, i) - double(wave[i]), 2);
      energy += std::pow(double(wave[i]), 2);
    }
    EXPECT_LT(error / energy, 0.01);
    for (size_t i = real; i < out.size(); ++i) ASSERT_EQ(out[i], 0);
    CloseSoundSource(s);
  }
}

TEST(SoundDecoding, AdpcmHeaderSamplesComeOlderFirstAndADecodeCanStartInsideABlock) {
  // One stereo block of two samples per channel: header only.
  Bytes data;
  data.push_back(0), data.push_back(0);  // predictors
  Put16(data, 16), Put16(data, 16);    // deltas
  Put16(data, 11), Put16(data, 21);    // sample 1 (newer) of channel 0, 1
  Put16(data, 10), Put16(data, 20);    // sample 2 (older)
  Bytes file = Riff(AdpcmFormat(2, 8000, 14, 2), data);
  SoundSource s;
  ASSERT_TRUE(Open(file, s));
  Bytes out(8);
  DecodeSound(s, out.data(), 8);
  EXPECT_EQ(SampleAt(out, 0), 10);
  EXPECT_EQ(SampleAt(out, 1), 20);
  EXPECT_EQ(SampleAt(out, 2), 11);
  EXPECT_EQ(SampleAt(out, 3), 21);
  // From the middle of the block: the rest of it first.
  s.decode_offset = 4;
  s.adpcm_left = 0;
  uint32_t real = 0;
  DecodeSound(s, out.data(), 8, &real);
  EXPECT_EQ(real, 4u);
  EXPECT_EQ(SampleAt(out, 0), 11);
  EXPECT_EQ(SampleAt(out, 1), 21);
  CloseSoundSource(s);
}

TEST(SoundDecoding, OggVorbisDecodesFromMemoryWithItsCommentsAndSeeks) {
  std::vector<int16_t> wave = Sine(22050, 22050, {440, 880}, 0.5);
  Bytes file = OggVorbis(2, 22050, wave, {"TITLE=x", "COMMENT=ab"});
  ASSERT_FALSE(file.empty());
  SoundSource s;
  ASSERT_TRUE(Open(file, s));
  EXPECT_EQ(s.channels, 2);
  EXPECT_EQ(s.rate, 22050u);
  EXPECT_EQ(s.total_samples, 22050u);
  EXPECT_EQ(DecodedLength(s), 22050u * 4);
  EXPECT_EQ(SoundLengthMs(s), 1000u);
  ASSERT_NE(FindVorbisComment(s, "COMMENT="), nullptr);
  EXPECT_STREQ(FindVorbisComment(s, "COMMENT="), "ab");
  Bytes out(22050 * 4 + 400);
  uint32_t real = 0;
  DecodeSound(s, out.data(), uint32_t(out.size()), &real);
  EXPECT_EQ(real, 22050u * 4);
  // Lossy, but close to the tones.
  double error = 0, energy = 0;
  for (size_t i = 2000; i < 40000; ++i) {
    error += std::pow(SampleAt(out, i) - double(wave[i]), 2);
    energy += std::pow(double(wave[i]), 2);
  }
  EXPECT_LT(error / energy, 0.05);
  for (size_t i = real; i < out.size(); ++i) ASSERT_EQ(out[i], 0);
  ASSERT_TRUE(SeekVorbis(s, 11025));
  DecodeSound(s, out.data(), 4 * 11025, &real);
  EXPECT_EQ(real, 4u * 11025);
  CloseSoundSource(s);
}

TEST(SoundDecoding, ABrokenOggPageIsRefusedOrDecodesWithoutReadingPastTheFile) {
  Bytes file = OggVorbis(1, 8000, Sine(8000, 8000, {440}), {});
  ASSERT_GT(file.size(), 200u);
  // Cut inside the headers: refused. Garbage inside the audio pages: the
  // decode must stay inside the block and deliver whole requests.
  SoundSource s;
  Bytes cut(file.begin(), file.begin() + 60);
  EXPECT_FALSE(Open(cut, s));
  Bytes damaged = file;
  for (size_t i = damaged.size() / 2; i < damaged.size() / 2 + 64; ++i) damaged[i] ^= 0x5A;
  if (Open(damaged, s)) {
    Bytes out(8000 * 2 + 100);
    uint32_t real = 0;
    DecodeSound(s, out.data(), uint32_t(out.size()), &real);
    EXPECT_LE(real, out.size());
    CloseSoundSource(s);
  }
}

// A stereo PCM fmt payload whose fields a case then changes.
Bytes WaveWithFormat(const Bytes& fmt) { return Riff(fmt, Bytes(64, 0)); }

TEST(SoundDecoding, HostileRiffFilesAreRefused) {
  Bytes good = PcmWave(2, 8000, 16, Sine(16, 8000, {440, 440}));
  auto with = [&](size_t at, std::initializer_list<uint8_t> bytes) {
    Bytes b = good;
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(at));
    return b;
  };
  Bytes adpcm = AdpcmWave(1, 8000, 64, 116, Sine(200, 8000, {440}));
  auto adpcm_with = [&](size_t at, std::initializer_list<uint8_t> bytes) {
    Bytes b = adpcm;
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(at));
    return b;
  };
  Bytes no_data = good;
  std::memcpy(no_data.data() + 36, "junk", 4);
  struct Case {
    const char* what;
    Bytes file;
  };
  const Case cases[] = {
      {"empty", {}},
      {"truncated RIFF", Bytes(good.begin(), good.begin() + 30)},
      {"truncated data", Bytes(good.begin(), good.end() - 8)},
      {"RIFF size past the end", with(4, {0xFF, 0xFF, 0xFF, 0x7F})},
      {"fmt size past RIFF", with(16, {0xF0, 0xFF, 0, 0})},
      {"data size past RIFF", with(40, {0xFF, 0xFF, 0, 0})},
      {"not WAVE", with(8, {'A', 'V', 'I', ' '})},
      {"format tag 3", with(20, {3, 0})},
      {"channels 0", with(22, {0, 0})},
      {"channels 9", with(22, {9, 0})},
      {"rate 0", with(24, {0, 0, 0, 0})},
      {"block align not the frame", with(32, {3, 0})},
      {"24 bits", with(34, {24, 0})},
      {"no data chunk", no_data},
      {"ADPCM block align 0", adpcm_with(32, {0, 0})},
      {"ADPCM block align huge", adpcm_with(32, {0xFF, 0xFF})},
      {"ADPCM no coefficients", adpcm_with(40, {0, 0})},
      {"ADPCM too many coefficients", adpcm_with(40, {0xFF, 0x00})},
      {"ADPCM channels 3", adpcm_with(22, {3, 0})},
      {"ADPCM samples per block past the block", adpcm_with(38, {0xFF, 0x7F})},
      {"ADPCM fmt without its extension", WaveWithFormat(Bytes(adpcm.begin() + 20, adpcm.begin() + 38))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SoundSource s;
    EXPECT_FALSE(Open(c.file, s));
    EXPECT_EQ(s.block, nullptr);
  }
  SoundSource s;
  ASSERT_TRUE(Open(good, s));
  CloseSoundSource(s);
  ASSERT_TRUE(Open(adpcm, s));
  CloseSoundSource(s);
}

TEST(SoundDecoding, SourcesOpenThroughTheFileLayer) {
  std::string dir = std::filesystem::temp_directory_path() / ("keva-sound-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  WriteBytes(dir + "/a.wav", PcmWave(1, 8000, 16, Sine(80, 8000, {440})));
  SoundSource s;
  EXPECT_EQ(OpenSoundSource((dir + "/a.wav").c_str(), s), 1);
  EXPECT_EQ(s.data_size, 160u);
  CloseSoundSource(s);
  EXPECT_EQ(OpenSoundSource((dir + "/missing.wav").c_str(), s), 0);
  EXPECT_EQ(OpenSoundSource("", s), 0);
  std::filesystem::remove_all(dir);
}

}  // namespace

namespace {

// Damaged copies of each kind of file (bytes changed, the end cut off) open
// or are refused, and decode whole requests without reading past the block.
TEST(SoundDecoding, DamagedFilesNeverReadPastTheirBlock) {
  const Bytes originals[] = {
      PcmWave(2, 8000, 16, Sine(400, 8000, {440, 660})),
      AdpcmWave(2, 8000, 64, 52, Sine(300, 8000, {440, 660})),
      OggVorbis(1, 8000, Sine(2000, 8000, {440}), {"COMMENT=x"}),
  };
  uint32_t seed = 1;
  auto next = [&seed] { return seed = seed * 1103515245 + 12345, seed >> 8; };
  for (const Bytes& original : originals) {
    for (int round = 0; round < 300; ++round) {
      Bytes file = original;
      for (int k = next() % 4; k >= 0; --k) file[next() % file.size()] = static_cast<uint8_t>(next());
      if (round % 3 == 0) file.resize(next() % file.size());
      SoundSource s;
      if (!Open(file, s)) continue;
      Bytes out(16384);
      uint32_t real = 0;
      DecodeSound(s, out.data(), uint32_t(out.size()), &real);
      EXPECT_LE(real, out.size());
      CloseSoundSource(s);
    }
  }
}

}  // namespace
