// Text and fonts: 32 font slots that scripts configure with a 48-byte font
// record, the per-thread choice of slot (font_use), and gtext/gtextf, which
// draw Shift_JIS strings into planes, plain (1 bit in the text colour) or
// anti-aliased (rendered at eight times the size into a 1-bit work plane and
// reduced 8 x 8 to coverage).
#pragma once
#include <cstdint>
#include <string_view>

#include "runtime/builtin.h"

// The font record as scripts lay it out.
struct FontRecord {
  char face[32];   // zero-terminated Shift_JIS face name
  int32_t size;    // character cell height in pixels
  int32_t angle;   // text direction, tenths of a degree counter-clockwise
  int32_t flags;   // kFont* bits
  int32_t weight;  // 0 or less: 400; bold adds 300; at most 900
};
static_assert(sizeof(FontRecord) == 48);

constexpr int kFontSlots = 32;
constexpr int32_t kFontBold = 1, kFontItalic = 2, kFontUnderline = 4, kFontStrikeOut = 8, kFontAntiAliased = 16;

// The colour word of gtext: bits 0-7 text colour index, 8-15 background index.
constexpr uint32_t kTextOpaque = 1u << 30;      // the text box gets the background colour
constexpr uint32_t kTextAlphaCoverage = 1u << 31;  // anti-aliased: coverage written as alpha

// Every slot back to face "ＭＳ ゴシック", size 16, no font object; font files
// in the working directory (the game's folder) become usable by family name.
void TextStart();
// Deletes the font objects and the work plane.
void TextShutdown();

// Called with every string gtext and gtextf draw (Shift_JIS), before drawing.
extern void (*g_text_hook)(std::string_view sjis);

// Draws with font slot `font` (what gtext does for the thread's font number).
uint32_t DrawTextInPlane(uint32_t plane, int32_t x, int32_t y, uint32_t colour, std::string_view sjis, uint32_t font);

uint32_t builtin_font_list(BuiltinArgs args);  // buffer, maximum count
uint32_t builtin_font_use(BuiltinArgs args);   // font number
uint32_t builtin_font_set(BuiltinArgs args);   // font number, record address
uint32_t builtin_font_get(BuiltinArgs args);   // font number, destination address
uint32_t builtin_gtext(BuiltinArgs args);      // plane, x, y, colour word, string
uint32_t builtin_gtextf(BuiltinArgs args);     // plane, x, y, colour word, format, arguments...
