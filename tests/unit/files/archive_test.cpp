#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

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

// The writer's order is the Windows one: punctuation before digits before
// letters, ' and - weighing only between otherwise equal names.
TEST(MemberNames, WindowsOrder) {
  const struct {
    const char *a, *b;
    int sign;
  } cases[] = {
      {"bg\\x.bmp", "bg2\\y.bmp", -1},  // `\` before digits (bytewise it is after)
      {"a_b", "a1", -1},
      {"a.b", "a_b", -1},
      {"a~", "a+", -1},                   // + < = > after the other punctuation
      {"a>", "a0", -1},
      {"9", "10", 1},                     // digits one by one, not as numbers
      {"a9", "aB", -1},
      {"Zz", "zZ", 0},
      {"a-c", "ab", 1},                   // the hyphen weighs nothing at first
      {"co-op", "coop", -1},              // ... and counts only between equals
      {"it's", "its", -1},
      {"z", "\xB1", -1},                  // single-byte kana after the letters
      {"\xB1", "\x83\x41", -1},           // and before two-byte characters
      {"a", "a.", -1},                    // a prefix first
  };
  for (const auto& c : cases) {
    int got = CompareMemberNames(c.a, c.b);
    EXPECT_EQ((got > 0) - (got < 0), c.sign) << c.a << " vs " << c.b;
    int back = CompareMemberNames(c.b, c.a);
    EXPECT_EQ((back > 0) - (back < 0), -c.sign) << c.b << " vs " << c.a;
  }
}

class ArchiveTest : public FilesTest {
 protected:
  // An archive whose table lists the members in exactly the order given.
  std::string RawArchive(std::string_view name, const std::vector<std::pair<std::string, std::string>>& members) {
    std::string names, data;
    std::vector<uint32_t> words;
    uint32_t start = 20 + 12 * static_cast<uint32_t>(members.size());
    for (const auto& [n, d] : members) start += static_cast<uint32_t>(n.size() + 1);
    for (const auto& [n, d] : members) {
      words.insert(words.end(), {static_cast<uint32_t>(names.size()), start + static_cast<uint32_t>(data.size()),
                                 static_cast<uint32_t>(d.size())});
      names += n + std::string(1, '\0');
      data += d;
    }
    ArchiveKeyStream key(99);
    std::string bytes = "QZR-ARC2";
    auto put = [&](uint32_t v) { bytes.append(reinterpret_cast<const char*>(&v), 4); };
    put(99);
    put(static_cast<uint32_t>(members.size()) ^ key.Next());
    put(static_cast<uint32_t>(names.size()) ^ key.Next());
    for (uint32_t w : words) put(w ^ key.Next());
    return dir.Write(name, bytes + names + data);
  }
};

TEST_F(ArchiveTest, MembersAreFoundWhateverTheTableOrder) {
  // as a Windows writer sorts them, and in orders no comparison gives
  MakeArchive("w.bin", {{"bg\\x.bmp", "x"}, {"bg2\\y.bmp", "y"}, {"bg-2\\z.bmp", "z"}, {"bg_1.bmp", "1"}});
  RawArchive("r.bin", {{"c", "3"}, {"b\\z", "2"}, {"B2", "22"}, {"a", "1"}, {"A_", "4"}});
  RawArchive("s.bin", {{"m", "13"}, {"\x83\x41", "kana"}, {"0", "zero"}, {"~", "tilde"}});
  struct Case {
    std::string path;
    std::string expect;
  } cases[] = {
      {"w\\bg\\x.bmp", "x"}, {"w\\bg2\\y.bmp", "y"}, {"w\\BG-2\\Z.bmp", "z"}, {"w\\bg_1.bmp", "1"},
      {"r\\a", "1"},        {"r\\B\\Z", "2"},       {"r\\b2", "22"},           {"r\\c", "3"},
      {"r\\a_", "4"},       {"r\\d", "<none>"},    {"s\\M", "13"},            {"s\\\x83\x41", "kana"},
      {"s\\0", "zero"},     {"s\\~", "tilde"},
  };
  for (const Case& c : cases) EXPECT_EQ(OpenAndRead(dir / c.path), c.expect) << c.path;
}

// The table is read once per version of the archive file: a kept index is
// used while the file is unchanged, and a changed file is read anew.
TEST_F(ArchiveTest, IndexFollowsTheArchiveFile) {
  namespace fs = std::filesystem;
  const auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(48);
  std::string path = RawArchive("v.bin", {{"a", "one"}, {"b", "two"}});
  fs::last_write_time(path, old_time);
  // An index is kept only for a version whose times are a little in the past
  // (a write within the same clock step could not be told apart).
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  EXPECT_EQ(OpenAndRead(dir / "v/a"), "one");
  EXPECT_EQ(OpenAndRead(dir / "v/b"), "two");
  // a new version of the same file, of the same size, with the same old time
  RawArchive("v.bin", {{"a", "ONE"}, {"c", "two"}});
  fs::last_write_time(path, old_time);
  EXPECT_EQ(OpenAndRead(dir / "v/a"), "ONE");
  EXPECT_EQ(OpenAndRead(dir / "v/b"), "<none>");
  EXPECT_EQ(OpenAndRead(dir / "v/c"), "two");
  // another file put in its place
  std::string other = RawArchive("other.bin", {{"d", "four"}});
  fs::last_write_time(other, old_time);
  fs::rename(other, path);
  EXPECT_EQ(OpenAndRead(dir / "v/a"), "<none>");
  EXPECT_EQ(OpenAndRead(dir / "v/d"), "four");
  // a file rewritten just now, in place, is never taken for its older self
  for (int round = 0; round < 3; ++round) {
    std::string text = std::string("v").append(std::to_string(round));
    RawArchive("v.bin", {{"e", text}});
    EXPECT_EQ(OpenAndRead(dir / "v/e"), text);
  }
}

TEST_F(ArchiveTest, ArchivesInAFolderWithAJapaneseName) {
  // テスト ends in a byte that reads as a Shift_JIS lead byte
  const std::string folder = "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88 \xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88";
  MakeArchive(folder + "/bg.bin", {{"a.bmp", "picture"}});
  EXPECT_EQ(OpenAndRead(dir / (folder + "/bg\\A.BMP")), "picture");
  EXPECT_EQ(OpenAndRead(dir / (folder + "/old\\..\\bg\\a.bmp")), "picture");
}

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

TEST_F(ArchiveTest, ManyMembersFound) {
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
