// The plane effects other than the mesh warps: quadrilateral mapping and
// rotation, smooth scaling, tiling, scrolling, noise, slicing, the four-tap
// soften, mosaic, tone mapping, box blur and fire.
#include <algorithm>
#include <cstring>
#include <vector>

#include "graphics/blit_modes.h"
#include "graphics/plane_effects.h"
#include "runtime/math_builtins.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

using namespace effect_support;

namespace {

thread_local uint32_t effect_random_state = 1;

// Rows of a rectangle relative to its top-left: a plane's (bottom-up, so the
// stride runs backwards) or a temporary copy's.
struct View {
  const uint8_t* origin;
  ptrdiff_t stride;
  const uint8_t* Row(int64_t y) const { return origin + y * stride; }
};
View PlaneView(const Plane* p, const Box& r) {
  return {PixelAddress(p, int32_t(r.left), int32_t(r.top)), -ptrdiff_t{p->stride}};
}
// The source rectangle's pixels, copied when the destination is the same plane
// (the effect would otherwise read pixels it has already written).
View SourceView(const Plane* dst, const Plane* src, const Box& s, std::vector<uint8_t>& copy) {
  if (dst != src) return PlaneView(src, s);
  const size_t row = size_t(s.width()) * (src->bits / 8);
  copy.resize(row * size_t(s.height()));
  const View v = PlaneView(src, s);
  for (int64_t y = 0; y < s.height(); ++y) std::memcpy(copy.data() + y * row, v.Row(y), row);
  return {copy.data(), ptrdiff_t(row)};
}

// The parts of a copy from the source rectangle s to (x, y): the destination
// inside its clip and the source pixels that land there.
struct Placement {
  Box dst;     // clipped destination
  Box src;     // the matching source pixels
};
bool Place(const Plane* dst, int64_t x, int64_t y, const Box& s, Placement& out) {
  out.dst = Intersect({x, y, x + s.width(), y + s.height()}, DestClip(dst));
  if (out.dst.Empty()) return false;
  out.src = {s.left + out.dst.left - x, s.top + out.dst.top - y, s.left + out.dst.right - x,
             s.top + out.dst.bottom - y};
  return true;
}

// Source rectangle of a two-plane effect (0: the whole plane), clipped to it.
bool SourceBox(const Plane* src, uint32_t rect, Box& out) {
  out = Intersect(ReadBox(rect, src), Whole(src));
  return !out.Empty();
}

bool SameDrawable(const Plane* a, const Plane* b) { return a && b && Drawable(a) && Drawable(b) && a->bits == b->bits; }

bool Parallel(int64_t rows, int64_t cols) {
  return g_graphics_settings.MultiThreading != 0 && rows > 1 && rows * cols >= 16384;
}

// ---- freemap and rotate ---------------------------------------------------------

// Corner coordinates beyond this extent (width plus height of their bounding
// box) are refused: they would only make the edge and line walks endless.
constexpr int64_t kMaxQuadExtent = 32768;

int FreeMap(Plane* dst, const int64_t c[8], Plane* src, const Box& s, SourceKey key) {
  const Box clip = DestClip(dst);
  if (clip.Empty()) return 0;
  const auto [min_x, max_x] = std::minmax({c[0], c[2], c[4], c[6]});
  const auto [min_y, max_y] = std::minmax({c[1], c[3], c[5], c[7]});
  if ((max_x - min_x) + (max_y - min_y) > kMaxQuadExtent) return 0;
  std::vector<uint8_t> copy;
  const View view = SourceView(dst, src, s, copy);
  const int bpp = dst->bits / 8;
  const int64_t sw = s.width(), sh = s.height();
  auto length = [](int64_t dx, int64_t dy) { return std::abs(dx) + std::abs(dy); };
  // The left edge runs from corner 0 to corner 1, the right one from 3 to 2.
  const int64_t n = std::max<int64_t>(1, std::max(length(c[2] - c[0], c[3] - c[1]), length(c[4] - c[6], c[5] - c[7])));
  for (int64_t k = 0; k <= n; ++k) {
    const int64_t lx = c[0] + (c[2] - c[0]) * k / n, ly = c[1] + (c[3] - c[1]) * k / n;
    const int64_t rx = c[6] + (c[4] - c[6]) * k / n, ry = c[7] + (c[5] - c[7]) * k / n;
    const uint8_t* src_row = view.Row(k * (sh - 1) / n);
    // A four-connected walk from the left point to the right one, so that the
    // lines of neighbouring steps leave no holes between them.
    const int64_t adx = std::abs(rx - lx), ady = std::abs(ry - ly), m = std::max<int64_t>(1, adx + ady);
    const int64_t step_x = rx < lx ? -1 : 1, step_y = ry < ly ? -1 : 1;
    int64_t x = lx, y = ly, moved_x = 0, moved_y = 0;
    for (int64_t t = 0;; ++t) {
      if (x >= clip.left && x < clip.right && y >= clip.top && y < clip.bottom) {
        const uint8_t* from = src_row + (t * (sw - 1) / m) * bpp;
        const uint32_t v = LoadPixel(from, bpp);
        if (!key.Matches(v)) std::memcpy(PixelAddress(dst, int32_t(x), int32_t(y)), from, size_t(bpp));
      }
      if (t >= adx + ady) break;
      if (moved_y >= ady || (moved_x < adx && (2 * moved_x + 1) * ady < (2 * moved_y + 1) * adx)) {
        x += step_x;
        ++moved_x;
      } else {
        y += step_y;
        ++moved_y;
      }
    }
  }
  return 1;
}

}  // namespace

int EffectRandom() {
  effect_random_state = effect_random_state * 214013u + 2531011u;
  return int((effect_random_state >> 16) & 0x7FFF);
}
void SeedEffectRandom(uint32_t seed) { effect_random_state = seed; }

uint32_t builtin_freemap(BuiltinArgs args) {
  Plane* dst = PlaneAt(args.u(0));
  Plane* src = PlaneAt(args.u(2));
  Box s;
  if (!SameDrawable(dst, src) || !SourceBox(src, args.u(3), s)) return 0;
  int64_t c[8];
  if (const uint32_t at = args.u(1)) {
    for (int k = 0; k < 8; ++k) c[k] = ReadWord(at + 4 * uint32_t(k));
  } else {
    const int64_t r = dst->width - 1, b = dst->height - 1;
    const int64_t whole[8] = {0, 0, 0, b, r, b, r, 0};
    std::copy(whole, whole + 8, c);
  }
  return uint32_t(FreeMap(dst, c, src, s, SourceKey::For(args.i(4), src)));
}

uint32_t builtin_rotate(BuiltinArgs args) {
  Plane* dst = PlaneAt(args.u(0));
  Plane* src = PlaneAt(args.u(2));
  Box s;
  if (!SameDrawable(dst, src) || !SourceBox(src, args.u(3), s)) return 0;
  Box d = ReadBox(args.u(1), dst);
  if (d.Empty() || d.width() + d.height() > kMaxQuadExtent) return 0;
  // Corners turned about the rectangle's centre, kept in doubled coordinates
  // so that the centre of an even-sized rectangle is exact.
  const int64_t cos = TableCos(args.i(4)), sin = TableSin(args.i(4));
  const int64_t sum_x = d.left + d.right - 1, sum_y = d.top + d.bottom - 1;
  const int64_t corners[4][2] = {{d.left, d.top}, {d.left, d.bottom - 1}, {d.right - 1, d.bottom - 1}, {d.right - 1, d.top}};
  int64_t c[8];
  for (int k = 0; k < 4; ++k) {
    const int64_t dx = 2 * corners[k][0] - sum_x, dy = 2 * corners[k][1] - sum_y;
    c[2 * k] = (sum_x + ((dx * cos - dy * sin) >> 16)) >> 1;
    c[2 * k + 1] = (sum_y + ((dx * sin + dy * cos) >> 16)) >> 1;
  }
  return uint32_t(FreeMap(dst, c, src, s, SourceKey::For(args.i(5), src)));
}

// ---- smooth ---------------------------------------------------------------------------

namespace {

// Source taps of one destination index along an axis: first source index,
// count, and weights (summing to 65536).
struct Taps {
  int64_t first;
  int count;
  int weight[2];  // enlarging: two interpolation weights; reducing: each tap's
  int last_weight;  // reducing: the last tap's (takes the rounding remainder)
};
// s source pixels to d destination pixels; i the destination index.
Taps AxisTaps(int64_t s, int64_t d, int64_t i) {
  Taps t{};
  if (d == s) {
    t = {i, 1, {65536, 0}, 65536};
  } else if (d > s) {
    // Steps of s / (d + 1), half a step in: samples between source pixels.
    const int64_t pos = int64_t((__int128(2 * i + 1) * s << 16) / (2 * (d + 1)));
    const int f = int(pos & 0xFFFF);
    t.first = pos >> 16;
    t.count = t.first + 1 < s ? 2 : 1;
    t.weight[0] = t.count == 2 ? 65536 - f : 65536;
    t.weight[1] = f;
  } else {
    // Steps of s / d: the covered source pixels, averaged.
    const int64_t a = i * s / d, b = (i + 1) * s / d;
    t.first = a;
    t.count = int(std::max<int64_t>(1, b - a));
    t.weight[0] = 65536 / t.count;
    t.last_weight = 65536 - t.weight[0] * (t.count - 1);
  }
  return t;
}
inline int TapWeight(const Taps& t, int k, int64_t s, int64_t d) {
  if (d > s) return t.weight[k];
  return k == t.count - 1 ? t.last_weight : t.weight[0];
}

}  // namespace

uint32_t builtin_smooth(BuiltinArgs args) {
  Plane* dst = PlaneAt(args.u(0));
  Plane* src = PlaneAt(args.u(2));
  Box s;
  if (!SameDrawable(dst, src) || !SourceBox(src, args.u(3), s)) return 0;
  const Box d = ReadBox(args.u(1), dst);
  if (d.Empty()) return 0;
  const Box drawn = Intersect(d, DestClip(dst));
  if (drawn.Empty()) return 0;
  const SourceKey key = SourceKey::For(args.i(4), src);
  std::vector<uint8_t> copy;
  const View view = SourceView(dst, src, s, copy);
  const int bpp = dst->bits / 8;
  const int64_t sw = s.width(), sh = s.height(), dw = d.width(), dh = d.height();
  const int64_t cols = drawn.width(), rows = drawn.height();
  std::vector<Taps> col_taps(size_t(cols), Taps{});
  for (int64_t i = 0; i < cols; ++i) col_taps[size_t(i)] = AxisTaps(sw, dw, drawn.left - d.left + i);
#pragma omp parallel for schedule(static) if (Parallel(rows, cols))
  for (int64_t j = 0; j < rows; ++j) {
    const Taps ty = AxisTaps(sh, dh, drawn.top - d.top + j);
    uint8_t* out = PixelAddress(dst, int32_t(drawn.left), int32_t(drawn.top + j));
    for (int64_t i = 0; i < cols; ++i, out += bpp) {
      const Taps& tx = col_taps[size_t(i)];
      const uint8_t* base = view.Row(ty.first) + tx.first * bpp;
      const uint32_t centre = LoadPixel(base, bpp);
      if (key.Matches(centre)) continue;
      if (bpp == 1 || (tx.count == 1 && ty.count == 1)) {
        std::memcpy(out, base, size_t(bpp));
        continue;
      }
      uint64_t sum[4] = {0, 0, 0, 0};
      for (int b = 0; b < ty.count; ++b) {
        const uint8_t* row = view.Row(ty.first + b) + tx.first * bpp;
        uint32_t line[4] = {0, 0, 0, 0};
        for (int a = 0; a < tx.count; ++a) {
          uint32_t v = LoadPixel(row + a * bpp, bpp);
          if (key.Matches(v)) v = centre;  // keyed pixels take no part
          int ch[4];
          const int n = SplitChannels(v, bpp, ch);
          const uint32_t w = uint32_t(TapWeight(tx, a, sw, dw));
          for (int k = 0; k < n; ++k) line[k] += w * uint32_t(ch[k]);
        }
        const uint64_t w = uint64_t(TapWeight(ty, b, sh, dh));
        for (int k = 0; k < 4; ++k) sum[k] += w * line[k];
      }
      int ch[4];
      for (int k = 0; k < 4; ++k) ch[k] = int((sum[k] + (uint64_t{1} << 31)) >> 32);
      StorePixel(out, bpp, JoinChannels(ch, bpp));
    }
  }
  return 1;
}

// ---- tiled ----------------------------------------------------------------------------

uint32_t builtin_tiled(BuiltinArgs args) {
  Plane* dst = PlaneAt(args.u(0));
  Plane* src = PlaneAt(args.u(2));
  Box s;
  if (!SameDrawable(dst, src) || !SourceBox(src, args.u(3), s)) return 0;
  const Box d = ReadBox(args.u(1), dst);
  if (d.Empty()) return 0;
  const Box drawn = Intersect(d, DestClip(dst));
  if (drawn.Empty()) return 0;
  std::vector<uint8_t> copy;
  const View view = SourceView(dst, src, s, copy);
  int64_t zoom = args.i(5);
  if (zoom == 0) zoom = 1;
  const int64_t ux = TableCos(args.i(4)) / zoom, uy = TableSin(args.i(4)) / zoom;
  const int64_t cx = (d.left + d.right) / 2, cy = (d.top + d.bottom) / 2;
  const int64_t sw = s.width(), sh = s.height();
  const bool pow2 = (sw & (sw - 1)) == 0 && (sh & (sh - 1)) == 0;
  const int bpp = dst->bits / 8;
  const int64_t cols = drawn.width(), rows = drawn.height();
#pragma omp parallel for schedule(static) if (Parallel(rows, cols))
  for (int64_t j = 0; j < rows; ++j) {
    const int64_t dx = drawn.left - cx, dy = drawn.top + j - cy;
    // 16.16 source position: the source's top-left corner sits at the centre.
    int64_t px = dx * ux - dy * uy, py = dx * uy + dy * ux;
    uint8_t* out = PixelAddress(dst, int32_t(drawn.left), int32_t(drawn.top + j));
    for (int64_t i = 0; i < cols; ++i, out += bpp, px += ux, py += uy) {
      int64_t x = px >> 16, y = py >> 16;
      if (pow2) {
        x &= sw - 1;
        y &= sh - 1;
      } else {
        x %= sw;
        y %= sh;
        if (x < 0) x += sw;
        if (y < 0) y += sh;
      }
      std::memcpy(out, view.Row(y) + x * bpp, size_t(bpp));
    }
  }
  return 1;
}

// ---- one-plane effects ----------------------------------------------------------------

namespace {

// The rectangle of a one-plane effect inside the plane's clip.
bool EffectBox(const Plane* p, uint32_t rect, Box& out) {
  out = Intersect(ReadBox(rect, p), DestClip(p));
  return !out.Empty();
}

}  // namespace

uint32_t builtin_scroll(BuiltinArgs args) {
  Plane* p = PlaneAt(args.u(0));
  Box r;
  if (!p || !Drawable(p) || !EffectBox(p, args.u(1), r)) return 0;
  const int64_t w = r.width(), h = r.height();
  int64_t dx = args.i(2) % w, dy = args.i(3) % h;
  if (dx < 0) dx += w;
  if (dy < 0) dy += h;
  if (dx == 0 && dy == 0) return 1;
  const int bpp = p->bits / 8;
  const size_t row = size_t(w) * bpp, head = size_t(dx) * bpp;
  std::vector<uint8_t> old;
  const View v = SourceView(p, p, r, old);
  for (int64_t y = 0; y < h; ++y) {
    // new(x, y) = old((x + dx) mod w, (y + dy) mod h)
    const uint8_t* from = v.Row((y + dy) % h);
    uint8_t* to = PixelAddress(p, int32_t(r.left), int32_t(r.top + y));
    std::memcpy(to, from + head, row - head);
    std::memcpy(to + (row - head), from, head);
  }
  return 1;
}

uint32_t builtin_noise(BuiltinArgs args) {
  Plane* p = PlaneAt(args.u(0));
  Box r;
  if (!p || !Drawable(p) || !EffectBox(p, args.u(1), r)) return 0;
  const int32_t amount = args.i(2);
  if (amount <= 0 || p->bits == 8) return 1;
  const int e = amount >= 256 ? 0 : 255 - amount;
  const int64_t rows = r.height(), cols = r.width();
  // The generator's values are drawn row by row first, so that the rows can
  // then be split over threads and still give the same picture.
  std::vector<int> seeds(size_t(rows) * 2);
  for (int& v : seeds) v = EffectRandom();
  const int bpp = p->bits / 8;
#pragma omp parallel for schedule(static) if (Parallel(rows, cols))
  for (int64_t j = 0; j < rows; ++j) {
    uint8_t* d = PixelAddress(p, int32_t(r.left), int32_t(r.top + j));
    const int r1 = seeds[size_t(2 * j)], r2 = seeds[size_t(2 * j + 1)];
    if (bpp == 2) {
      const int threshold = e / 8, step = r2 & 31;
      int m = r1 & 31;
      for (int64_t i = 0; i < cols; ++i, d += 2, m = (m + step) & 31) {
        if (m <= threshold) continue;
        const int add = m - threshold, w = d[0] | d[1] << 8;
        const int v = std::min(31, ((w >> 10) & 31) + add) << 10 | std::min(31, ((w >> 5) & 31) + add) << 5 |
                      std::min(31, (w & 31) + add) | (w & 0x8000);
        d[0] = uint8_t(v);
        d[1] = uint8_t(v >> 8);
      }
    } else {
      const int step = r2 & 255;
      int m = r1 & 255;
      for (int64_t i = 0; i < cols; ++i, d += bpp, m = (m + step) & 255) {
        if (m <= e) continue;
        const int add = m - e;
        for (int k = 0; k < 3; ++k) d[k] = uint8_t(std::min(255, d[k] + add));
      }
    }
  }
  return 1;
}

uint32_t builtin_slice(BuiltinArgs args) {
  Plane* p = PlaneAt(args.u(0));
  Box r;
  if (!p || !Drawable(p) || !EffectBox(p, args.u(1), r)) return 0;
  const int32_t amount = args.i(2);
  if (amount <= 0) return 1;
  const int64_t w = r.width(), c = w * std::min(amount, 256) / 256;
  if (c == 0) return 1;
  const int bpp = p->bits / 8;
  std::vector<uint8_t> line(size_t(w) * bpp);
  for (int64_t y = r.top; y < r.bottom; ++y) {
    const int64_t shift = EffectRandom() % (2 * c) - c;  // positive: to the right
    uint8_t* row = PixelAddress(p, int32_t(r.left), int32_t(y));
    std::fill(line.begin(), line.end(), uint8_t{0});
    const int64_t from = std::max<int64_t>(0, -shift), to = std::max<int64_t>(0, shift), n = w - std::abs(shift);
    if (n > 0) std::memcpy(line.data() + to * bpp, row + from * bpp, size_t(n) * bpp);
    std::memcpy(row, line.data(), line.size());
  }
  return 1;
}

// ---- gradation ------------------------------------------------------------------------

namespace {

// (self + left + right + below) / 4 per byte for n bytes; the neighbours are
// the bytes bpp before and after and the row below.
void SoftenBytes(uint8_t* out, const uint8_t* self, const uint8_t* below, int bpp, int64_t n) {
  int64_t k = 0;
#ifdef __SSE2__
  const __m128i zero = _mm_setzero_si128();
  for (; k + 16 <= n; k += 16) {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(self + k));
    const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(self + k - bpp));
    const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(self + k + bpp));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(below + k));
    auto half = [&](auto unpack) {
      const __m128i sum = _mm_add_epi16(_mm_add_epi16(unpack(s, zero), unpack(l, zero)),
                                        _mm_add_epi16(unpack(r, zero), unpack(b, zero)));
      return _mm_srli_epi16(sum, 2);
    };
    const __m128i lo = half([](__m128i a, __m128i z) { return _mm_unpacklo_epi8(a, z); });
    const __m128i hi = half([](__m128i a, __m128i z) { return _mm_unpackhi_epi8(a, z); });
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(lo, hi));
  }
#endif
  for (; k < n; ++k) out[k] = uint8_t((self[k] + self[k - bpp] + self[k + bpp] + below[k]) >> 2);
}

}  // namespace

uint32_t builtin_gradation(BuiltinArgs args) {
  Plane* dst = PlaneAt(args.u(0));
  Plane* src = PlaneAt(args.u(3));
  Box s;
  Placement pl;
  if (!SameDrawable(dst, src) || !SourceBox(src, args.u(4), s) || !Place(dst, args.i(1), args.i(2), s, pl)) return 0;
  std::vector<uint8_t> copy;
  const View view = SourceView(dst, src, s, copy);
  const int bpp = dst->bits / 8;
  const int64_t w = s.width(), h = s.height();
  const int64_t x0 = pl.src.left - s.left, y0 = pl.src.top - s.top, cols = pl.src.width(), rows = pl.src.height();
#pragma omp parallel for schedule(static) if (Parallel(rows, cols))
  for (int64_t j = 0; j < rows; ++j) {
    const int64_t y = y0 + j;
    const uint8_t* self = view.Row(y);
    const uint8_t* below = y + 1 < h ? view.Row(y + 1) : self;
    uint8_t* out = PixelAddress(dst, int32_t(pl.dst.left), int32_t(pl.dst.top + j));
    // One pixel with its neighbours, those outside the rectangle replaced by itself.
    auto pixel = [&](int64_t x, uint8_t* to) {
      const uint8_t* c = self + x * bpp;
      const uint8_t* l = x > 0 ? c - bpp : c;
      const uint8_t* r = x + 1 < w ? c + bpp : c;
      const uint8_t* b = below + x * bpp;
      if (bpp == 1) {
        to[0] = c[0];  // an index is never averaged
      } else if (bpp == 2) {
        int ch[4][4];
        SplitChannels(LoadPixel(c, 2), 2, ch[0]);
        SplitChannels(LoadPixel(l, 2), 2, ch[1]);
        SplitChannels(LoadPixel(r, 2), 2, ch[2]);
        SplitChannels(LoadPixel(b, 2), 2, ch[3]);
        int o[4];
        for (int k = 0; k < 4; ++k) o[k] = (ch[0][k] + ch[1][k] + ch[2][k] + ch[3][k]) >> 2;
        StorePixel(to, 2, JoinChannels(o, 2) | (LoadPixel(c, 2) & 0x8000));
      } else {
        for (int k = 0; k < bpp; ++k) to[k] = uint8_t((c[k] + l[k] + r[k] + b[k]) >> 2);
      }
    };
    // The edge columns one by one, the inside as bytes.
    int64_t i = 0;
    for (; i < cols && (x0 + i == 0 || x0 + i + 1 >= w); ++i) pixel(x0 + i, out + i * bpp);
    int64_t inner_end = std::min(cols, w - 1 - x0);
    if (bpp > 2 && inner_end > i) {
      SoftenBytes(out + i * bpp, self + (x0 + i) * bpp, below + (x0 + i) * bpp, bpp, (inner_end - i) * bpp);
      i = inner_end;
    }
    for (; i < cols; ++i) pixel(x0 + i, out + i * bpp);
  }
  return 1;
}

// ---- mosaic ---------------------------------------------------------------------------

uint32_t builtin_mosaic(BuiltinArgs args) {
  Plane* dst = PlaneAt(args.u(0));
  Plane* src = PlaneAt(args.u(3));
  Box s;
  Placement pl;
  if (!SameDrawable(dst, src) || !SourceBox(src, args.u(4), s) || !Place(dst, args.i(1), args.i(2), s, pl)) return 0;
  const int64_t bw = args.i(5), bh = args.i(6);
  if (bw <= 0 || bh <= 0) return 0;
  const int bpp = dst->bits / 8;
  const View view = PlaneView(src, s);
  const int64_t w = s.width(), h = s.height();
  const int64_t blocks_x = (w + bw - 1) / bw, blocks_y = (h + bh - 1) / bh;
  // Every block's colour first, so that writing never changes what is read.
  std::vector<uint32_t> colour(size_t(blocks_x * blocks_y));
  for (int64_t by = 0; by < blocks_y; ++by)
    for (int64_t bx = 0; bx < blocks_x; ++bx) {
      const int64_t x0 = bx * bw, y0 = by * bh, x1 = std::min(w, x0 + bw) - 1, y1 = std::min(h, y0 + bh) - 1;
      const uint32_t p[4] = {LoadPixel(view.Row(y0) + x0 * bpp, bpp), LoadPixel(view.Row(y0) + x1 * bpp, bpp),
                             LoadPixel(view.Row(y1) + x0 * bpp, bpp), LoadPixel(view.Row(y1) + x1 * bpp, bpp)};
      uint32_t v = p[0];
      if (bpp > 1) {
        int ch[4][4], o[4];
        for (int k = 0; k < 4; ++k) SplitChannels(p[k], bpp, ch[k]);
        for (int k = 0; k < 4; ++k) o[k] = (ch[0][k] + ch[1][k] + ch[2][k] + ch[3][k]) >> 2;
        v = JoinChannels(o, bpp);
      }
      colour[size_t(by * blocks_x + bx)] = v;
    }
  const int64_t cols = pl.dst.width(), rows = pl.dst.height();
  const int64_t sx0 = pl.src.left - s.left, sy0 = pl.src.top - s.top;
#pragma omp parallel for schedule(static) if (Parallel(rows, cols))
  for (int64_t j = 0; j < rows; ++j) {
    const uint32_t* block_row = colour.data() + ((sy0 + j) / bh) * blocks_x;
    uint8_t* out = PixelAddress(dst, int32_t(pl.dst.left), int32_t(pl.dst.top + j));
    int64_t i = 0, bx = sx0 / bw;
    for (; i < cols; ++bx) {
      const int64_t run = std::min(cols - i, (bx + 1) * bw - (sx0 + i));
      const uint32_t v = block_row[bx];
      if (bpp == 4) {
        std::fill_n(reinterpret_cast<uint32_t*>(out + i * 4), run, v);  // rows are 4-byte aligned
      } else {
        for (int64_t k = 0; k < run; ++k) StorePixel(out + (i + k) * bpp, bpp, v);
      }
      i += run;
    }
  }
  return 1;
}

// ---- monotone ---------------------------------------------------------------------

namespace {

#ifdef __SSE2__
// Eight 32-bit pixels at a time: Y from 16-bit products joined into 32 bits,
// then each channel dark + Y (bright - dark) / 255, the quotient truncated
// toward zero as the ramp is (the product stays below 65536, where dividing by
// 255 is (x + 1 + (x >> 8)) >> 8). The alpha bytes stay. Returns the pixels done.
int64_t MonotoneRow32(uint8_t* d, int64_t n, uint32_t dark, uint32_t bright) {
  const __m128i byte = _mm_set1_epi32(0xFF), alpha = _mm_set1_epi32(int(0xFF000000u)), zero = _mm_setzero_si128();
  __m128i base[3], scale[3], sign[3];
  for (int c = 0; c < 3; ++c) {
    const int lo = int((dark >> (8 * c)) & 255), hi = int((bright >> (8 * c)) & 255);
    base[c] = _mm_set1_epi16(short(lo));
    scale[c] = _mm_set1_epi16(short(hi >= lo ? hi - lo : lo - hi));
    sign[c] = _mm_set1_epi16(short(hi >= lo ? 0 : -1));
  }
  const __m128i weight[3] = {_mm_set1_epi16(short(7471)), _mm_set1_epi16(short(38470)), _mm_set1_epi16(short(19595))};
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + 4 * i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + 4 * i + 16));
    __m128i sum_lo = zero, sum_hi = zero;
    for (int c = 0; c < 3; ++c) {
      const __m128i ch = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, 8 * c), byte),
                                         _mm_and_si128(_mm_srli_epi32(b, 8 * c), byte));
      const __m128i lo = _mm_mullo_epi16(ch, weight[c]), hi = _mm_mulhi_epu16(ch, weight[c]);
      sum_lo = _mm_add_epi32(sum_lo, _mm_unpacklo_epi16(lo, hi));
      sum_hi = _mm_add_epi32(sum_hi, _mm_unpackhi_epi16(lo, hi));
    }
    const __m128i y = _mm_packs_epi32(_mm_srli_epi32(sum_lo, 16), _mm_srli_epi32(sum_hi, 16));
    __m128i out_lo = _mm_and_si128(a, alpha), out_hi = _mm_and_si128(b, alpha);
    for (int c = 0; c < 3; ++c) {
      __m128i q = _mm_mullo_epi16(y, scale[c]);
      q = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(q, _mm_set1_epi16(1)), _mm_srli_epi16(q, 8)), 8);
      const __m128i v = _mm_add_epi16(base[c], _mm_sub_epi16(_mm_xor_si128(q, sign[c]), sign[c]));
      out_lo = _mm_or_si128(out_lo, _mm_slli_epi32(_mm_unpacklo_epi16(v, zero), 8 * c));
      out_hi = _mm_or_si128(out_hi, _mm_slli_epi32(_mm_unpackhi_epi16(v, zero), 8 * c));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 4 * i), out_lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 4 * i + 16), out_hi);
  }
  return i;
}
#else
int64_t MonotoneRow32(uint8_t*, int64_t, uint32_t, uint32_t) { return 0; }
#endif

}  // namespace

uint32_t builtin_monotone(BuiltinArgs args) {
  Plane* p = PlaneAt(args.u(0));
  Box r;
  if (!p || p->bits < 16 || !Drawable(p) || !EffectBox(p, args.u(1), r)) return 0;
  const uint32_t dark = ConvertColour(args.u(2), 4), bright = ConvertColour(args.u(3), 4);
  uint32_t ramp[256];
  for (int i = 0; i < 256; ++i) {
    uint32_t v = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
      const int d = int((dark >> shift) & 255), b = int((bright >> shift) & 255);
      v |= uint32_t(d + i * (b - d) / 255) << shift;
    }
    ramp[i] = p->bits == 16 ? PackRgb555(v) : v;
  }
  // Y = (19595 R + 38470 G + 7471 B) >> 16, from per-channel products.
  uint32_t yr[256], yg[256], yb[256];
  for (uint32_t i = 0; i < 256; ++i) yr[i] = 19595 * i, yg[i] = 38470 * i, yb[i] = 7471 * i;
  const int bpp = p->bits / 8;
  const int64_t rows = r.height(), cols = r.width();
#pragma omp parallel for schedule(static) if (Parallel(rows, cols))
  for (int64_t j = 0; j < rows; ++j) {
    uint8_t* d = PixelAddress(p, int32_t(r.left), int32_t(r.top + j));
    switch (bpp) {
      case 4: {
        const int64_t done = MonotoneRow32(d, cols, dark, bright);
        d += done * 4;
        for (int64_t i = done; i < cols; ++i, d += 4) {
          const uint32_t v = ramp[(yr[d[2]] + yg[d[1]] + yb[d[0]]) >> 16] | uint32_t(d[3]) << 24;
          std::memcpy(d, &v, 4);
        }
        break;
      }
      case 3:
        for (int64_t i = 0; i < cols; ++i, d += 3) {
          const uint32_t v = ramp[(yr[d[2]] + yg[d[1]] + yb[d[0]]) >> 16];
          d[0] = uint8_t(v), d[1] = uint8_t(v >> 8), d[2] = uint8_t(v >> 16);
        }
        break;
      default:
        for (int64_t i = 0; i < cols; ++i, d += 2) {
          const int w = d[0] | d[1] << 8;
          const uint32_t c = g_blend.rgb555[w & 0x7FFF];
          const uint32_t v = ramp[(yr[(c >> 16) & 255] + yg[(c >> 8) & 255] + yb[c & 255]) >> 16] | (w & 0x8000);
          d[0] = uint8_t(v), d[1] = uint8_t(v >> 8);
        }
        break;
    }
  }
  return 1;
}

// ---- blur -----------------------------------------------------------------------------

namespace {

// A blurred channel from its window sum: (sum * k + 32768) >> 16. The sum of
// at most 255 bytes and k = 65536 / (2r + 1) both fit in 16 bits, so the
// product is (high half << 16) + low half and the rounding adds 1 exactly when
// the low half reaches 32768.
inline uint8_t Scaled(uint32_t sum, uint32_t k) { return uint8_t((sum * k + 32768) >> 16); }
#ifdef __SSE2__
inline __m128i Scaled16(__m128i sum, __m128i k) {
  return _mm_add_epi16(_mm_mulhi_epu16(sum, k), _mm_srli_epi16(_mm_mullo_epi16(sum, k), 15));
}
inline __m128i Widen(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  std::memcpy(&v, p, size_t(bytes));
  return _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(v)), _mm_setzero_si128());
}
#endif

// Sliding sums along a row: out[i] = the scaled sum of in[i .. i + 2r] per
// channel, in holding the row with r edge pixels repeated on each side.
template <int Bytes>
void BlurLine(uint8_t* out, const uint8_t* in, int64_t n, int r, uint32_t k) {
#ifdef __SSE2__
  if constexpr (Bytes >= 3) {
    // All channels of a pixel in the 16-bit lanes of one register.
    const __m128i kk = _mm_set1_epi16(short(k));
    __m128i sum = _mm_setzero_si128();
    for (int t = 0; t <= 2 * r; ++t) sum = _mm_add_epi16(sum, Widen(in + t * Bytes, Bytes));
    for (int64_t i = 0; i < n; ++i) {
      const __m128i v = Scaled16(sum, kk);
      const uint32_t px = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(v, v)));
      std::memcpy(out + i * Bytes, &px, Bytes);
      sum = _mm_sub_epi16(_mm_add_epi16(sum, Widen(in + (i + 2 * r + 1) * Bytes, Bytes)), Widen(in + i * Bytes, Bytes));
    }
    return;
  }
#endif
  uint32_t sum[Bytes] = {};
  for (int t = 0; t <= 2 * r; ++t)
    for (int c = 0; c < Bytes; ++c) sum[c] += in[t * Bytes + c];
  for (int64_t i = 0; i < n; ++i) {
    for (int c = 0; c < Bytes; ++c) {
      out[i * Bytes + c] = Scaled(sum[c], k);
      sum[c] += uint32_t(in[(i + 2 * r + 1) * Bytes + c]) - in[i * Bytes + c];
    }
  }
}

// Running sums down the rows for n bytes of a band: out = scaled sums, then
// the row leaving the window dropped and the one entering it added.
void BlurBand(uint8_t* out, uint16_t* sum, const uint8_t* add, const uint8_t* drop, int64_t n, uint32_t k) {
  int64_t c = 0;
#ifdef __SSE2__
  const __m128i kk = _mm_set1_epi16(short(k)), zero = _mm_setzero_si128();
  for (; c + 8 <= n; c += 8) {
    const __m128i acc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sum + c));
    const __m128i v = Scaled16(acc, kk);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + c), _mm_packus_epi16(v, v));
    const __m128i in = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(add + c)), zero);
    const __m128i off = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(drop + c)), zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sum + c), _mm_sub_epi16(_mm_add_epi16(acc, in), off));
  }
#endif
  for (; c < n; ++c) {
    out[c] = Scaled(sum[c], k);
    sum[c] = uint16_t(sum[c] + add[c] - drop[c]);
  }
}

void BlurRows(Plane* dst, const Placement& pl, const View& view, const Box& s, int r, uint32_t k, int bpp) {
  const int64_t w = s.width(), cols = pl.src.width(), rows = pl.src.height();
  const int64_t x0 = pl.src.left - s.left, y0 = pl.src.top - s.top;
#pragma omp parallel if (Parallel(rows, cols))
  {
    std::vector<uint8_t> line(size_t(cols + 2 * r + 1) * bpp);
#pragma omp for schedule(static)
    for (int64_t j = 0; j < rows; ++j) {
      const uint8_t* row = view.Row(y0 + j);
      // The window of the output columns, edge pixels standing in beyond the rectangle.
      const int64_t first = x0 - r, last = x0 + cols + r;  // [first, last)
      int64_t at = 0;
      for (int64_t x = first; x < std::min<int64_t>(0, last); ++x, at += bpp) std::memcpy(&line[at], row, size_t(bpp));
      const int64_t inside0 = std::max<int64_t>(first, 0), inside1 = std::min(last, w);
      if (inside1 > inside0) {
        std::memcpy(&line[at], row + inside0 * bpp, size_t(inside1 - inside0) * bpp);
        at += (inside1 - inside0) * bpp;
      }
      for (int64_t x = std::max(w, first); x < last; ++x, at += bpp)
        std::memcpy(&line[at], row + (w - 1) * bpp, size_t(bpp));
      std::memset(&line[at], 0, size_t(bpp));  // read past the end once, never used
      uint8_t* out = PixelAddress(dst, int32_t(pl.dst.left), int32_t(pl.dst.top + j));
      switch (bpp) {
        case 1: BlurLine<1>(out, line.data(), cols, r, k); break;
        case 3: BlurLine<3>(out, line.data(), cols, r, k); break;
        default: BlurLine<4>(out, line.data(), cols, r, k); break;
      }
    }
  }
}

void BlurColumns(Plane* dst, const Placement& pl, const View& view, const Box& s, int r, uint32_t k, int bpp) {
  const int64_t h = s.height(), cols = pl.src.width(), rows = pl.src.height();
  const int64_t x0 = pl.src.left - s.left, y0 = pl.src.top - s.top;
  const int64_t bytes = cols * bpp;
  auto source = [&](int64_t y) { return view.Row(std::clamp<int64_t>(y, 0, h - 1)) + x0 * bpp; };
  // Bands of columns, each with its own running sums down the rows.
  const int64_t band = std::max<int64_t>(64, (bytes + 7) / 8);
  const int64_t bands = (bytes + band - 1) / band;
#pragma omp parallel if (Parallel(rows, cols))
  {
    std::vector<uint16_t> sum(static_cast<size_t>(band));  // at most 255 x 255
#pragma omp for schedule(static)
    for (int64_t b = 0; b < bands; ++b) {
      const int64_t from = b * band, n = std::min(band, bytes - from);
      std::fill(sum.begin(), sum.end(), uint16_t{0});
      for (int64_t t = -r; t <= r; ++t) {
        const uint8_t* in = source(y0 + t) + from;
        for (int64_t c = 0; c < n; ++c) sum[size_t(c)] = uint16_t(sum[size_t(c)] + in[c]);
      }
      for (int64_t j = 0; j < rows; ++j)
        BlurBand(PixelAddress(dst, int32_t(pl.dst.left), int32_t(pl.dst.top + j)) + from, sum.data(),
                 source(y0 + j + r + 1) + from, source(y0 + j - r) + from, n, k);
    }
  }
}

}  // namespace

uint32_t builtin_blur(BuiltinArgs args) {
  Plane* dst = PlaneAt(args.u(0));
  Plane* src = PlaneAt(args.u(3));
  Box s;
  Placement pl;
  if (!SameDrawable(dst, src) || !SourceBox(src, args.u(4), s) || !Place(dst, args.i(1), args.i(2), s, pl)) return 0;
  const int32_t radius = std::clamp(args.i(5), -127, 127);
  const int bpp = dst->bits / 8;
  std::vector<uint8_t> copy;
  const View view = SourceView(dst, src, s, copy);
  if (radius == 0) {
    const int64_t x0 = pl.src.left - s.left, y0 = pl.src.top - s.top;
    for (int64_t j = 0; j < pl.dst.height(); ++j)
      std::memmove(PixelAddress(dst, int32_t(pl.dst.left), int32_t(pl.dst.top + j)), view.Row(y0 + j) + x0 * bpp,
                   size_t(pl.dst.width()) * bpp);
    return 1;
  }
  if (bpp == 2) return 0;  // 5-bit channels are not blurred
  const int r = radius < 0 ? -radius : radius;
  const uint32_t k = 65536 / uint32_t(2 * r + 1);
  if (radius > 0)
    BlurRows(dst, pl, view, s, r, k, bpp);
  else
    BlurColumns(dst, pl, view, s, r, k, bpp);
  return 1;
}

// ---- fire -----------------------------------------------------------------------------

uint32_t builtin_fire(BuiltinArgs args) {
  Plane* p = PlaneAt(args.u(0));
  Box r;
  if (!p || !Drawable(p) || !EffectBox(p, args.u(1), r) || r.height() < 2) return 0;
  const int bpp = p->bits / 8;
  for (int64_t y = r.top + 1; y < r.bottom; ++y) {
    const uint8_t* from = PixelAddress(p, int32_t(r.left), int32_t(y));
    uint8_t* above = PixelAddress(p, int32_t(r.left), int32_t(y - 1));
    for (int64_t i = 0; i < r.width(); ++i, from += bpp) {
      uint32_t v = LoadPixel(from, bpp);
      switch (bpp) {
        case 1: v = v > 2 ? v - 2 : 0; break;
        case 2: {
          int ch[4];
          SplitChannels(v, 2, ch);
          for (int k = 0; k < 3; ++k) ch[k] = std::max(0, ch[k] - 1);
          v = JoinChannels(ch, 2) | (v & 0x8000);
          break;
        }
        default: {
          uint32_t out = 0;
          for (int k = 0; k < bpp; ++k) out |= uint32_t(std::max(0, int((v >> (8 * k)) & 255) - 1)) << (8 * k);
          v = out;
          break;
        }
      }
      const int64_t d = (i == 0 || i + 1 == r.width()) ? 0 : EffectRandom() % 3 - 1;
      StorePixel(above + (i + d) * bpp, bpp, v);
    }
  }
  return 1;
}
