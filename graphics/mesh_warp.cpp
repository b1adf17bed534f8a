// The eight mesh-warp slots: a grid of source coordinates over 8 x 8 cells of
// the destination, filled by the generators or by the script, and rendered by
// interpolating the grid across each cell.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "graphics/plane_effects.h"
#include "runtime/math_builtins.h"

using namespace effect_support;

namespace {

// The engine's own copy of a context: the record scripts see may be edited,
// the sizes and addresses here may not.
struct MeshWarp {
  uint32_t record = 0;  // 0: the slot is empty
  uint32_t grid = 0;
  uint32_t heights[2] = {0, 0};
  int current = 0;  // the height array holding the present state
  uint32_t dst_slot = 0, src_slot = 0;
  int bits = 0;
  int64_t dst_left = 0, dst_top = 0;
  int64_t src_left = 0, src_top = 0, src_width = 0, src_height = 0;
  int64_t columns = 0, rows = 0;
};
MeshWarp warps[kMeshWarpSlots];

void Release(MeshWarp& w) {
  for (uint32_t a : {w.record, w.grid, w.heights[0], w.heights[1]})
    if (a) ArenaFree(a);
  w = MeshWarp{};
}

MeshWarp* WarpAt(uint32_t slot) {
  if (slot >= kMeshWarpSlots || !warps[slot].record) return nullptr;
  return &warps[slot];
}

int32_t* GridOf(const MeshWarp& w) { return reinterpret_cast<int32_t*>(ToHost(w.grid)); }
int64_t FieldWidth(const MeshWarp& w) { return w.columns + 3; }
int16_t* Heights(const MeshWarp& w, int k) { return reinterpret_cast<int16_t*>(ToHost(w.heights[k])); }

// The planes of a context, when they are still there with the format and
// the extent the context was made for.
bool Planes(const MeshWarp& w, Plane*& dst, Plane*& src) {
  dst = PlaneAt(w.dst_slot);
  src = PlaneAt(w.src_slot);
  if (!dst || !src || dst->bits != w.bits || src->bits != w.bits) return false;
  return w.dst_left + 8 * w.columns <= dst->width && w.dst_top + 8 * w.rows <= dst->height &&
         w.src_left + w.src_width <= src->width && w.src_top + w.src_height <= src->height;
}

// Grid units: 2048 x 256 per source width or height. A source position is
// taken at the centre of its pixel, so that rendering (which truncates twice)
// finds that very pixel again: the regular grid copies exactly whatever the
// source size.
inline int32_t ToGrid(__int128 x, int64_t size) { return int32_t(uint32_t(uint64_t((2 * x + 1) * (1 << 19) / (2 * size)))); }
inline int32_t ToGridU(const MeshWarp& w, __int128 x) { return ToGrid(x, w.src_width); }
inline int32_t ToGridV(const MeshWarp& w, __int128 y) { return ToGrid(y, w.src_height); }

template <int Bytes>
void RenderCells(const MeshWarp& w, Plane* dst, Plane* src) {
  // Source column bytes and rows of the 2048 positions along each axis.
  std::vector<ptrdiff_t> col(2048);
  std::vector<const uint8_t*> row(2048);
  for (int64_t k = 0; k < 2048; ++k) {
    col[size_t(k)] = ptrdiff_t(w.src_left + (k * w.src_width >> 11)) * Bytes;
    row[size_t(k)] = PlaneRow(src, int32_t(w.src_top + (k * w.src_height >> 11)));
  }
  // Plain pointers: the pixel stores could alias the vectors' own fields.
  const ptrdiff_t* const col_at = col.data();
  const uint8_t* const* const row_at = row.data();
  const int32_t* grid = GridOf(w);
  const int64_t stride = w.columns + 1;
  const bool parallel = g_graphics_settings.MultiThreading != 0 && w.rows > 1 && w.rows * w.columns >= 256;
#pragma omp parallel for schedule(static) if (parallel)
  for (int64_t i = 0; i < w.rows; ++i) {
    const int32_t* top = grid + 2 * i * stride;  // the cells' upper corners
    const int32_t* low = top + 2 * stride;       // and lower ones
    for (int py = 0; py < 8; ++py) {
      uint8_t* out = PixelAddress(dst, int32_t(w.dst_left), int32_t(w.dst_top + 8 * i + py));
      // This pixel row's point of every grid column, in eighths.
      int64_t u0 = int64_t(top[0]) * 8 + (int64_t(low[0]) - top[0]) * py;
      int64_t v0 = int64_t(top[1]) * 8 + (int64_t(low[1]) - top[1]) * py;
      for (int64_t j = 0; j < w.columns; ++j) {
        const int32_t* t = top + 2 * (j + 1);
        const int32_t* l = low + 2 * (j + 1);
        const int64_t u1 = int64_t(t[0]) * 8 + (int64_t(l[0]) - t[0]) * py;
        const int64_t v1 = int64_t(t[1]) * 8 + (int64_t(l[1]) - t[1]) * py;
        // Across the cell in 64ths.
        int64_t u = u0 * 8, v = v0 * 8;
        const int64_t du = u1 - u0, dv = v1 - v0;
        for (int px = 0; px < 8; ++px, u += du, v += dv, out += Bytes)
          std::memcpy(out, row_at[(v >> 14) & 2047] + col_at[(u >> 14) & 2047], Bytes);
        u0 = u1;
        v0 = v1;
      }
    }
  }
}

int Render(const MeshWarp& w) {
  Plane *dst, *src;
  if (!Planes(w, dst, src)) return 0;
  switch (w.bits / 8) {
    case 1: RenderCells<1>(w, dst, src); break;
    case 2: RenderCells<2>(w, dst, src); break;
    case 3: RenderCells<3>(w, dst, src); break;
    default: RenderCells<4>(w, dst, src); break;
  }
  return 1;
}

// Fills every grid point from f(column, row, u, v) and renders.
template <typename F>
uint32_t FillAndRender(uint32_t slot, F f) {
  MeshWarp* w = WarpAt(slot);
  if (!w) return 0;
  Plane *dst, *src;
  if (!Planes(*w, dst, src)) return 0;
  int32_t* g = GridOf(*w);
  for (int64_t i = 0; i <= w->rows; ++i)
    for (int64_t j = 0; j <= w->columns; ++j) {
      int32_t* p = g + 2 * (i * (w->columns + 1) + j);
      f(j, i, p[0], p[1]);
    }
  return uint32_t(Render(*w));
}

// The regular grid: every point on its own place of the source.
void FillIdentity(const MeshWarp& w) {
  int32_t* g = GridOf(w);
  for (int64_t i = 0; i <= w.rows; ++i)
    for (int64_t j = 0; j <= w.columns; ++j) {
      g[2 * (i * (w.columns + 1) + j)] = ToGridU(w, j * w.src_width / w.columns);
      g[2 * (i * (w.columns + 1) + j) + 1] = ToGridV(w, i * w.src_height / w.rows);
    }
}

// The height arrays, made on first use; false when the arena is full.
bool EnsureHeights(MeshWarp& w) {
  if (w.heights[0]) return true;
  const size_t bytes = size_t(FieldWidth(w) * (w.rows + 3)) * 2;
  w.heights[0] = ArenaAllocZeroed(bytes);
  w.heights[1] = ArenaAllocZeroed(bytes);
  if (!w.heights[0] || !w.heights[1]) {
    for (uint32_t& a : w.heights) {
      if (a) ArenaFree(a);
      a = 0;
    }
    return false;
  }
  MeshWarpRecord rec;
  std::memcpy(&rec, ToHost(w.record), sizeof rec);
  rec.heights[0] = w.heights[0];
  rec.heights[1] = w.heights[1];
  std::memcpy(ToHost(w.record), &rec, sizeof rec);
  return true;
}

int64_t IntSqrt(int64_t v) { return v <= 0 ? 0 : int64_t(std::sqrt(double(v))); }

}  // namespace

void ResetMeshWarps() {
  for (MeshWarp& w : warps) Release(w);
}

uint32_t builtin_ef_init(BuiltinArgs args) {
  const uint32_t slot = args.u(0);
  if (slot >= kMeshWarpSlots) return 0;
  Plane* dst = PlaneAt(args.u(1));
  Plane* src = PlaneAt(args.u(3));
  if (!dst || !src || !Drawable(dst) || dst->bits != src->bits) return 0;
  const Box d = Intersect(ReadBox(args.u(2), dst), DestClip(dst));
  const Box s = Intersect(ReadBox(args.u(4), src), Whole(src));
  if (d.Empty() || s.Empty() || d.width() < 8 || d.height() < 8) return 0;  // not one whole cell
  MeshWarp w;
  w.dst_slot = args.u(1);
  w.src_slot = args.u(3);
  w.bits = dst->bits;
  w.dst_left = d.left, w.dst_top = d.top;
  w.src_left = s.left, w.src_top = s.top, w.src_width = s.width(), w.src_height = s.height();
  w.columns = d.width() / 8, w.rows = d.height() / 8;
  w.record = ArenaAllocZeroed(sizeof(MeshWarpRecord));
  w.grid = ArenaAlloc(size_t((w.columns + 1) * (w.rows + 1)) * 8);
  if (!w.record || !w.grid) {
    Release(w);
    return 0;
  }
  const MeshWarpRecord rec{int32_t(w.dst_slot), int32_t(w.src_slot), int32_t(w.dst_left), int32_t(w.dst_top),
                           int32_t(w.src_left), int32_t(w.src_top), int32_t(w.src_width), int32_t(w.src_height),
                           int32_t(w.columns), int32_t(w.rows), w.grid, {0, 0}};
  std::memcpy(ToHost(w.record), &rec, sizeof rec);
  FillIdentity(w);
  Release(warps[slot]);
  warps[slot] = w;
  return w.record;
}

uint32_t builtin_ef_free(BuiltinArgs args) {
  const uint32_t slot = args.u(0);
  if (slot >= kMeshWarpSlots) return 0;
  Release(warps[slot]);
  return 1;
}

uint32_t builtin_ef_copy(BuiltinArgs args) {
  const MeshWarp* w = WarpAt(args.u(0));
  return w ? uint32_t(Render(*w)) : 0;
}

uint32_t builtin_ef_info(BuiltinArgs args) {
  const MeshWarp* w = WarpAt(args.u(0));
  const uint32_t at = args.u(1);
  if (!w || !at) return 0;
  const int32_t words[3] = {int32_t(w->columns), int32_t(w->rows), int32_t(w->grid)};
  std::memcpy(ToHost(at), words, sizeof words);
  return 1;
}

uint32_t builtin_ef_rotate(BuiltinArgs args) {
  const MeshWarp* w = WarpAt(args.u(0));
  if (!w) return 0;
  const int64_t cx = args.i(1), cy = args.i(2), zoom = args.i(3);
  const int64_t c = TableCos(args.i(4)), s = TableSin(args.i(4));
  return FillAndRender(args.u(0), [&](int64_t j, int64_t i, int32_t& u, int32_t& v) {
    const int64_t y = i * w->src_height / w->rows, m = j * w->src_width / w->columns - cx;
    u = ToGridU(*w, cx + ((zoom * ((__int128(m) * c - __int128(y - cy) * s) >> 16)) >> 16));
    v = ToGridV(*w, cy + ((zoom * ((__int128(y - cy) * c + __int128(m) * s) >> 16)) >> 16));
  });
}

// A floor seen from height 300: the view ray of each grid point, turned by the
// pitch, meets the floor at a depth; the floor point is turned by the yaw.
uint32_t builtin_ef_land(BuiltinArgs args) {
  const MeshWarp* w = WarpAt(args.u(0));
  if (!w) return 0;
  const int64_t scale = args.i(1);
  const int64_t cp = TableCos(args.i(2)), sp = TableSin(args.i(2));
  const int64_t cy = TableCos(args.i(3)), sy = TableSin(args.i(3));
  return FillAndRender(args.u(0), [&](int64_t j, int64_t i, int32_t& u, int32_t& v) {
    const int64_t l = 8 * j - 8 * (w->columns / 2), m = 8 * i - 8 * (w->rows / 2);
    const int64_t forward = (m * cp - 300 * sp) >> 16;
    int64_t depth = (m * sp + 300 * cp) >> 16;
    if (depth == 0) depth = 1;
    if (depth < 0) depth = -depth;
    const int64_t x = (l * cy - forward * sy) >> 16, z = (l * sy + forward * cy) >> 16;
    u = ToGridU(*w, w->src_width / 2 + __int128(scale) * x / depth / 40);
    v = ToGridV(*w, w->src_height / 2 + __int128(scale) * z / depth / 40);
  });
}

// A sphere: the vector from the eye (300 in front of the centre) to the grid
// point, turned by the two angles and made unit length, scaled onto the source.
uint32_t builtin_ef_ball(BuiltinArgs args) {
  const MeshWarp* w = WarpAt(args.u(0));
  if (!w) return 0;
  const int64_t scale = args.i(1);
  const int64_t c1 = TableCos(args.i(2)), s1 = TableSin(args.i(2));
  const int64_t c2 = TableCos(args.i(3)), s2 = TableSin(args.i(3));
  return FillAndRender(args.u(0), [&](int64_t j, int64_t i, int32_t& u, int32_t& v) {
    const int64_t l = 8 * j - 8 * (w->columns / 2), m = 8 * i - 8 * (w->rows / 2);
    // About the vertical axis by angle 1, then about the horizontal one by angle 2.
    const int64_t x = (l * c1 + 300 * s1) >> 16, z1 = (300 * c1 - l * s1) >> 16;
    const int64_t y = (m * c2 - z1 * s2) >> 16, z = (m * s2 + z1 * c2) >> 16;
    const int64_t length = std::max<int64_t>(1, IntSqrt(x * x + y * y + z * z));
    u = ToGridU(*w, w->src_width / 2 + __int128(scale) * x / length);
    v = ToGridV(*w, w->src_height / 2 + __int128(scale) * y / length);
  });
}

uint32_t builtin_ef_whirl(BuiltinArgs args) {
  const MeshWarp* w = WarpAt(args.u(0));
  if (!w) return 0;
  const int64_t amount = args.i(1);
  return FillAndRender(args.u(0), [&](int64_t j, int64_t i, int32_t& u, int32_t& v) {
    const int64_t h = j - w->columns / 2, e = i - w->rows / 2;
    const int64_t r = IntSqrt(h * h + e * e);
    const int32_t phi = int32_t(int64_t(std::floor(std::atan2(double(e), double(h)) * 1024 / std::numbers::pi)) + amount / (r + 1));
    // The same radius in 16.16 cells, turned, back in source pixels about the centre.
    const int64_t r16 = int64_t(std::sqrt(double(h * h + e * e)) * 65536);
    const int64_t x = (r16 * TableCos(phi)) >> 16, y = (r16 * TableSin(phi)) >> 16;
    u = ToGridU(*w, (__int128(w->columns / 2) * 65536 + x) * w->src_width / w->columns >> 16);
    v = ToGridV(*w, (__int128(w->rows / 2) * 65536 + y) * w->src_height / w->rows >> 16);
  });
}

uint32_t builtin_ef_raster(BuiltinArgs args) {
  const MeshWarp* w = WarpAt(args.u(0));
  if (!w) return 0;
  const int64_t phase = args.i(1), wavelength = args.i(2), amplitude = args.i(3);
  return FillAndRender(args.u(0), [&](int64_t j, int64_t i, int32_t& u, int32_t& v) {
    const int64_t d = wavelength ? phase * 0x80000 / wavelength + i * (0x80000 / wavelength * 8) : phase << 8;
    const int64_t shift = (amplitude * TableSin(int32_t(d >> 8))) >> 16;
    u = ToGridU(*w, shift + j * w->src_width / w->columns);
    v = ToGridV(*w, i * w->src_height / w->rows);
  });
}

uint32_t builtin_ef_blob(BuiltinArgs args) {
  MeshWarp* w = WarpAt(args.u(0));
  if (!w || !EnsureHeights(*w)) return 0;
  const int64_t x = args.i(1), y = args.i(2), c = (int64_t(args.i(3)) + 7) >> 3, depth = args.i(4);
  if (c <= 0) return 1;
  int64_t cx = (x + 7) >> 3, cy = (y + 7) >> 3;
  if (x < 0 || y < 0) {
    // A random cell at least the radius away from the edges.
    cx = c + EffectRandom() % std::max<int64_t>(1, w->columns + 1 - 2 * c);
    cy = c + EffectRandom() % std::max<int64_t>(1, w->rows + 1 - 2 * c);
  }
  // Grid point (j, i) is cell (j + 1, i + 1) of the height field.
  int16_t* field = Heights(*w, w->current);
  const int64_t fw = FieldWidth(*w), fh = w->rows + 3;
  const int64_t y0 = std::max<int64_t>(0, cy + 1 - c), y1 = std::min(fh - 1, cy + 1 + c);
  const int64_t x0 = std::max<int64_t>(0, cx + 1 - c), x1 = std::min(fw - 1, cx + 1 + c);
  for (int64_t fy = y0; fy <= y1; ++fy)
    for (int64_t fx = x0; fx <= x1; ++fx) {
      const int64_t dx = fx - cx - 1, dy = fy - cy - 1, distance = IntSqrt(dx * dx + dy * dy);
      if (distance > c) continue;
      field[fy * fw + fx] = int16_t(std::clamp<int64_t>((c - distance) * depth / c, INT16_MIN, INT16_MAX));
    }
  return 1;
}

uint32_t builtin_ef_water(BuiltinArgs args) {
  MeshWarp* w = WarpAt(args.u(0));
  if (!w || !EnsureHeights(*w)) return 0;
  // One step: next = (sum of the four neighbours) / 2 - previous, damped by
  // 1/32; written over the previous array, which then becomes the present.
  const int16_t* now = Heights(*w, w->current);
  int16_t* next = Heights(*w, 1 - w->current);
  const int64_t fw = FieldWidth(*w);
  for (int64_t fy = 1; fy <= w->rows + 1; ++fy)
    for (int64_t fx = 1; fx <= w->columns + 1; ++fx) {
      const int64_t k = fy * fw + fx;
      int32_t v = ((now[k - 1] + now[k + 1] + now[k - fw] + now[k + fw]) >> 1) - next[k];
      v -= v >> 5;
      next[k] = int16_t(std::clamp(v, int32_t(INT16_MIN), int32_t(INT16_MAX)));
    }
  w->current = 1 - w->current;
  const int16_t* h = next;
  // The regular grid, each point displaced by the slope of the water there
  // (a quarter of the height difference, in source pixels).
  return FillAndRender(args.u(0), [&](int64_t j, int64_t i, int32_t& u, int32_t& v) {
    const int64_t k = (i + 1) * fw + (j + 1);
    const int64_t sx = h[k + 1] - h[k - 1], sy = h[k + fw] - h[k - fw];
    u = int32_t(uint32_t(ToGridU(*w, j * w->src_width / w->columns)) + uint32_t(sx * 131072 / w->src_width));
    v = int32_t(uint32_t(ToGridV(*w, i * w->src_height / w->rows)) + uint32_t(sy * 131072 / w->src_height));
  });
}
