// The face names games use resolve to installed Japanese fonts; fonts in the
// game's folder win; font_list's names are the fixed-pitch Japanese faces.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "platform/font_rasterizer.h"
#include "platform/text_encoding.h"

namespace {

std::string Sjis(const char* utf8) {
  std::string out;
  EXPECT_TRUE(Utf8ToSjis(utf8, out)) << utf8;
  return out;
}

TEST(FaceTable, WindowsJapaneseFacesMapToInstalledFonts) {
  UseGameFontFolder("");
  struct Case {
    const char* name;  // UTF-8 here, Shift_JIS when asked
    const char* family;
  };
  const Case cases[] = {
      {"ＭＳ ゴシック", "IPAGothic"},   {"MS Gothic", "IPAGothic"},     {"ms gothic", "IPAGothic"},
      {"@ＭＳ ゴシック", "IPAGothic"},  {"ＭＳ　ゴシック", "IPAGothic"},
      {"ＭＳ Ｐゴシック", "IPAPGothic"}, {"MS PGothic", "IPAPGothic"},   {"@MS PGothic", "IPAPGothic"},
      {"MS UI Gothic", "IPAPGothic"},   {"@MS UI Gothic", "IPAPGothic"}, {"メイリオ", "IPAPGothic"},
      {"Meiryo UI", "IPAPGothic"},      {"游ゴシック", "IPAPGothic"},
      {"ＭＳ 明朝", "IPAMincho"},        {"MS Mincho", "IPAMincho"},     {"@ＭＳ 明朝", "IPAMincho"},
      {"ＭＳ Ｐ明朝", "IPAPMincho"},     {"MS PMincho", "IPAPMincho"},   {"游明朝", "IPAPMincho"},
      {"IPAGothic", "IPAGothic"},       {"IPAゴシック", "IPAGothic"},
  };
  for (const Case& c : cases) {
    ResolvedFace face;
    ASSERT_TRUE(ResolveFace(Sjis(c.name), 400, false, face)) << c.name;
    EXPECT_EQ(face.family, c.family) << c.name;
    EXPECT_FALSE(face.from_game_folder);
  }
  // The weight and slant asked for do not change the stand-in.
  ResolvedFace bold;
  ASSERT_TRUE(ResolveFace(Sjis("ＭＳ 明朝"), 700, true, bold));
  EXPECT_EQ(bold.family, "IPAMincho");
}

TEST(FaceTable, OtherNamesStillGetAFont) {
  UseGameFontFolder("");
  for (const char* name : {"Arial", "存在しない書体", "", "@"}) {
    ResolvedFace face;
    ASSERT_TRUE(ResolveFace(Sjis(name), 400, false, face)) << name;
    EXPECT_FALSE(face.file.empty()) << name;
  }
}

TEST(FaceTable, AFontInTheGameFolderIsUsedFirst) {
  namespace fs = std::filesystem;
  fs::path folder = fs::temp_directory_path() / ("keva_game_fonts_" + std::to_string(getpid()));
  fs::create_directories(folder / "data");
  // The game ships a Gothic face of its own, in a subfolder, under another file name.
  ResolvedFace system;
  UseGameFontFolder("");
  ASSERT_TRUE(ResolveFace("IPAGothic", 400, false, system));
  fs::create_symlink(system.file, folder / "data" / "Game Font.TTF");
  UseGameFontFolder(folder.string());
  ResolvedFace face;
  ASSERT_TRUE(ResolveFace("IPAGothic", 400, false, face));
  EXPECT_TRUE(face.from_game_folder);
  EXPECT_EQ(fs::path(face.file).filename(), "Game Font.TTF");
  // Its Japanese family name finds it as well; other names do not.
  ASSERT_TRUE(ResolveFace(Sjis("IPAゴシック"), 400, false, face));
  EXPECT_TRUE(face.from_game_folder);
  ASSERT_TRUE(ResolveFace(Sjis("ＭＳ 明朝"), 400, false, face));
  EXPECT_FALSE(face.from_game_folder);
  UseGameFontFolder("");
  ASSERT_TRUE(ResolveFace("IPAGothic", 400, false, face));
  EXPECT_FALSE(face.from_game_folder);
  fs::remove_all(folder);
}

TEST(FaceTable, FontListHoldsTheFixedPitchJapaneseFaces) {
  std::vector<std::string> names = ListFontFaces();
  auto has = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) != names.end(); };
  EXPECT_TRUE(has("IPAGothic"));
  EXPECT_TRUE(has("IPAMincho"));
  EXPECT_FALSE(has("IPAPGothic"));   // proportional
  EXPECT_FALSE(has("DejaVu Sans Mono"));  // no Japanese
  for (const std::string& n : names) {
    EXPECT_LE(n.size(), 31u);
    EXPECT_NE(n[0], '@');
  }
}

}  // namespace
