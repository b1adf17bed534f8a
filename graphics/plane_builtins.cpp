#include "graphics/plane_builtins.h"

#include <algorithm>
#include <cstring>

#include "graphics/blit_modes.h"
#include "graphics/planes.h"
#include "platform/error_box.h"

namespace {

inline uint32_t ReadWord(uint32_t addr) {
  uint32_t v;
  std::memcpy(&v, ToHost(addr), 4);
  return v;
}
inline void WriteWord(uint32_t addr, uint32_t v) { std::memcpy(ToHost(addr), &v, 4); }

// Copies entries between a colour table and script memory; returns the count.
uint32_t CopyPalette(uint32_t* table, uint32_t colours, uint32_t first, int32_t count, uint32_t addr,
                     bool to_script, bool keep_top_byte) {
  if (first >= colours || count <= 0) return 0;
  uint32_t n = std::min<uint32_t>(uint32_t(count), colours - first);
  if (!InArena(addr, uint64_t{n} * 4)) return 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (to_script)
      WriteWord(addr + 4 * i, table[first + i] & (keep_top_byte ? 0xFFFFFFFF : 0xFFFFFF));
    else
      table[first + i] = ReadWord(addr + 4 * i) & (keep_top_byte ? 0xFFFFFFFF : 0xFFFFFF);
  }
  return n;
}

uint32_t PaletteTransfer(BuiltinArgs args, bool to_script) {
  const uint32_t which = args.u(0), first = args.u(1), addr = args.u(3);
  const int32_t count = args.i(2);
  if (first > 255 || count <= 0) return 0;
  if (which == 0xFFFFFFFFu) return CopyPalette(g_script_palette, 256, first, count, addr, to_script, true);
  Plane* p = PlaneAt(which);
  if (!p || p->bits > 8) return 0;
  return CopyPalette(PlaneColourTable(p), p->colours, first, count, addr, to_script, false);
}

uint32_t SetPage(uint32_t n, int32_t& page, const char* message) {
  if (n >= kPlaneCount) {
    ShowError(1, "%s", message);
    return 0;
  }
  if (!PlaneAt(n)) return 0;
  page = static_cast<int32_t>(n);
  return 1;
}

}  // namespace

uint32_t builtin_galloc(BuiltinArgs args) {
  uint32_t slot;
  if (!ChooseTargetSlot(args.u(0), slot)) return 0;
  Plane* p = CreatePlane(args.i(1), args.i(2), args.i(3));
  if (!p) {
    ReportCreatePlaneFailure();
    return 0;
  }
  SetPlaneAt(slot, p);
  return 1;
}

uint32_t builtin_gfree(BuiltinArgs args) {
  const uint32_t n = args.u(0);
  if (n >= kPlaneCount) return 0;
  ReleaseSlot(n);
  return 1;
}

uint32_t builtin_ginit(BuiltinArgs) {
  for (uint32_t n = 0; n < kPlaneCount; ++n) ReleaseSlot(n);
  return 1;
}

uint32_t builtin_gclip(BuiltinArgs args) {
  Plane* p = PlaneAt(args.u(0));
  if (!p) return 0;
  const uint32_t addr = args.u(1);
  if (!addr) {
    p->clip = {0, 0, p->width, p->height};
    return 1;
  }
  int32_t l = int32_t(ReadWord(addr)), t = int32_t(ReadWord(addr + 4));
  int32_t r = int32_t(ReadWord(addr + 8)), b = int32_t(ReadWord(addr + 12));
  if (r < l) std::swap(l, r);
  if (b < t) std::swap(t, b);
  // Every edge is kept inside the plane, so the clip is always a real
  // (possibly empty) part of it.
  p->clip = {std::clamp(l, 0, p->width), std::clamp(t, 0, p->height), std::clamp(r, 0, p->width),
             std::clamp(b, 0, p->height)};
  return 1;
}

uint32_t builtin_ginfo(BuiltinArgs args) {
  const uint32_t addr = args.u(1);
  if (!addr) return 1;
  uint32_t info[6] = {};
  if (const Plane* p = PlaneAt(args.u(0))) {
    info[0] = uint32_t(p->width);
    info[1] = uint32_t(p->height);
    info[2] = uint32_t(p->bits);
    info[3] = p->pixels + uint32_t(p->height - 1) * uint32_t(p->stride);
    info[4] = uint32_t(-p->stride);
    info[5] = p->header + sizeof(PlaneHeader);
  }
  for (int i = 0; i < 6; ++i) WriteWord(addr + 4 * i, info[i]);
  return 1;
}

uint32_t builtin_gattach(BuiltinArgs args) {
  const uint32_t a = args.u(0), b = args.u(1);
  if (a >= kPlaneCount || b >= kPlaneCount) return 0;
  return AttachSlot(a, static_cast<int32_t>(b)) ? 1 : 0;
}

uint32_t builtin_gdetach(BuiltinArgs args) {
  const uint32_t a = args.u(0);
  return AttachSlot(a, -1) ? 1 : 0;
}

uint32_t builtin_ggetpal(BuiltinArgs args) { return PaletteTransfer(args, true); }
uint32_t builtin_gsetpal(BuiltinArgs args) { return PaletteTransfer(args, false); }

uint32_t builtin_getpixel(BuiltinArgs args) {
  const Plane* p = PlaneAt(args.u(0));
  const int32_t x = args.i(1), y = args.i(2);
  if (!p || uint32_t(x) >= uint32_t(p->width) || uint32_t(y) >= uint32_t(p->height)) return 0;
  const uint8_t* row = PlaneRow(p, y);
  switch (p->bits) {
    case 1:
      return PlaneColourTable(p)[(row[x >> 3] >> (7 - (x & 7))) & 1] & 0xFFFFFF;
    case 4:
      return PlaneColourTable(p)[(x & 1) ? (row[x >> 1] & 15) : (row[x >> 1] >> 4)] & 0xFFFFFF;
    case 8:
      return PlaneColourTable(p)[row[x]] & 0xFFFFFF;
    case 16: {
      uint32_t v = row[2 * x] | uint32_t(row[2 * x + 1]) << 8;
      uint32_t r = (v >> 10) & 31, g = (v >> 5) & 31, b = v & 31;
      r = (r << 3) | (r >> 2);
      g = (g << 3) | (g >> 2);
      b = (b << 3) | (b >> 2);
      return r << 16 | g << 8 | b;
    }
    default: {
      const uint8_t* px = row + int64_t(x) * (p->bits / 8);
      return uint32_t(px[2]) << 16 | uint32_t(px[1]) << 8 | px[0];
    }
  }
}

uint32_t builtin_vpage(BuiltinArgs args) {
  // "SetViewPage : パラメータが範囲外です。"
  return SetPage(args.u(0), g_view_page,
                 "SetViewPage : \x83\x70\x83\x89\x83\x81\x81\x5b\x83\x5e\x82\xaa\x94\xcd\x88\xcd\x8a\x4f\x82\xc5"
                 "\x82\xb7\x81\x42");
}

uint32_t builtin_apage(BuiltinArgs args) {
  // "SetActivePage : パラメータが範囲外です。"
  return SetPage(args.u(0), g_active_page,
                 "SetActivePage : \x83\x70\x83\x89\x83\x81\x81\x5b\x83\x5e\x82\xaa\x94\xcd\x88\xcd\x8a\x4f\x82\xc5"
                 "\x82\xb7\x81\x42");
}

uint32_t builtin_setorg(BuiltinArgs args) {
  g_origin_x = args.i(0);
  g_origin_y = args.i(1);
  return 1;
}

uint32_t builtin_pal_set(BuiltinArgs args) {
  const uint32_t i = args.u(0);
  if (i > 255) return 0;
  g_script_palette[i] = args.u(1);
  return 1;
}

uint32_t builtin_pal_get(BuiltinArgs args) {
  const uint32_t i = args.u(0);
  return i > 255 ? 0 : g_script_palette[i];
}

uint32_t builtin_pal_sets(BuiltinArgs args) {
  const uint32_t first = args.u(0);
  const int32_t count = args.i(1);
  if (first > 255 || count <= 0) return 0;
  CopyPalette(g_script_palette, 256, first, count, args.u(2), false, true);
  return 1;
}

uint32_t builtin_pal_gets(BuiltinArgs args) {
  const uint32_t first = args.u(0);
  const int32_t count = args.i(1);
  if (first > 255 || count <= 0) return 0;
  CopyPalette(g_script_palette, 256, first, count, args.u(2), true, true);
  return 1;
}

uint32_t builtin_pal_load(BuiltinArgs args) {
  const Plane* p = PlaneAt(args.u(0));
  if (!p || p->bits > 8) return 0;
  const uint32_t* table = PlaneColourTable(p);
  uint32_t pal = args.u(1), src = args.u(2);
  const int32_t count = args.i(3);
  uint32_t copied = 0;
  for (int32_t k = 0; k < count && src < p->colours && pal < 256; ++k, ++src, ++pal, ++copied)
    g_script_palette[pal] = table[src] & 0xFFFFFF;
  return copied;
}

uint32_t builtin_pal_change(BuiltinArgs) {
  for (int i = 0; i < 256; ++i) {
    const uint32_t c = g_script_palette[i] & 0xFFFFFF;
    g_engine_colours[i] = c;
    auto& e = g_platform_palette.entries[i];
    e.red = uint8_t(c >> 16);
    e.green = uint8_t(c >> 8);
    e.blue = uint8_t(c);
  }
  const Plane* view = PlaneAt(uint32_t(g_view_page));
  if (view && view->bits == 8 && g_view_repaint_hook) g_view_repaint_hook();
  return 1;
}

uint32_t builtin_pal_map(BuiltinArgs args) {
  const uint32_t addr = args.u(0);
  if (!addr || !InArena(addr, 1024)) return 0;
  uint32_t table[256];
  std::memcpy(table, ToHost(addr), sizeof table);
  BuildInverseColourMap(table);
  return 1;
}
