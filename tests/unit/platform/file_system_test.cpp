#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Tree {
  fs::path root;
  Tree() {
    std::string tmpl = (fs::temp_directory_path() / "keva-fs-XXXXXX").string();
    root = mkdtemp(tmpl.data());
  }
  ~Tree() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  // Host names are bytes: UTF-8 here unless the test gives Shift_JIS bytes.
  void File(const std::string& name, const std::string& text) {
    fs::path p = root / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  std::string Read(const std::string& engine_path) {
    HostFile f = OpenFileForRead(root.string() + "\\" + engine_path);
    if (!f.is_open()) return "<none>";
    std::string s(static_cast<size_t>(f.Size()), '\0');
    size_t got = 0;
    f.Read(s.data(), s.size(), &got);
    return s;
  }
};

TEST(FileSystem, NamesResolveByCaseAndByShiftJis) {
  Tree t;
  t.File("data/bg/Title.png", "title");
  t.File("\xE8\xA1\xA8/x.txt", "utf8 dir");                    // 表 in UTF-8
  t.File("\xEF\xBC\xA1\xEF\xBD\x82.txt", "full-width");        // Ａｂ in UTF-8
  t.File("\x82\x60\x82\x81.sjis", "sjis name");                 // Ａａ in Shift_JIS bytes
  t.File("mixed/\xE3\x83\xA1\xE3\x83\xA2.TXT", "memo");         // メモ.TXT
  struct Case {
    std::string path;
    std::string expect;
  } cases[] = {
      {"data\\bg\\Title.png", "title"},
      {"DATA\\BG\\title.PNG", "title"},
      {"data/bg\\TITLE.png", "title"},
      {"data\\\\bg\\Title.png", "title"},                       // doubled separator
      {"\x95\x5C\\x.txt", "utf8 dir"},                          // 表 in Shift_JIS ends in 0x5C
      {"\x82\x60\x82\x61.txt", "full-width"},                   // ＡＢ: UTF-8 name, case folded
      {"\x82\x81\x82\x81.SJIS", "sjis name"},                   // ａａ: Shift_JIS name, case folded
      {"MIXED\\\x83\x81\x83\x82.txt", "memo"},
      {"data\\bg\\Title.png\\", "<none>"},                      // a file is no directory
      {"data\\bg", "<none>"},                                   // a directory is no file
      {"data\\bg\\Titl.png", "<none>"},
      {"\x83\x41.txt", "<none>"},                               // ア is not "a"
  };
  for (const Case& c : cases) EXPECT_EQ(t.Read(c.path), c.expect) << c.path;
  std::string host;
  EXPECT_TRUE(ResolveReadPath(t.root.string() + "/DATA/Bg", host));
  EXPECT_EQ(host, (t.root / "data/bg").string());
}

// The lookup rules on one tree laid out as Windows game folders arrive: a
// game folder whose own name is UTF-8 with a space (and ends in a byte that
// reads as a Shift_JIS lead byte), folders and files in either encoding, one
// folder present twice (unpacked without and with name conversion), names
// converted with the JIS table.
TEST(FileSystem, LookupRulesForGameFoldersFromWindows) {
  Tree t;
  const std::string game = "\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0 \xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88";  // ゲーム テスト
  const std::string data_sjis = "\x83\x66\x81\x5B\x83\x5E";                                 // データ
  const std::string data_utf8 = "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF";
  t.File(game + "/data/Bg/Title.bmp", "title");
  t.File(game + "/" + data_sjis + "/a.txt", "sjis twin");
  t.File(game + "/" + data_sjis + "/c.txt", "sjis c");
  t.File(game + "/" + data_utf8 + "/b.txt", "utf8 twin");
  t.File(game + "/" + data_utf8 + "/c.txt", "utf8 c");
  t.File(game + "/" + data_utf8 + "/Sub/d.txt", "deep in the utf8 twin");
  t.File(game + "/\xE8\xA1\xA8/x.txt", "utf8 dir");                          // 表 (0x95 0x5C)
  t.File(game + "/\x95\x5C/y.txt", "sjis dir");                              // 表 in Shift_JIS bytes
  t.File(game + "/a\xE3\x80\x9C" "b.txt", "wave dash");                       // a〜b: U+301C
  t.File(game + "/p\xE2\x80\x96q.txt", "double bar");                        // p‖q: U+2016
  t.File(game + "/\xC2\xA2\xC2\xA3\xC2\xAC.txt", "cent pound not");         // ¢£¬ in Latin-1 form
  t.File(game + "/x\xE2\x80\x94\xE2\x88\x92y.txt", "dash minus");           // x—−y
  // The host part of a path ends with '/': a 0x5C after the lead-like last byte
  // of ト would be its trail byte, as in Shift_JIS.
  const std::string g = game + "/";
  struct Case {
    std::string path;
    std::string expect;
  } cases[] = {
      {g + "data\\Bg\\Title.bmp", "title"},
      {g + "DATA\\bg\\TITLE.BMP", "title"},                            // wrong case
      {g + "data/bg\\title.bmp", "title"},
      {g + "old\\..\\data\\bg\\title.bmp", "title"},                    // `..` through a missing folder
      {g + "old\\new\\..\\..\\data\\.\\bg\\title.bmp", "title"},
      {g + "data\\..\\..\\" + game + "/data\\bg\\title.bmp", "title"},
      {g + "data\\bg\\title.bmp\\..", "<none>"},                          // a folder, no file
      {g + data_sjis + "\\a.txt", "sjis twin"},                         // twins: both are seen
      {g + data_sjis + "\\b.txt", "utf8 twin"},
      {g + data_sjis + "\\c.txt", "sjis c"},                            // the exact name first
      {g + data_sjis + "\\sub\\D.TXT", "deep in the utf8 twin"},
      {g + data_sjis + "\\e.txt", "<none>"},
      {g + "\x95\x5C\\x.txt", "utf8 dir"},                                // 0x5C trail byte, both twins
      {g + "\x95\x5C\\y.txt", "sjis dir"},
      {g + "\x95\x5C/x.txt", "utf8 dir"},
      {g + "a\x81\x60" "b.txt", "wave dash"},                             // ～ read with the JIS table
      {g + "p\x81\x61q.txt", "double bar"},                               // ∥
      {g + "\x81\x91\x81\x92\x81\xCA.TXT", "cent pound not"},              // ¢£¬
      {g + "x\x81\x5C\x81\x7Cy.txt", "dash minus"},                         // ―－
  };
  // Scripts name files relative to the game folder, the working directory.
  const fs::path cwd = fs::current_path();
  fs::current_path(t.root);
  for (const Case& c : cases) {
    HostFile f = OpenFileForRead(c.path);
    std::string got = "<none>";
    if (f.is_open()) {
      got.assign(static_cast<size_t>(f.Size()), '\0');
      size_t n = 0;
      f.Read(got.data(), got.size(), &n);
    }
    EXPECT_EQ(got, c.expect) << c.path;
  }

  // Written files: an existing one in whichever twin holds it, a new one in
  // the first folder found, in UTF-8.
  std::string host;
  EXPECT_TRUE(ResolveWritePath(g + data_sjis + "\\b.txt", host));
  EXPECT_EQ(host, game + "/" + data_utf8 + "/b.txt");
  EXPECT_TRUE(ResolveWritePath(g + "gone\\..\\" + data_sjis + "\\new.txt", host));
  EXPECT_EQ(host, game + "/" + data_sjis + "/new.txt");
  // A path from the root is the host's own: each folder is the first found.
  EXPECT_TRUE(ResolveReadPath(t.root.string() + "/" + g + data_sjis + "\\a.txt", host));
  EXPECT_FALSE(ResolveReadPath(t.root.string() + "/" + g + data_sjis + "\\b.txt", host));
  EXPECT_TRUE(ResolveReadPath(t.root.string() + "/" + g + "old\\..\\data\\BG", host));
  fs::current_path(cwd);
}

TEST(FileSystem, WritePathsCreateUtf8NamesInResolvedDirectories) {
  Tree t;
  t.File("Save/old.DAT", "old");
  std::string root = t.root.string();

  HostFile f = CreateFileForWrite(root + "\\save\\\x83\x81\x83\x82.dat");  // メモ.dat
  ASSERT_TRUE(f.is_open());
  ASSERT_TRUE(f.Write("new", 3));
  f.Close();
  EXPECT_TRUE(fs::exists(t.root / "Save/\xE3\x83\xA1\xE3\x83\xA2.dat"));

  // An existing file is written under its own name.
  HostFile g = CreateFileForWrite(root + "/SAVE/OLD.dat");
  ASSERT_TRUE(g.is_open());
  g.Close();
  EXPECT_EQ(fs::file_size(t.root / "Save/old.DAT"), 0u);
  EXPECT_FALSE(fs::exists(t.root / "Save/OLD.dat"));

  std::string host;
  EXPECT_FALSE(ResolveWritePath(root + "/nodir/x.dat", host));
  EXPECT_FALSE(ResolveWritePath(root + "/Save/", host));
  EXPECT_FALSE(CreateFileForWrite(root + "/nodir/x.dat").is_open());
}

TEST(FileSystem, HostFileSeekAndShortReads) {
  Tree t;
  t.File("f", "abcdef");
  HostFile f = OpenFileForRead((t.root / "f").string());
  ASSERT_TRUE(f.is_open());
  EXPECT_EQ(f.Size(), 6);
  EXPECT_EQ(f.Seek(-2, 2), 4);
  char buf[8];
  size_t got = 0;
  EXPECT_TRUE(f.Read(buf, sizeof buf, &got));
  EXPECT_EQ(std::string(buf, got), "ef");
  EXPECT_EQ(f.Seek(-1, 0), -1);
  EXPECT_EQ(f.Tell(), 6);
  EXPECT_EQ(f.Seek(0, 7), -1);
}

}  // namespace
