#include "graphics/planes.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "graphics/blit_modes.h"
#include "platform/error_box.h"

GraphicsSettings g_graphics_settings;
void (*g_view_repaint_hook)() = nullptr;

int32_t g_view_page = 0;
int32_t g_active_page = 0;
int32_t g_origin_x = 0, g_origin_y = 0;

uint32_t g_engine_colours[256];
uint32_t g_script_palette[256];
PlatformPalette g_platform_palette;

namespace {

struct PlaneSlot {
  Plane* plane = nullptr;
  int32_t attached = -1;  // slot number, or -1
};
PlaneSlot g_slots[kPlaneCount];

// Squared 6-bit channel differences times the channel weights, indexed by the
// difference & 127 (a difference of -63..63 in two's complement).
struct DistanceTables {
  uint32_t red[128], green[128], blue[128];
};
constexpr DistanceTables MakeDistanceTables() {
  DistanceTables t{};
  for (int i = 0; i < 128; ++i) {
    int d = i < 64 ? i : i - 128;
    t.red[i] = static_cast<uint32_t>(900 * d * d);
    t.green[i] = static_cast<uint32_t>(3481 * d * d);
    t.blue[i] = static_cast<uint32_t>(121 * d * d);
  }
  return t;
}
constexpr DistanceTables kDistance = MakeDistanceTables();

// Weighted distance between two colours given as 6-bit components.
inline uint32_t Distance6(int r0, int g0, int b0, int r1, int g1, int b1) {
  return kDistance.red[(r0 - r1) & 127] + kDistance.green[(g0 - g1) & 127] + kDistance.blue[(b0 - b1) & 127];
}

uint32_t DefaultColour4(int i) {
  // The classic 16-colour set: bit 3 brightens, bits 2..0 select red, green, blue.
  if (i == 7) return 0xC0C0C0;
  if (i == 8) return 0x808080;
  int level = (i & 8) ? 255 : 128;
  uint32_t r = (i & 4) ? level : 0, g = (i & 2) ? level : 0, b = (i & 1) ? level : 0;
  return r << 16 | g << 8 | b;
}

}  // namespace

void ReportCreatePlaneFailure() {
  // "CreatePlane : 仮想画面の作成に失敗しました。"
  ShowError(1, "CreatePlane : \x89\xbc\x91\x7a\x89\xe6\x96\xca\x82\xcc\x8d\xec\x90\xac\x82\xc9\x8e\xb8\x94\x73"
               "\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42");
}

namespace {

bool IsPage(uint32_t n) {
  return static_cast<int32_t>(n) == g_view_page || static_cast<int32_t>(n) == g_active_page;
}

void FreeAllPlanes() {
  for (auto& slot : g_slots) {
    if (slot.plane) FreePlane(slot.plane);
    slot = PlaneSlot{};
  }
}

}  // namespace

uint32_t DefaultColour8(int i) {
  uint32_t r = ((i >> 5) & 7) * 255 / 7, g = ((i >> 2) & 7) * 255 / 7, b = (i & 3) * 85;
  return r << 16 | g << 8 | b;
}

uint8_t* PlaneRow(const Plane* p, int32_t y) {
  return PlanePixels(p) + static_cast<intptr_t>(p->height - 1 - y) * p->stride;
}

uint32_t* PlaneColourTable(const Plane* p) {
  return p->colours ? reinterpret_cast<uint32_t*>(ToHost(p->header + sizeof(PlaneHeader))) : nullptr;
}

Plane* CreatePlane(int32_t width, int32_t height, int32_t bits) {
  if (width <= 0 || height <= 0) return nullptr;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return nullptr;
  uint64_t stride = (uint64_t(width) * uint64_t(bits) + 31) / 32 * 4;
  uint64_t image = stride * uint64_t(height);
  if (stride > INT32_MAX || image > (uint64_t{1} << 31)) return nullptr;
  uint32_t colours = bits == 1 ? 2 : bits == 4 ? 16 : bits == 8 ? 256 : 0;
  uint64_t head = sizeof(PlaneHeader) + 4 * colours;
  uint32_t block = ArenaAllocZeroed(head + 64 + image);
  if (!block) return nullptr;
  Plane* p = new (std::nothrow) Plane{};
  if (!p) {
    ArenaFree(block);
    return nullptr;
  }
  p->header = block;
  p->pixels = static_cast<uint32_t>((block + head + 63) / 64 * 64);
  p->stride = static_cast<int32_t>(stride);
  p->clip = {0, 0, width, height};
  p->width = width;
  p->height = height;
  p->bits = bits;
  p->colours = colours;

  PlaneHeader h{};
  h.size = sizeof(PlaneHeader);
  h.width = width;
  h.height = height;
  h.planes = 1;
  h.bit_count = static_cast<uint16_t>(bits);
  h.image_size = static_cast<uint32_t>(image);
  h.colours_used = h.colours_important = colours;
  std::memcpy(ToHost(block), &h, sizeof h);
  uint32_t* table = PlaneColourTable(p);
  for (uint32_t i = 0; i < colours; ++i)
    table[i] = bits == 1 ? (i ? 0xFFFFFF : 0) : bits == 4 ? DefaultColour4(int(i)) : DefaultColour8(int(i));
  return p;
}

int FreePlane(Plane* plane) {
  if (plane) {
    ArenaFree(plane->header);
    delete plane;
  }
  return 1;
}

Plane* PlaneAt(uint32_t number) { return number < kPlaneCount ? g_slots[number].plane : nullptr; }

int32_t AttachmentOf(uint32_t number) { return number < kPlaneCount ? g_slots[number].attached : -1; }

Plane* AttachedPlaneAt(uint32_t number) {
  int32_t other = AttachmentOf(number);
  return other >= 0 ? g_slots[other].plane : nullptr;
}

bool SetPlaneAt(uint32_t number, Plane* plane) {
  if (number >= kPlaneCount) return false;
  if (g_slots[number].plane && g_slots[number].plane != plane) FreePlane(g_slots[number].plane);
  g_slots[number].plane = plane;
  return true;
}

bool AttachSlot(uint32_t number, int32_t other) {
  if (number >= kPlaneCount || other < -1 || other >= kPlaneCount) return false;
  g_slots[number].attached = other;
  return true;
}

int32_t HighestFreeSlot() {
  for (int32_t i = kPlaneCount - 1; i >= 0; --i)
    if (!g_slots[i].plane) return i;
  return -1;
}

bool ChooseTargetSlot(uint32_t target, uint32_t& slot) {
  if (target < kPlaneCount) {
    slot = target;
    SetPlaneAt(slot, nullptr);
    return true;
  }
  const int32_t found = HighestFreeSlot();
  const uint32_t word = static_cast<uint32_t>(found);
  std::memcpy(ToHost(target), &word, 4);
  if (found < 0) return false;
  slot = static_cast<uint32_t>(found);
  return true;
}

void ReleaseSlot(uint32_t number) {
  if (number >= kPlaneCount) return;
  if (!IsPage(number) && g_slots[number].plane) {
    FreePlane(g_slots[number].plane);
    g_slots[number].plane = nullptr;
  }
  g_slots[number].attached = -1;
}

uint8_t* PixelAddress(const Plane* p, int32_t x, int32_t y) {
  if (!p || uint32_t(x) >= uint32_t(p->width) || uint32_t(y) >= uint32_t(p->height)) return nullptr;
  return PlaneRow(p, y) + (int64_t(x) * p->bits) / 8;
}

int FillRect(Plane* p, int32_t x, int32_t y, int32_t width, int32_t height, uint32_t value) {
  if (!p) return 0;
  if (p->bits < 8) return 1;
  int64_t left = std::max<int64_t>(x, p->clip.left), top = std::max<int64_t>(y, p->clip.top);
  int64_t right = std::min<int64_t>(int64_t(x) + width, p->clip.right);
  int64_t bottom = std::min<int64_t>(int64_t(y) + height, p->clip.bottom);
  if (left >= right || top >= bottom) return 0;
  const int bpp = p->bits / 8;
  const int n = static_cast<int>(right - left);
  if (bpp == 2) value = PackRgb555(value);
  uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
  const int rows = static_cast<int>(bottom - top);
  const bool parallel = g_graphics_settings.MultiThreading != 0 && int64_t(rows) * n >= 16384;
#pragma omp parallel for schedule(static) if (parallel)
  for (int r = 0; r < rows; ++r) {
    uint8_t* d = PlaneRow(p, static_cast<int32_t>(top) + r) + left * bpp;
    if (bpp == 1) {
      std::memset(d, bytes[0], n);
    } else if (bpp == 4) {
      for (int i = 0; i < n; ++i) std::memcpy(d + 4 * i, &value, 4);
    } else {
      for (int i = 0; i < n; ++i) std::memcpy(d + bpp * i, bytes, bpp);
    }
  }
  return 1;
}

uint8_t NearestColour(int r, int g, int b) {
  const int r6 = (r & 255) >> 2, g6 = (g & 255) >> 2, b6 = (b & 255) >> 2;
  uint32_t best = UINT32_MAX;
  uint8_t index = 0;
  for (int i = 0; i < 256; ++i) {
    uint32_t c = g_engine_colours[i];
    uint32_t d = kDistance.red[((((c >> 16) & 255) >> 2) - r6) & 127];
    if (d >= best) continue;
    d += kDistance.green[((((c >> 8) & 255) >> 2) - g6) & 127];
    if (d >= best) continue;
    d += kDistance.blue[(((c & 255) >> 2) - b6) & 127];
    if (d >= best) continue;
    best = d;
    index = static_cast<uint8_t>(i);
    if (d == 0) break;
  }
  return index;
}

uint32_t ConvertColour(uint32_t colour, int bytes_per_pixel) {
  uint32_t rgb;
  if (bytes_per_pixel == 1) {
    if (colour & kPaletteColourFlag) return colour & 255;
    return NearestColour((colour >> 16) & 255, (colour >> 8) & 255, colour & 255);
  }
  rgb = (colour & kPaletteColourFlag) ? (g_engine_colours[colour & 255] & 0xFFFFFF) : (colour & 0xFFFFFF);
  return bytes_per_pixel == 2 ? PackRgb555(rgb) : rgb;
}

void BuildInverseColourMap(const uint32_t* table) {
  uint8_t* map = InverseColourMap();
  std::memset(map, 0, 32768);
  // Each cell's 6-bit colour components, and the 6-bit components of each entry.
  int er[256], eg[256], eb[256];
  for (int i = 0; i < 256; ++i) {
    er[i] = ((table[i] >> 16) & 255) >> 2;
    eg[i] = ((table[i] >> 8) & 255) >> 2;
    eb[i] = (table[i] & 255) >> 2;
  }
  std::vector<uint16_t> queue;
  queue.reserve(65536);
  std::vector<uint8_t> queued(32768, 0);
  for (int i = 1; i < 256; ++i) {
    uint32_t c = table[i];
    uint16_t cell = PackRgb555(c);
    if (map[cell] == 0) {
      map[cell] = static_cast<uint8_t>(i);
      if (!queued[cell]) {
        queued[cell] = 1;
        queue.push_back(cell);
      }
    }
  }
  // Relaxation in queue order: a cell offers its entry to its six face
  // neighbours; one that takes it (empty, or strictly closer) is queued again.
  for (size_t head = 0; head < queue.size(); ++head) {
    if (head >= 32768 && head * 2 > queue.size()) {  // keep the queue compact
      queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(head));
      head = 0;
    }
    const uint16_t cell = queue[head];
    queued[cell] = 0;
    const uint8_t offer = map[cell];
    const int cr = cell >> 10, cg = (cell >> 5) & 31, cb = cell & 31;
    const int moves[6][3] = {{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};
    for (const auto& m : moves) {
      const int nr = cr + m[0], ng = cg + m[1], nb = cb + m[2];
      if (nr < 0 || nr > 31 || ng < 0 || ng > 31 || nb < 0 || nb > 31) continue;
      const uint16_t n = static_cast<uint16_t>(nr << 10 | ng << 5 | nb);
      const uint8_t current = map[n];
      if (current == offer) continue;
      if (current != 0) {
        uint32_t dn = Distance6(er[offer], eg[offer], eb[offer], nr * 2, ng * 2, nb * 2);
        uint32_t dc = Distance6(er[current], eg[current], eb[current], nr * 2, ng * 2, nb * 2);
        if (dn >= dc) continue;
      }
      map[n] = offer;
      if (!queued[n]) {
        queued[n] = 1;
        queue.push_back(n);
      }
    }
  }
}

void GraphicsStart() {
  BuildBlendTables();
  std::memset(InverseColourMap(), 0, 32768);  // empty until pal_map
  FreeAllPlanes();
  g_platform_palette = PlatformPalette{};
  g_platform_palette.present = true;
  g_platform_palette.version = 0x300;
  g_platform_palette.count = 256;
  for (int i = 0; i < 256; ++i) {
    uint32_t c = DefaultColour8(i);
    g_engine_colours[i] = g_script_palette[i] = c;
    g_platform_palette.entries[i] = {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c),
                                     uint8_t(i < 236 ? kPaletteReserved : 0)};
  }
  g_view_page = g_active_page = 0;
  Plane* screen = CreatePlane(g_graphics_settings.Width, g_graphics_settings.Height, g_graphics_settings.Depth);
  if (!screen) ReportCreatePlaneFailure();
  g_slots[0].plane = screen;  // black: a new plane's pixels are zero
  g_origin_x = g_origin_y = 0;
}

void GraphicsShutdown() {
  FreeAllPlanes();
  g_view_page = g_active_page = 0;
  g_platform_palette.present = false;
}
