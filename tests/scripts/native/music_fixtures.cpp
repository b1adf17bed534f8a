// The files the music scripts play, and the check of a recorded run.
//   music_fixtures write DIR               writes DIR/music/tune.mid and the disc DIR/music/CD/
//   music_fixtures record KEVA GAME OUT    runs GAME headless recording OUT, then checks OUT:
//                                          MIDI music is heard first, then the disc's 1 kHz track
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sound_fixtures.h"

namespace {

// Four quarter notes of a C major arpeggio on a piano at 120 beats a minute.
Bytes Tune() {
  Bytes track = {0x00, 0xC0, 0x00, 0x00, 0xB0, 0x07, 0x7F};
  for (uint8_t note : {60, 64, 67, 72}) {
    Bytes on = {0x00, 0x90, note, 0x70, 0x83, 0x60, 0x80, note, 0x00};
    track.insert(track.end(), on.begin(), on.end());
  }
  track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});
  Bytes b = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0, 'M', 'T', 'r', 'k', 0, 0, 0};
  b.push_back(static_cast<uint8_t>(track.size()));
  b.insert(b.end(), track.begin(), track.end());
  return b;
}

int Fail(const char* what, double value) {
  std::fprintf(stderr, "music_fixtures: %s (%g)\n", what, value);
  return 1;
}

int Check(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (file.size() < 44 || std::string(file.begin(), file.begin() + 4) != "RIFF") return Fail("no WAV written", 0);
  uint32_t rate = file[24] | file[25] << 8 | file[26] << 16 | uint32_t(file[27]) << 24;
  std::vector<float> mix;
  for (size_t i = 44; i + 1 < file.size(); i += 2) mix.push_back(int16_t(file[i] | file[i + 1] << 8) / 32768.0f);
  size_t frames = mix.size() / 2;
  // Where sound is heard: the first loud frame, and the last.
  size_t first = frames, last = 0;
  for (size_t n = 0; n < frames; ++n)
    if (std::fabs(mix[2 * n]) > 0.01f) {
      first = std::min(first, n);
      last = n;
    }
  if (first == frames) return Fail("the run is silent", 0);
  // The half-second track ends the run; the music came well before it.
  if (first + rate > last) return Fail("no MIDI music before the CD track (seconds)", double(last - first) / rate);
  // The music: the first 300 ms of sound.
  double music = Rms(mix.data() + 2 * first, std::min<size_t>(rate * 3 / 10, frames - first), 0);
  if (music < 0.01) return Fail("the MIDI music is too quiet", music);
  // The disc's track: the last 200 ms of sound, a 1 kHz tone.
  if (last < rate / 5) return Fail("no CD track", 0);
  const float* track = mix.data() + 2 * (last - rate / 5);
  double pitch = ToneFrequency(track, rate / 5, 0, rate);
  if (std::fabs(pitch - 1000) > 20) return Fail("pitch of the CD track", pitch);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && argc == 3) {
    std::string dir = std::string(argv[2]) + "/music";
    WriteBytes(dir + "/tune.mid", Tune());
    std::system(("mkdir -p '" + dir + "/CD'").c_str());
    WriteBytes(dir + "/CD/Track 02.wav", PcmWave(1, 22050, 16, Sine(11025, 22050, {1000}, 0.5)));
    WriteBytes(dir + "/CD/track01.wav", Bytes(64, 1));  // the data track
    return 0;
  }
  if (mode == "record" && argc == 5) {
    std::remove(argv[4]);
    std::string command = std::string("'") + argv[2] + "' --headless --timeout 60 --audio-out '" + argv[4] + "' '" +
                          argv[3] + "'";
    int status = std::system(command.c_str());
    if (status != 0) return Fail("the script failed", status);
    return Check(argv[4]);
  }
  std::fprintf(stderr, "usage: music_fixtures write DIR | record KEVA GAME OUT.wav\n");
  return 2;
}
