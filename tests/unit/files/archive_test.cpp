#include <cstring>
#include <fstream>
#include <string>

#include "files/file_layer.h"
#include "files_fixture.h"

namespace {

std::string ReadAll(FastFile* f) {
  std::string out(GetFastFileSize(f), '\0');
  uint32_t got = 0;
  EXPECT_NE(ReadFastFile(f, out.data(), static_cast<uint32_t>(out.size()), &got), 0);
  out.resize(got);
  return out;
}

std::string OpenAndRead(const std::string& path) {
  FastFile* f = OpenFastFile(path.c_str());
  if (!f) return "<none>";
  std::string s = ReadAll(f);
  CloseFastFile(f);
  return s;
}

TEST(ArchiveKeyStream, KnownValues) {
  ArchiveKeyStream key(0x12345678);
  EXPECT_EQ(key.Next(), 0x854359DBu);
  EXPECT_EQ(key.Next(), 0xC565405Eu);
  EXPECT_EQ(key.Next(), 0x8A14AF0Bu);
  EXPECT_EQ(key.Next(), 0x44EDECB9u);
  EXPECT_EQ(key.Next(), 0x077A35F6u);
}

TEST(MemberNames, OrderFoldsLettersButNotTrailBytes) {
  EXPECT_EQ(CompareMemberNames("BG\\A.PNG", "bg\\a.png"), 0);
  EXPECT_NE(CompareMemberNames("bg/a.png", "bg\\a.png"), 0);
  EXPECT_LT(CompareMemberNames("a", "ab"), 0);
  EXPECT_LT(CompareMemberNames("ab", "B"), 0);
  EXPECT_EQ(CompareMemberNames("\x82\x60", "\x82\x81"), 0);  // full-width Ａ and ａ
  EXPECT_NE(CompareMemberNames("\x83\x41", "\x83\x61"), 0);  // ア and ヂ: trail bytes are not letters
  EXPECT_GT(CompareMemberNames("\x83\x41", "z"), 0);         // bytes compare unsigned
}

class ArchiveTest : public FilesTest {};

TEST_F(ArchiveTest, WriterLayoutAndScrambledHeader) {
  std::string path = MakeArchive("w.bin", {{"b", "BB"}, {"A", "a"}}, 0x12345678);
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(bytes.size(), 20u + 24u + 4u + 3u);
  EXPECT_EQ(bytes.substr(0, 8), "QZR-ARC2");
  auto word = [&](size_t at) {
    uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  };
  EXPECT_EQ(word(8), 0x12345678u);
  EXPECT_EQ(word(12) ^ 0x854359DBu, 2u);  // member count
  EXPECT_EQ(word(16) ^ 0xC565405Eu, 4u);  // names size
  EXPECT_EQ(word(20) ^ 0x8A14AF0Bu, 0u);  // first member ("A") name offset
  EXPECT_EQ(word(24) ^ 0x44EDECB9u, 48u); // its data right after the names
  EXPECT_EQ(word(28) ^ 0x077A35F6u, 1u);
  EXPECT_EQ(bytes.substr(44, 4), std::string("A\0b\0", 4));
  EXPECT_EQ(bytes.substr(48), "aBB");
}

TEST_F(ArchiveTest, ManyMembersFoundByBinarySearch) {
  std::map<std::string, std::string> members;
  for (int i = 0; i < 300; ++i) {
    std::string name(1, 'f');
    name += std::to_string(i * 7919 % 1000);
    members[name] = std::to_string(i);
  }
  MakeArchive("many.bin", members);
  for (const auto& [name, data] : members) EXPECT_EQ(OpenAndRead(dir / ("many/" + name)), data) << name;
  EXPECT_EQ(OpenAndRead(dir / "many/f1001"), "<none>");
  EXPECT_EQ(OpenAndRead(dir / "many/"), "<none>");
}

TEST_F(ArchiveTest, PrefixWalk) {
  MakeArchive("a.bin", {{"x", "from a"}});
  MakeArchive("a/b.bin", {{"c.dat", "from a/b"}});
  MakeArchive("p.bin", {{"q\\r.dat", "from p"}});
  MakeArchive("p/q.bin", {{"r.dat", "from p/q"}});
  MakeArchive("l.bin", {{"loose.txt", "from l"}});
  dir.Write("l/loose.txt", "loose");

  struct Case {
    std::string path;
    std::string expect;
  } cases[] = {
      {"a\\b\\c.dat", "from a/b"},   // a.bin lacks the member: a\b.bin is still tried
      {"a/b/c.dat", "from a/b"},
      {"p\\q\\r.dat", "from p"},     // the shortest prefix wins
      {"p/q\\r.dat", "from p"},
      {"p/q/r.dat", "from p/q"},     // "q/r.dat" is not "q\r.dat"
      {"A\\B\\C.DAT", "from a/b"},   // archive and member names ignore case
      {"l\\loose.txt", "loose"},     // a loose file always wins
      {"a\\", "<none>"},             // a separator at the last byte never splits
      {"nosep.dat", "<none>"},
  };
  for (const Case& c : cases) EXPECT_EQ(OpenAndRead(dir / c.path), c.expect) << c.path;
}

TEST_F(ArchiveTest, SeparatorAtFirstByteAndTrailByteNeverSplit) {
  // With the cwd as the directory the archive names are relative.
  std::string cwd = std::filesystem::current_path().string();
  std::filesystem::current_path(dir.path);
  MakeArchive(".bin", {{"x.dat", "empty prefix"}});
  MakeArchive("\x95.bin", {{"x.dat", "lead byte alone"}});  // 表 is 0x95 0x5C
  EXPECT_EQ(OpenAndRead("\\x.dat"), "<none>");
  EXPECT_EQ(OpenAndRead("/x.dat"), "<none>");
  EXPECT_EQ(OpenAndRead("\x95\x5C" "x.dat"), "<none>");
  MakeArchive("\x95\x5C.bin", {{"x.dat", "whole character"}});
  EXPECT_EQ(OpenAndRead("\x95\x5C\\x.dat"), "whole character");
  std::filesystem::current_path(cwd);
}

TEST_F(ArchiveTest, MemberSeekReadAndSize) {
  MakeArchive("s.bin", {{"before", "XXXX"}, {"m", "0123456789"}, {"z", "YYYY"}});
  FastFile* f = OpenFastFile((dir / "s/m").c_str());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(GetFastFileSize(f), 10u);
  EXPECT_EQ(ReadFastFileByte(f), '0');
  EXPECT_EQ(ReadFastFileShort(f), uint16_t{'1' | '2' << 8});

  const SeekCase cases[] = {
      {10, kSeekSet, 10, 10}, {11, kSeekSet, -1, 10}, {-1, kSeekSet, -1, 10},
      {0, kSeekEnd, 10, 10},  {-10, kSeekEnd, 0, 0},  {-11, kSeekEnd, -1, 0},
      {1, kSeekEnd, -1, 0},   {4, kSeekCurrent, 4, 4}, {-5, kSeekCurrent, -1, 4},
      {6, kSeekCurrent, 10, 10}, {1, kSeekCurrent, -1, 10}, {5, 3, 5, 10},
  };
  CheckSeeks([f](int32_t offset, int origin) { return SeekFastFile(f, offset, origin); }, cases);
  // Reads stop at the member's end.
  SeekFastFile(f, 7, kSeekSet);
  char buf[16];
  uint32_t got = 0;
  EXPECT_NE(ReadFastFile(f, buf, sizeof buf, &got), 0);
  EXPECT_EQ(std::string(buf, got), "789");
  EXPECT_NE(ReadFastFile(f, buf, sizeof buf, &got), 0);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(ReadFastFileByte(f), 0);
  CloseFastFile(f);
  EXPECT_TRUE(boxes().empty());
}

TEST_F(ArchiveTest, BrokenArchivesAreRefusedWithTheReadMessage) {
  std::string good = MakeArchive("g.bin", {{"c/m", "data"}, {"c/n", "more"}});
  std::ifstream in(good, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  auto flip = [&](size_t at, uint32_t x) {
    std::string b = bytes;
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(b[at + i] ^ (x >> (8 * i)));
    return b;
  };
  struct Case {
    const char* what;
    std::string contents;
  } cases[] = {
      {"short header", bytes.substr(0, 19)},
      {"wrong magic", "QZR-ARC1" + bytes.substr(8)},
      {"count past the file", flip(12, 0x00010000)},
      {"names past the file", flip(16, 0x00010000)},
      {"name offset outside the names", flip(20, 0x00000100)},
      {"data past the file", flip(28, 0x00001000)},
      {"table cut short", bytes.substr(0, 30)},
  };
  // A healthy deeper archive with the same member is not reached either.
  MakeArchive("b/c.bin", {{"m", "deeper"}});
  for (const Case& c : cases) {
    dir.Write("b.bin", c.contents);
    boxes().clear();
    EXPECT_EQ(OpenFastFile((dir / "b/c/m").c_str()), nullptr) << c.what;
    EXPECT_EQ(OpenExpFile((dir / "b/c/m").c_str()), nullptr) << c.what;
    ASSERT_EQ(boxes().size(), 2u) << c.what;
    EXPECT_EQ(boxes()[0].substr(0, kReadFailedPrefix.size()), kReadFailedPrefix) << c.what;
    EXPECT_NE(boxes()[0].find(dir / "b/c/m"), std::string::npos);
  }
}

TEST_F(ArchiveTest, MessagesOnlyAtLevelTwo) {
  EXPECT_EQ(OpenFastFile((dir / "none/such").c_str()), nullptr);
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_EQ(boxes()[0].substr(0, kOpenFailedPrefix.size()), kOpenFailedPrefix);
  SetErrorLevel(1);
  EXPECT_EQ(OpenFastFile((dir / "none/such").c_str()), nullptr);
  EXPECT_EQ(boxes().size(), 1u);
}

}  // namespace
