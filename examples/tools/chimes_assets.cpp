// chimes_assets OUTDIR: makes the sounds of the "chimes" example
//   OUTDIR/chime.wav   a struck chime at 880 Hz, 1.5 s, 16-bit PCM at 22050 Hz
//   OUTDIR/bell.wav    a deep bell at 110 Hz, 2 s, Microsoft ADPCM at 22050 Hz
//   OUTDIR/breeze.ogg  4 s of breeze (filtered noise and a soft chord), stereo
//                      Ogg Vorbis at 22050 Hz with a comment
// Everything comes from fixed formulas, so every run writes the same sound.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "sound_fixtures.h"

namespace {

constexpr uint32_t kRate = 22050;

// Partials of a struck bar or bell: frequency ratios, levels and decays.
std::vector<int16_t> Struck(double base, double seconds, std::initializer_list<double> ratios, double decay) {
  std::vector<int16_t> out;
  auto frames = static_cast<uint32_t>(seconds * kRate);
  for (uint32_t n = 0; n < frames; ++n) {
    double t = double(n) / kRate, v = 0, level = 0.5;
    for (double r : ratios) {
      v += level * std::sin(2 * M_PI * base * r * t) * std::exp(-t * decay * r);
      level *= 0.5;
    }
    double attack = std::min(1.0, t * 400);
    out.push_back(static_cast<int16_t>(std::lround(32767 * 0.6 * attack * v)));
  }
  return out;
}

std::vector<int16_t> Breeze(double seconds) {
  std::vector<int16_t> out;
  auto frames = static_cast<uint32_t>(seconds * kRate);
  uint32_t x = 2463534242u;
  double low[2] = {0, 0};
  for (uint32_t n = 0; n < frames; ++n) {
    double t = double(n) / kRate;
    double gust = 0.5 + 0.5 * std::sin(2 * M_PI * 0.25 * t);  // one gust a loop
    for (int c = 0; c < 2; ++c) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      double white = double(x & 0xFFFF) / 32768.0 - 1;
      low[c] += 0.02 * (white - low[c]);  // a soft low-pass
      double chord = 0.04 * (std::sin(2 * M_PI * 220 * t) + std::sin(2 * M_PI * (c ? 330 : 277.2) * t));
      out.push_back(static_cast<int16_t>(std::lround(32767 * (low[c] * 1.5 * gust + chord))));
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string dir = argv[1];
  WriteBytes(dir + "/chime.wav", PcmWave(1, kRate, 16, Struck(880, 1.5, {1, 2.76, 5.4}, 2.0)));
  WriteBytes(dir + "/bell.wav", AdpcmWave(1, kRate, 512, 1012, Struck(110, 2.0, {1, 2.0, 2.4, 3.0}, 1.2)));
  WriteBytes(dir + "/breeze.ogg", OggVorbis(2, kRate, Breeze(4.0), {"TITLE=breeze", "COMMENT=a breeze over the valley"}));
  return 0;
}
