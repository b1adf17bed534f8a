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
