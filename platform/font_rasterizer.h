// Fonts for the text builtins (FreeType + fontconfig underneath): face names
// as games give them resolved to installed font files, font objects at a cell
// height, layout of Shift_JIS strings and 1-bit rendering at any angle.
//
// Face names: the Windows Japanese faces that games name are mapped to the
// Japanese fonts Debian installs (the table is kFaceTable in the .cpp and is
// listed in the README); a font file in the game's folder whose family is the
// name asked for wins over everything; any other name goes through
// fontconfig's own matching for Japanese. A glyph the chosen face lacks is
// taken from another installed face that has it.
//
// fontconfig and FreeType are set up, and the game's font files looked at,
// when the first face is resolved, font made or list asked for, whichever
// thread asks first. Otherwise not thread-safe: the text builtins call it
// under the builtin lock.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct FontRequest {
  std::string face;  // Shift_JIS; a leading '@' asks for the vertical-writing variant
  int32_t height = 16;  // character cell height in pixels: ascent + descent
  int32_t angle = 0;    // text direction, tenths of a degree counter-clockwise
  int32_t weight = 400;  // 1..900; 600 and above on a face without bold is emboldened
  bool italic = false, underline = false, strike_out = false;
};

// What a face name resolves to.
struct ResolvedFace {
  std::string file;    // host path of the font file
  int index = 0;       // face index inside the file (collections)
  std::string family;  // UTF-8, as the font names itself
  bool from_game_folder = false;
  // For a stand-in of a Windows face, that face's Windows ascent, descent and
  // units per em, by which the cell is laid out; 0 units: the font's own.
  int windows_ascent = 0, windows_descent = 0, windows_units = 0;
};

// The face a request would use (no font object is made).
bool ResolveFace(std::string_view face_sjis, int32_t weight, bool italic, ResolvedFace& out);

// Font files (.ttf, .ttc, .otf) in this folder and its subfolders (two levels
// down at most) are preferred for the family names they carry. Replaces the
// folder given before; an empty path forgets it. The folder is looked at when
// the next font is asked for.
void UseGameFontFolder(const std::string& host_folder);

struct RasterFont;
// Nullptr when no face can be opened at all.
RasterFont* CreateRasterFont(const FontRequest& request);
void DeleteRasterFont(RasterFont* font);
// Fonts made so far in this process (tests check that unchanged records reuse them).
uint64_t RasterFontsCreated();

// A string laid out on the baseline, in the font's pixel units.
struct TextLayout {
  struct Glyph {
    int16_t face;       // 0: the font's own face; others: fallback faces
    uint32_t index;     // glyph index in that face
    int32_t pen_x;      // 26.6 pen position along the baseline
    bool turned;        // vertical-writing face: a full-width glyph turned a quarter
                        // counter-clockwise, so that it stands upright in text running down
  };
  std::vector<Glyph> glyphs;
  int32_t width = 0;   // cx: the sum of the advances, whole pixels
  int32_t height = 0;  // cy: the cell height
};

// Converts the Shift_JIS string once and lays it out.
void LayoutText(RasterFont* font, std::string_view sjis, TextLayout& out);

// A 1-bit bitmap, rows top-down, leftmost pixel in the most significant bit.
struct MonoTarget {
  uint8_t* bits;
  int32_t width, height, pitch;  // pitch in bytes
};
// Sets the pixels the laid-out text covers (with underline and strike-out),
// the top-left of the unrotated text cell at (origin_x, origin_y) of the
// target, the text turned by the font's angle about that point. Pixels
// outside the target are dropped; set bits are never cleared.
void DrawTextMono(RasterFont* font, const TextLayout& layout, int32_t origin_x, int32_t origin_y, const MonoTarget& target);

// Installed faces usable for Japanese text: scalable, fixed pitch (dual-width
// Japanese faces count), names without a leading '@' that fit 31 bytes of
// Shift_JIS. One name per family, in fontconfig's order.
std::vector<std::string> ListFontFaces();
