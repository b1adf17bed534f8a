#include "platform/font_rasterizer.h"

#include <fontconfig/fontconfig.h>
#include <fontconfig/fcfreetype.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_GLYPH_H
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H
#include <hb-ft.h>
#include <hb.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/text_encoding.h"

namespace {

FT_Library library = nullptr;
uint64_t fonts_created = 0;

bool StartLibraries() {
  if (library) return true;
  if (!FcInit()) return false;
  return FT_Init_FreeType(&library) == 0;
}

void ScanGameFontFolder(const std::string& host_folder);

// Setting up fontconfig (its configuration and font cache) and looking at the
// game's font files is most of a run's start-up, and many runs never draw
// text: both wait for the first font asked for. The folder named meanwhile is
// kept until then. The lock makes the first use safe from any thread.
std::mutex setup_lock;
std::string wanted_font_folder;  // the folder named last
std::string game_font_folder;    // the folder whose fonts are known

bool FontsReady() {
  std::lock_guard hold(setup_lock);
  if (!StartLibraries()) return false;
  if (wanted_font_folder != game_font_folder) ScanGameFontFolder(wanted_font_folder);
  return true;
}

// The faces games name, and the installed families that stand in for them, in
// order of preference; `generic` is fontconfig's family for when none of them
// is installed. Names are compared folded (NormalisedFaceName).
struct FaceFamily {
  const char* candidates[6];
  const char* generic;
  // The Windows face's ascent, descent and units per em.
  int windows_ascent, windows_descent, windows_units;
};
constexpr FaceFamily kGothic{{"IPAGothic", "Noto Sans Mono CJK JP", "VL Gothic", "TakaoGothic", "IPAexGothic", nullptr},
                             "monospace", 220, 36, 256};
constexpr FaceFamily kPGothic{{"IPAPGothic", "Noto Sans CJK JP", "VL PGothic", "TakaoPGothic", "IPAexGothic", nullptr},
                              "sans-serif", 220, 36, 256};
constexpr FaceFamily kMincho{{"IPAMincho", "Noto Serif CJK JP", "TakaoMincho", "IPAexMincho", nullptr, nullptr},
                             "serif", 220, 36, 256};
constexpr FaceFamily kPMincho{{"IPAPMincho", "Noto Serif CJK JP", "TakaoPMincho", "IPAexMincho", nullptr, nullptr},
                              "serif", 220, 36, 256};
// The newer faces (Meiryo, Yu) keep the stand-in's own proportions.
constexpr FaceFamily kNewerGothic{{"IPAPGothic", "Noto Sans CJK JP", "VL PGothic", "TakaoPGothic", "IPAexGothic", nullptr},
                                  "sans-serif", 0, 0, 0};
constexpr FaceFamily kNewerMincho{{"IPAPMincho", "Noto Serif CJK JP", "TakaoPMincho", "IPAexMincho", nullptr, nullptr},
                                  "serif", 0, 0, 0};

struct FaceTableEntry {
  const char* name;  // folded UTF-8
  const FaceFamily* family;
};
const FaceTableEntry kFaceTable[] = {
    {"ms\xe3\x82\xb4\xe3\x82\xb7\xe3\x83\x83\xe3\x82\xaf", &kGothic},        // ＭＳ ゴシック
    {"msgothic", &kGothic},
    {"msp\xe3\x82\xb4\xe3\x82\xb7\xe3\x83\x83\xe3\x82\xaf", &kPGothic},      // ＭＳ Ｐゴシック
    {"mspgothic", &kPGothic},
    {"msui\xe3\x82\xb4\xe3\x82\xb7\xe3\x83\x83\xe3\x82\xaf", &kPGothic},     // ＭＳ ＵＩ ゴシック
    {"msuigothic", &kPGothic},
    {"\xe3\x83\xa1\xe3\x82\xa4\xe3\x83\xaa\xe3\x82\xaa", &kNewerGothic},          // メイリオ
    {"meiryo", &kNewerGothic},
    {"meiryoui", &kNewerGothic},
    {"\xe6\xb8\xb8\xe3\x82\xb4\xe3\x82\xb7\xe3\x83\x83\xe3\x82\xaf", &kNewerGothic},  // 游ゴシック
    {"yugothic", &kNewerGothic},
    {"yugothicui", &kNewerGothic},
    {"ms\xe6\x98\x8e\xe6\x9c\x9d", &kMincho},                                 // ＭＳ 明朝
    {"msmincho", &kMincho},
    {"msp\xe6\x98\x8e\xe6\x9c\x9d", &kPMincho},                               // ＭＳ Ｐ明朝
    {"mspmincho", &kPMincho},
    {"\xe6\xb8\xb8\xe6\x98\x8e\xe6\x9c\x9d", &kNewerMincho},                      // 游明朝
    {"yumincho", &kNewerMincho},
};

// Folds a UTF-8 face name for comparison: full-width ASCII becomes ASCII,
// ASCII letters lower case, spaces (also the ideographic space) dropped.
std::string NormalisedFaceName(std::string_view utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    auto c = static_cast<uint8_t>(utf8[i]);
    if (c == 0xEF && i + 2 < utf8.size()) {  // U+FF01..U+FF5E
      uint32_t cp = ((c & 0x0Fu) << 12) | ((static_cast<uint8_t>(utf8[i + 1]) & 0x3Fu) << 6) |
                    (static_cast<uint8_t>(utf8[i + 2]) & 0x3Fu);
      if (cp >= 0xFF01 && cp <= 0xFF5E) {
        c = static_cast<uint8_t>(cp - 0xFF01 + 0x21);
        i += 3;
        out += static_cast<char>(std::tolower(c));
        continue;
      }
    }
    if (c == 0xE3 && i + 2 < utf8.size() && static_cast<uint8_t>(utf8[i + 1]) == 0x80 &&
        static_cast<uint8_t>(utf8[i + 2]) == 0x80) {  // U+3000
      i += 3;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '-' || c == '_') {
      ++i;
      continue;
    }
    out += static_cast<char>(c < 0x80 ? std::tolower(c) : c);
    ++i;
  }
  return out;
}

// Decodes UTF-8 (well formed: it comes from the converter).
std::u32string DecodeUtf8(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<uint8_t>(s[i]);
    int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    char32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    if (i + extra >= s.size() && extra) break;  // a cut sequence at the end
    for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
    out += cp;
    i += 1 + extra;
  }
  return out;
}

int FcWeightOf(int32_t weight) { return FcWeightFromOpenType(std::clamp(weight, 1, 1000)); }

// Fonts from the game's folder.
struct GameFont {
  std::vector<std::string> families;  // folded
  std::string family;                 // first family, as written
  std::string file;
  int index;
  int weight;  // fontconfig weight
  int slant;
};
std::vector<GameFont> game_fonts;

void ScanGameFonts(const std::filesystem::path& folder, int depth, int& budget) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end && budget > 0; it.increment(ec)) {
    --budget;
    const fs::path& p = it->path();
    if (it->is_directory(ec)) {
      if (depth < 2) ScanGameFonts(p, depth + 1, budget);
      continue;
    }
    std::string ext = p.extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext != ".ttf" && ext != ".ttc" && ext != ".otf") continue;
    FcFontSet* set = FcFontSetCreate();
    FcFreeTypeQueryAll(reinterpret_cast<const FcChar8*>(p.c_str()), -1, nullptr, nullptr, set);
    for (int i = 0; i < set->nfont; ++i) {
      FcPattern* f = set->fonts[i];
      GameFont g{{}, {}, p.string(), 0, FC_WEIGHT_REGULAR, FC_SLANT_ROMAN};
      FcChar8* name = nullptr;
      for (int n = 0; FcPatternGetString(f, FC_FAMILY, n, &name) == FcResultMatch; ++n) {
        if (n == 0) g.family = reinterpret_cast<const char*>(name);
        g.families.push_back(NormalisedFaceName(reinterpret_cast<const char*>(name)));
      }
      FcPatternGetInteger(f, FC_INDEX, 0, &g.index);
      FcPatternGetInteger(f, FC_WEIGHT, 0, &g.weight);
      FcPatternGetInteger(f, FC_SLANT, 0, &g.slant);
      if (!g.families.empty()) game_fonts.push_back(std::move(g));
    }
    FcFontSetDestroy(set);
    FcConfigAppFontAddFile(nullptr, reinterpret_cast<const FcChar8*>(p.c_str()));
  }
}

// fontconfig's best match for a family with Japanese; the family it really
// has is reported so that callers can tell an installed family from a stand-in.
bool MatchFamily(const std::string& family, int32_t weight, bool italic, ResolvedFace& out, bool must_be_family) {
  FcPattern* pattern = FcPatternCreate();
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8*>("ja"));
  FcPatternAddInteger(pattern, FC_WEIGHT, FcWeightOf(weight));
  FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  FcPatternDestroy(pattern);
  if (!match) return false;
  bool ok = false;
  FcChar8* file = nullptr;
  if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch) {
    std::string wanted = NormalisedFaceName(family);
    bool has_family = false;
    FcChar8* name = nullptr;
    std::string first;
    for (int n = 0; FcPatternGetString(match, FC_FAMILY, n, &name) == FcResultMatch; ++n) {
      if (n == 0) first = reinterpret_cast<const char*>(name);
      if (NormalisedFaceName(reinterpret_cast<const char*>(name)) == wanted) has_family = true;
    }
    if (has_family || !must_be_family) {
      out.file = reinterpret_cast<const char*>(file);
      out.index = 0;
      FcPatternGetInteger(match, FC_INDEX, 0, &out.index);
      out.family = first;
      out.from_game_folder = false;
      ok = true;
    }
  }
  FcPatternDestroy(match);
  return ok;
}

// Cell metrics at a size: GDI's rule, the Windows ascent and descent of the
// face scaled so that together they make the cell height. A stand-in for a
// Windows face takes that face's proportions, so that its characters are as
// wide and its lines as high as the game expects.
struct CellMetrics {
  int32_t ascent, descent;  // whole pixels; ascent + descent = cell height
  FT_Pos ascent26;
  FT_F26Dot6 em26;  // the size every face of the font is set to
};

CellMetrics MeasureCell(FT_Face face, const ResolvedFace& resolved, int32_t height) {
  long a = 0, d = 0, units = face->units_per_EM ? face->units_per_EM : 1000;
  if (resolved.windows_units > 0) {
    a = resolved.windows_ascent;
    d = resolved.windows_descent;
    units = resolved.windows_units;
  } else if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
             os2 && os2->usWinAscent + os2->usWinDescent > 0) {
    a = os2->usWinAscent;
    d = os2->usWinDescent;
  } else {
    a = face->ascender;
    d = -face->descender;
  }
  if (a < 0 || d < 0 || a + d < units / 4 || a + d > units * 4) {  // missing or absurd
    a = units * 4 / 5;
    d = units - a;
  }
  // A negative height is the em height, as the platform font call takes it;
  // 0 asks for a usual size.
  int32_t cell = height > 0 ? height
                            : static_cast<int32_t>((static_cast<int64_t>(height < 0 ? -height : 16) * (a + d) + units / 2) / units);
  cell = std::max(cell, 1);
  CellMetrics m;
  m.em26 = std::max<FT_F26Dot6>(1, static_cast<FT_F26Dot6>(static_cast<int64_t>(cell) * 64 * units / (a + d)));
  m.ascent = static_cast<int32_t>((static_cast<int64_t>(cell) * a * 2 + (a + d)) / (2 * (a + d)));
  m.descent = cell - m.ascent;
  m.ascent26 = static_cast<FT_Pos>(m.ascent) * 64;
  return m;
}

// What names resolved to, so that a font made again does not ask fontconfig
// again; forgotten when the game's fonts change.
struct ResolvedName {
  std::string face;
  int32_t weight;
  bool italic;
  ResolvedFace resolved;
};
std::vector<ResolvedName> resolved_names;

bool ResolveFaceUncached(std::string_view face_sjis, int32_t weight, bool italic, ResolvedFace& out);

}  // namespace

namespace {

void ScanGameFontFolder(const std::string& host_folder) {
  game_font_folder = host_folder;
  game_fonts.clear();
  resolved_names.clear();
  FcConfigAppFontClear(nullptr);
  if (host_folder.empty()) return;
  int budget = 20000;  // entries looked at: a big game folder is not walked for ever
  ScanGameFonts(host_folder, 0, budget);
}

}  // namespace

void UseGameFontFolder(const std::string& host_folder) {
  std::lock_guard hold(setup_lock);
  wanted_font_folder = host_folder;
}

bool ResolveFace(std::string_view face_sjis, int32_t weight, bool italic, ResolvedFace& out) {
  if (!FontsReady()) return false;
  for (const ResolvedName& r : resolved_names)
    if (r.face == face_sjis && r.weight == weight && r.italic == italic) {
      out = r.resolved;
      return true;
    }
  if (!ResolveFaceUncached(face_sjis, weight, italic, out)) return false;
  if (resolved_names.size() >= 64) resolved_names.erase(resolved_names.begin());
  resolved_names.push_back({std::string(face_sjis), weight, italic, out});
  return true;
}

namespace {

bool ResolveFaceUncached(std::string_view face_sjis, int32_t weight, bool italic, ResolvedFace& out) {
  out = ResolvedFace{};
  if (!face_sjis.empty() && face_sjis[0] == '@') face_sjis.remove_prefix(1);
  std::string utf8 = SjisToUtf8(face_sjis);
  std::string folded = NormalisedFaceName(utf8);
  // A font the game ships, the style nearest to the one asked for.
  const GameFont* best = nullptr;
  int best_score = 0;
  int want_weight = FcWeightOf(weight);
  for (const GameFont& g : game_fonts) {
    if (std::find(g.families.begin(), g.families.end(), folded) == g.families.end()) continue;
    int score = std::abs(g.weight - want_weight) + ((g.slant != FC_SLANT_ROMAN) != italic ? 1000 : 0);
    if (!best || score < best_score) best = &g, best_score = score;
  }
  if (best && !folded.empty()) {
    out = {best->file, best->index, best->family, true};
    return true;
  }
  for (const FaceTableEntry& e : kFaceTable) {
    if (folded != e.name) continue;
    bool found = false;
    for (const char* candidate : e.family->candidates)
      if (candidate && (found = MatchFamily(candidate, weight, italic, out, true))) break;
    if (!found && !MatchFamily(e.family->generic, weight, italic, out, false)) return false;
    out.windows_ascent = e.family->windows_ascent;
    out.windows_descent = e.family->windows_descent;
    out.windows_units = e.family->windows_units;
    return true;
  }
  if (!utf8.empty() && MatchFamily(utf8, weight, italic, out, true)) return true;
  return MatchFamily(utf8.empty() ? "monospace" : utf8, weight, italic, out, false);
}

}  // namespace

namespace {

// The glyph renderings one font object keeps (anti-aliased fonts are made at
// eight times their size, so a glyph may take tens of kilobytes).
constexpr size_t kGlyphCacheBytes = size_t{4} << 20;

struct FallbackFace {
  FT_Face face;
  std::string file;
  int index;
};

struct CachedGlyph {
  FT_Glyph glyph = nullptr;  // outline with the synthesised styles applied; nullptr: nothing to draw
  FT_Pos advance = 0;        // 26.6, whole pixels
  // Its 1-bit rendering upright, made on first use: rows top-down; the top-left
  // pixel lies at (left, -top) from the pen position on the baseline.
  bool rendered = false;
  int32_t left = 0, top = 0, width = 0, height = 0, pitch = 0;
  std::vector<uint8_t> bits;
};

}  // namespace

struct RasterFont {
  FontRequest request;
  bool vertical = false;  // the face was named with a leading '@'
  hb_font_t* shaper = nullptr;  // vertical faces: finds the vertical forms of the own face
  std::string family;  // of the main face, for the fallback search
  std::vector<FallbackFace> faces;  // [0] is the font's own face
  CellMetrics cell{};
  bool embolden = false, slant = false;
  FT_Pos bold_strength = 0;  // 26.6
  FT_Matrix rotation{0x10000, 0, 0, 0x10000};
  bool rotated = false;
  FT_Pos underline_top = 0, underline_thickness = 0, strike_top = 0, strike_thickness = 0;  // 26.6 above the baseline
  FcFontSet* fallback_list = nullptr;  // built on the first missing glyph
  std::unordered_map<char32_t, std::pair<int16_t, uint32_t>> glyph_of;
  std::unordered_map<uint64_t, CachedGlyph> glyphs;
  size_t bitmap_bytes = 0;  // of the glyphs' renderings, bounded by kGlyphCacheBytes
};

namespace {

FT_Face OpenFace(const std::string& file, int index) {
  FT_Face face = nullptr;
  if (FT_New_Face(library, file.c_str(), index, &face) != 0) return nullptr;
  if (!FT_IS_SCALABLE(face)) {
    FT_Done_Face(face);
    return nullptr;
  }
  FT_Select_Charmap(face, FT_ENCODING_UNICODE);
  return face;
}

int16_t AddFace(RasterFont* font, const std::string& file, int index) {
  for (size_t i = 0; i < font->faces.size(); ++i)
    if (font->faces[i].file == file && font->faces[i].index == index) return static_cast<int16_t>(i);
  if (font->faces.size() >= 32) return -1;
  FT_Face face = OpenFace(file, index);
  if (!face) return -1;
  FT_Set_Char_Size(face, 0, font->cell.em26, 72, 72);
  font->faces.push_back({face, file, index});
  return static_cast<int16_t>(font->faces.size() - 1);
}

// Characters that a vertical-writing face stands up in text running down: the
// full-width ones, not the half-width katakana and forms.
bool StandsUpInVertical(char32_t cp) { return cp >= 0x1100 && !(cp >= 0xFF61 && cp <= 0xFFEF); }

// The glyph a face draws a character with in vertical writing (its 'vert'
// form: a long-vowel mark that runs down, brackets that open downward, the
// comma and full stop in the upper right), or `glyph` when it has none.
uint32_t VerticalForm(RasterFont* font, char32_t cp, uint32_t glyph) {
  if (!font->shaper) font->shaper = hb_ft_font_create_referenced(font->faces[0].face);
  hb_buffer_t* buffer = hb_buffer_create();
  hb_codepoint_t c = cp;
  hb_buffer_add_codepoints(buffer, &c, 1, 0, 1);
  hb_buffer_set_direction(buffer, HB_DIRECTION_TTB);
  hb_buffer_guess_segment_properties(buffer);
  hb_shape(font->shaper, buffer, nullptr, 0);
  unsigned count = 0;
  hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buffer, &count);
  if (count == 1 && info[0].codepoint != 0) glyph = info[0].codepoint;
  hb_buffer_destroy(buffer);
  return glyph;
}

// The face and glyph index that draw a character: the font's own face, else
// the first face of fontconfig's list for Japanese (near the font's family)
// that has it.
std::pair<int16_t, uint32_t> GlyphFor(RasterFont* font, char32_t cp) {
  if (auto it = font->glyph_of.find(cp); it != font->glyph_of.end()) return it->second;
  std::pair<int16_t, uint32_t> found{0, FT_Get_Char_Index(font->faces[0].face, cp)};
  if (found.second == 0 && cp >= 0x20) {
    for (size_t i = 1; i < font->faces.size() && found.second == 0; ++i)
      if (uint32_t g = FT_Get_Char_Index(font->faces[i].face, cp)) found = {static_cast<int16_t>(i), g};
    if (found.second == 0) {
      if (!font->fallback_list) {
        FcPattern* pattern = FcPatternCreate();
        FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(font->family.c_str()));
        FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8*>("ja"));
        FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
        FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern);
        FcResult result;
        font->fallback_list = FcFontSort(nullptr, pattern, FcTrue, nullptr, &result);
        FcPatternDestroy(pattern);
      }
      FcFontSet* list = font->fallback_list;
      for (int i = 0; list && i < list->nfont && i < 64; ++i) {
        FcCharSet* charset = nullptr;
        FcChar8* file = nullptr;
        if (FcPatternGetCharSet(list->fonts[i], FC_CHARSET, 0, &charset) != FcResultMatch ||
            !FcCharSetHasChar(charset, cp) || FcPatternGetString(list->fonts[i], FC_FILE, 0, &file) != FcResultMatch)
          continue;
        int index = 0;
        FcPatternGetInteger(list->fonts[i], FC_INDEX, 0, &index);
        int16_t f = AddFace(font, reinterpret_cast<const char*>(file), index);
        if (f < 0) continue;
        if (uint32_t g = FT_Get_Char_Index(font->faces[f].face, cp)) {
          found = {f, g};
          break;
        }
      }
    }
  }
  if (font->vertical && found.first == 0 && found.second != 0 && StandsUpInVertical(cp))
    found.second = VerticalForm(font, cp, found.second);
  if (font->glyph_of.size() > 8192) font->glyph_of.clear();
  font->glyph_of[cp] = found;
  return found;
}

CachedGlyph& LoadGlyph(RasterFont* font, int16_t face_number, uint32_t index, bool turned) {
  uint64_t key = (uint64_t{turned} << 48) | (static_cast<uint64_t>(static_cast<uint16_t>(face_number)) << 32) | index;
  if (auto it = font->glyphs.find(key); it != font->glyphs.end()) return it->second;
  if (font->glyphs.size() > 1024 || font->bitmap_bytes > kGlyphCacheBytes) {
    for (auto& [k, g] : font->glyphs)
      if (g.glyph) FT_Done_Glyph(g.glyph);
    font->glyphs.clear();
    font->bitmap_bytes = 0;
  }
  CachedGlyph cached;
  FT_Face face = font->faces[face_number].face;
  if (FT_Load_Glyph(face, index, FT_LOAD_NO_BITMAP | FT_LOAD_TARGET_MONO) == 0 &&
      face->glyph->format == FT_GLYPH_FORMAT_OUTLINE) {
    FT_Outline* outline = &face->glyph->outline;
    cached.advance = (face->glyph->advance.x + 32) & ~63;
    if (font->slant) {
      FT_Matrix shear{0x10000, 0x4000, 0, 0x10000};  // leans a quarter of the height
      FT_Outline_Transform(outline, &shear);
    }
    if (font->embolden) {
      FT_Outline_EmboldenXY(outline, font->bold_strength, 0);
      cached.advance += (font->bold_strength + 32) & ~63;
    }
    if (turned) {
      // (x, y) -> (-y, x), then back into the cell: its top to the pen, its
      // bottom on the descent line.
      FT_Matrix quarter{0, -0x10000, 0x10000, 0};
      FT_Outline_Transform(outline, &quarter);
      const CellMetrics& m = font->cell;
      FT_Outline_Translate(outline, m.ascent26, -static_cast<FT_Pos>(m.descent) * 64);
    }
    if (FT_Get_Glyph(face->glyph, &cached.glyph) != 0) cached.glyph = nullptr;
  }
  return font->glyphs.emplace(key, cached).first->second;
}

// Renders an outline into the target, whose bottom row is y = 0 for FreeType.
void RenderOutline(FT_Outline* outline, const MonoTarget& t) {
  FT_Bitmap bitmap{};
  bitmap.rows = static_cast<unsigned>(t.height);
  bitmap.width = static_cast<unsigned>(t.width);
  bitmap.pitch = t.pitch;
  bitmap.buffer = t.bits;
  bitmap.num_grays = 2;
  bitmap.pixel_mode = FT_PIXEL_MODE_MONO;
  FT_Outline_Get_Bitmap(library, outline, &bitmap);
}

// Upright glyphs are rendered once into a bitmap of their own and copied for
// every use: at whole-pixel positions they come out the same.
inline uint64_t LoadBigEndian64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}
inline void StoreBigEndian64(uint8_t* p, uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

void OrBits(const CachedGlyph& g, int32_t x, int32_t y, const MonoTarget& t) {
  for (int32_t r = 0; r < g.height; ++r) {
    int32_t ty = y + r;
    if (ty < 0 || ty >= t.height) continue;
    const uint8_t* src = g.bits.data() + static_cast<size_t>(r) * g.pitch;
    uint8_t* dst = t.bits + static_cast<size_t>(ty) * t.pitch;
    if (x >= 0 && int64_t{x} + g.width <= t.width) {
      // Eight bytes at a time (the glyph's rows are padded to whole words);
      // bits past the glyph's width are zero, so nothing set lands outside
      // the row, and the last words of a row go byte by byte.
      int shift = x & 7;
      int32_t first = x >> 3;
      for (int32_t k = 0; k < g.pitch; k += 8) {
        uint64_t v = LoadBigEndian64(src + k);
        if (!v) continue;
        uint8_t* d = dst + first + k;
        uint8_t spill = shift ? static_cast<uint8_t>((v & 0xFF) << (8 - shift)) : 0;
        if (first + k + 8 <= t.pitch) {
          StoreBigEndian64(d, LoadBigEndian64(d) | (v >> shift));
        } else {
          uint64_t w = v >> shift;
          for (int b = 0; b < 8; ++b)
            if (uint8_t part = static_cast<uint8_t>(w >> (56 - 8 * b))) d[b] |= part;
        }
        if (spill) d[8] |= spill;
      }
      continue;
    }
    for (int32_t i = 0; i < g.width; ++i) {
      int64_t tx = int64_t{x} + i;
      if (tx < 0 || tx >= t.width || !(src[i >> 3] & (0x80 >> (i & 7)))) continue;
      dst[tx >> 3] |= static_cast<uint8_t>(0x80 >> (tx & 7));
    }
  }
}

// A band along the baseline from x = 0 to x = length, between top and
// top - thickness (26.6, above the baseline), as an outline.
void RenderBand(RasterFont* font, FT_Pos length, FT_Pos top, FT_Pos thickness, FT_Vector origin, const MonoTarget& t) {
  if (thickness <= 0 || length <= 0) return;
  FT_Outline band;
  if (FT_Outline_New(library, 4, 1, &band) != 0) return;
  FT_Pos y0 = top - font->cell.ascent26, y1 = y0 - thickness;
  band.points[0] = {0, y0};
  band.points[1] = {length, y0};
  band.points[2] = {length, y1};
  band.points[3] = {0, y1};
  for (int i = 0; i < 4; ++i) band.tags[i] = FT_CURVE_TAG_ON;
  band.contours[0] = 3;
  band.n_points = 4;
  band.n_contours = 1;
  band.flags = FT_OUTLINE_EVEN_ODD_FILL;
  if (font->rotated) FT_Outline_Transform(&band, &font->rotation);
  FT_Outline_Translate(&band, origin.x, origin.y);
  RenderOutline(&band, t);
  FT_Outline_Done(library, &band);
}

}  // namespace

RasterFont* CreateRasterFont(const FontRequest& request) {
  if (!FontsReady()) return nullptr;
  ResolvedFace resolved;
  bool want_bold = request.weight >= 600;
  if (!ResolveFace(request.face, request.weight, request.italic, resolved)) return nullptr;
  auto font = std::make_unique<RasterFont>();
  font->request = request;
  font->vertical = !request.face.empty() && request.face[0] == '@';
  font->family = resolved.family;
  FT_Face face = OpenFace(resolved.file, resolved.index);
  if (!face) return nullptr;
  font->cell = MeasureCell(face, resolved, request.height);
  FT_Set_Char_Size(face, 0, font->cell.em26, 72, 72);
  font->faces.push_back({face, resolved.file, resolved.index});
  const CellMetrics& m = font->cell;
  int32_t cell = m.ascent + m.descent;
  // Styles the face does not have are synthesised.
  font->embolden = want_bold && !(face->style_flags & FT_STYLE_FLAG_BOLD);
  if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2)); os2 && os2->usWeightClass >= 600)
    font->embolden = false;
  font->slant = request.italic && !(face->style_flags & FT_STYLE_FLAG_ITALIC);
  font->bold_strength = std::max<FT_Pos>(64, static_cast<FT_Pos>(face->size->metrics.y_ppem) * 64 / 24);
  if (request.angle % 3600 != 0) {
    double a = request.angle * 3.14159265358979323846 / 1800.0;
    auto fixed = [](double v) { return static_cast<FT_Fixed>(std::lround(v * 65536.0)); };
    font->rotation = {fixed(std::cos(a)), fixed(-std::sin(a)), fixed(std::sin(a)), fixed(std::cos(a))};
    font->rotated = true;
  }
  FT_Fixed scale = face->size->metrics.y_scale;
  font->underline_thickness = std::max<FT_Pos>(64, (FT_MulFix(face->underline_thickness, scale) + 32) & ~63);
  font->underline_top = face->underline_position ? (FT_MulFix(face->underline_position, scale) + 32) & ~63 : -(m.descent * 64) / 2;
  font->underline_top = std::max<FT_Pos>(font->underline_top, -(m.descent * 64 - font->underline_thickness));
  auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
  FT_Pos strike_size = os2 && os2->yStrikeoutSize > 0 ? FT_MulFix(os2->yStrikeoutSize, scale) : font->underline_thickness;
  FT_Pos strike_position = os2 && os2->yStrikeoutPosition > 0 ? FT_MulFix(os2->yStrikeoutPosition, scale) : cell * 64 / 4;
  font->strike_thickness = std::max<FT_Pos>(64, (strike_size + 32) & ~63);
  font->strike_top = ((strike_position + 32) & ~63) + font->strike_thickness / 2;
  ++fonts_created;
  return font.release();
}

void DeleteRasterFont(RasterFont* font) {
  if (!font) return;
  for (auto& [k, g] : font->glyphs)
    if (g.glyph) FT_Done_Glyph(g.glyph);
  if (font->fallback_list) FcFontSetDestroy(font->fallback_list);
  if (font->shaper) hb_font_destroy(font->shaper);  // before the face it refers to
  for (FallbackFace& f : font->faces) FT_Done_Face(f.face);
  delete font;
}

uint64_t RasterFontsCreated() { return fonts_created; }

void LayoutText(RasterFont* font, std::string_view sjis, TextLayout& out) {
  out.glyphs.clear();
  out.width = 0;
  const CellMetrics& m = font->cell;
  out.height = m.ascent + m.descent;
  std::u32string text = DecodeUtf8(SjisToUtf8(sjis));
  FT_Pos pen = 0;
  for (char32_t cp : text) {
    auto [face, index] = GlyphFor(font, cp);
    bool turned = font->vertical && StandsUpInVertical(cp);
    const CachedGlyph& g = LoadGlyph(font, face, index, turned);
    out.glyphs.push_back({face, index, static_cast<int32_t>(pen), turned});
    pen += g.advance;
    if (pen > (int64_t{1} << 30)) break;  // far beyond any plane
  }
  out.width = static_cast<int32_t>(pen / 64);
}

void DrawTextMono(RasterFont* font, const TextLayout& layout, int32_t origin_x, int32_t origin_y, const MonoTarget& t) {
  if (t.width <= 0 || t.height <= 0) return;
  // The top-left of the cell in FreeType's coordinates (y up from the bottom row).
  FT_Vector origin{static_cast<FT_Pos>(origin_x) * 64, static_cast<FT_Pos>(t.height - origin_y) * 64};
  for (const TextLayout::Glyph& lg : layout.glyphs) {
    CachedGlyph& g = LoadGlyph(font, lg.face, lg.index, lg.turned);
    if (!g.glyph) continue;
    auto* og = reinterpret_cast<FT_OutlineGlyph>(g.glyph);
    FT_Pos dy = -font->cell.ascent26;
    if (!font->rotated) {
      CachedGlyph& cached = g;
      if (!cached.rendered) {
        cached.rendered = true;
        FT_BBox box;
        FT_Outline_Get_CBox(&og->outline, &box);
        cached.left = static_cast<int32_t>(box.xMin >> 6);
        cached.top = static_cast<int32_t>((box.yMax + 63) >> 6);
        int32_t right = static_cast<int32_t>((box.xMax + 63) >> 6), bottom = static_cast<int32_t>(box.yMin >> 6);
        cached.width = std::max(0, right - cached.left);
        cached.height = std::max(0, cached.top - bottom);
        if (int64_t{cached.width} * cached.height > (int64_t{1} << 26)) cached.width = cached.height = 0;
        cached.pitch = (cached.width + 63) / 64 * 8;  // whole 64-bit words
        cached.bits.assign(static_cast<size_t>(cached.pitch) * cached.height, 0);
        font->bitmap_bytes += cached.bits.size();
        if (cached.width && cached.height) {
          FT_Pos sx = -static_cast<FT_Pos>(cached.left) * 64, sy = -static_cast<FT_Pos>(bottom) * 64;
          FT_Outline_Translate(&og->outline, sx, sy);
          RenderOutline(&og->outline, MonoTarget{cached.bits.data(), cached.width, cached.height, cached.pitch});
          FT_Outline_Translate(&og->outline, -sx, -sy);
        }
      }
      OrBits(cached, origin_x + static_cast<int32_t>(lg.pen_x >> 6) + cached.left,
             origin_y + font->cell.ascent - cached.top, t);
      continue;
    }
    FT_Glyph copy = nullptr;
    if (FT_Glyph_Copy(g.glyph, &copy) != 0) continue;
    auto* oc = reinterpret_cast<FT_OutlineGlyph>(copy);
    FT_Outline_Translate(&oc->outline, lg.pen_x, dy);
    FT_Outline_Transform(&oc->outline, &font->rotation);
    FT_Outline_Translate(&oc->outline, origin.x, origin.y);
    RenderOutline(&oc->outline, t);
    FT_Done_Glyph(copy);
  }
  FT_Pos length = static_cast<FT_Pos>(layout.width) * 64;
  if (font->request.underline) RenderBand(font, length, font->underline_top, font->underline_thickness, origin, t);
  if (font->request.strike_out) RenderBand(font, length, font->strike_top, font->strike_thickness, origin, t);
}

std::vector<std::string> ListFontFaces() {
  std::vector<std::string> names;
  if (!FontsReady()) return names;
  FcPattern* pattern = FcPatternCreate();
  FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8*>("ja"));
  FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
  FcObjectSet* objects = FcObjectSetBuild(FC_FAMILY, FC_SPACING, FC_FONTFORMAT, nullptr);
  FcFontSet* set = FcFontList(nullptr, pattern, objects);
  FcObjectSetDestroy(objects);
  FcPatternDestroy(pattern);
  for (int i = 0; set && i < set->nfont; ++i) {
    int spacing = FC_PROPORTIONAL;
    FcPatternGetInteger(set->fonts[i], FC_SPACING, 0, &spacing);
    if (spacing != FC_MONO && spacing != FC_DUAL) continue;
    FcChar8* format = nullptr;
    if (FcPatternGetString(set->fonts[i], FC_FONTFORMAT, 0, &format) == FcResultMatch) {
      std::string_view f = reinterpret_cast<const char*>(format);
      if (f != "TrueType" && f != "CFF") continue;
    }
    FcChar8* family = nullptr;
    if (FcPatternGetString(set->fonts[i], FC_FAMILY, 0, &family) != FcResultMatch) continue;
    std::string sjis;
    if (!Utf8ToSjis(reinterpret_cast<const char*>(family), sjis) || sjis.empty() || sjis[0] == '@' || sjis.size() > 31)
      continue;
    if (std::find(names.begin(), names.end(), sjis) == names.end()) names.push_back(sjis);
  }
  if (set) FcFontSetDestroy(set);
  return names;
}
