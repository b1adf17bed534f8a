// Files written for the user: replaced in one step, never lost when the
// write fails, new names in the form their folder uses.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "builtins_fixture.h"
#include "files/file_builtins.h"
#include "platform/atomic_file.h"
#include "platform/profile.h"

namespace {

using AtomicFileTest = BuiltinsTest;

// Lowers the file size limit for one scope, so every write past it fails as
// on a full disk (for any user, unlike permissions).
struct FileSizeLimit {
  rlimit old;
  void (*old_handler)(int);
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old);
    old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit lower{bytes, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &lower);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, old_handler);
  }
};

TEST_F(AtomicFileTest, SaveCreatesMissingFoldersAndReplacesTheOldFile) {
  ASSERT_TRUE(SaveFile("Save\\Slot\\data.sav", "first", 5));
  EXPECT_EQ(ReadFile("Save/Slot/data.sav"), "first");
  // A later save under another case lands in the same file.
  ASSERT_TRUE(SaveFile("save/SLOT/DATA.SAV", "second!", 7));
  EXPECT_EQ(ReadFile("Save/Slot/data.sav"), "second!");
  EXPECT_EQ(Names("Save/Slot"), std::vector<std::string>{"data.sav"});  // no temporary file left
}

TEST_F(AtomicFileTest, AReplacedFileKeepsItsMode) {
  WriteFile("keep.dat", "old");
  chmod((dir_ / "keep.dat").c_str(), 0640);
  ASSERT_TRUE(SaveFile("keep.dat", "new", 3));
  struct stat st;
  ASSERT_EQ(stat((dir_ / "keep.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(AtomicFileTest, AFailedWriteLeavesTheOldFileWhole) {
  // As on a full disk: the helper itself, a settings write, a compressed
  // save and the system file, each over an existing file.
  WriteFile("save.dat", "the old save");
  WriteFile("settings.ini", "[S]\nk=old\n");
  WriteFile("pack.bin", "old pack");
  WriteFile("system.dat", "old system file");
  std::string big(64 * 1024, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);  // hard to compress
  uint32_t data = Block(big.size());
  std::memcpy(ToHost(data), big.data(), big.size());
  {
    FileSizeLimit limit(4096);
    EXPECT_FALSE(SaveFile("save.dat", big.data(), big.size()));
    EXPECT_FALSE(WriteProfileString("settings.ini", "S", "k", std::string(8192, 'v')));
    EXPECT_EQ(Call(builtin_pack_save, {Str("pack.bin"), data, static_cast<uint32_t>(big.size())}), 0u);
    EXPECT_EQ(Call(builtin_sysfile, {Str("system.dat"), data, static_cast<uint32_t>(big.size())}), 1u);
    std::memcpy(ToHost(data), big.data(), big.size());
    EXPECT_EQ(Call(builtin_sysio, {1}), 0u);
    WriteSystemFile();  // the write at the runtime's stop fails the same way
  }
  EXPECT_EQ(ReadFile("save.dat"), "the old save");
  EXPECT_EQ(ReadFile("settings.ini"), "[S]\nk=old\n");
  EXPECT_EQ(ReadFile("pack.bin"), "old pack");
  EXPECT_EQ(ReadFile("system.dat"), "old system file");
  EXPECT_EQ(Names(), (std::vector<std::string>{"pack.bin", "save.dat", "settings.ini", "system.dat"}));
}

TEST_F(AtomicFileTest, PathsThatCannotBeSavedAreRefused) {
  WriteFile("plain", "x");
  std::filesystem::create_directory(dir_ / "folder");
  std::string host;
  EXPECT_FALSE(ResolveSavePath("", true, host));
  EXPECT_FALSE(ResolveSavePath("folder", true, host));          // a folder is no file
  EXPECT_FALSE(ResolveSavePath("folder\\", true, host));        // nor is a trailing separator
  EXPECT_FALSE(ResolveSavePath("plain\\x.dat", true, host));    // a file in the way of a folder
  EXPECT_FALSE(ResolveSavePath("missing\\x.dat", false, host)); // folders only made when asked
  EXPECT_FALSE(Exists("missing"));
}

TEST_F(AtomicFileTest, NewNamesFollowTheFormOfTheirFolder) {
  const std::string sjis = "\x83\x5a\x81\x5b\x83\x75";  // セーブ
  const std::string utf8 = "\xe3\x82\xbb\xe3\x83\xbc\xe3\x83\x96";
  std::filesystem::create_directory(dir_ / "plain");
  std::filesystem::create_directory(dir_ / "raw");
  WriteFile(std::string("raw/") + "\x95\x9f.dat", "");  // a raw Shift_JIS name copied from Windows
  struct Case {
    const char* folder;
    std::string expected;
  } cases[] = {{"plain", utf8}, {"raw", sjis}};
  for (const Case& c : cases) {
    ASSERT_TRUE(SaveFile(std::string(c.folder) + "\\" + sjis, "1", 1)) << c.folder;
    EXPECT_TRUE(Exists(std::string(c.folder) + "/" + c.expected)) << c.folder;
  }
  EXPECT_EQ(NewEntryName((dir_ / "plain").string(), "ascii.txt"), "ascii.txt");
}

}  // namespace
