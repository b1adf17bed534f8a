// The media_ builtins on tiny videos encoded at test time, played in real
// time on a mixer paced by the clock, with the test thread as the window
// thread (the end of a play arrives as a call posted to it).
#include "audio/video_playback.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/sound_buffers.h"
#include "builtin_call.h"
#include "display/display_output.h"
#include "platform/error_box.h"
#include "platform/window_thread.h"
#include "sound_fixtures.h"
#include "video_fixtures.h"
#include "vm/arena.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kFrames = 10;  // 0.4 seconds
constexpr int kScreenW = 160, kScreenH = 120;

uint32_t g_boxes = 0;
void CountBox(std::string_view, std::string_view) { ++g_boxes; }

fs::path VideoFolder() {
  static const fs::path folder = [] {
    fs::path dir = fs::temp_directory_path() / ("keva-video-" + std::to_string(getpid()));
    fs::create_directories(dir);
    EXPECT_TRUE(WriteTestVideo((dir / "clip.mpg").string(), kMpeg1Video, kFrames));
    EXPECT_TRUE(WriteTestVideo((dir / "clip.avi").string(), kMpeg4WithSound, kFrames));
    WriteBytes((dir / "tone.wav").string(), PcmWave(1, 22050, 16, Sine(22050 * 2 / 5, 22050, {440})));  // sound only
    return dir;
  }();
  return folder;
}

bool Near(uint32_t a, uint32_t b) {
  for (int shift : {0, 8, 16})
    if (std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)) > 12) return false;
  return true;
}

class VideoPlayback : public testing::Test {
 protected:
  static void TearDownTestSuite() { fs::remove_all(VideoFolder()); }

  void SetUp() override {
    ASSERT_TRUE(ArenaStart());
    args_ = ArenaAllocZeroed(64);
    rect_ = ArenaAllocZeroed(16);
    BecomeWindowThread();
    SetEngineMessageHandler(MediaEngineMessage);
    EnableEngineMessages(true);
    SetErrorBoxBackend(CountBox);
    g_boxes = 0;
    g_sound_settings = SoundSettings{};
    g_sound_settings.use_device = false;
    g_sound_settings.record_path = record_;
    StartSound();
    g_display_settings = DisplaySettings{};
    g_display_settings.width = kScreenW;
    g_display_settings.height = kScreenH;
    StartDisplayOutput();
  }
  void TearDown() override {
    ReleaseMedia();
    StopDisplayOutput();
    StopSound();
    SetErrorBoxBackend(nullptr);
    EnableEngineMessages(false);
    SetEngineMessageHandler(nullptr);
    if (!record_.empty()) fs::remove(record_);
  }

  uint32_t Text(const std::string& s) {
    uint32_t at = ArenaAllocZeroed(s.size() + 1);
    std::memcpy(ToHost(at), s.c_str(), s.size());
    return at;
  }
  uint32_t Video(const char* name) { return Text((VideoFolder() / name).string()); }
  int32_t Call(BuiltinHandler h, std::initializer_list<uint32_t> words = {}) {
    return static_cast<int32_t>(CallBuiltin(h, args_, words));
  }
  // Serves the window thread's queue for about ms milliseconds.
  void Serve(int ms) {
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
      ServeEngineMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // Serves until the play has ended; the seconds it took, or -1 after 20 s.
  double WaitForEnd() {
    auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(20)) {
      ServeEngineMessages();
      if (Call(builtin_media_isplay) == 0) return std::chrono::duration<double>(Clock::now() - start).count();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }
  uint32_t PixelAt(int x, int y) { return FrameSnapshot()[static_cast<size_t>(y) * kScreenW + x]; }
  // Serves until the pixel shows the video's colour (false after 10 s).
  bool WaitForPicture(int x, int y) {
    auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(10)) {
      ServeEngineMessages();
      if (Near(PixelAt(x, y), kTestVideoColour)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  uint32_t args_ = 0, rect_ = 0;
  std::string record_;
};

// Each kind (a picture alone, a picture with sound, sound alone) plays to its
// end at the pace of the clock, then stops; a second play starts again from
// the beginning.
TEST_F(VideoPlayback, PlaysToTheEndInRealTime) {
  for (const char* name : {"clip.mpg", "clip.avi", "tone.wav"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(Call(builtin_media_open, {Video(name)}), 1);
    EXPECT_EQ(Call(builtin_media_isplay), 0);
    EXPECT_EQ(Call(builtin_media_play), 1);
    EXPECT_EQ(Call(builtin_media_isplay), 1);
    EXPECT_GE(WaitForEnd(), 0.3);  // 0.4 s never ends much sooner
    EXPECT_EQ(Call(builtin_media_play), 1);
    EXPECT_GE(WaitForEnd(), 0.3);
    EXPECT_EQ(Call(builtin_media_close), 1);
    EXPECT_EQ(Call(builtin_media_play), 0);
    EXPECT_EQ(Call(builtin_media_stop), 0);
  }
  EXPECT_EQ(g_boxes, 0u);
}

TEST_F(VideoPlayback, RepeatLoopsUntilTurnedOff) {
  ASSERT_EQ(Call(builtin_media_open, {Video("CLIP.AVI")}), 1);  // names as on Windows, in any case
  EXPECT_EQ(Call(builtin_media_repeat, {1}), 1);
  EXPECT_EQ(Call(builtin_media_play), 1);
  Serve(1300);  // three times the length
  EXPECT_EQ(Call(builtin_media_isplay), 1);
  EXPECT_EQ(Call(builtin_media_repeat, {0}), 1);
  EXPECT_GT(WaitForEnd(), 0.0);
}

TEST_F(VideoPlayback, PausesNest) {
  ASSERT_EQ(Call(builtin_media_open, {Video("clip.mpg")}), 1);
  // Nothing plays: the pause counts but does nothing, the replay undoes it.
  EXPECT_EQ(Call(builtin_media_pause), 0);
  EXPECT_EQ(Call(builtin_media_replay), 0);
  EXPECT_EQ(Call(builtin_media_replay), 1);  // no pause to undo
  ASSERT_EQ(Call(builtin_media_play), 1);
  EXPECT_EQ(Call(builtin_media_pause), 1);
  EXPECT_EQ(Call(builtin_media_pause), 1);
  EXPECT_EQ(Call(builtin_media_replay), 1);  // one pause left
  Serve(900);
  EXPECT_EQ(Call(builtin_media_isplay), 1);  // a paused play does not end
  // A switch of the display mode keeps it paused and playing, its picture
  // back over the screen.
  SuspendMedia();
  EXPECT_EQ(PixelAt(80, 60), 0u);
  ResumeMedia();
  EXPECT_TRUE(WaitForPicture(80, 60));
  Serve(900);
  EXPECT_EQ(Call(builtin_media_isplay), 1);
  EXPECT_EQ(Call(builtin_media_replay), 1);
  EXPECT_GT(WaitForEnd(), 0.0);
  // A play resets the count.
  EXPECT_EQ(Call(builtin_media_pause), 0);
  EXPECT_EQ(Call(builtin_media_play), 1);
  EXPECT_GT(WaitForEnd(), 0.0);
}

TEST_F(VideoPlayback, VolumeInHundredthsOfADecibel) {
  struct Case {
    int32_t volume, expected;
  };
  for (Case c : {Case{100, 0}, {101, 0}, {50, -1505}, {10, -5000}, {1, -10000}, {0, -10000}, {-3, -10000}}) {
    EXPECT_EQ(MediaVolume(c.volume), c.expected) << c.volume;
  }
  EXPECT_EQ(Call(builtin_media_setvol, {50}), 1);  // before anything is open too
}

TEST_F(VideoPlayback, UnreadableFilesAreRefused) {
  const fs::path dir = VideoFolder();
  std::vector<char> avi(4096);
  std::ifstream(dir / "clip.avi", std::ios::binary).read(avi.data(), static_cast<std::streamsize>(avi.size()));
  struct Case {
    const char* name;
    size_t bytes;  // of the AVI's start; 0: text instead
  };
  for (Case c : {Case{"missing.avi", 0}, {"text.mpg", 0}, {"short.avi", 300}, {"header.avi", 40}}) {
    SCOPED_TRACE(c.name);
    if (c.bytes) std::ofstream(dir / c.name, std::ios::binary).write(avi.data(), static_cast<std::streamsize>(c.bytes));
    else if (std::string(c.name) != "missing.avi") std::ofstream(dir / c.name) << "not a video at all\n";
    g_boxes = 0;
    EXPECT_EQ(Call(builtin_media_open, {Video(c.name)}), 0);
    EXPECT_EQ(g_boxes, 1u);
    EXPECT_EQ(Call(builtin_media_play), 0);
    EXPECT_EQ(Call(builtin_media_isplay), 0);
  }
  EXPECT_EQ(Call(builtin_media_open, {Text(std::string(300, 'a'))}), 0);
}

// Damage inside the streams: the file is refused, or it plays (as far as it
// decodes) and ends like any other.
TEST_F(VideoPlayback, DamagedFilesPlayOrAreRefused) {
  const fs::path dir = VideoFolder();
  for (const char* name : {"clip.avi", "clip.mpg"}) {
    SCOPED_TRACE(name);
    std::ifstream in(dir / name, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    uint32_t seed = 12345;
    for (size_t i = bytes.size() / 8; i < bytes.size(); i += 7) {  // every 7th byte past the headers
      seed = seed * 1103515245u + 12345u;
      bytes[i] = static_cast<char>(seed >> 16);
    }
    const std::string damaged = std::string("damaged-") + name;
    std::ofstream(dir / damaged, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (Call(builtin_media_open, {Video(damaged.c_str())}) == 0) continue;
    EXPECT_EQ(Call(builtin_media_play), 1);
    EXPECT_GE(WaitForEnd(), 0.0);
  }
}

// The picture covers the rectangle the script chose, over the frame.
TEST_F(VideoPlayback, PictureCoversThePlacedRectangle) {
  const int32_t rect[4] = {16, 8, 80, 56};
  std::memcpy(ToHost(rect_), rect, sizeof rect);
  ASSERT_EQ(Call(builtin_media_open, {Video("clip.mpg")}), 1);
  EXPECT_EQ(Call(builtin_media_repeat, {1}), 1);
  EXPECT_EQ(Call(builtin_media_size, {rect_}), 1);
  EXPECT_EQ(PixelAt(48, 32), 0u);  // nothing shows before the play
  ASSERT_EQ(Call(builtin_media_play), 1);
  ASSERT_TRUE(WaitForPicture(48, 32));
  EXPECT_TRUE(Near(PixelAt(16, 8), kTestVideoColour));
  EXPECT_TRUE(Near(PixelAt(79, 55), kTestVideoColour));
  for (auto [x, y] : {std::pair{15, 8}, {80, 30}, {48, 56}, {150, 110}}) EXPECT_EQ(PixelAt(x, y), 0u) << x << "," << y;
  // 0: the whole screen.
  EXPECT_EQ(Call(builtin_media_size, {0}), 1);
  EXPECT_TRUE(WaitForPicture(150, 110));
  EXPECT_EQ(Call(builtin_media_close), 1);
  EXPECT_EQ(PixelAt(48, 32), 0u);
}

// The sound goes through the mixer at the volume set.
TEST_F(VideoPlayback, SoundIsMixedAtTheVolumeSet) {
  auto loudest = [&](int32_t volume) {
    StopSound();
    record_ = (VideoFolder() / "mix.wav").string();
    g_sound_settings.record_path = record_;
    StartSound();
    EXPECT_EQ(Call(builtin_media_open, {Video("clip.avi")}), 1);
    EXPECT_EQ(Call(builtin_media_setvol, {static_cast<uint32_t>(volume)}), 1);
    EXPECT_EQ(Call(builtin_media_play), 1);
    EXPECT_GT(WaitForEnd(), 0.0);
    ReleaseMedia();
    StopSound();  // finishes the recording
    std::ifstream in(record_, std::ios::binary);
    std::vector<char> wav((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int peak = 0;
    for (size_t i = 44; i + 1 < wav.size(); i += 2) {
      int16_t s;
      std::memcpy(&s, &wav[i], 2);
      peak = std::max(peak, std::abs(static_cast<int>(s)));
    }
    return peak;
  };
  const int full = loudest(100);
  EXPECT_GT(full, 4000);  // the tone's 8000, give or take the resampling
  const int half = loudest(50);  // -15 dB
  EXPECT_GT(half, full / 8);
  EXPECT_LT(half, full / 4);
  EXPECT_EQ(loudest(0), 0);
}

}  // namespace
