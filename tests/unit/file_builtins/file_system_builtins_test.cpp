// The find_, dir_, file_ and ini_ builtins on a small tree in a scratch
// folder that is the current directory.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "builtins_fixture.h"
#include "runtime/file_system_builtins.h"

namespace {

class FileSystemTest : public BuiltinsTest {
 protected:
  void SetUp() override {
    BuiltinsTest::SetUp();
    // data/: Readme.TXT, notes.txt, image.bmp, NOEXT, .hidden, sub/
    WriteFile("data/Readme.TXT", "12345");
    WriteFile("data/notes.txt", "");
    WriteFile("data/image.bmp", std::string(70000, 'b'));
    WriteFile("data/NOEXT", "x");
    WriteFile("data/.hidden", "h");
    std::filesystem::create_directory(dir_ / "data/sub");
  }
  void TearDown() override {
    CloseAllSearches();
    BuiltinsTest::TearDown();
  }

  // Every name find_first/find_next hand out for a pattern, in order.
  std::vector<std::string> Find(const std::string& pattern) {
    std::vector<std::string> names;
    uint32_t rec = Block(320);
    uint32_t h = Call(builtin_find_first, {Str(pattern), rec});
    if (h == static_cast<uint32_t>(-1)) return names;
    do names.push_back(Read(rec + 44));
    while (Call(builtin_find_next, {h, rec}) && names.size() < 100);
    EXPECT_EQ(Call(builtin_find_close, {h}), 1u);
    return names;
  }
};

using NameList = std::vector<std::string>;

TEST_F(FileSystemTest, FindPatternsFollowTheWildcardRules) {
  struct Case {
    const char* pattern;
    NameList expected;
  } cases[] = {
      {"data\\*.txt", {"notes.txt", "Readme.TXT"}},  // case ignored, sorted without case
      {"DATA/*.TXT", {"notes.txt", "Readme.TXT"}},
      {"data\\?????.txt", {"notes.txt"}},
      {"data\\*.*", {".", "..", ".hidden", "image.bmp", "NOEXT", "notes.txt", "Readme.TXT", "sub"}},
      {"data\\*.", {".", "..", "NOEXT", "sub"}},  // names without an extension
      {"data\\noext.*", {"NOEXT"}},  // ".*" also takes a name without a dot
      {"data\\readme.txt", {"Readme.TXT"}},
      {"data\\s*", {"sub"}},
      {"data\\*.png", {}},
      {"nowhere\\*", {}},
      {"data\\", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Find(c.pattern), c.expected) << c.pattern;
}

TEST_F(FileSystemTest, NamesComeBackAsShiftJis) {
  // セーブ.txt stored in UTF-8, and 福.txt stored raw in Shift_JIS as copied
  // from Windows: both reach scripts in Shift_JIS and open again by that name.
  WriteFile("jp/\xe3\x82\xbb\xe3\x83\xbc\xe3\x83\x96.txt", "utf8");
  WriteFile("jp/\x95\x9f.txt", "raw");
  EXPECT_EQ(Find("JP\\*.TXT"), (NameList{"\x83\x5a\x81\x5b\x83\x75.txt", "\x95\x9f.txt"}));
  EXPECT_EQ(Call(builtin_file_size, {Str("jp\\\x83\x5a\x81\x5b\x83\x75.txt")}), 4u);
  EXPECT_EQ(Call(builtin_file_size, {Str("jp\\\x95\x9f.txt")}), 3u);
  // The trail byte 0x5C of ソ is no separator, and ? takes the whole character.
  WriteFile("jp/\xe3\x82\xbd.dat", "so");
  EXPECT_EQ(Find("jp\\?.dat"), NameList{"\x83\x5c.dat"});
}

TEST_F(FileSystemTest, TheFindRecordHasTheLayoutScriptsRead) {
  uint32_t rec = Block(320, 0xCC);
  uint32_t h = Call(builtin_find_first, {Str("data\\image.bmp"), rec});
  ASSERT_NE(h, static_cast<uint32_t>(-1));
  EXPECT_EQ(Word(rec), 0x20u);                  // archive
  EXPECT_EQ(Word(rec + 28), 0u);                // size high
  EXPECT_EQ(Word(rec + 32), 70000u);            // size low
  EXPECT_EQ(Read(rec + 44), "image.bmp");
  EXPECT_EQ(ToHost(rec)[304], 0);               // no short name
  // Write time: 100 ns steps since 1601, close to now.
  uint64_t write_time;
  std::memcpy(&write_time, ToHost(rec + 20), 8);
  uint64_t now = static_cast<uint64_t>(std::time(nullptr)) * 10000000 + 116444736000000000ULL;
  EXPECT_LT(write_time > now ? write_time - now : now - write_time, 3600ULL * 10000000);
  EXPECT_EQ(Call(builtin_find_next, {h, rec}), 0u);
  EXPECT_EQ(Call(builtin_find_close, {h}), 1u);

  h = Call(builtin_find_first, {Str("data\\s*"), rec});
  EXPECT_EQ(Word(rec), 0x10u);  // directory
  h = Call(builtin_find_first, {Str("data\\.hidden"), rec});
  EXPECT_EQ(Word(rec), 0x22u);  // hidden, archive
}

TEST_F(FileSystemTest, SearchesRefuseHostileArguments) {
  constexpr uint32_t kNone = static_cast<uint32_t>(-1);
  uint32_t rec = Block(320);
  EXPECT_EQ(Call(builtin_find_first, {0, rec}), kNone);
  EXPECT_EQ(Call(builtin_find_first, {Str("data\\*"), 0}), kNone);
  EXPECT_EQ(Call(builtin_find_first, {Str("data\\*"), 0xFFFFFF00u}), kNone);  // record past the arena
  EXPECT_EQ(Call(builtin_find_first, {Str(std::string(300, 'a')), rec}), kNone);
  for (uint32_t h : {0u, 1u, 64u, 65u, kNone}) {
    EXPECT_EQ(Call(builtin_find_next, {h, rec}), 0u) << h;
    EXPECT_EQ(Call(builtin_find_close, {h}), 0u) << h;
  }
  uint32_t h = Call(builtin_find_first, {Str("data\\*"), rec});
  EXPECT_EQ(Call(builtin_find_close, {h}), 1u);
  EXPECT_EQ(Call(builtin_find_close, {h}), 0u);  // closed twice
  // The table is bounded: a search too many fails instead of growing it.
  std::vector<uint32_t> open;
  for (int i = 0; i < 100; ++i) {
    uint32_t next = Call(builtin_find_first, {Str("data\\*"), rec});
    if (next == kNone) break;
    open.push_back(next);
  }
  EXPECT_EQ(open.size(), 64u);
}

TEST_F(FileSystemTest, FileSizeAndCheckTakeTheFirstMatch) {
  struct Case {
    const char* path;
    uint32_t size, check;
  } cases[] = {
      {"data\\readme.txt", 5, 1}, {"data\\*.bmp", 70000, 1}, {"data\\missing", 0, 0},
      {"data\\sub", 0, 1},        {"data\\*.zzz", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Call(builtin_file_size, {Str(c.path)}), c.size) << c.path;
    EXPECT_EQ(Call(builtin_file_check, {Str(c.path)}), c.check) << c.path;
  }
  EXPECT_EQ(Call(builtin_file_check, {0}), 0u);
  EXPECT_EQ(Call(builtin_file_size, {0}), 0u);
}

TEST_F(FileSystemTest, FoldersAreMadeOneLevelAndRemovedWhenEmpty) {
  EXPECT_EQ(Call(builtin_dir_create, {Str("made")}), 1u);
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "made"));
  EXPECT_EQ(Call(builtin_dir_create, {Str("MADE")}), 0u);      // exists (under any case)
  EXPECT_EQ(Call(builtin_dir_create, {Str("a\\b")}), 0u);      // one level only
  EXPECT_EQ(Call(builtin_dir_delete, {Str("data")}), 0u);      // not empty
  EXPECT_EQ(Call(builtin_dir_delete, {Str("Made\\")}), 1u);
  EXPECT_FALSE(Exists("made"));
  EXPECT_EQ(Call(builtin_dir_delete, {Str("data\\notes.txt")}), 0u);  // a file is no folder
  EXPECT_EQ(Call(builtin_dir_create, {0}), 0u);
  EXPECT_EQ(Call(builtin_dir_delete, {0}), 0u);
}

TEST_F(FileSystemTest, CurrentDirectoryComesBackWithATrailingBackslash) {
  uint32_t buf = Block(260, 0x77);
  uint32_t n = Call(builtin_dir_getcur, {buf});
  std::string cwd = std::filesystem::current_path().string() + "\\";
  EXPECT_EQ(n, cwd.size());
  EXPECT_EQ(Read(buf), cwd);
  EXPECT_EQ(Call(builtin_dir_setcur, {Str("DATA\\SUB")}), 1u);
  EXPECT_EQ(std::filesystem::current_path(), dir_ / "data/sub");
  EXPECT_EQ(Call(builtin_dir_setcur, {Str("nowhere")}), 0u);
  EXPECT_EQ(Call(builtin_dir_setcur, {0}), 0u);
  EXPECT_EQ(Call(builtin_dir_getcur, {0}), 0u);
}

TEST_F(FileSystemTest, SpecialFoldersMapToTheUserDirectories) {
  setenv("XDG_DOCUMENTS_DIR", (dir_ / "docs").c_str(), 1);
  setenv("XDG_DATA_HOME", (dir_ / "share").c_str(), 1);
  g_game_folders.module_directory = (dir_ / "data").string() + "/";
  struct Case {
    int32_t kind;
    std::string expected;
  } cases[] = {
      {5, (dir_ / "docs").string() + "\\"},
      {5 | 0x8000, (dir_ / "docs").string() + "\\"},
      {26, (dir_ / "share").string() + "\\"},
      {38, (dir_ / "data").string() + "\\"},
      {36, ""},
      {37, ""},
      {999, ""},
  };
  uint32_t buf = Block(260);
  for (const Case& c : cases) {
    EXPECT_EQ(Call(builtin_dir_getpath, {static_cast<uint32_t>(c.kind), buf}), c.expected.size()) << c.kind;
    EXPECT_EQ(Read(buf), c.expected) << c.kind;
  }
  EXPECT_EQ(Call(builtin_dir_getpath, {5, 0}), 0u);
  unsetenv("XDG_DOCUMENTS_DIR");
  unsetenv("XDG_DATA_HOME");
  g_game_folders = {};
}

TEST_F(FileSystemTest, CopyMoveAndDelete) {
  EXPECT_EQ(Call(builtin_file_copy, {Str("DATA\\README.TXT"), Str("copy.txt"), 1}), 1u);
  EXPECT_EQ(ReadFile("copy.txt"), "12345");
  EXPECT_EQ(Call(builtin_file_copy, {Str("data\\notes.txt"), Str("Copy.TXT"), 1}), 0u);  // exists: refused
  EXPECT_EQ(ReadFile("copy.txt"), "12345");
  EXPECT_EQ(Call(builtin_file_copy, {Str("data\\notes.txt"), Str("Copy.TXT"), 0}), 1u);  // replaced
  EXPECT_EQ(ReadFile("copy.txt"), "");
  EXPECT_EQ(Call(builtin_file_copy, {Str("data\\missing"), Str("x"), 0}), 0u);
  EXPECT_EQ(Call(builtin_file_copy, {Str("copy.txt"), Str("COPY.txt"), 0}), 0u);  // onto itself

  EXPECT_EQ(Call(builtin_file_move, {Str("copy.txt"), Str("data\\moved.txt")}), 1u);
  EXPECT_FALSE(Exists("copy.txt"));
  EXPECT_EQ(Call(builtin_file_move, {Str("data\\moved.txt"), Str("data\\NOTES.TXT")}), 0u);  // exists
  EXPECT_EQ(Call(builtin_file_move, {Str("data\\sub"), Str("sub2")}), 1u);  // folders move too
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "sub2"));

  EXPECT_EQ(Call(builtin_file_delete, {Str("data\\Moved.txt")}), 1u);
  EXPECT_FALSE(Exists("data/moved.txt"));
  EXPECT_EQ(Call(builtin_file_delete, {Str("data\\moved.txt")}), 0u);
  EXPECT_EQ(Call(builtin_file_delete, {Str("sub2")}), 0u);  // never a folder
  for (BuiltinHandler h : {builtin_file_copy, builtin_file_move}) {
    EXPECT_EQ(Call(h, {0, Str("x"), 0}), 0u);
    EXPECT_EQ(Call(h, {Str("data\\noext"), 0, 0}), 0u);
  }
}

TEST_F(FileSystemTest, AttributesComeFromTheModes) {
  constexpr uint32_t kNone = static_cast<uint32_t>(-1);
  EXPECT_EQ(Call(builtin_file_getattr, {Str("data\\notes.txt")}), 0x20u);
  EXPECT_EQ(Call(builtin_file_getattr, {Str("data\\sub")}), 0x10u);
  EXPECT_EQ(Call(builtin_file_getattr, {Str("data\\.hidden")}), 0x22u);
  EXPECT_EQ(Call(builtin_file_getattr, {Str("data\\missing")}), kNone);
  EXPECT_EQ(Call(builtin_file_getattr, {0}), kNone);
  EXPECT_EQ(Call(builtin_file_setattr, {Str("data\\notes.txt"), 0x01}), 1u);
  EXPECT_EQ(Call(builtin_file_getattr, {Str("data\\notes.txt")}), 0x21u);
  struct stat st;
  ASSERT_EQ(stat((dir_ / "data/notes.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_EQ(Call(builtin_file_setattr, {Str("data\\notes.txt"), 0x20}), 1u);
  EXPECT_EQ(Call(builtin_file_getattr, {Str("data\\notes.txt")}), 0x20u);
  EXPECT_EQ(Call(builtin_file_setattr, {Str("data\\missing"), 0}), 0u);
}

TEST_F(FileSystemTest, TimesTravelAsLocalSystemTimes) {
  // 2004-02-29 13:45:30.250 local time as the write and access time.
  uint32_t when = Block(16);
  const uint16_t set[8] = {2004, 2, 0, 29, 13, 45, 30, 250};
  std::memcpy(ToHost(when), set, 16);
  EXPECT_EQ(Call(builtin_file_settime, {Str("data\\notes.txt"), 0, when, when}), 1u);
  uint32_t created = Block(16), accessed = Block(16), written = Block(16);
  EXPECT_EQ(Call(builtin_file_gettime, {Str("data\\notes.txt"), created, accessed, written}), 1u);
  uint16_t got[8];
  std::memcpy(got, ToHost(written), 16);
  const uint16_t expected[8] = {2004, 2, 0, 29, 13, 45, 30, 250};  // a Sunday
  EXPECT_EQ(std::memcmp(got, expected, 16), 0);
  std::memcpy(got, ToHost(accessed), 16);
  EXPECT_EQ(std::memcmp(got, expected, 16), 0);
  EXPECT_EQ(Call(builtin_file_gettime, {Str("data\\notes.txt"), 0, 0, 0}), 1u);  // every record optional

  const uint16_t bad[8] = {2004, 13, 0, 1, 0, 0, 0, 0};
  std::memcpy(ToHost(when), bad, 16);
  EXPECT_EQ(Call(builtin_file_settime, {Str("data\\notes.txt"), 0, 0, when}), 0u);
  EXPECT_EQ(Call(builtin_file_gettime, {Str("data\\missing"), 0, 0, written}), 0u);
  EXPECT_EQ(Call(builtin_file_gettime, {Str("data\\sub"), 0, 0, written}), 0u);  // a folder is not opened
  EXPECT_EQ(Call(builtin_file_settime, {Str("data\\missing"), 0, 0, 0}), 0u);
}

class IniTest : public BuiltinsTest {
 protected:
  void SetUp() override {
    BuiltinsTest::SetUp();
    g_game_folders.configuration_path = (dir_ / "game.cfg").string();
  }
  void TearDown() override {
    g_game_folders = {};
    BuiltinsTest::TearDown();
  }
};

TEST_F(IniTest, WritesAndReadsTheConfigurationFile) {
  EXPECT_EQ(Call(builtin_ini_geti, {Str("Save"), Str("Slot"), 42}), 42u);
  EXPECT_EQ(Call(builtin_ini_seti, {Str("Save"), Str("Slot"), static_cast<uint32_t>(-7)}), 1u);
  EXPECT_EQ(Call(builtin_ini_sets, {Str("Save"), Str("Name"), Str("\x83\x5a\x81\x5b\x83\x75 1")}), 1u);
  EXPECT_EQ(ReadFile("game.cfg"), "[Save]\nSlot=-7\nName=\x83\x5a\x81\x5b\x83\x75 1\n");
  EXPECT_EQ(static_cast<int32_t>(Call(builtin_ini_geti, {Str("save"), Str("SLOT"), 42})), -7);

  uint32_t buf = Block(32, 0x7F);
  EXPECT_EQ(Call(builtin_ini_gets, {Str("Save"), Str("Name"), Str("none"), buf, 32}), 8u);
  EXPECT_EQ(Read(buf), "\x83\x5a\x81\x5b\x83\x75 1");
  EXPECT_EQ(Call(builtin_ini_gets, {Str("Save"), Str("Other"), Str("none"), buf, 32}), 4u);
  EXPECT_EQ(Read(buf), "none");
  // A short buffer cuts between characters, never inside one.
  EXPECT_EQ(Call(builtin_ini_gets, {Str("Save"), Str("Name"), Str(""), buf, 4}), 2u);
  EXPECT_EQ(Read(buf), "\x83\x5a");
  EXPECT_EQ(Call(builtin_ini_gets, {Str("Save"), Str("Other"), 0, buf, 32}), 0u);
  EXPECT_EQ(Read(buf), "");
}

TEST_F(IniTest, HostileArgumentsChangeNothing) {
  EXPECT_EQ(Call(builtin_ini_seti, {Str("S"), Str("k"), 1}), 1u);
  const std::string before = ReadFile("game.cfg");
  // Line breaks or brackets would inject lines into the file.
  EXPECT_EQ(Call(builtin_ini_sets, {Str("S"), Str("k"), Str("1\n[Other]\nx=2")}), 0u);
  EXPECT_EQ(Call(builtin_ini_sets, {Str("S]"), Str("k"), Str("1")}), 0u);
  EXPECT_EQ(Call(builtin_ini_seti, {Str("S"), Str("k=x"), 1}), 0u);
  EXPECT_EQ(Call(builtin_ini_seti, {0, Str("k"), 1}), 0u);
  EXPECT_EQ(Call(builtin_ini_sets, {Str("S"), Str("k"), 0}), 0u);
  EXPECT_EQ(ReadFile("game.cfg"), before);
  uint32_t buf = Block(8, 0x7F);
  EXPECT_EQ(Call(builtin_ini_gets, {Str("S"), Str("k"), 0, buf, 0}), 0u);
  EXPECT_EQ(Call(builtin_ini_gets, {Str("S"), Str("k"), 0, buf, static_cast<uint32_t>(-5)}), 0u);
  EXPECT_EQ(ToHost(buf)[0], 0x7F);  // untouched
  EXPECT_EQ(Call(builtin_ini_gets, {Str("S"), Str("k"), 0, 0, 8}), 0u);
  EXPECT_EQ(Call(builtin_ini_geti, {0, Str("k"), 9}), 9u);
}

}  // namespace
