// valley_assets OUTDIR: draws the pictures of the "valley" example and writes
//   OUTDIR/valley.jpg   320 x 240 landscape at dusk (JPEG, through libjpeg)
//   OUTDIR/sprites.bmp  256 x 160 sprite sheet, 32 bits with alpha
//   OUTDIR/logo.bmp     192 x 56 lettering, 8 bits on a grey ramp (coverage)
// Everything is computed from fixed formulas with plain arithmetic and
// sqrt only (no time, no library random numbers, no transcendental
// functions), so every run writes the same bytes.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <jpeglib.h>  // after <cstdio>: it needs FILE and size_t

namespace {

// ---------------------------------------------------------------- helpers

float Clamp01(float v) { return v < 0 ? 0 : v > 1 ? 1 : v; }
uint8_t Byte(float v) { return static_cast<uint8_t>(Clamp01(v / 255.0f) * 255.0f + 0.5f); }
float Mix(float a, float b, float t) { return a + (b - a) * t; }
float Smooth(float t) { return t * t * (3 - 2 * t); }

struct Rgb {
  float r, g, b;
};
Rgb Mix(Rgb a, Rgb b, float t) { return {Mix(a.r, b.r, t), Mix(a.g, b.g, t), Mix(a.b, b.b, t)}; }
Rgb Scale(Rgb a, float k) { return {a.r * k, a.g * k, a.b * k}; }

// Integer hash to [-1, 1].
float Hash(int32_t i, int32_t seed) {
  uint32_t h = static_cast<uint32_t>(i) * 0x9E3779B1u ^ static_cast<uint32_t>(seed) * 0x85EBCA77u;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  h *= 0x297A2D39u;
  h ^= h >> 15;
  return static_cast<float>(h & 0xFFFFFF) / 8388607.5f - 1.0f;
}

// Smooth value noise in one dimension, -1..1.
float Noise(float t, int32_t seed) {
  float f = std::floor(t);
  int32_t i = static_cast<int32_t>(f);
  return Mix(Hash(i, seed), Hash(i + 1, seed), Smooth(t - f));
}

float Hash2(int32_t x, int32_t y, int32_t seed) { return Hash(x * 7919 + y * 104729, seed); }

float Noise2(float x, float y, int32_t seed) {
  float fx = std::floor(x), fy = std::floor(y);
  int32_t ix = static_cast<int32_t>(fx), iy = static_cast<int32_t>(fy);
  float tx = Smooth(x - fx), ty = Smooth(y - fy);
  float top = Mix(Hash2(ix, iy, seed), Hash2(ix + 1, iy, seed), tx);
  float bottom = Mix(Hash2(ix, iy + 1, seed), Hash2(ix + 1, iy + 1, seed), tx);
  return Mix(top, bottom, ty);
}

// Distance from (px, py) to the segment (ax, ay)-(bx, by).
float SegmentDistance(float px, float py, float ax, float ay, float bx, float by) {
  float dx = bx - ax, dy = by - ay;
  float t = Clamp01(((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy));
  float ex = px - (ax + t * dx), ey = py - (ay + t * dy);
  return std::sqrt(ex * ex + ey * ey);
}

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// A BMP file: 40-byte header, bottom-up rows. `rows` holds top-down rows of
// width * bytes_per_pixel bytes; `palette` 256 entries for 8 bits, else none.
bool WriteBmp(const std::string& path, int32_t width, int32_t height, int32_t bits,
              const std::vector<uint8_t>& rows, const std::vector<uint32_t>& palette) {
  int32_t bytes_pp = bits / 8;
  uint32_t stride = static_cast<uint32_t>((width * bits + 31) / 32 * 4);
  uint32_t colours = static_cast<uint32_t>(palette.size());
  uint32_t offset = 54 + 4 * colours;
  uint32_t image = stride * static_cast<uint32_t>(height);
  std::vector<uint8_t> out;
  out.push_back('B');
  out.push_back('M');
  Put32(out, offset + image);
  Put32(out, 0);
  Put32(out, offset);
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(width));
  Put32(out, static_cast<uint32_t>(height));
  Put16(out, 1);
  Put16(out, static_cast<uint32_t>(bits));
  Put32(out, 0);
  Put32(out, image);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, colours);
  Put32(out, colours);
  for (uint32_t c : palette) Put32(out, c);
  for (int32_t y = height - 1; y >= 0; --y) {
    const uint8_t* row = rows.data() + static_cast<size_t>(y) * width * bytes_pp;
    out.insert(out.end(), row, row + width * bytes_pp);
    for (uint32_t pad = width * bytes_pp; pad < stride; ++pad) out.push_back(0);
  }
  return WriteFile(path, out);
}

// ------------------------------------------------------- the landscape (JPEG)

constexpr int kLandW = 320, kLandH = 240;
constexpr int kWaterline = 165;  // first row of the lake

float FarRidge(float x) { return 92 + 20 * Noise(x / 46, 11) + 7 * Noise(x / 15, 12) + 2 * Noise(x / 5, 13); }
float MidRidge(float x) { return 127 + 9 * Noise(x / 38, 21) + 3 * Noise(x / 11, 22); }
// The near hill rises to a round top at x = 90, where the windmill stands.
float NearRidge(float x) {
  float d = (x - 90) / 70;
  float bump = d * d < 1 ? (1 - d * d) * (1 - d * d) : 0;
  float d2 = (x - 262) / 52;
  float bump2 = d2 * d2 < 1 ? (1 - d2 * d2) * (1 - d2 * d2) : 0;
  return 160 - 38 * bump - 18 * bump2 + 1.5f * Noise(x / 9, 31);
}

Rgb Sky(float y) {
  const Rgb stops[] = {{16, 20, 60}, {60, 50, 118}, {150, 86, 140}, {232, 126, 104}, {252, 184, 102}};
  float t = Clamp01(y / 150) * 4;
  int i = std::min(3, static_cast<int>(t));
  return Mix(stops[i], stops[i + 1], t - i);
}

Rgb LandPixel(int x, int y) {
  float fx = static_cast<float>(x) + 0.5f, fy = static_cast<float>(y) + 0.5f;
  if (y >= kWaterline) {
    float depth = (fy - kWaterline) / (kLandH - kWaterline);
    Rgb water = Mix(Rgb{54, 52, 92}, Rgb{14, 20, 42}, Clamp01(depth));
    float streak = Noise(fx / 24 + Hash(y, 41) * 9, 42);
    float k = 1 + 0.10f * streak + 0.05f * Noise2(fx / 3, fy, 43);
    if (y < kWaterline + 2) k *= 0.6f;  // the shore line
    return Scale(water, k);
  }
  Rgb c = Sky(fy);
  if (fy > FarRidge(fx)) {
    float haze = Clamp01((fy - 80) / 60);
    c = Mix(Rgb{88, 72, 132}, Rgb{170, 104, 130}, haze);
    c = Scale(c, 1 + 0.06f * Noise2(fx / 6, fy / 6, 51));
  }
  if (fy > MidRidge(fx)) {
    c = Mix(Rgb{58, 60, 96}, Rgb{44, 50, 78}, Clamp01((fy - 120) / 40));
    c = Scale(c, 1 + 0.05f * Noise2(fx / 4, fy / 4, 61));
  }
  if (fy > NearRidge(fx)) {
    float below = fy - NearRidge(fx);
    c = Mix(Rgb{70, 96, 58}, Rgb{30, 48, 34}, Clamp01(below / 30));
    c = Scale(c, 1 + 0.12f * Noise2(fx / 2, fy / 2, 71) + 0.08f * Noise2(fx / 9, fy / 5, 72));
  }
  return c;
}

bool WriteLandscape(const std::string& path) {
  std::vector<uint8_t> rgb(static_cast<size_t>(kLandW) * kLandH * 3);
  for (int y = 0; y < kLandH; ++y)
    for (int x = 0; x < kLandW; ++x) {
      Rgb c = LandPixel(x, y);
      uint8_t* p = &rgb[(static_cast<size_t>(y) * kLandW + x) * 3];
      p[0] = Byte(c.r);
      p[1] = Byte(c.g);
      p[2] = Byte(c.b);
    }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, f);
  cinfo.image_width = kLandW;
  cinfo.image_height = kLandH;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 88, TRUE);
  cinfo.dct_method = JDCT_ISLOW;
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = &rgb[static_cast<size_t>(cinfo.next_scanline) * kLandW * 3];
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return std::fclose(f) == 0;
}

// ------------------------------------------------------- the sprite sheet

constexpr int kSheetW = 256, kSheetH = 160;
constexpr uint8_t kKey[3] = {255, 0, 255};  // colour key of the keyed cells: magenta

struct Sheet {
  std::vector<uint8_t> px = std::vector<uint8_t>(static_cast<size_t>(kSheetW) * kSheetH * 4, 0);
  void Set(int x, int y, Rgb c, float alpha) {
    uint8_t* p = &px[(static_cast<size_t>(y) * kSheetW + x) * 4];
    p[0] = Byte(c.b);
    p[1] = Byte(c.g);
    p[2] = Byte(c.r);
    p[3] = Byte(alpha * 255);
  }
};

// A soft-edged cell: `shape` gives, for a point, the colour and the
// coverage (0..1) there; 4 x 4 samples per pixel. Transparent pixels keep
// the cell's edge colour so that filtered sampling shows no dark fringe.
template <typename Shape>
void SoftCell(Sheet& s, int x0, int y0, int w, int h, Rgb edge, Shape shape) {
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float cover = 0;
      Rgb sum{0, 0, 0};
      for (int sy = 0; sy < 4; ++sy)
        for (int sx = 0; sx < 4; ++sx) {
          float a = 0;
          Rgb c = shape(x + (sx + 0.5f) / 4, y + (sy + 0.5f) / 4, a);
          cover += a;
          sum = {sum.r + c.r * a, sum.g + c.g * a, sum.b + c.b * a};
        }
      Rgb colour = cover > 0 ? Scale(sum, 1 / cover) : edge;
      s.Set(x0 + x, y0 + y, colour, cover / 16);
    }
}

// A keyed cell: each pixel is the shape's colour at its centre or the key.
template <typename Shape>
void KeyedCell(Sheet& s, int x0, int y0, int w, int h, Shape shape) {
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float a = 0;
      Rgb c = shape(x + 0.5f, y + 0.5f, a);
      if (a >= 0.5f)
        s.Set(x0 + x, y0 + y, c, 1);
      else
        s.Set(x0 + x, y0 + y, Rgb{kKey[0], kKey[1], kKey[2]}, 1);
    }
}

Rgb Cloud(float x, float y, float& a) {
  struct Blob {
    float x, y, r;
  };
  const Blob blobs[] = {{30, 40, 18}, {52, 30, 22}, {78, 26, 24}, {100, 38, 18}, {64, 44, 20}, {42, 48, 12}, {88, 48, 14}};
  float density = 0;
  for (const Blob& b : blobs) {
    float d = ((x - b.x) * (x - b.x) + (y - b.y) * (y - b.y)) / (b.r * b.r);
    if (d < 1) density += (1 - d) * (1 - d);
  }
  density += 0.15f * Noise2(x / 7, y / 7, 81) * Clamp01(density * 4);
  a = Clamp01(density * 1.8f) * 0.92f;
  float shade = Clamp01((y - 10) / 46);
  return Mix(Rgb{255, 228, 220}, Rgb{136, 118, 164}, shade);
}

Rgb Balloon(float x, float y, float& a) {
  a = 0;
  // Envelope: a circle on top, narrowing to a point above the basket.
  float cx = 24, cy = 22, r = 20;
  float dx = x - cx, dy = y - cy;
  float rx = r;
  if (dy > 0) rx = r * (1 - dy / 26) + 5 * (dy / 26);
  float ry = dy > 0 ? 26 : r;
  if (dy < ry && rx > 0 && (dx * dx) / (rx * rx) + (dy < 0 ? (dy * dy) / (ry * ry) : 0) < 1) {
    a = 1;
    float u = dx / rx;  // -1..1 across the envelope
    int stripe = static_cast<int>(std::floor((u + 1) * 3.5f));
    Rgb base = stripe % 2 ? Rgb{250, 206, 70} : Rgb{214, 48, 52};
    float light = 1.05f - 0.45f * Clamp01((u + 0.35f) * (u + 0.35f)) - 0.25f * Clamp01(dy / 26);
    return Scale(base, light);
  }
  // Ropes and basket.
  if (SegmentDistance(x, y, 19.5f, 46, 20.5f, 55) < 0.6f || SegmentDistance(x, y, 28.5f, 46, 27.5f, 55) < 0.6f) {
    a = 1;
    return {70, 50, 40};
  }
  if (x >= 19 && x < 29 && y >= 55 && y < 63) {
    a = 1;
    bool weave = (static_cast<int>(y) - 55) % 3 == 0;
    return weave ? Rgb{110, 70, 36} : Rgb{160, 108, 56};
  }
  return {214, 48, 52};
}

// Windmill sails around (40, 40): four lattice blades on their spars.
Rgb Sails(float x, float y, float& a) {
  a = 0;
  float px = x - 40, py = y - 40;
  if (px * px + py * py < 20) {
    a = 1;
    return {60, 44, 36};
  }
  for (int k = 0; k < 4; ++k) {
    float u = px, v = py;  // rotate by k quarter turns
    for (int i = 0; i < k; ++i) {
      float t = u;
      u = -v;
      v = t;
    }
    if (u > 2 && u < 39 && v > -1.2f && v < 1.2f) {
      a = 1;
      return {92, 66, 48};
    }
    if (u > 9 && u < 38 && v > 1.2f && v < 10) {
      a = 1;
      bool lattice = std::fmod(u - 9, 5.8f) < 0.9f || (v > 5.3f && v < 6.1f);
      return lattice ? Rgb{120, 92, 70} : Rgb{236, 224, 198};
    }
  }
  return {236, 224, 198};
}

// Sun glow for additive blits: bright core, wide halo, black outside.
Rgb Glow(float x, float y, float& a) {
  a = 1;
  float dx = x - 32, dy = y - 32;
  float r = std::sqrt(dx * dx + dy * dy) / 32;
  float core = Clamp01((0.3f - r) * 12);
  float halo = r < 1 ? (1 - r) * (1 - r) * (1 - r) : 0;
  float k = Clamp01(core + 0.85f * halo);
  return Mix(Scale(Rgb{255, 150, 70}, k), Rgb{255, 246, 220}, core);
}

// Twelve soft rays for additive blits: cos(12 angle) from the twelfth power
// of the unit direction taken as a complex number.
Rgb Rays(float x, float y, float& a) {
  a = 1;
  float dx = x - 32, dy = y - 32;
  float r = std::sqrt(dx * dx + dy * dy);
  if (r < 1e-3f || r >= 32) return {0, 0, 0};
  float re = dx / r, im = dy / r, pr = 1, pi = 0;
  for (int i = 0; i < 12; ++i) {
    float t = pr * re - pi * im;
    pi = pr * im + pi * re;
    pr = t;
  }
  float ray = pr > 0 ? pr * pr * pr : 0;
  float fall = (1 - r / 32) * (1 - r / 32) * Clamp01((r - 6) / 6);
  return Scale(Rgb{255, 196, 120}, 0.75f * ray * fall);
}

Rgb Tower(float x, float y, float& a) {
  a = 0;
  // Cap: a dome-like roof from y 4 to 14.
  float cx = 16;
  if (y >= 4 && y < 14) {
    float half = 8 * std::sqrt(Clamp01((y - 4) / 10)) + 1;
    if (std::fabs(x - cx) < half) {
      a = 1;
      return Scale(Rgb{130, 58, 46}, 0.8f + 0.4f * Clamp01((cx - x) / 10 + 0.5f));
    }
  }
  if (y >= 14 && y < 56) {
    float t = (y - 14) / 42;
    float half = Mix(7, 12, t);
    if (std::fabs(x - cx) < half) {
      a = 1;
      if (y >= 44 && std::fabs(x - cx) < 3) return {54, 38, 34};               // door
      if (y >= 24 && y < 30 && std::fabs(x - cx) < 2) return {255, 214, 120};  // lit window
      float side = Clamp01((x - cx) / half * 0.5f + 0.5f);
      float brick = (static_cast<int>(y) % 5 == 0) ? 0.88f : 1.0f;
      return Scale(Rgb{214, 200, 178}, (1.05f - 0.45f * side) * brick);
    }
  }
  return {0, 0, 0};
}

Rgb Bird(float x, float y, float& a, bool wings_up) {
  a = 0;
  const Rgb ink{34, 26, 44};
  float bx = 8, by = 6;
  if ((x - bx) * (x - bx) / 4 + (y - by) * (y - by) < 1.3f) {
    a = 1;
    return ink;
  }
  float tipy = wings_up ? 1.0f : 8.5f;
  float midy = wings_up ? 3.5f : 6.5f;
  if (SegmentDistance(x, y, bx, by, 4.5f, midy) < 0.9f || SegmentDistance(x, y, 4.5f, midy, 0.5f, tipy) < 0.8f ||
      SegmentDistance(x, y, bx, by, 11.5f, midy) < 0.9f || SegmentDistance(x, y, 11.5f, midy, 15.5f, tipy) < 0.8f) {
    a = 1;
    return ink;
  }
  return ink;
}

Rgb Tree(float x, float y, float& a) {
  a = 0;
  if (x >= 14 && x < 18 && y >= 36 && y < 48) {
    a = 1;
    return {78, 54, 38};
  }
  // Three stacked triangles of a fir.
  const float tops[3] = {2, 12, 22}, heights[3] = {16, 17, 18}, widths[3] = {8, 11, 14};
  for (int i = 0; i < 3; ++i) {
    float t = (y - tops[i]) / heights[i];
    if (t >= 0 && t < 1 && std::fabs(x - 16) < widths[i] * t + 0.5f) {
      a = 1;
      float side = Clamp01((x - 16) / (widths[i] * t + 1) * 0.5f + 0.5f);
      return Scale(Rgb{44, 92, 58}, 1.1f - 0.5f * side);
    }
  }
  return {44, 92, 58};
}

bool WriteSheet(const std::string& path) {
  Sheet s;
  SoftCell(s, 0, 0, 128, 64, Rgb{255, 228, 220}, Cloud);
  SoftCell(s, 128, 0, 48, 64, Rgb{214, 48, 52}, Balloon);
  SoftCell(s, 176, 0, 80, 80, Rgb{236, 224, 198}, Sails);
  SoftCell(s, 0, 80, 64, 64, Rgb{0, 0, 0}, Glow);
  SoftCell(s, 64, 80, 64, 64, Rgb{0, 0, 0}, Rays);
  KeyedCell(s, 128, 80, 32, 56, Tower);
  KeyedCell(s, 160, 80, 16, 10, [](float x, float y, float& a) { return Bird(x, y, a, true); });
  KeyedCell(s, 176, 80, 16, 10, [](float x, float y, float& a) { return Bird(x, y, a, false); });
  KeyedCell(s, 192, 80, 32, 48, Tree);
  return WriteBmp(path, kSheetW, kSheetH, 32, s.px, {});
}

// ------------------------------------------------------- the lettering

bool WriteLogo(const std::string& path) {
  constexpr int w = 192, h = 56;
  struct Stroke {
    float ax, ay, bx, by;
  };
  // K, E, V, A in a 30 x 40 box each.
  const std::vector<std::vector<Stroke>> letters = {
      {{0, 0, 0, 40}, {28, 0, 3, 22}, {11, 15, 30, 40}},
      {{0, 0, 0, 40}, {0, 0, 27, 0}, {0, 20, 21, 20}, {0, 40, 27, 40}},
      {{0, 0, 15, 40}, {15, 40, 30, 0}},
      {{0, 40, 15, 0}, {15, 0, 30, 40}, {6, 27, 24, 27}},
  };
  std::vector<uint8_t> px(static_cast<size_t>(w) * h, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float best = 1e9f;
      for (size_t i = 0; i < letters.size(); ++i) {
        float ox = 14 + 44.0f * static_cast<float>(i), oy = 8;
        for (const Stroke& st : letters[i])
          best = std::min(best, SegmentDistance(x + 0.5f, y + 0.5f, ox + st.ax, oy + st.ay, ox + st.bx, oy + st.by));
      }
      px[static_cast<size_t>(y) * w + x] = Byte(Clamp01(4.5f - best) * 255);
    }
  std::vector<uint32_t> grey(256);
  for (uint32_t i = 0; i < 256; ++i) grey[i] = i << 16 | i << 8 | i;
  return WriteBmp(path, w, h, 8, px, grey);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: valley_assets OUTDIR\n");
    return 2;
  }
  std::string dir = argv[1];
  bool ok = WriteLandscape(dir + "/valley.jpg");
  ok = WriteSheet(dir + "/sprites.bmp") && ok;
  ok = WriteLogo(dir + "/logo.bmp") && ok;
  if (!ok) {
    std::fprintf(stderr, "valley_assets: cannot write the pictures into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
