// lantern_assets PACKDIR LOOSEDIR: makes the pictures and sounds of the
// "lantern" example; what goes into its archive is written to PACKDIR, the
// files that stay loose beside it to LOOSEDIR.
//   PACKDIR/river.bmp    the riverside at night, 320 x 180, 24 bits
//   PACKDIR/title.bmp    lanterns rising over the hills, 320 x 180, 24 bits
//   PACKDIR/dawn.bmp     the same hills at dawn, 320 x 180, 24 bits
//   PACKDIR/hana.bmp     the heroine in a yukata, 64 x 128, 32 bits with alpha
//   PACKDIR/voice.ogg    1.6 s of a sung "voice": vowels on a gliding pitch
//   LOOSEDIR/music.ogg   8 s of a pentatonic tune over a soft pad, stereo Ogg
//   LOOSEDIR/music.mid   the same tune as a standard MIDI file: a flute over
//                        a warm pad, 120 beats a minute
//   LOOSEDIR/click.wav   a short wooden click, 16-bit PCM
// The game scales the pictures by four, so they are drawn in flat bands of
// colour; everything comes from fixed formulas and every run writes the same.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "sound_fixtures.h"

namespace {

constexpr int kW = 320, kH = 180;
constexpr uint32_t kRate = 22050;

struct Rgb {
  float r, g, b;
};

Rgb Mix(Rgb a, Rgb b, float t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }

void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A bottom-up BMP of `bits` 24 or 32 from top-down rows of B, G, R(, A).
Bytes Bmp(int w, int h, int bits, const std::vector<uint8_t>& rows) {
  int bpp = bits / 8;
  uint32_t stride = static_cast<uint32_t>((w * bits + 31) / 32 * 4);
  Bytes out = {'B', 'M'};
  Put32(out, 54 + stride * h);
  Put32(out, 0);
  Put32(out, 54);
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(w));
  Put32(out, static_cast<uint32_t>(h));
  Put32(out, 1 | (static_cast<uint32_t>(bits) << 16));
  Put32(out, 0);
  Put32(out, stride * h);
  for (int i = 0; i < 4; ++i) Put32(out, 0);
  for (int y = h - 1; y >= 0; --y) {
    const uint8_t* row = rows.data() + static_cast<size_t>(y) * w * bpp;
    out.insert(out.end(), row, row + w * bpp);
    for (uint32_t pad = w * bpp; pad < stride; ++pad) out.push_back(0);
  }
  return out;
}

// A ridge of hills: height above the bottom at column x.
float Ridge(float x, float base, float amp, float phase) {
  return base + amp * (0.6f * std::sin(x / 37 + phase) + 0.4f * std::sin(x / 13 + 2 * phase));
}

// Sky colours run in eight flat bands from top to horizon.
Rgb Banded(Rgb top, Rgb horizon, int y, int horizon_y) {
  float t = std::floor(8.0f * std::min(y, horizon_y) / horizon_y) / 8.0f;
  return Mix(top, horizon, t);
}

enum class Scene { kRiver, kTitle, kDawn };

Rgb ScenePixel(Scene scene, int x, int y) {
  bool dawn = scene == Scene::kDawn;
  Rgb top = dawn ? Rgb{90, 110, 190} : Rgb{8, 12, 40};
  Rgb horizon = dawn ? Rgb{250, 170, 120} : Rgb{60, 36, 90};
  Rgb c = Banded(top, horizon, y, 120);
  // The moon, or the rising sun.
  float mx = dawn ? 230 : 250, my = dawn ? 112 : 34, mr = dawn ? 22 : 12;
  if (std::hypot(x - mx, y - my) < mr) c = dawn ? Rgb{255, 230, 150} : Rgb{240, 236, 210};
  // Stars at night: a fixed scatter.
  uint32_t h = (static_cast<uint32_t>(x) * 73856093u) ^ (static_cast<uint32_t>(y) * 19349663u);
  if (!dawn && y < 100 && (h * 2654435761u) >> 24 == 0) c = {220, 220, 255};
  float far = kH - Ridge(x, 70, 10, 0.3f), near = kH - Ridge(x, 44, 8, 1.7f);
  if (y > far) c = dawn ? Rgb{120, 90, 110} : Rgb{30, 24, 60};
  if (y > near) c = dawn ? Rgb{70, 60, 80} : Rgb{14, 12, 32};
  if (scene == Scene::kRiver && y > 112) {  // the river, with the lanterns mirrored
    c = y % 4 < 2 ? Rgb{20, 30, 70} : Rgb{26, 38, 84};
    for (int i = 0; i < 6; ++i) {
      int lx = 20 + i * 52 + (i % 2) * 11;
      if (std::abs(x - lx) < 3 && y < 130 && (y / 3) % 2 == 0) c = {200, 120, 50};
    }
  }
  // Lanterns: warm squares with a lighter core, rising on the title.
  int count = scene == Scene::kTitle ? 14 : scene == Scene::kRiver ? 6 : 0;
  for (int i = 0; i < count; ++i) {
    int lx = scene == Scene::kTitle ? 14 + i * 22 : 20 + i * 52 + (i % 2) * 11;
    int ly = scene == Scene::kTitle ? 30 + (i * 37) % 90 : 108;
    int dx = std::abs(x - lx), dy = std::abs(y - ly);
    if (dx <= 4 && dy <= 5) c = dx <= 2 && dy <= 3 ? Rgb{255, 210, 120} : Rgb{230, 110, 40};
  }
  return c;
}

Bytes SceneBmp(Scene scene) {
  std::vector<uint8_t> rows;
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      Rgb c = ScenePixel(scene, x, y);
      rows.push_back(static_cast<uint8_t>(c.b));
      rows.push_back(static_cast<uint8_t>(c.g));
      rows.push_back(static_cast<uint8_t>(c.r));
    }
  }
  return Bmp(kW, kH, 24, rows);
}

// The heroine: a head, hair, a yukata with a sash, seen from the front.
Bytes HeroineBmp() {
  constexpr int w = 64, h = 128;
  std::vector<uint8_t> rows;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      float cx = x + 0.5f - w / 2.0f;
      Rgb c{0, 0, 0};
      float a = 0;
      float head = std::hypot(cx, y - 20.0f);
      float half_width = 10 + (y - 34) * 0.18f;  // the yukata widens downward
      if (y >= 34 && std::fabs(cx) < half_width) {
        a = 1;
        c = ((x / 4 + y / 4) % 3 == 0) ? Rgb{240, 200, 220} : Rgb{60, 80, 150};
        if (y >= 58 && y < 66) c = {220, 60, 70};  // the sash
      }
      if (head < 13) {
        a = 1;
        c = (y < 16 || std::fabs(cx) > 9) ? Rgb{30, 20, 30} : Rgb{250, 220, 200};  // hair, face
        if (y >= 19 && y <= 21 && (std::fabs(cx - 4) < 1.5f || std::fabs(cx + 4) < 1.5f)) c = {40, 30, 40};
      } else if (head < 14.5f) {
        a = std::max(a, 14.5f - head);  // a soft edge
        c = {30, 20, 30};
      }
      rows.push_back(static_cast<uint8_t>(c.b));
      rows.push_back(static_cast<uint8_t>(c.g));
      rows.push_back(static_cast<uint8_t>(c.r));
      rows.push_back(static_cast<uint8_t>(std::lround(a * 255)));
    }
  }
  return Bmp(w, h, 32, rows);
}

int16_t Sample(double v) { return static_cast<int16_t>(std::lround(32767 * std::clamp(v, -1.0, 1.0))); }

// Eight seconds: a pentatonic tune of sixteen half-second notes over a pad.
std::vector<int16_t> Music() {
  const double scale[] = {392.0, 440.0, 523.25, 587.33, 659.25, 783.99};
  const int tune[16] = {2, 3, 4, 3, 2, 1, 0, 1, 2, 4, 5, 4, 3, 2, 1, 2};
  std::vector<int16_t> out;
  uint32_t frames = 8 * kRate;
  for (uint32_t n = 0; n < frames; ++n) {
    double t = double(n) / kRate;
    int note = static_cast<int>(t / 0.5);
    double in_note = t - note * 0.5;
    double f = scale[tune[note % 16]];
    double melody = 0.22 * std::sin(2 * M_PI * f * t) * std::exp(-in_note * 5) * std::min(1.0, in_note * 200);
    double root = note < 8 ? 196.0 : 174.61;
    double pad = 0.08 * (std::sin(2 * M_PI * root * t) + std::sin(2 * M_PI * root * 1.5 * t));
    out.push_back(Sample(melody * 0.8 + pad));  // left: the tune a little to the right
    out.push_back(Sample(melody + pad * 0.9));
  }
  return out;
}

// A sung line: a glottal buzz whose harmonics are shaped by two formants
// moving through the vowels a, i, a, o on a gliding pitch.
std::vector<int16_t> Voice() {
  struct Vowel {
    double f1, f2;
  };
  const Vowel vowels[] = {{800, 1200}, {300, 2300}, {800, 1200}, {450, 800}};
  std::vector<int16_t> out;
  uint32_t frames = static_cast<uint32_t>(1.6 * kRate);
  double phase = 0;
  for (uint32_t n = 0; n < frames; ++n) {
    double t = double(n) / kRate;
    int syllable = std::min(3, static_cast<int>(t / 0.4));
    double in_syllable = t - syllable * 0.4;
    double f0 = 230 + 30 * std::sin(M_PI * t / 1.6) - 10 * syllable;
    phase += 2 * M_PI * f0 / kRate;
    Vowel v = vowels[syllable];
    double s = 0;
    for (int k = 1; k <= 16; ++k) {
      double hf = k * f0;
      double gain = std::exp(-std::pow((hf - v.f1) / 150, 2)) + 0.6 * std::exp(-std::pow((hf - v.f2) / 200, 2));
      s += gain * std::sin(k * phase) / std::sqrt(k);
    }
    double envelope = std::sin(M_PI * std::min(1.0, in_syllable / 0.38));
    out.push_back(Sample(0.25 * s * envelope));
  }
  return out;
}

std::vector<int16_t> Click() {
  std::vector<int16_t> out;
  uint32_t x = 2463534242u;
  for (uint32_t n = 0; n < kRate / 16; ++n) {
    double t = double(n) / kRate;
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    double noise = double(x & 0xFFFF) / 32768.0 - 1;
    out.push_back(Sample((0.5 * std::sin(2 * M_PI * 1200 * t) + 0.2 * noise) * std::exp(-t * 70)));
  }
  return out;
}

// A standard MIDI file (format 0, 480 ticks a beat) of the same tune: the
// flute (program 73) on channel 0, the pad (program 89) on channel 1.
Bytes MidiTune() {
  struct Event {
    uint32_t tick;
    std::vector<uint8_t> bytes;
  };
  const uint8_t scale[] = {67, 69, 72, 74, 76, 79};
  const int tune[16] = {2, 3, 4, 3, 2, 1, 0, 1, 2, 4, 5, 4, 3, 2, 1, 2};
  constexpr uint32_t kBeat = 480;
  std::vector<Event> events = {
      {0, {0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}},  // 500000 microseconds a beat
      {0, {0xC0, 73}},
      {0, {0xC1, 89}},
  };
  for (int i = 0; i < 16; ++i) {
    uint8_t note = scale[tune[i]];
    events.push_back({uint32_t(i) * kBeat, {0x90, note, 90}});
    events.push_back({uint32_t(i) * kBeat + kBeat * 7 / 8, {0x80, note, 0}});
  }
  const uint8_t chords[2][2] = {{55, 62}, {53, 60}};  // G and F, root and fifth
  for (uint32_t half = 0; half < 2; ++half) {
    for (uint8_t note : chords[half]) {
      events.push_back({half * 8 * kBeat, {0x91, note, 60}});
      events.push_back({(half + 1) * 8 * kBeat - 1, {0x81, note, 0}});
    }
  }
  events.push_back({16 * kBeat, {0xFF, 0x2F, 0x00}});  // the end of the track
  std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.tick < b.tick; });
  Bytes track;
  uint32_t last = 0;
  for (const Event& e : events) {
    uint32_t delta = e.tick - last, groups = 0;
    uint8_t out[5];
    do {
      out[groups++] = static_cast<uint8_t>(delta & 0x7F);
      delta >>= 7;
    } while (delta);
    while (groups--) track.push_back(static_cast<uint8_t>(out[groups] | (groups ? 0x80 : 0)));
    track.insert(track.end(), e.bytes.begin(), e.bytes.end());
    last = e.tick;
  }
  auto put_be32 = [](Bytes& b, uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  Bytes file = {'M', 'T', 'h', 'd'};
  put_be32(file, 6);
  file.insert(file.end(), {0, 0, 0, 1, kBeat >> 8, kBeat & 0xFF});
  file.insert(file.end(), {'M', 'T', 'r', 'k'});
  put_be32(file, static_cast<uint32_t>(track.size()));
  file.insert(file.end(), track.begin(), track.end());
  return file;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::string dir = argv[1], loose = argv[2];
  WriteBytes(dir + "/river.bmp", SceneBmp(Scene::kRiver));
  WriteBytes(dir + "/title.bmp", SceneBmp(Scene::kTitle));
  WriteBytes(dir + "/dawn.bmp", SceneBmp(Scene::kDawn));
  WriteBytes(dir + "/hana.bmp", HeroineBmp());
  WriteBytes(loose + "/music.ogg", OggVorbis(2, kRate, Music(), {"TITLE=lantern festival"}));
  WriteBytes(dir + "/voice.ogg", OggVorbis(1, kRate, Voice(), {"TITLE=Hana: arigatou"}));
  WriteBytes(loose + "/music.mid", MidiTune());
  WriteBytes(loose + "/click.wav", PcmWave(1, kRate, 16, Click()));
  return 0;
}
