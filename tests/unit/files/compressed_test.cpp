#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "files/compressed.h"
#include "files/file_layer.h"
#include "files_fixture.h"

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Packs codes MSB first, the way compressed streams are laid out.
struct CodePacker {
  std::string bytes;
  int used = 0;  // bits used in the last byte
  void Put(uint32_t value, int width) {
    for (int b = width - 1; b >= 0; --b) {
      if (used == 0) bytes += '\0';
      if ((value >> b) & 1) bytes.back() = static_cast<char>(bytes.back() | (0x80 >> used));
      used = (used + 1) % 8;
    }
  }
};

std::string Header(uint32_t length) {
  CodePacker p;
  p.Put(kCompressedMagic, 32);
  p.Put(length, 32);
  return p.bytes;
}

// One event of a parsed code stream.
struct Code {
  uint32_t value;
  int width;
};

// Reads back every code of a compressed file, following BUMP and FLUSH.
std::vector<Code> ParseCodes(const std::string& file) {
  std::vector<Code> codes;
  size_t bit = 64;
  int width = 9;
  while (bit + width <= file.size() * 8) {
    uint32_t v = 0;
    for (int i = 0; i < width; ++i, ++bit) v = (v << 1) | ((static_cast<uint8_t>(file[bit / 8]) >> (7 - bit % 8)) & 1);
    codes.push_back({v, width});
    if (v == 256) break;
    if (v == 257) ++width;
    if (v == 258) width = 9;
  }
  return codes;
}

// Game-like data: runs, text, noise and repeated records.
std::string VariedData(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string out;
  const char* words[] = {"sprite", "plane", "sound", " ", "\x82\xA0", "\r\n", "layer", "0123"};
  while (out.size() < size) {
    switch (rng() % 4) {
      case 0: out.append(1 + rng() % 64, static_cast<char>(rng())); break;
      case 1: for (int i = 0; i < 20; ++i) out += words[rng() % 8]; break;
      case 2: for (int i = 0; i < 32; ++i) out += static_cast<char>(rng()); break;
      default: out += out.substr(out.size() / 2, std::min<size_t>(out.size() / 2, 200)); break;
    }
  }
  out.resize(size);
  return out;
}

std::string ExpandFile(const std::string& path, int32_t* size = nullptr) {
  ExpFile* e = OpenExpFile(path.c_str());
  if (!e) return "<none>";
  std::string out(static_cast<size_t>(GetExpFileSize(e)), '\0');
  if (size) *size = GetExpFileSize(e);
  uint32_t got = 0;
  EXPECT_NE(ReadExpFile(e, out.data(), static_cast<uint32_t>(out.size()), &got), 0);
  out.resize(got);
  CloseExpFile(e);
  return out;
}

class CompressedTest : public FilesTest {};

TEST_F(CompressedTest, OneByteIsEightHeaderBytesAndThree) {
  std::string path = dir / "one.kev";
  ASSERT_EQ(WriteCompressedFile(path.c_str(), "A", 1), 1);
  // 'A' (0x41) and END (256), nine bits each: 001000001 100000000 + six zero bits.
  EXPECT_EQ(Slurp(path), std::string("kev\0\0\0\0\x01\x20\xC0\x00", 11));
  EXPECT_EQ(ExpandFile(path), "A");
}

TEST_F(CompressedTest, EmptyDataIsEndAlone) {
  std::string path = dir / "empty.kev";
  ASSERT_EQ(WriteCompressedFile(path.c_str(), "", 0), 1);
  EXPECT_EQ(Slurp(path), std::string("kev\0\0\0\0\0\x80\x00", 10));
  int32_t size = -2;
  EXPECT_EQ(ExpandFile(path, &size), "");
  EXPECT_EQ(size, 0);
}

TEST_F(CompressedTest, BumpAndFlushWhereTheCoderPlacesThem) {
  std::string data = VariedData(400 * 1024, 1);
  std::string path = dir / "big.kev";
  ASSERT_EQ(WriteCompressedFile(path.c_str(), data.data(), static_cast<uint32_t>(data.size())), 1);
  std::string file = Slurp(path);
  std::vector<Code> codes = ParseCodes(file);
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.back().value, 256u);

  // Count the string codes of each generation and check every control code.
  int strings = 0, flushes = 0, width = 9;
  for (const Code& c : codes) {
    EXPECT_EQ(c.width, width);
    if (c.value == 257) {
      // Each string code defines one entry, so after n strings next code = 259 + n.
      EXPECT_EQ(259 + strings, (1 << width)) << "BUMP at the wrong place";
      ++width;
    } else if (c.value == 258) {
      EXPECT_EQ(259 + strings, 32768);
      EXPECT_EQ(c.width, 15);
      ++flushes;
      strings = 0;
      width = 9;
    } else if (c.value != 256) {
      EXPECT_LT(c.value, static_cast<uint32_t>(259 + strings)) << "code not yet defined";
      ++strings;
    }
  }
  EXPECT_GE(flushes, 1);
  EXPECT_EQ(ExpandFile(path), data);
}

TEST_F(CompressedTest, RoundTripsOfAwkwardData) {
  std::string cases[] = {
      std::string("ab"),
      std::string(100000, 'x'),              // long runs: the KwKwK case again and again
      std::string("\0\0\0\xFF\xFF", 5),
      VariedData(70000, 2),
  };
  for (const std::string& data : cases) {
    std::string path = dir / "rt.kev";
    ASSERT_EQ(WriteCompressedFile(path.c_str(), data.data(), static_cast<uint32_t>(data.size())), 1);
    EXPECT_EQ(ExpandFile(path), data) << data.size();
  }
}

TEST_F(CompressedTest, StreamWithoutEndKeepsAZeroTail) {
  CodePacker p{Header(6)};
  p.Put('a', 9);
  p.Put('b', 9);
  p.Put(259, 9);  // "ab"
  std::string path = dir.Write("noend.kev", p.bytes);
  EXPECT_EQ(ExpandFile(path), std::string("abab\0\0", 6));
}

TEST_F(CompressedTest, StreamLongerThanItsLengthFails) {
  CodePacker p{Header(3)};
  p.Put('a', 9);
  p.Put('b', 9);
  p.Put(259, 9);
  p.Put(256, 9);
  EXPECT_EQ(ExpandFile(dir.Write("long.kev", p.bytes)), "<none>");
  // Exactly the declared length is fine.
  p.bytes[7] = 4;
  EXPECT_EQ(ExpandFile(dir.Write("fits.kev", p.bytes)), "abab");
}

TEST_F(CompressedTest, CorruptStreamsFailSafely) {
  struct Case {
    const char* what;
    std::vector<std::pair<uint32_t, int>> codes;
  } cases[] = {
      {"code beyond the next one", {{'a', 9}, {300, 9}}},
      {"a generation starting with a string code", {{259, 9}}},
      {"width past 15", {{'a', 9}, {257, 9}, {257, 10}, {257, 11}, {257, 12}, {257, 13}, {257, 14}, {257, 15}}},
  };
  for (const Case& c : cases) {
    CodePacker p{Header(100)};
    for (auto [v, w] : c.codes) p.Put(v, w);
    EXPECT_EQ(ExpandFile(dir.Write("bad.kev", p.bytes)), "<none>") << c.what;
  }
  // Random streams behind a valid header never crash or overrun.
  std::mt19937 rng(3);
  for (int i = 0; i < 200; ++i) {
    std::string bytes = Header(rng() % 4096);
    for (int n = rng() % 512; n > 0; --n) bytes += static_cast<char>(rng());
    std::string path = dir.Write("random.kev", bytes);
    ExpandFile(path);
  }
  // A length no signed position can hold.
  EXPECT_EQ(ExpandFile(dir.Write("huge.kev", Header(0x80000000u) + "\x20\xC0")), "<none>");
  // A length the two bytes of codes behind it could never produce: refused
  // before 2 GiB are taken for it.
  EXPECT_EQ(ExpandFile(dir.Write("lie.kev", Header(0x7FFFFFFFu) + "\x20\xC0")), "<none>");
}

TEST_F(CompressedTest, PlainFilesAndInMemorySeeks) {
  EXPECT_EQ(ExpandFile(dir.Write("short.txt", "kev")), "kev");
  EXPECT_EQ(ExpandFile(dir.Write("almost.txt", std::string("kev\x01 plain", 9))), std::string("kev\x01 plain", 9));

  std::string path = dir / "seek.kev";
  ASSERT_EQ(WriteCompressedFile(path.c_str(), "0123456789", 10), 1);
  ExpFile* e = OpenExpFile(path.c_str());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(GetExpFileSize(e), 10);
  const SeekCase cases[] = {
      {10, kSeekSet, 10, 10}, {11, kSeekSet, -1, 10}, {-1, kSeekSet, -1, 10}, {1, kSeekEnd, -1, 10},
      {-10, kSeekEnd, 0, 0},  {3, kSeekCurrent, 3, 3}, {-4, kSeekCurrent, -1, 3}, {7, 9, 3, 3},
  };
  CheckSeeks([e](int32_t offset, int origin) { return SeekExpFile(e, offset, origin); }, cases);
  char buf[16];
  uint32_t got = 0;
  EXPECT_EQ(ReadExpFile(e, buf, sizeof buf, &got), 1);
  EXPECT_EQ(std::string(buf, got), "3456789");
  EXPECT_EQ(ReadExpFile(e, buf, sizeof buf, &got), 1);
  EXPECT_EQ(got, 0u);
  CloseExpFile(e);
}

TEST_F(CompressedTest, CompressedMemberOfAnArchive) {
  std::string data = VariedData(50000, 4);
  std::string loose = dir / "packed.kev";
  ASSERT_EQ(WriteCompressedFile(loose.c_str(), data.data(), static_cast<uint32_t>(data.size())), 1);
  // The member sits between two others, so a reader that ran past its end would see them.
  MakeArchive("arc.bin", {{"a", "AAAA"}, {"img\\bg.dat", Slurp(loose)}, {"z", "ZZZZ"}});
  EXPECT_EQ(ExpandFile(dir / "arc\\img\\bg.dat"), data);
  EXPECT_EQ(ExpandFile(dir / "arc/IMG\\BG.DAT"), data);
  EXPECT_TRUE(boxes().empty());
}

TEST_F(CompressedTest, UnwritablePathReportsTheCreateMessage) {
  std::string path = dir / "no/such/dir/x.kev";
  EXPECT_EQ(WriteCompressedFile(path.c_str(), "abc", 3), 0);
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_NE(boxes()[0].find(path), std::string::npos);
}

}  // namespace
