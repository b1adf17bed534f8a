// The sound files the sound scripts play, and the check of a recorded mix.
//   sound_fixtures write DIR               writes tone.wav and music.ogg into DIR
//   sound_fixtures record KEVA SCRIPT OUT  runs SCRIPT headless recording OUT, then checks OUT
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sound_fixtures.h"

namespace {

int Write(const std::string& dir) {
  // A 1 kHz tone, 22050 Hz mono, one second.
  WriteBytes(dir + "/tone.wav", PcmWave(1, 22050, 16, Sine(22050, 22050, {1000}, 0.5)));
  // 440 Hz left and 660 Hz right, 44100 Hz, one second, with a comment.
  WriteBytes(dir + "/music.ogg", OggVorbis(2, 44100, Sine(44100, 44100, {440, 660}, 0.5), {"TITLE=t", "COMMENT=ab"}));
  return 0;
}

// The runs of sound in the recording: [start, end) frames where either side
// is above a small level, gaps of less than 20 ms bridged.
std::vector<std::pair<size_t, size_t>> Runs(const std::vector<float>& mix, uint32_t rate) {
  std::vector<std::pair<size_t, size_t>> runs;
  size_t frames = mix.size() / 2, quiet = 0;
  bool in = false;
  for (size_t n = 0; n < frames; ++n) {
    bool loud = std::fabs(mix[2 * n]) > 0.01 || std::fabs(mix[2 * n + 1]) > 0.01;
    if (loud) {
      if (!in) runs.push_back({n, n + 1});
      in = true;
      quiet = 0;
      runs.back().second = n + 1;
    } else if (in && ++quiet > rate / 50) {
      in = false;
    }
  }
  return runs;
}

int Fail(const char* what, double value) {
  std::fprintf(stderr, "sound_fixtures: %s (%g)\n", what, value);
  return 1;
}

int Check(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (file.size() < 44 || std::string(file.begin(), file.begin() + 4) != "RIFF") return Fail("no WAV written", 0);
  uint32_t rate = file[24] | file[25] << 8 | file[26] << 16 | uint32_t(file[27]) << 24;
  uint32_t data = file[40] | file[41] << 8 | file[42] << 16 | uint32_t(file[43]) << 24;
  if (file[22] != 2 || file[34] != 16 || data != file.size() - 44) return Fail("not a whole 16-bit stereo WAV", data);
  std::vector<float> mix;
  for (size_t i = 44; i + 1 < file.size(); i += 2) mix.push_back(int16_t(file[i] | file[i + 1] << 8) / 32768.0f);
  auto runs = Runs(mix, rate);
  if (runs.size() != 2) return Fail("expected two sounds, found", double(runs.size()));
  // The middle of each run, away from its edges.
  auto middle = [&](size_t r, size_t& count) {
    size_t length = runs[r].second - runs[r].first;
    count = length / 2;
    return mix.data() + 2 * (runs[r].first + length / 4);
  };
  size_t count;
  // 1: the tone at volume 50 (-10 dB), panned 50 to the right (left -10 dB
  // more) and played at 44100 Hz (an octave up).
  const float* tone = middle(0, count);
  if (count < rate / 10) return Fail("the tone is too short", double(count));
  double full = 0.5 / std::sqrt(2.0);
  double right = Rms(tone, count, 1) / full, left = Rms(tone, count, 0) / full;
  if (std::fabs(right - 0.316) > 0.03) return Fail("right level of the tone", right);
  if (std::fabs(left - 0.1) > 0.015) return Fail("left level of the tone", left);
  double pitch = ToneFrequency(tone, count, 1, rate);
  if (std::fabs(pitch - 2000) > 20) return Fail("pitch of the tone", pitch);
  // 2: the Ogg stream at full volume, 440 Hz left and 660 Hz right.
  const float* music = middle(1, count);
  double f_left = ToneFrequency(music, count, 0, rate), f_right = ToneFrequency(music, count, 1, rate);
  if (std::fabs(f_left - 440) > 5 || std::fabs(f_right - 660) > 7) return Fail("pitch of the music", f_left);
  double level = Rms(music, count, 0) / full;
  if (std::fabs(level - 1) > 0.1) return Fail("level of the music", level);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && argc == 3) return Write(argv[2]);
  if (mode == "record" && argc == 5) {
    std::remove(argv[4]);
    std::string command = std::string("'") + argv[2] + "' --headless --timeout 60 --audio-out '" + argv[4] + "' '" +
                          argv[3] + "'";
    int status = std::system(command.c_str());
    if (status != 0) return Fail("the script failed", status);
    return Check(argv[4]);
  }
  std::fprintf(stderr, "usage: sound_fixtures write DIR | record KEVA SCRIPT OUT.wav\n");
  return 2;
}
