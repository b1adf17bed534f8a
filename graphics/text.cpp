#include "graphics/text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "graphics/blit_modes.h"
#include "graphics/planes.h"
#include "platform/font_rasterizer.h"
#include "runtime/format.h"
#include "runtime/script_threads.h"

void (*g_text_hook)(std::string_view sjis) = nullptr;

namespace {

// "ＭＳ ゴシック"
constexpr char kDefaultFace[] = "\x82\x6c\x82\x72\x20\x83\x53\x83\x56\x83\x62\x83\x4e";

struct FontSlot {
  RasterFont* font = nullptr;  // the font object, or none yet
  FontRecord record{};         // what scripts set
  FontRecord made_from{};      // the record the font object was made from
};
std::array<FontSlot, kFontSlots> slots;

// Font objects that slots gave up, most recent last, so that a slot switched
// back and forth between records (a name box and the message text) does not
// make its fonts again every time.
struct SpareFont {
  FontRecord made_from;
  RasterFont* font;
};
constexpr size_t kSpareFonts = 8;
std::vector<SpareFont> spare_fonts;

// The work plane of anti-aliased text: 1 bit per pixel, rows top-down, only grows.
std::vector<uint8_t> work_bits;
int32_t work_width = 0, work_height = 0;  // width is a multiple of 8

// The 1-bit scratch of plain text.
std::vector<uint8_t> plain_bits;

// Coverage of one byte of the work plane: 4 per set bit; the eighth row of a
// block uses the second table so that a full block sums to 255.
struct CoverageTables {
  uint8_t t[256], last[256];
};
constexpr CoverageTables MakeCoverageTables() {
  CoverageTables c{};
  for (int b = 0; b < 256; ++b) c.t[b] = c.last[b] = static_cast<uint8_t>(4 * std::popcount(static_cast<unsigned>(b)));
  c.last[255] = 31;
  return c;
}
constexpr CoverageTables kCoverage = MakeCoverageTables();

// Larger cells than this are refused (an anti-aliased font is made at eight
// times its size).
constexpr int64_t kLargestCell = 4096;
// Strings are drawn up to this many bytes: more could never show on a plane.
constexpr size_t kLongestText = 65536;
// The work plane never takes more than this many bytes.
constexpr int64_t kLargestWorkPlane = int64_t{64} << 20;

FontRecord DefaultRecord() {
  FontRecord r{};
  std::memcpy(r.face, kDefaultFace, sizeof kDefaultFace);
  r.size = 16;
  return r;
}

void DeleteFonts() {
  for (FontSlot& s : slots) {
    DeleteRasterFont(s.font);
    s.font = nullptr;
  }
  for (SpareFont& f : spare_fonts) DeleteRasterFont(f.font);
  spare_fonts.clear();
}

// Takes the spare font object made from this record, or nullptr.
RasterFont* TakeSpareFont(const FontRecord& record) {
  for (auto it = spare_fonts.begin(); it != spare_fonts.end(); ++it)
    if (std::memcmp(&it->made_from, &record, sizeof record) == 0) {
      RasterFont* font = it->font;
      spare_fonts.erase(it);
      return font;
    }
  return nullptr;
}

void KeepSpareFont(const FontRecord& made_from, RasterFont* font) {
  if (!font) return;
  if (spare_fonts.size() >= kSpareFonts) {
    DeleteRasterFont(spare_fonts.front().font);
    spare_fonts.erase(spare_fonts.begin());
  }
  spare_fonts.push_back({made_from, font});
}

// The slot's font object, made again only when its record changed; nullptr
// when it cannot be made.
RasterFont* SlotFont(FontSlot& s) {
  if (s.font && std::memcmp(&s.record, &s.made_from, sizeof(FontRecord)) == 0) return s.font;
  if (RasterFont* spare = TakeSpareFont(s.record)) {
    KeepSpareFont(s.made_from, s.font);
    s.font = spare;
    s.made_from = s.record;
    return spare;
  }
  const FontRecord& r = s.record;
  int64_t height = r.size;
  if (r.flags & kFontAntiAliased) height *= 8;
  if (height > kLargestCell || height < -kLargestCell) return nullptr;
  FontRequest request;
  request.face.assign(r.face, strnlen(r.face, sizeof r.face));
  request.height = static_cast<int32_t>(height);
  request.angle = r.angle;
  int32_t weight = r.weight <= 0 ? 400 : std::min(r.weight, 900);
  if (r.flags & kFontBold) weight += 300;
  request.weight = std::min(weight, 900);
  request.italic = r.flags & kFontItalic;
  request.underline = r.flags & kFontUnderline;
  request.strike_out = r.flags & kFontStrikeOut;
  RasterFont* font = CreateRasterFont(request);
  if (!font) return nullptr;
  KeepSpareFont(s.made_from, s.font);
  s.font = font;
  s.made_from = s.record;
  return font;
}

// The text box of a cx x cy rectangle turned by `angle` tenths of a degree,
// as offsets from the text origin.
PlaneRect TextBox(int32_t cx, int32_t cy, int32_t angle) {
  if (angle == 0) return {0, 0, cx, cy};
  if (angle == 2700) return {-cy, 0, 0, cx};
  double a = angle * 3.14159265358979323846 / 1800.0, c = std::cos(a), s = std::sin(a);
  // Screen position of the text-space point (u, v): (u c + v s, -u s + v c).
  double xs[4] = {0, cx * c, cy * s, cx * c + cy * s};
  double ys[4] = {0, -cx * s, cy * c, -cx * s + cy * c};
  return {static_cast<int32_t>(*std::min_element(xs, xs + 4)), static_cast<int32_t>(*std::min_element(ys, ys + 4)),
          static_cast<int32_t>(*std::max_element(xs, xs + 4)), static_cast<int32_t>(*std::max_element(ys, ys + 4))};
}

void PutPixel(uint8_t* p, int bytes, uint32_t value) {
  switch (bytes) {
    case 1: *p = static_cast<uint8_t>(value); break;
    case 2: {
      uint16_t v = PackRgb555(value);
      std::memcpy(p, &v, 2);
      break;
    }
    default:  // 24 and 32 bits: the colour channels; a 32-bit pixel keeps its alpha
      p[0] = static_cast<uint8_t>(value);
      p[1] = static_cast<uint8_t>(value >> 8);
      p[2] = static_cast<uint8_t>(value >> 16);
  }
}

// Plain text: 1-bit rendering in the text colour, the box in the background
// colour when opaque. Limited by the plane's extent, not its clip.
uint32_t DrawPlain(Plane* p, RasterFont* font, const TextLayout& layout, int32_t x, int32_t y, uint32_t colour,
                   int32_t cx, int32_t cy, int32_t angle) {
  PlaneRect box = TextBox(cx, cy, angle);
  int64_t origin_x = int64_t{x} - box.left, origin_y = int64_t{y} - box.top;
  // Ink may stand out of the box (overhangs, negative bearings): a margin of a cell.
  int64_t margin = cy + 2;
  int64_t x0 = std::max<int64_t>(0, int64_t{x} - margin), y0 = std::max<int64_t>(0, int64_t{y} - margin);
  int64_t x1 = std::min<int64_t>(p->width, int64_t{x} + (box.right - box.left) + margin);
  int64_t y1 = std::min<int64_t>(p->height, int64_t{y} + (box.bottom - box.top) + margin);
  if (x0 >= x1 || y0 >= y1) return 1;
  int32_t w = static_cast<int32_t>(x1 - x0), h = static_cast<int32_t>(y1 - y0), pitch = (w + 7) / 8;
  plain_bits.assign(static_cast<size_t>(pitch) * h, 0);
  DrawTextMono(font, layout, static_cast<int32_t>(origin_x - x0), static_cast<int32_t>(origin_y - y0),
               MonoTarget{plain_bits.data(), w, h, pitch});
  int bytes = PlaneBytesPerPixel(p);
  uint8_t fore_index = colour & 0xFF, back_index = (colour >> 8) & 0xFF;
  // An 8-bit plane gets exactly the two indexes; others the engine colours of them.
  uint32_t fore = bytes == 1 ? fore_index : g_engine_colours[fore_index];
  uint32_t back = bytes == 1 ? back_index : g_engine_colours[back_index];
  bool opaque = colour & kTextOpaque;
  double a = angle * 3.14159265358979323846 / 1800.0, c = std::cos(a), s = std::sin(a);
  for (int32_t j = 0; j < h; ++j) {
    uint8_t* row = PlaneRow(p, static_cast<int32_t>(y0 + j)) + x0 * bytes;
    const uint8_t* bits = plain_bits.data() + static_cast<size_t>(j) * pitch;
    for (int32_t i = 0; i < w; ++i) {
      if (!opaque && (i & 7) == 0 && bits[i >> 3] == 0) {
        i += 7;  // eight pixels without ink
        continue;
      }
      if (bits[i >> 3] & (0x80 >> (i & 7))) {
        PutPixel(row + i * bytes, bytes, fore);
      } else if (opaque) {
        // Inside the turned box: back in text space, (u, v) within cx x cy.
        double dx = x0 + i + 0.5 - origin_x, dy = y0 + j + 0.5 - origin_y;
        double u = dx * c - dy * s, v = dx * s + dy * c;
        if (u >= 0 && u < cx && v >= 0 && v < cy) PutPixel(row + i * bytes, bytes, back);
      }
    }
  }
  return 1;
}

// Anti-aliased text: the font object is at eight times the size; the text is
// drawn into the work plane and every 8 x 8 block becomes one pixel's coverage.
uint32_t DrawAntiAliased(Plane* p, RasterFont* font, const TextLayout& layout, int32_t x, int32_t y, uint32_t colour,
                         int32_t cx, int32_t cy, int32_t angle) {
  PlaneRect box = TextBox(cx, cy, angle);
  int64_t d = ((int64_t{box.right} - box.left + 7) & ~int64_t{7}) + 8;
  int64_t e = int64_t{box.bottom} - box.top + 8;
  if (d / 8 * e > kLargestWorkPlane) return 0;
  if (d > work_width || e > work_height) {
    work_width = static_cast<int32_t>(std::max<int64_t>(work_width, d));
    work_height = static_cast<int32_t>(std::max<int64_t>(work_height, e));
    work_bits.assign(static_cast<size_t>(work_width / 8) * work_height, 0);
  }
  int32_t pitch = work_width / 8;
  int32_t D = static_cast<int32_t>(d), E = static_cast<int32_t>(e);
  for (int32_t r = 0; r < E; ++r) std::memset(work_bits.data() + static_cast<size_t>(r) * pitch, 0, D / 8);
  DrawTextMono(font, layout, -box.left, -box.top, MonoTarget{work_bits.data(), D, E, pitch});
  // The destination rectangle, clipped.
  int64_t left = std::max<int64_t>(x, p->clip.left), top = std::max<int64_t>(y, p->clip.top);
  int64_t right = std::min<int64_t>(int64_t{x} + D / 8 - 1, p->clip.right);
  int64_t bottom = std::min<int64_t>(int64_t{y} + E / 8 - 1, p->clip.bottom);
  if (left >= right || top >= bottom) return 0;
  int bytes = PlaneBytesPerPixel(p);
  uint8_t fore_index = colour & 0xFF, back_index = (colour >> 8) & 0xFF;
  if (colour & kTextOpaque) {
    // An 8-bit plane gets the background index; other planes its engine colour.
    uint32_t back = bytes == 1 ? back_index : g_engine_colours[back_index];
    FillRect(p, static_cast<int32_t>(left), static_cast<int32_t>(top), static_cast<int32_t>(right - left),
             static_cast<int32_t>(bottom - top), back);
  }
  uint32_t c = g_engine_colours[fore_index];
  uint8_t cb = c & 0xFF, cg = (c >> 8) & 0xFF, cr = (c >> 16) & 0xFF;
  uint8_t c5b = cb >> 3, c5g = cg >> 3, c5r = cr >> 3;
  uint16_t c555 = PackRgb555(c);
  bool alpha_out = colour & kTextAlphaCoverage;
  const uint8_t* mul = g_blend.multiply;
  for (int64_t py = top; py < bottom; ++py) {
    int64_t j = py - y;
    const uint8_t* block = work_bits.data() + static_cast<size_t>(j * 8) * pitch;
    uint8_t* out = PlaneRow(p, static_cast<int32_t>(py)) + left * bytes;
    for (int64_t px = left; px < right; ++px, out += bytes) {
      int64_t i = px - x;
      const uint8_t* b = block + i;
      unsigned cov = kCoverage.t[b[0]] + kCoverage.t[b[pitch]] + kCoverage.t[b[2 * pitch]] + kCoverage.t[b[3 * pitch]] +
                     kCoverage.t[b[4 * pitch]] + kCoverage.t[b[5 * pitch]] + kCoverage.t[b[6 * pitch]] +
                     kCoverage.last[b[7 * pitch]];
      if (cov == 0) continue;
      const uint8_t* keep = mul + (255 - cov) * 256;
      const uint8_t* take = mul + cov * 256;
      switch (bytes) {
        case 1:
          out[0] = static_cast<uint8_t>(cov);  // a coverage mask
          break;
        case 2: {
          uint16_t v = c555;
          if (cov < 255) {
            uint16_t dv;
            std::memcpy(&dv, out, 2);
            unsigned r = keep[(dv >> 10) & 31] + take[c5r], g = keep[(dv >> 5) & 31] + take[c5g],
                     bl = keep[dv & 31] + take[c5b];
            v = static_cast<uint16_t>(r << 10 | g << 5 | bl);
          }
          std::memcpy(out, &v, 2);
          break;
        }
        default:
          if (alpha_out) {
            if (bytes == 4) {
              uint32_t v = (cov << 24) | (c & 0xFFFFFF);
              std::memcpy(out, &v, 4);
            } else {
              std::memcpy(out, &c555, 2);
              out[2] = static_cast<uint8_t>(cov);
            }
          } else if (cov == 255) {
            out[0] = cb, out[1] = cg, out[2] = cr;
          } else {
            out[0] = static_cast<uint8_t>(keep[out[0]] + take[cb]);
            out[1] = static_cast<uint8_t>(keep[out[1]] + take[cg]);
            out[2] = static_cast<uint8_t>(keep[out[2]] + take[cr]);
          }
      }
    }
  }
  return 1;
}

uint32_t CopyRecord(uint32_t number, uint32_t address, bool into_slot) {
  if (number >= kFontSlots || address == 0) return 0;
  if (into_slot)
    std::memcpy(&slots[number].record, ToHost(address), sizeof(FontRecord));
  else
    std::memcpy(ToHost(address), &slots[number].record, sizeof(FontRecord));
  return 1;
}

}  // namespace

void TextStart() {
  TextShutdown();
  for (FontSlot& s : slots) {
    s.record = DefaultRecord();
    s.made_from = FontRecord{};
  }
  std::error_code ec;
  UseGameFontFolder(std::filesystem::current_path(ec).string());
}

void TextShutdown() {
  DeleteFonts();
  std::vector<uint8_t>().swap(work_bits);
  std::vector<uint8_t>().swap(plain_bits);
  work_width = work_height = 0;
}

uint32_t DrawTextInPlane(uint32_t plane, int32_t x, int32_t y, uint32_t colour, std::string_view sjis, uint32_t font) {
  Plane* p = PlaneAt(plane);
  if (!p || font >= kFontSlots) return 0;
  FontSlot& slot = slots[font];
  RasterFont* raster = SlotFont(slot);
  if (!raster) return 0;
  sjis = sjis.substr(0, kLongestText);
  if (g_text_hook) g_text_hook(sjis);
  if (p->bits < 8) return 1;  // drawing on 1- and 4-bit planes does nothing
  static TextLayout layout;
  LayoutText(raster, sjis, layout);
  int32_t cx = layout.width, cy = layout.height;
  if (slot.made_from.flags & kFontItalic) cx += cy / 4 + 1;
  if (slot.made_from.flags & kFontAntiAliased)
    return DrawAntiAliased(p, raster, layout, x, y, colour, cx, cy, slot.made_from.angle);
  return DrawPlain(p, raster, layout, x, y, colour, cx, cy, slot.made_from.angle);
}

uint32_t builtin_font_list(BuiltinArgs args) {
  uint32_t buffer = args.u(0);
  int32_t most = args.i(1);
  if (buffer == 0 || most <= 0) return 0;
  std::vector<std::string> names = ListFontFaces();
  uint32_t count = 0;
  for (const std::string& name : names) {
    if (count >= static_cast<uint32_t>(most)) break;
    uint8_t* entry = ToHost(buffer + count * 32);
    std::memset(entry, 0, 32);
    std::memcpy(entry, name.data(), std::min<size_t>(name.size(), 31));
    ++count;
  }
  return count;
}

uint32_t builtin_font_use(BuiltinArgs args) {
  SetThreadFontNumber(static_cast<uint8_t>(args.u(0)));
  return 1;
}

uint32_t builtin_font_set(BuiltinArgs args) { return CopyRecord(args.u(0), args.u(1), true); }
uint32_t builtin_font_get(BuiltinArgs args) { return CopyRecord(args.u(0), args.u(1), false); }

namespace {

// A zero-terminated script string, read only inside the arena.
std::string_view ScriptString(uint32_t address) {
  const char* s = reinterpret_cast<const char*>(ToHost(address));
  uint64_t room = (uint64_t{1} << 32) - address;
  return std::string_view(s, strnlen(s, static_cast<size_t>(room)));
}

}  // namespace

uint32_t builtin_gtext(BuiltinArgs args) {
  if (args.u(4) == 0) return 0;
  return DrawTextInPlane(args.u(0), args.i(1), args.i(2), args.u(3), ScriptString(args.u(4)), ThreadFontNumber());
}

uint32_t builtin_gtextf(BuiltinArgs args) {
  if (args.u(4) == 0) return 0;
  char text[1024];
  size_t n = FormatScriptText(args.u(4), args.base + 20, text, sizeof text);
  return DrawTextInPlane(args.u(0), args.i(1), args.i(2), args.u(3), std::string_view(text, n), ThreadFontNumber());
}
