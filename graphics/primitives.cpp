#include "graphics/primitives.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "graphics/blit_geometry.h"

namespace {

bool Drawable(const Plane* p) { return p->bits == 8 || p->bits == 16 || p->bits == 24 || p->bits == 32; }

// Blends one pixel of the plane, if it lies on the plane, at an opacity of
// its own. A zero opacity leaves the pixel as it is.
void BlendPixel(Plane* p, int64_t x, int64_t y, uint32_t colour, int opacity) {
  if (opacity <= 0 || x < 0 || y < 0 || x >= p->width || y >= p->height) return;
  const TranslucentColour t = PrepareTranslucent(colour, opacity);
  BlendTranslucentSpan(PixelAddress(p, int32_t(x), int32_t(y)), 1, p->bits / 8, t);
}

// Moves the end a of the line a-b along it so that its coordinate c lies at
// the limit; o is the other coordinate. Only called when a is beyond the limit
// and b is not, so the divisor is never zero.
void MoveEnd(int64_t& ac, int64_t& ao, int64_t bc, int64_t bo, int64_t limit) {
  ao += int64_t(__int128(bo - ao) * (limit - ac) / (bc - ac));
  ac = limit;
}

// Clips the ends to [0, width - 1] x [0, height - 1] one axis after the
// other; false when nothing of the line is left on the plane.
bool ClipLine(int64_t& x0, int64_t& y0, int64_t& x1, int64_t& y1, int64_t width, int64_t height) {
  auto axis = [](int64_t& c0, int64_t& o0, int64_t& c1, int64_t& o1, int64_t last) {
    if ((c0 < 0 && c1 < 0) || (c0 > last && c1 > last)) return false;
    if (c0 < 0) MoveEnd(c0, o0, c1, o1, 0);
    if (c1 < 0) MoveEnd(c1, o1, c0, o0, 0);
    if (c0 > last) MoveEnd(c0, o0, c1, o1, last);
    if (c1 > last) MoveEnd(c1, o1, c0, o0, last);
    return true;
  };
  if (!axis(x0, y0, x1, y1, width - 1) || !axis(y0, x0, y1, x1, height - 1)) return false;
  return x0 >= 0 && x1 >= 0 && x0 < width && x1 < width && y0 >= 0 && y1 >= 0 && y0 < height && y1 < height;
}

}  // namespace

int DrawLine(Plane* p, int32_t ix0, int32_t iy0, int32_t ix1, int32_t iy1, uint32_t colour) {
  if (!p) return 0;
  int64_t x0 = ix0, y0 = iy0, x1 = ix1, y1 = iy1;
  if (!ClipLine(x0, y0, x1, y1, p->width, p->height)) return 0;
  if (!Drawable(p)) return 1;
  const int a = int(colour >> 24);
  const int bpp = p->bits / 8;
  if (y0 == y1) {
    const TranslucentColour t = PrepareTranslucent(colour, a);
    const int64_t left = std::min(x0, x1);
    BlendTranslucentSpan(PixelAddress(p, int32_t(left), int32_t(y0)), int(std::max(x0, x1) - left + 1), bpp, t);
    return 1;
  }
  if (x0 == x1) {
    const TranslucentColour t = PrepareTranslucent(colour, a);
    for (int64_t y = std::min(y0, y1); y <= std::max(y0, y1); ++y)
      BlendTranslucentSpan(PixelAddress(p, int32_t(x0), int32_t(y)), 1, bpp, t);
    return 1;
  }
  // Along the major axis from its lower end, the minor coordinate in 16.16.
  const bool x_major = std::abs(x1 - x0) >= std::abs(y1 - y0);
  int64_t major0 = x_major ? x0 : y0, major1 = x_major ? x1 : y1;
  int64_t minor0 = x_major ? y0 : x0, minor1 = x_major ? y1 : x1;
  if (major1 < major0) {
    std::swap(major0, major1);
    std::swap(minor0, minor1);
  }
  int64_t slope = (minor1 - minor0) * 65536 / (major1 - major0);
  int64_t pos = minor0 << 16;
  // Nudged so that the last step ends inside the end pixel.
  if (slope < 0) {
    pos -= 1;
    slope += 1;
  } else {
    slope -= 1;
  }
  for (int64_t m = major0; m <= major1; ++m, pos += slope) {
    const int f = int(pos >> 8) & 255;
    const int64_t minor = pos >> 16;
    const int near = ((255 - f) * (a + 1)) >> 8, far = (f * (a + 1)) >> 8;
    if (x_major) {
      BlendPixel(p, m, minor, colour, near);
      BlendPixel(p, m, minor + 1, colour, far);
    } else {
      BlendPixel(p, minor, m, colour, near);
      BlendPixel(p, minor + 1, m, colour, far);
    }
  }
  return 1;
}

namespace {

// floor(n / d) and its remainder for d > 0.
inline void FloorDivide(__int128 n, int64_t d, int64_t& q, int64_t& r) {
  __int128 qq = n / d, rr = n % d;
  if (rr < 0) --qq, rr += d;
  q = int64_t(qq);
  r = int64_t(rr);
}

// An edge crossing the scan lines [first, end): its x on the current line is
// exactly q + r / dy (0 <= r < dy), stepped by dq + dr / dy per line.
struct Edge {
  int64_t first, end;
  int64_t q, r, dq, dr, dy;
  int64_t Crossing() const { return q + (r > 0); }  // the first pixel at or right of x
  void Step() {
    q += dq;
    r += dr;
    if (r >= dy) ++q, r -= dy;
  }
};

// Orders the edges by crossing. From one line to the next the order barely
// changes (edges of a simple polygon never cross), so an insertion sort does
// it in one pass; a polygon whose edges cross everywhere exhausts its budget
// and is sorted in full instead.
void SortByCrossing(std::vector<Edge>& active) {
  size_t budget = 4 * active.size() + 64;
  for (size_t i = 1; i < active.size(); ++i) {
    const Edge e = active[i];
    const int64_t x = e.Crossing();
    size_t j = i;
    for (; j > 0 && active[j - 1].Crossing() > x && budget > 0; --j, --budget) active[j] = active[j - 1];
    active[j] = e;
    if (budget == 0) {
      std::sort(active.begin(), active.end(), [](const Edge& l, const Edge& r) { return l.Crossing() < r.Crossing(); });
      return;
    }
  }
}

}  // namespace

void FillPolygon(Plane* p, const int32_t* points, int32_t count, uint32_t colour) {
  const int64_t top = std::max<int64_t>(p->clip.top, 0), bottom = std::min<int64_t>(p->clip.bottom, p->height);
  const int64_t left = std::max<int64_t>(p->clip.left, 0), right = std::min<int64_t>(p->clip.right, p->width);
  if (top >= bottom || left >= right || !Drawable(p)) return;

  // Edges clipped to the clip's rows, positioned on their first line there.
  std::vector<Edge> edges;
  edges.reserve(size_t(count));
  for (int32_t k = 0; k < count; ++k) {
    const int32_t* a = points + 2 * k;
    const int32_t* b = points + 2 * ((k + 1) % count);
    if (a[1] == b[1]) continue;
    const int32_t* upper = a[1] < b[1] ? a : b;
    const int32_t* lower = a[1] < b[1] ? b : a;
    Edge e;
    e.first = std::max<int64_t>(upper[1], top);
    e.end = std::min<int64_t>(lower[1], bottom);
    if (e.first >= e.end) continue;
    e.dy = int64_t(lower[1]) - upper[1];
    const int64_t dx = int64_t(lower[0]) - upper[0];
    FloorDivide(dx, e.dy, e.dq, e.dr);
    FloorDivide(__int128(e.first - upper[1]) * dx, e.dy, e.q, e.r);
    e.q += upper[0];
    edges.push_back(e);
  }
  if (edges.empty()) return;
  std::sort(edges.begin(), edges.end(), [](const Edge& l, const Edge& r) { return l.first < r.first; });

  const TranslucentColour t = PrepareTranslucent(colour, int(colour >> 24));
  const int bpp = p->bits / 8;
  std::vector<Edge> active;
  size_t next = 0;
  for (int64_t y = edges.front().first; y < bottom; ++y) {
    std::erase_if(active, [y](const Edge& e) { return e.end <= y; });
    while (next < edges.size() && edges[next].first == y) active.push_back(edges[next++]);
    if (active.empty()) {
      if (next == edges.size()) break;
      y = edges[next].first - 1;
      continue;
    }
    SortByCrossing(active);
    uint8_t* row = PixelAddress(p, 0, int32_t(y));
    for (size_t k = 0; k + 1 < active.size(); k += 2) {
      const int64_t from = std::clamp(active[k].Crossing(), left, right);
      const int64_t to = std::clamp(active[k + 1].Crossing(), left, right);
      if (from < to) BlendTranslucentSpan(row + from * bpp, int(to - from), bpp, t);
    }
    for (Edge& e : active) e.Step();
  }
}

uint32_t RgbToHsv(uint32_t rgb) {
  const int r = int((rgb >> 16) & 255), g = int((rgb >> 8) & 255), b = int(rgb & 255);
  const int v = std::max({r, g, b});
  const int e = v - std::min({r, g, b});
  const int s = v ? e * 255 / v : 0;
  if (s == 0) return uint32_t(v);
  int o;
  if (v == r)
    o = (v - b) * 255 / e - (v - g) * 255 / e;
  else if (v == g)
    o = (v - r) * 255 / e - (v - b) * 255 / e + 512;
  else
    o = (v - g) * 255 / e - (v - r) * 255 / e + 1024;
  if (o < 0) o += 1536;
  const int hue = o * 4 / 3;  // o is never negative here, so this is the floor
  return uint32_t(hue) << 16 | uint32_t(s) << 8 | uint32_t(v);
}

uint32_t HsvToRgb(uint32_t hsv) {
  const int hue = int((hsv >> 16) & 2047), s = int((hsv >> 8) & 255), v = int(hsv & 255);
  if (s == 0) return uint32_t(v) << 16 | uint32_t(v) << 8 | uint32_t(v);
  const int h = hue * 1536 >> 11, sector = h >> 8, f = h & 255;
  const int pv = (255 - s) * v / 255;
  const int qv = (255 - s * f / 255) * v / 255;
  const int tv = (255 - (255 - f) * s / 255) * v / 255;
  int r, g, b;
  switch (sector) {
    case 0: r = v, g = tv, b = pv; break;
    case 1: r = qv, g = v, b = pv; break;
    case 2: r = pv, g = v, b = tv; break;
    case 3: r = pv, g = qv, b = v; break;
    case 4: r = tv, g = pv, b = v; break;
    default: r = v, g = pv, b = qv; break;
  }
  return uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b);
}

uint32_t builtin_gline(BuiltinArgs args) {
  return uint32_t(DrawLine(PlaneAt(args.u(0)), args.i(1), args.i(2), args.i(3), args.i(4), args.u(5)));
}

uint32_t builtin_gpoly(BuiltinArgs args) {
  Plane* p = PlaneAt(args.u(0));
  const uint32_t addr = args.u(1);
  const int32_t count = args.i(2);
  if (!p || !addr || count < 3 || count > kMaxPolygonPoints) return 0;
  if (!InArena(addr, uint64_t(count) * 8)) return 0;
  // A copy, so that the points cannot change while the fill runs.
  std::vector<int32_t> points(size_t(count) * 2);
  std::memcpy(points.data(), ToHost(addr), points.size() * 4);
  FillPolygon(p, points.data(), count, args.u(3));
  return 1;
}

uint32_t builtin_rgbtohsv(BuiltinArgs args) { return RgbToHsv(args.u(0)); }
uint32_t builtin_hsvtorgb(BuiltinArgs args) { return HsvToRgb(args.u(0)); }
