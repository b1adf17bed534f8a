#include "graphics/blit_geometry.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "runtime/math_builtins.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

using Wide = __int128;
using UWide = unsigned __int128;

// Rectangles wider or taller than this are refused: no plane comes near it,
// and it keeps every fixed-point product below 2^127.
constexpr int64_t kMaxExtent = INT32_MAX;

struct Rect64 {
  int64_t left, top, right, bottom;
  int64_t width() const { return right - left; }
  int64_t height() const { return bottom - top; }
};

Rect64 Whole(const Plane* p) { return {0, 0, p->width, p->height}; }
Rect64 From(const PlaneRect& r) { return {r.left, r.top, r.right, r.bottom}; }
Rect64 Intersect(const Rect64& a, const Rect64& b) {
  return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
}
bool Empty(const Rect64& r) { return r.left >= r.right || r.top >= r.bottom; }
// The destination clip, never reaching past the plane.
Rect64 DestClip(const Plane* p) { return Intersect(From(p->clip), Whole(p)); }

bool Drawable(const Plane* p) { return p && (p->bits == 8 || p->bits == 16 || p->bits == 24 || p->bits == 32); }

// Swaps reversed edges, toggling the mirror flag of that axis. False when the
// rectangle is empty or too large.
bool Normalise(Rect64& r, bool& mirror_x, bool& mirror_y) {
  if (r.right < r.left) {
    std::swap(r.left, r.right);
    mirror_x = !mirror_x;
  }
  if (r.bottom < r.top) {
    std::swap(r.top, r.bottom);
    mirror_y = !mirror_y;
  }
  return !Empty(r) && r.width() <= kMaxExtent && r.height() <= kMaxExtent;
}

// Source bounds: the source plane, and the mask plane when there is one.
Rect64 SourceBounds(const Plane* src, const Plane* mask) {
  Rect64 b = Whole(src);
  if (mask) b = Intersect(b, Whole(mask));
  return b;
}

bool IsMaskedRow(int row) { return row == 7 || row == 10 || row == 11 || row == 12; }
bool IsAlphaRow(int row) {
  return row == 7 || row == 9 || row == 10 || row == 11 || row == 12 || row == 23 || row == 25 || row == 27;
}

// The routine for a blit, with what it needs to know about the mask.
struct Selection {
  bool ok = false;       // false: refused
  BlitRoutine routine = nullptr;
  NormalisedMode mode{};
  bool masked = false;
};
Selection Select(const Plane* dst, const Plane* src, const Plane* mask, const BlitParams* params) {
  Selection s;
  s.mode = NormaliseMode(params ? *params : BlitParams{});
  if (!s.mode.ok) return s;
  s.masked = mask && IsMaskedRow(s.mode.row);
  // A mask is read as one byte per pixel; a plane of fewer bits per pixel
  // has shorter rows than that.
  if (s.masked && mask->bits < 8) return s;
  s.ok = true;
  s.routine = FindBlitRoutine(s.mode.row, src->bits / 8, dst->bits / 8, s.masked);
  return s;
}

BlitJob BaseJob(const Plane* dst, const Plane* src, const Selection& sel) {
  BlitJob j{};
  j.params = &sel.mode.params;
  j.blend = sel.mode.table;
  j.dst_colours = PlaneColourTable(dst);
  j.src_colours = PlaneColourTable(src);
  return j;
}

// ---- scaled copies ---------------------------------------------------------------

// One axis of a scaled copy: the destination interval [d0, d1) and the source
// interval [s0, s1), the 32.32 step through the source per destination pixel
// and the fraction the first destination pixel starts at.
struct Axis {
  int64_t d0, d1, s0, s1;
  uint64_t step = 0, acc = 0;
};

// Trims an axis to the source bounds [b0, b1) and the destination clip
// [c0, c1): source overhang moves the matching destination end, destination
// overhang the matching source end. Mirrored, the destination runs against
// the source; it is then trimmed as its reflection. False when nothing is left.
bool TrimAxis(Axis& a, int64_t b0, int64_t b1, int64_t c0, int64_t c1, bool mirrored) {
  if (mirrored) {
    a.d0 = -std::exchange(a.d1, -a.d0);
    c0 = -std::exchange(c1, -c0);
  }
  const int64_t dn = a.d1 - a.d0, sn = a.s1 - a.s0;
  a.step = static_cast<uint64_t>((UWide(sn) << 32) / UWide(dn));
  a.acc = 0;
  if (a.s0 < b0) {
    const int64_t n = static_cast<int64_t>(Wide(b0 - a.s0) * dn / sn);
    a.d0 += n;
    a.s0 = b0;
    a.acc = static_cast<uint64_t>(UWide(n) * a.step) & 0xFFFFFFFFu;
  }
  if (a.d0 < c0) {
    const UWide v = UWide(a.acc) + UWide(c0 - a.d0) * a.step;
    a.s0 += static_cast<int64_t>(v >> 32);
    a.acc = static_cast<uint64_t>(v) & 0xFFFFFFFFu;
    a.d0 = c0;
  }
  if (a.s1 > b1) {
    a.d1 -= static_cast<int64_t>(Wide(a.s1 - b1) * dn / sn);
    a.s1 = b1;
  }
  if (a.d1 > c1) {
    a.s1 -= static_cast<int64_t>((UWide(a.d1 - c1) * a.step) >> 32);
    a.d1 = c1;
  }
  if (mirrored) a.d0 = -std::exchange(a.d1, -a.d0);
  return a.d0 < a.d1 && a.s0 < a.s1;
}

// Source pixel of each destination pixel along an axis, relative to s0, in
// units of `unit` bytes; clamped to the trimmed source so that rounding can
// never step past it.
void AxisOffsets(const Axis& a, ptrdiff_t unit, ptrdiff_t* out) {
  const int64_t n = a.d1 - a.d0, last = a.s1 - a.s0 - 1;
  uint64_t pos = a.acc;
  for (int64_t i = 0; i < n; ++i, pos += a.step) out[i] = std::min<int64_t>(int64_t(pos >> 32), last) * unit;
}

int Stretch(Plane* dst, Rect64 dr, Plane* src, Rect64 sr, Plane* mask, const BlitParams* params, bool mirror_x,
            bool mirror_y) {
  const Rect64 bounds = SourceBounds(src, mask);
  const Rect64 clip = DestClip(dst);
  Axis ax{dr.left, dr.right, sr.left, sr.right}, ay{dr.top, dr.bottom, sr.top, sr.bottom};
  if (!TrimAxis(ay, bounds.top, bounds.bottom, clip.top, clip.bottom, mirror_y)) return 0;
  if (!TrimAxis(ax, bounds.left, bounds.right, clip.left, clip.right, mirror_x)) return 0;
  const Selection sel = Select(dst, src, mask, params);
  if (!sel.ok) return 0;
  if (!sel.routine) return 1;

  const int cols = int(ax.d1 - ax.d0), rows = int(ay.d1 - ay.d0);
  const int sb = src->bits / 8, db = dst->bits / 8;
  std::vector<ptrdiff_t> offsets(size_t(cols + rows) * (sel.masked ? 2 : 1));
  ptrdiff_t* src_cols = offsets.data();
  ptrdiff_t* src_rows = src_cols + cols;
  AxisOffsets(ax, sb, src_cols);
  AxisOffsets(ay, -ptrdiff_t{src->stride}, src_rows);

  BlitJob j = BaseJob(dst, src, sel);
  j.dst = PixelAddress(dst, int32_t(mirror_x ? ax.d1 - 1 : ax.d0), int32_t(mirror_y ? ay.d1 - 1 : ay.d0));
  j.dst_step = mirror_x ? -db : db;
  j.dst_row = mirror_y ? dst->stride : -ptrdiff_t{dst->stride};
  j.src = PixelAddress(src, int32_t(ax.s0), int32_t(ay.s0));
  j.src_cols = src_cols;
  j.src_rows = src_rows;
  j.cols = cols;
  j.rows = rows;
  if (sel.masked) {
    ptrdiff_t* mask_cols = src_rows + rows;
    ptrdiff_t* mask_rows = mask_cols + cols;
    AxisOffsets(ax, 1, mask_cols);
    AxisOffsets(ay, -ptrdiff_t{mask->stride}, mask_rows);
    j.mask = PlaneRow(mask, int32_t(ay.s0)) + ax.s0;
    j.mask_cols = mask_cols;
    j.mask_rows = mask_rows;
  }
  sel.routine(j);
  return 1;
}

// ---- rotated copies ----------------------------------------------------------------

// Bilinear blend of one channel: fx, fy are the 8-bit fractions.
inline int Lerp2(int p, int q, int o, int r, int fx, int fy) {
  return p + ((256 * fx * (q - p) + 256 * fy * (o - p) + fx * fy * (p - q - o + r)) >> 16);
}

// The same blend for the bytes 0 and 2 of four pixel words at once, each in
// a 32-bit lane: with the weights (256 - fx)(256 - fy), fx(256 - fy),
// (256 - fx)fy and fx fy, which sum to 65536, the weighted sum is 65536 P plus
// the numerator above, so its top bits are exactly the blended value.
inline uint64_t Lanes02(uint32_t v) { return uint64_t(v & 0xFF) | uint64_t(v & 0xFF0000) << 16; }
inline uint32_t Blend02(uint32_t p, uint32_t q, uint32_t o, uint32_t r, const uint64_t w[4]) {
  const uint64_t sum = w[0] * Lanes02(p) + w[1] * Lanes02(q) + w[2] * Lanes02(o) + w[3] * Lanes02(r);
  return uint32_t((sum >> 16) & 0xFF) | uint32_t((sum >> 48) & 0xFF) << 16;
}

#ifdef __SSE2__
constexpr bool kHaveSse2 = true;
// The blend of four 32-bit pixels in one register: first down the columns
// (P, Q with O, R; 16-bit products stay below 65536), then across (32-bit
// products), then the top 16 bits. The same integer sum as the weighted form.
// Q and R are read beside P and O unless q is p itself (the right edge).
inline uint32_t Filter32(const uint8_t* p, const uint8_t* q, const uint8_t* o, int fx, int fy) {
  const __m128i zero = _mm_setzero_si128();
  __m128i pq, orr;
  if (q == p + 4) {
    pq = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    orr = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(o));
  } else {  // the right edge: the neighbour is the pixel itself
    uint32_t vp, vo;
    std::memcpy(&vp, p, 4);
    std::memcpy(&vo, o, 4);
    pq = _mm_shuffle_epi32(_mm_cvtsi32_si128(int(vp)), 0);
    orr = _mm_shuffle_epi32(_mm_cvtsi32_si128(int(vo)), 0);
  }
  const __m128i top = _mm_unpacklo_epi8(pq, zero), low = _mm_unpacklo_epi8(orr, zero);
  const __m128i cols = _mm_add_epi16(_mm_mullo_epi16(top, _mm_set1_epi16(short(256 - fy))),
                                     _mm_mullo_epi16(low, _mm_set1_epi16(short(fy))));
  const __m128i w = _mm_set_epi16(short(fx), short(fx), short(fx), short(fx), short(256 - fx), short(256 - fx),
                                  short(256 - fx), short(256 - fx));
  const __m128i lo = _mm_mullo_epi16(cols, w), hi = _mm_mulhi_epu16(cols, w);
  const __m128i sum = _mm_add_epi32(_mm_unpacklo_epi16(lo, hi), _mm_unpackhi_epi16(lo, hi));
  const __m128i v = _mm_srli_epi32(sum, 16);
  return uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(v, v), zero)));
}
#else
constexpr bool kHaveSse2 = false;
inline uint32_t Filter32(const uint8_t*, const uint8_t*, const uint8_t*, int, int) { return 0; }
#endif

inline uint32_t Load(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  std::memcpy(&v, p, size_t(bytes));
  return v;
}

// How a rotated row takes its samples: as source offsets for the routine
// (masked routines, which read the mask beside the source), gathered into a
// contiguous row (nearest), or filtered into one (bilinear; the alpha layouts
// of 2- and 3-byte sources keep an index or a 555 word beside the alpha).
enum SampleKind { kOffsets, kGather, kFilter, kFilterAlpha };

struct RowSampler {
  const uint8_t* base;       // the window's top-left source pixel
  const ptrdiff_t* col_off;  // byte offsets of the window's columns
  const ptrdiff_t* row_off;  // and rows
  const ptrdiff_t* mask_row_off;
  int64_t lo_x, hi_x, lo_y, hi_y;  // the window in 16.16
  int win_w, win_h;
  int64_t step_x, step_y;
};

// ceil(a / b) for b > 0.
inline int64_t CeilDiv(int64_t a, int64_t b) { return a >= 0 ? (a + b - 1) / b : -((-a) / b); }

// The columns [first, end) of n whose positions x + i * step lie in [lo, hi).
void AxisRun(int64_t x, int64_t step, int64_t lo, int64_t hi, int n, int& first, int& end) {
  if (step == 0) {
    first = 0;
    end = x >= lo && x < hi ? n : 0;
    return;
  }
  if (step < 0) {  // the same run of -x - i * step in [1 - hi, 1 - lo)
    x = -x, step = -step;
    lo = 1 - std::exchange(hi, 1 - lo);
  }
  first = int(std::clamp<int64_t>(CeilDiv(lo - x, step), 0, n));
  end = int(std::clamp<int64_t>(CeilDiv(hi - x, step), 0, n));
}

// Samples one destination row from the source position (sx, sy) of its first
// drawn pixel. The samples inside the window form one run, since positions are
// linear in the column: returns its length and sets first to its start.
template <int Bytes, int Kind>
int SampleRow(const RowSampler& s, int cols, int64_t sx, int64_t sy, int& first, uint8_t* samples,
              ptrdiff_t* src_cols, ptrdiff_t* mask_cols) {
  int ax, bx, ay, by;
  AxisRun(sx, s.step_x, s.lo_x, s.hi_x, cols, ax, bx);
  AxisRun(sy, s.step_y, s.lo_y, s.hi_y, cols, ay, by);
  first = std::max(ax, ay);
  const int n = std::max(0, std::min(bx, by) - first);
  sx += first * s.step_x;
  sy += first * s.step_y;
  for (int k = 0; k < n; ++k, sx += s.step_x, sy += s.step_y) {
    const int px = int((sx - s.lo_x) >> 16), py = int((sy - s.lo_y) >> 16);
    if constexpr (Kind == kOffsets) {
      src_cols[k] = s.row_off[py] + s.col_off[px];
      mask_cols[k] = s.mask_row_off[py] + px;
    } else if constexpr (Kind == kGather) {
      std::memcpy(samples + ptrdiff_t(k) * Bytes, s.base + s.row_off[py] + ptrdiff_t(px) * Bytes, Bytes);
    } else {
      // The offset tables repeat their last entry, so the neighbours past the
      // window's right and bottom edges are the edge pixels themselves.
      const int fx = int(sx >> 8) & 255, fy = int(sy >> 8) & 255;
      const uint8_t* top = s.base + s.row_off[py];
      const uint8_t* low = s.base + s.row_off[py + 1];
      const uint8_t* p = top + s.col_off[px];
      const uint8_t* q = top + s.col_off[px + 1];
      const uint8_t* o = low + s.col_off[px];
      const uint8_t* r = low + s.col_off[px + 1];
      uint8_t* out = samples + ptrdiff_t(k) * Bytes;
      if constexpr (Bytes == 1) {
        out[0] = p[0];  // an index is never blended
      } else if constexpr (Bytes == 4 && kHaveSse2) {
        const uint32_t v = Filter32(p, q, o, fx, fy);
        std::memcpy(out, &v, 4);
      } else if constexpr (Bytes == 4 || (Bytes == 3 && Kind == kFilter)) {
        const uint64_t w[4] = {uint64_t((256 - fx) * (256 - fy)), uint64_t(fx * (256 - fy)),
                               uint64_t((256 - fx) * fy), uint64_t(fx * fy)};
        const uint32_t vp = Load(p, Bytes), vq = Load(q, Bytes), vo = Load(o, Bytes), vr = Load(r, Bytes);
        const uint32_t v = Blend02(vp, vq, vo, vr, w) | Blend02(vp >> 8, vq >> 8, vo >> 8, vr >> 8, w) << 8;
        std::memcpy(out, &v, Bytes);
      } else if constexpr (Bytes == 2 && Kind == kFilterAlpha) {
        out[0] = p[0];
        out[1] = uint8_t(Lerp2(p[1], q[1], o[1], r[1], fx, fy));
      } else {
        // x1r5g5b5 fields, then the alpha byte of the 3-byte alpha layout.
        const int wp = p[0] | p[1] << 8, wq = q[0] | q[1] << 8, wo = o[0] | o[1] << 8, wr = r[0] | r[1] << 8;
        int w = 0;
        for (int shift = 0; shift <= 10; shift += 5)
          w |= Lerp2((wp >> shift) & 31, (wq >> shift) & 31, (wo >> shift) & 31, (wr >> shift) & 31, fx, fy) << shift;
        out[0] = uint8_t(w);
        out[1] = uint8_t(w >> 8);
        if constexpr (Bytes == 3) out[2] = uint8_t(Lerp2(p[2], q[2], o[2], r[2], fx, fy));
      }
    }
  }
  return n;
}

using SampleRowFn = int (*)(const RowSampler&, int, int64_t, int64_t, int&, uint8_t*, ptrdiff_t*, ptrdiff_t*);
template <int Kind>
SampleRowFn SamplerFor(int bytes) {
  switch (bytes) {
    case 1: return &SampleRow<1, Kind>;
    case 2: return &SampleRow<2, Kind>;
    case 3: return &SampleRow<3, Kind>;
    default: return &SampleRow<4, Kind>;
  }
}
SampleRowFn PickSampler(int kind, int bytes) {
  switch (kind) {
    case kOffsets: return SamplerFor<kOffsets>(bytes);
    case kGather: return SamplerFor<kGather>(bytes);
    case kFilter: return SamplerFor<kFilter>(bytes);
    default: return SamplerFor<kFilterAlpha>(bytes);
  }
}

// What every row of a rotated copy shares.
struct Rotation {
  Rect64 box;     // the bounding box, unclipped
  Rect64 drawn;   // the box inside the destination clip
  Rect64 window;  // the source rectangle inside the source bounds
  int64_t f, g;   // box width and height
  int64_t centre_x, centre_y;  // 16.16 source position of the box centre
  int64_t c, s;   // cosine and sine, 16.16
  int64_t sw, sh, dw, dh;
  bool mirror_x, mirror_y;
  int64_t step_x, step_y;      // per destination column, 16.16
};

// 16.16 source position of the first drawn pixel of a destination row.
void RowStart(const Rotation& r, int64_t y, int64_t& sx, int64_t& sy) {
  int64_t u = r.drawn.left - r.box.left, v = y - r.box.top;
  if (r.mirror_x) u = r.f - 1 - u;
  if (r.mirror_y) v = r.g - 1 - v;
  const Wide dx = u - r.f / 2, dy = v - r.g / 2;
  sx = r.centre_x + int64_t((dx * r.c - dy * r.s) * r.sw / r.dw);
  sy = r.centre_y + int64_t((dx * r.s + dy * r.c) * r.sh / r.dh);
}

int Rotate(Plane* dst, Rect64 dr, Plane* src, Rect64 sr, Plane* mask, const BlitParams* params, int32_t angle,
           bool bilinear, bool mirror_x, bool mirror_y) {
  Rotation r{};
  r.mirror_x = mirror_x;
  r.mirror_y = mirror_y;
  r.dw = dr.width(), r.dh = dr.height(), r.sw = sr.width(), r.sh = sr.height();
  const int32_t theta = mirror_x != mirror_y ? -angle : angle;
  r.c = TableCos(theta);
  r.s = TableSin(theta);
  const int64_t ac = r.c < 0 ? -r.c : r.c, as = r.s < 0 ? -r.s : r.s;
  r.g = (ac * r.dh + r.dw * as + 0x8000) >> 16;
  r.f = (r.dw * ac + r.dh * as + 0x8000) >> 16;
  r.box.top = dr.top + r.dh / 2 - r.g / 2;
  r.box.left = dr.left + r.dw / 2 - r.f / 2;
  r.box.right = r.box.left + r.f;
  r.box.bottom = r.box.top + r.g;
  r.drawn = Intersect(r.box, DestClip(dst));
  if (Empty(r.drawn)) return 0;
  r.window = Intersect(sr, SourceBounds(src, mask));
  if (Empty(r.window)) return 0;
  const Selection sel = Select(dst, src, mask, params);
  if (!sel.ok) return 0;
  if (!sel.routine) return 1;

  const int row = sel.mode.row;
  const bool filtered = bilinear && !sel.masked && row != 1 && row != 2 && row != 4 && row != 6 && row != 23;
  const int kind = sel.masked ? kOffsets : !filtered ? kGather : IsAlphaRow(row) ? kFilterAlpha : kFilter;
  // Centred on the source rectangle as given, so that clipping it against the
  // plane does not move the picture.
  r.centre_x = ((sr.left + r.sw / 2) << 16) + (r.sw & 1 ? 0x8000 : 0);
  r.centre_y = ((sr.top + r.sh / 2) << 16) + (r.sh & 1 ? 0x8000 : 0);
  // Source positions then stay far inside 64 bits along every row; only
  // scale factors no plane could show exceed this, and they are refused.
  const Wide ratio = std::max(Wide(r.sw) / r.dw, Wide(r.sh) / r.dh) + 1;
  const Wide centre = std::max(r.centre_x < 0 ? -r.centre_x : r.centre_x, r.centre_y < 0 ? -r.centre_y : r.centre_y);
  if (Wide(r.f + r.g + 2) * 65536 * ratio + centre > Wide(1) << 60) return 0;
  r.step_x = int64_t(Wide(r.c) * r.sw / r.dw);
  r.step_y = int64_t(Wide(r.s) * r.sh / r.dh);
  if (mirror_x) r.step_x = -r.step_x, r.step_y = -r.step_y;

  const int sb = src->bits / 8, db = dst->bits / 8;
  const int cols = int(r.drawn.width()), rows = int(r.drawn.height());
  const Rect64 win = r.window;
  RowSampler s{};
  s.win_w = int(win.width());
  s.win_h = int(win.height());
  // Byte offsets of the window's columns and rows, so that a sample costs two
  // lookups and an addition; one more entry repeats the last for the filter.
  std::vector<ptrdiff_t> col_off(s.win_w + 1), row_off(s.win_h + 1), mask_row_off(sel.masked ? s.win_h : 0);
  for (int i = 0; i <= s.win_w; ++i) col_off[i] = ptrdiff_t(std::min(i, s.win_w - 1)) * sb;
  for (int i = 0; i <= s.win_h; ++i) row_off[i] = -ptrdiff_t(std::min(i, s.win_h - 1)) * src->stride;
  for (int i = 0; i < int(mask_row_off.size()); ++i) mask_row_off[i] = -ptrdiff_t(i) * mask->stride;
  s.base = PixelAddress(src, int32_t(win.left), int32_t(win.top));
  s.col_off = col_off.data();
  s.row_off = row_off.data();
  s.mask_row_off = mask_row_off.data();
  s.lo_x = win.left << 16, s.hi_x = win.right << 16, s.lo_y = win.top << 16, s.hi_y = win.bottom << 16;
  s.step_x = r.step_x;
  s.step_y = r.step_y;
  const SampleRowFn sample = PickSampler(kind, sb);
  const uint8_t* mask_base = sel.masked ? PlaneRow(mask, int32_t(win.top)) + win.left : nullptr;
  const BlitJob base = BaseJob(dst, src, sel);

  const bool parallel = g_graphics_settings.MultiThreading != 0 && rows > 1 && int64_t(rows) * cols >= 16384;
  // Each thread's share of the rows (all of them outside a parallel region,
  // which small copies such as a sprite's cover pieces are spared).
  auto draw_rows = [&](bool shared) {
    // Per thread: the routine's column offsets and the sampled row.
    std::vector<ptrdiff_t> src_cols(cols), mask_cols(sel.masked ? cols : 0);
    std::vector<uint8_t> samples(kind == kOffsets ? 0 : size_t(cols) * sb);
    if (kind != kOffsets)
      for (int i = 0; i < cols; ++i) src_cols[i] = ptrdiff_t(i) * sb;
    const ptrdiff_t zero = 0;
    auto draw_row = [&](int y) {
      int64_t sx, sy;
      RowStart(r, r.drawn.top + y, sx, sy);
      int first;
      const int n = sample(s, cols, sx, sy, first, samples.data(), src_cols.data(), mask_cols.data());
      if (n == 0) return;
      BlitJob j = base;
      j.dst = PixelAddress(dst, int32_t(r.drawn.left + first), int32_t(r.drawn.top + y));
      j.dst_step = db;
      j.dst_row = 0;
      j.src = kind == kOffsets ? s.base : samples.data();
      j.src_cols = src_cols.data();
      j.src_rows = &zero;
      j.cols = n;
      j.rows = 1;
      if (sel.masked) {
        j.mask = mask_base;
        j.mask_cols = mask_cols.data();
        j.mask_rows = &zero;
      }
      sel.routine(j);
    };
    if (shared) {
#pragma omp for schedule(static)
      for (int y = 0; y < rows; ++y) draw_row(y);
    } else {
      for (int y = 0; y < rows; ++y) draw_row(y);
    }
  };
  if (parallel) {
#pragma omp parallel
    draw_rows(true);
  } else {
    draw_rows(false);
  }
  return 1;
}

// Both rectangles normalised, with the mirror flags they ask for.
struct Request {
  bool ok = false;
  Rect64 dst, src;
  bool mirror_x = false, mirror_y = false;
};
Request Prepare(Plane* dst, const Rect64* dr, Plane* src, const Rect64* sr, const BlitParams* params) {
  Request q;
  if (!Drawable(dst) || !Drawable(src)) return q;
  if (params && params->mode >= 36) return q;
  q.dst = dr ? *dr : Whole(dst);
  q.src = sr ? *sr : Whole(src);
  q.ok = Normalise(q.dst, q.mirror_x, q.mirror_y) && Normalise(q.src, q.mirror_x, q.mirror_y);
  return q;
}

// Script arguments.
bool ReadRect(uint32_t addr, Rect64& out) {
  if (!addr) return false;
  PlaneRect r;
  std::memcpy(&r, ToHost(addr), sizeof r);
  out = From(r);
  return true;
}

uint32_t Blit(BuiltinArgs args, bool bilinear) {
  Plane* dst = PlaneAt(args.u(0));
  Plane* src = PlaneAt(args.u(2));
  Rect64 dr, sr;
  const bool has_dr = ReadRect(args.u(1), dr), has_sr = ReadRect(args.u(3), sr);
  const BlitParams params = ReadBlitParams(args.u(4));
  const int32_t angle = args.i(5);
  Request q = Prepare(dst, has_dr ? &dr : nullptr, src, has_sr ? &sr : nullptr, &params);
  if (!q.ok) return 0;
  Plane* mask = AttachedPlaneAt(args.u(2));
  if (!bilinear && (angle & 2047) == 0) return Stretch(dst, q.dst, src, q.src, mask, &params, q.mirror_x, q.mirror_y);
  return Rotate(dst, q.dst, src, q.src, mask, &params, angle, bilinear, q.mirror_x, q.mirror_y);
}

}  // namespace

int StretchBlit(Plane* dst, const PlaneRect* dst_rect, Plane* src, const PlaneRect* src_rect, Plane* mask,
                const BlitParams* params) {
  Rect64 dr, sr;
  if (dst_rect) dr = From(*dst_rect);
  if (src_rect) sr = From(*src_rect);
  Request q = Prepare(dst, dst_rect ? &dr : nullptr, src, src_rect ? &sr : nullptr, params);
  if (!q.ok) return 0;
  return Stretch(dst, q.dst, src, q.src, mask, params, q.mirror_x, q.mirror_y);
}

int RotateBlit(Plane* dst, const PlaneRect* dst_rect, Plane* src, const PlaneRect* src_rect, Plane* mask,
               const BlitParams* params, int32_t angle, bool bilinear) {
  Rect64 dr, sr;
  if (dst_rect) dr = From(*dst_rect);
  if (src_rect) sr = From(*src_rect);
  Request q = Prepare(dst, dst_rect ? &dr : nullptr, src, src_rect ? &sr : nullptr, params);
  if (!q.ok) return 0;
  return Rotate(dst, q.dst, src, q.src, mask, params, angle, bilinear, q.mirror_x, q.mirror_y);
}

TranslucentColour PrepareTranslucent(uint32_t colour, int opacity) {
  TranslucentColour t{};
  const uint8_t* m = g_blend.multiply;
  const int a = opacity & 255;
  t.opacity = a;
  t.blue = int(colour & 255), t.green = int((colour >> 8) & 255), t.red = int((colour >> 16) & 255);
  t.blue8 = m[a * 256 + t.blue], t.green8 = m[a * 256 + t.green], t.red8 = m[a * 256 + t.red];
  t.blue5 = m[a * 256 + (t.blue >> 3)], t.green5 = m[a * 256 + (t.green >> 3)], t.red5 = m[a * 256 + (t.red >> 3)];
  t.keep = m + (255 - a) * 256;
  return t;
}

void BlendTranslucentSpan(uint8_t* d, int count, int bytes_per_pixel, const TranslucentColour& t) {
  const int a = t.opacity, ia = 255 - a;
  const uint8_t* keep = t.keep;
  switch (bytes_per_pixel) {
    case 4:
      for (int i = 0; i < count; ++i, d += 4) {
#ifdef __SSE2__
        // Four opaque pixels at once: a c + (255 - a) d fits 16 bits; the
        // alpha stays 255.
        if (i + 4 <= count) {
          const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d));
          const __m128i opaque = _mm_cmpeq_epi8(px, _mm_set1_epi8(char(-1)));
          if ((_mm_movemask_epi8(opaque) & 0x8888) == 0x8888) {
            const __m128i zero = _mm_setzero_si128();
            const __m128i share = _mm_set_epi16(0, short(t.red * a), short(t.green * a), short(t.blue * a), 0,
                                                short(t.red * a), short(t.green * a), short(t.blue * a));
            const __m128i keep_w = _mm_set_epi16(0, short(ia), short(ia), short(ia), 0, short(ia), short(ia), short(ia));
            auto over = [&](__m128i v) {
              const __m128i x = _mm_add_epi16(share, _mm_mullo_epi16(v, keep_w));
              return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(x, _mm_set1_epi16(1)), _mm_srli_epi16(x, 8)), 8);
            };
            const __m128i lo = over(_mm_unpacklo_epi8(px, zero)), hi = over(_mm_unpackhi_epi8(px, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d),
                             _mm_or_si128(_mm_packus_epi16(lo, hi), _mm_set1_epi32(int(0xFF000000u))));
            i += 3;
            d += 12;
            continue;
          }
        }
#endif
        const int da = d[3];
        if (da == 255) {
          // An opaque pixel: A = 65025, so each channel is (a c + (255 - a) d) / 255
          // (the 255 cancels), divided by 255 exactly with shifts below 65536.
          auto over = [a, ia](int c, int v) {
            const uint32_t x = uint32_t(a * c + ia * v);
            return uint8_t((x + 1 + (x >> 8)) >> 8);
          };
          d[0] = over(t.blue, d[0]);
          d[1] = over(t.green, d[1]);
          d[2] = over(t.red, d[2]);
          continue;
        }
        if (da == 0 && a != 0) {  // a transparent pixel takes the colour itself
          d[0] = uint8_t(t.blue), d[1] = uint8_t(t.green), d[2] = uint8_t(t.red), d[3] = uint8_t(a);
          continue;
        }
        const uint32_t total = uint32_t(255 * da + a * (255 - da));
        if (total == 0) {
          std::memset(d, 0, 4);
          continue;
        }
        const uint32_t src_w = uint32_t(255 * a), dst_w = uint32_t(ia * da);
        d[0] = uint8_t(DivideByReciprocal(src_w * t.blue + dst_w * d[0], total));
        d[1] = uint8_t(DivideByReciprocal(src_w * t.green + dst_w * d[1], total));
        d[2] = uint8_t(DivideByReciprocal(src_w * t.red + dst_w * d[2], total));
        d[3] = uint8_t(total / 255);
      }
      break;
    case 3:
      for (int i = 0; i < count; ++i, d += 3) {
        d[0] = uint8_t(t.blue8 + keep[d[0]]);
        d[1] = uint8_t(t.green8 + keep[d[1]]);
        d[2] = uint8_t(t.red8 + keep[d[2]]);
      }
      break;
    case 2:
      for (int i = 0; i < count; ++i, d += 2) {
        const int w = d[0] | d[1] << 8;
        const int v = (t.red5 + keep[(w >> 10) & 31]) << 10 | (t.green5 + keep[(w >> 5) & 31]) << 5 |
                      (t.blue5 + keep[w & 31]);
        d[0] = uint8_t(v);
        d[1] = uint8_t(v >> 8);
      }
      break;
    case 1:
      for (int i = 0; i < count; ++i, ++d) d[0] = uint8_t(keep[d[0]] + t.blue8);
      break;
    default:
      break;
  }
}

int FillTranslucent(Plane* p, int32_t x, int32_t y, int32_t width, int32_t height, uint32_t colour) {
  if (!p) return 0;
  const Rect64 r = Intersect({x, y, int64_t{x} + width, int64_t{y} + height}, DestClip(p));
  if (Empty(r)) return 0;
  if (!Drawable(p)) return 1;
  const TranslucentColour t = PrepareTranslucent(colour, int(colour >> 24));
  const int bpp = p->bits / 8, cols = int(r.width()), rows = int(r.height());
  const bool parallel = g_graphics_settings.MultiThreading != 0 && rows > 1 && int64_t(rows) * cols >= 16384;
#pragma omp parallel for schedule(static) if (parallel)
  for (int row = 0; row < rows; ++row)
    BlendTranslucentSpan(PlaneRow(p, int32_t(r.top + row)) + r.left * bpp, cols, bpp, t);
  return 1;
}

uint32_t builtin_gcopy(BuiltinArgs args) {
  Plane* dst = PlaneAt(args.u(0));
  Plane* src = PlaneAt(args.u(3));
  if (!Drawable(dst) || !Drawable(src)) return 0;
  const int64_t x = args.i(1), y = args.i(2);
  Rect64 sr;
  if (!ReadRect(args.u(4), sr)) sr = Whole(src);
  // Unscaled: the destination rectangle has the source rectangle's extent.
  Rect64 dr{x, y, x + sr.width(), y + sr.height()};
  const BlitParams params = ReadBlitParams(args.u(5));
  if (!NormaliseMode(params).ok) return 0;
  Request q = Prepare(dst, &dr, src, &sr, &params);
  if (!q.ok) return 0;
  return uint32_t(Stretch(dst, q.dst, src, q.src, AttachedPlaneAt(args.u(3)), &params, q.mirror_x, q.mirror_y));
}

uint32_t builtin_gblit(BuiltinArgs args) { return Blit(args, false); }
uint32_t builtin_gblita(BuiltinArgs args) { return Blit(args, true); }

uint32_t builtin_gclear(BuiltinArgs args) {
  Plane* p = PlaneAt(args.u(0));
  if (!p) return 0;
  Rect64 r;
  if (!ReadRect(args.u(1), r)) r = Whole(p);
  if (r.right < r.left) std::swap(r.left, r.right);
  if (r.bottom < r.top) std::swap(r.top, r.bottom);
  r = Intersect(r, DestClip(p));
  if (Empty(r)) return 0;
  return uint32_t(FillRect(p, int32_t(r.left), int32_t(r.top), int32_t(r.width()), int32_t(r.height()), args.u(2)));
}

uint32_t builtin_gfill(BuiltinArgs args) {
  return uint32_t(FillTranslucent(PlaneAt(args.u(0)), args.i(1), args.i(2), args.i(3), args.i(4), args.u(5)));
}
