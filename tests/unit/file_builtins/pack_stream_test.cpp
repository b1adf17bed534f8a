// Pack slots, streams, the system file and mload.
#include "builtins_fixture.h"
#include "files/archive.h"
#include "files/compressed.h"
#include "files/file_builtins.h"
#include "platform/file_system.h"

namespace {

constexpr uint32_t kFail = static_cast<uint32_t>(-1);

class FileBuiltinsTest : public BuiltinsTest {
 protected:
  void TearDown() override {
    CloseAllPackSlots();
    CloseAllStreams();
    BuiltinsTest::TearDown();
  }
};

TEST_F(FileBuiltinsTest, PackSlotsAreHandedOutLowestFirstAndBounded) {
  WriteFile("a.dat", "abcdef");
  uint32_t path = Str("A.DAT");
  for (uint32_t i = 1; i <= 16; ++i) EXPECT_EQ(Call(builtin_pack_open, {path}), i);
  EXPECT_EQ(Call(builtin_pack_open, {path}), 0u);
  EXPECT_EQ(Call(builtin_pack_close, {5}), 1u);
  EXPECT_EQ(Call(builtin_pack_close, {5}), 1u);  // an empty but valid handle
  EXPECT_EQ(Call(builtin_pack_open, {path}), 5u);
  for (uint32_t bad : {0u, 17u, kFail}) {
    EXPECT_EQ(Call(builtin_pack_close, {bad}), 0u) << bad;
    EXPECT_EQ(Call(builtin_pack_size, {bad}), kFail) << bad;
    EXPECT_EQ(Call(builtin_pack_seek, {bad, 0, 0}), kFail) << bad;
    EXPECT_EQ(Call(builtin_pack_read, {bad, Block(4), 4}), kFail) << bad;
  }
  EXPECT_EQ(Call(builtin_pack_open, {Str("missing.dat")}), 0u);
  EXPECT_EQ(Call(builtin_pack_open, {0}), 0u);
}

TEST_F(FileBuiltinsTest, PackSaveWritesACompressedFileThatReadsBackExpanded) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i % 7) + "\n";
  uint32_t data = Str(text);
  ASSERT_EQ(Call(builtin_pack_save, {Str("Saves\\Pack.bin"), data, static_cast<uint32_t>(text.size())}), 1u);
  std::string on_disk = ReadFile("Saves/Pack.bin");
  EXPECT_EQ(on_disk.substr(0, 4), std::string("kev\0", 4));
  EXPECT_LT(on_disk.size(), text.size());

  uint32_t h = Call(builtin_pack_open, {Str("saves\\pack.bin")});
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Call(builtin_pack_size, {h}), text.size());
  uint32_t buf = Block(text.size() + 16);
  EXPECT_EQ(Call(builtin_pack_read, {h, buf, static_cast<uint32_t>(text.size() + 16)}), text.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ToHost(buf)), text.size()), text);
  EXPECT_EQ(Call(builtin_pack_read, {h, buf, 16}), 0u);  // at the end
  EXPECT_EQ(Call(builtin_pack_seek, {h, 5, 0}), 5u);
  EXPECT_EQ(Call(builtin_pack_seek, {h, 1, 2}), kFail);
  EXPECT_EQ(Call(builtin_pack_read, {h, buf, 4}), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ToHost(buf)), 4), text.substr(5, 4));
  // Hostile reads: a negative size, a buffer running past the arena.
  EXPECT_EQ(Call(builtin_pack_read, {h, buf, kFail}), kFail);
  EXPECT_EQ(Call(builtin_pack_read, {h, 0xFFFFFFF0u, 64}), kFail);
  EXPECT_EQ(Call(builtin_pack_read, {h, 0, 4}), kFail);
}

TEST_F(FileBuiltinsTest, PackSlotsReadArchiveMembersButStreamsNeverDo) {
  const std::vector<std::string> names = {"inner.txt"};
  const std::string member = "member bytes";
  HostFile out = CreateHostFileForWrite((dir_ / "arc.bin").string());
  std::string error;
  ASSERT_TRUE(WriteArchive(out, names, 3,
                           [&](size_t, HostFile& f, std::string&) { return f.Write(member.data(), member.size()); },
                           error));
  ASSERT_TRUE(out.Close());
  uint32_t h = Call(builtin_pack_open, {Str("ARC\\inner.txt")});
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Call(builtin_pack_size, {h}), member.size());
  uint32_t buf = Block(32);
  EXPECT_EQ(Call(builtin_pack_read, {h, buf, 32}), member.size());
  EXPECT_EQ(Read(buf), member);
  EXPECT_EQ(Call(builtin_fopen, {Str("arc\\inner.txt"), Str("rb")}), 0u);
  uint32_t loaded = Call(builtin_mload, {Str("arc\\inner.txt"), 7, 5});
  ASSERT_NE(loaded, 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ToHost(loaded)), 5), "bytes");
  ArenaFree(loaded);
}

TEST_F(FileBuiltinsTest, PackSaveWithNothingToSaveKeepsTheOldFile) {
  WriteFile("keep.bin", "old");
  uint32_t data = Str("x");
  EXPECT_EQ(Call(builtin_pack_save, {Str("keep.bin"), data, 0}), 0u);
  EXPECT_EQ(Call(builtin_pack_save, {Str("keep.bin"), 0, 1}), 0u);
  EXPECT_EQ(Call(builtin_pack_save, {Str("keep.bin"), data, kFail}), 0u);
  EXPECT_EQ(Call(builtin_pack_save, {Str("keep.bin"), 0xFFFFFFF0u, 64}), 0u);
  EXPECT_EQ(ReadFile("keep.bin"), "old");
}

TEST_F(FileBuiltinsTest, StreamsFindExistingNamesWithoutCaseAndRoundTrip) {
  WriteFile("save/data01.sav", "");
  uint32_t f = Call(builtin_fopen, {Str("Save\\Data01.sav"), Str("wb")});
  ASSERT_NE(f, 0u);
  EXPECT_EQ(Call(builtin_fputs, {Str("first line\nsecond\n"), f}), 0u);
  uint32_t words = Block(8);
  SetWords(words, {0x11223344, 0x55667788});
  EXPECT_EQ(Call(builtin_fwrite, {words, 4, 2, f}), 2u);
  EXPECT_EQ(Call(builtin_ftell, {f}), 26u);
  EXPECT_EQ(Call(builtin_fclose, {f}), 0u);
  EXPECT_EQ(Call(builtin_fclose, {f}), kFail);  // closed twice
  EXPECT_EQ(Names("save"), std::vector<std::string>{"data01.sav"});

  f = Call(builtin_fopen, {Str("SAVE/DATA01.SAV"), Str("rb")});
  ASSERT_NE(f, 0u);
  uint32_t line = Block(64);
  EXPECT_EQ(Call(builtin_fgets, {line, 64, f}), line);
  EXPECT_EQ(Read(line), "first line\n");
  EXPECT_EQ(Call(builtin_fgets, {line, 4, f}), line);
  EXPECT_EQ(Read(line), "sec");
  EXPECT_EQ(Call(builtin_fseek, {f, static_cast<uint32_t>(-8), 2}), 0u);
  uint32_t back = Block(8);
  EXPECT_EQ(Call(builtin_fread, {back, 4, 4, f}), 2u);
  EXPECT_EQ(Word(back + 4), 0x55667788u);
  EXPECT_EQ(Call(builtin_fgets, {line, 64, f}), 0u);  // end of file
  EXPECT_EQ(Call(builtin_fseek, {f, 0, 3}), kFail);
  EXPECT_EQ(Call(builtin_fclose, {f}), 0u);
}

TEST_F(FileBuiltinsTest, StreamsRefuseHostileArguments) {
  WriteFile("a.txt", "abc");
  EXPECT_EQ(Call(builtin_fopen, {Str("a.txt"), Str("q")}), 0u);
  EXPECT_EQ(Call(builtin_fopen, {Str("a.txt"), Str("rx")}), 0u);
  EXPECT_EQ(Call(builtin_fopen, {Str("a.txt"), 0}), 0u);
  EXPECT_EQ(Call(builtin_fopen, {0, Str("rb")}), 0u);
  EXPECT_EQ(Call(builtin_fopen, {Str("missing.txt"), Str("rb")}), 0u);
  EXPECT_EQ(Call(builtin_fopen, {Str("nofolder\\x.txt"), Str("wb")}), 0u);
  std::filesystem::create_directory(dir_ / "folder");
  EXPECT_EQ(Call(builtin_fopen, {Str("folder"), Str("rb")}), 0u);
  uint32_t buf = Block(16);
  // Handles that were never opened: small numbers, and what a pointer would look like.
  for (uint32_t forged : {0u, 1u, 64u, 65u, 0x12345678u, kFail}) {
    EXPECT_EQ(Call(builtin_fclose, {forged}), kFail) << forged;
    EXPECT_EQ(Call(builtin_fread, {buf, 1, 4, forged}), 0u) << forged;
    EXPECT_EQ(Call(builtin_fwrite, {buf, 1, 4, forged}), 0u) << forged;
    EXPECT_EQ(Call(builtin_fseek, {forged, 0, 0}), kFail) << forged;
    EXPECT_EQ(Call(builtin_ftell, {forged}), kFail) << forged;
    EXPECT_EQ(Call(builtin_fgets, {buf, 16, forged}), 0u) << forged;
    EXPECT_EQ(Call(builtin_fputs, {Str("x"), forged}), kFail) << forged;
  }
  uint32_t f = Call(builtin_fopen, {Str("a.txt"), Str("r+b")});
  ASSERT_NE(f, 0u);
  // Huge counts, sizes whose product wraps, buffers past the arena.
  EXPECT_EQ(Call(builtin_fread, {buf, 0x10000, 0x10000, f}), 0u);
  EXPECT_EQ(Call(builtin_fread, {0xFFFFFFF0u, 1, 64, f}), 0u);
  EXPECT_EQ(Call(builtin_fwrite, {buf, 0xFFFFFFFFu, 0xFFFFFFFFu, f}), 0u);
  EXPECT_EQ(Call(builtin_fgets, {buf, kFail, f}), 0u);
  EXPECT_EQ(Call(builtin_fgets, {0xFFFFFFF0u, 64, f}), 0u);
  EXPECT_EQ(Call(builtin_fputs, {0, f}), kFail);
  EXPECT_EQ(ReadFile("a.txt"), "abc");
}

TEST_F(FileBuiltinsTest, SystemFileIsReadOnRequestAndWrittenAtStop) {
  uint32_t buf = Block(8, 0xAB);
  EXPECT_EQ(Call(builtin_sysio, {1}), 0u);  // nothing registered: nothing written
  EXPECT_EQ(Names(), std::vector<std::string>{});
  EXPECT_EQ(Call(builtin_sysfile, {Str("Save\\system.dat"), buf, 8}), 0u);  // no file yet
  EXPECT_EQ(ToHost(buf)[0], 0xAB);
  std::memcpy(ToHost(buf), "SAVE0001", 8);
  EXPECT_EQ(Call(builtin_sysio, {1}), 1u);  // a missing save folder is made
  EXPECT_EQ(ReadFile("Save/system.dat"), "SAVE0001");
  std::memcpy(ToHost(buf), "zzzzzzzz", 8);
  EXPECT_EQ(Call(builtin_sysio, {0}), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ToHost(buf)), 8), "SAVE0001");
  // The current directory changes; the save still goes where it was registered.
  std::filesystem::create_directory(dir_ / "elsewhere");
  std::filesystem::current_path(dir_ / "elsewhere");
  std::memcpy(ToHost(buf), "SAVE0002", 8);
  WriteSystemFile();
  EXPECT_EQ(ReadFile("Save/system.dat"), "SAVE0002");
  EXPECT_EQ(Call(builtin_sysio, {1}), 0u);  // the registration is gone
  uint32_t name = Str("s.dat");
  struct Refused {
    uint32_t path, buffer, size;
  } refused[] = {{0, buf, 8}, {name, 0, 8}, {name, buf, 0}, {name, buf, kFail}, {name, 0xFFFFFFF0u, 64}};
  for (const Refused& r : refused) EXPECT_EQ(Call(builtin_sysfile, {r.path, r.buffer, r.size}), 0u);
  EXPECT_EQ(Call(builtin_sysio, {1}), 0u);
}

TEST_F(FileBuiltinsTest, SystemFileKeepsItsBytesWhenTheScriptMemoryGoes) {
  // The buffer lives in a block that is freed before the runtime stops (the
  // script's stack or program area at its end) and then reused.
  uint32_t block = ArenaAlloc(64);
  std::memcpy(ToHost(block + 8), "KEPTDATA", 8);
  EXPECT_EQ(Call(builtin_sysfile, {Str("kept.dat"), block + 8, 8}), 0u);
  std::memcpy(ToHost(block + 8), "LASTSAVE", 8);
  ArenaFree(block);
  uint32_t reuse = ArenaAlloc(64);
  std::memset(ToHost(reuse), 0, 64);
  WriteSystemFile();
  EXPECT_EQ(ReadFile("kept.dat"), "LASTSAVE");
  ArenaFree(reuse);

  // A block that moves when resized is followed.
  uint32_t small = ArenaAlloc(16);
  std::memcpy(ToHost(small), "MOVEDONE", 8);
  EXPECT_EQ(Call(builtin_sysfile, {Str("moved.dat"), small, 8}), 0u);
  uint32_t big = ArenaRealloc(small, 1 << 20);
  ASSERT_NE(big, 0u);
  std::memcpy(ToHost(big), "AFTERMOV", 8);
  WriteSystemFile();
  EXPECT_EQ(ReadFile("moved.dat"), "AFTERMOV");
  ArenaFree(big);
}

TEST_F(FileBuiltinsTest, MloadReadsAWholeFileOrAPart) {
  WriteFile("m.dat", "0123456789ABCDEFGHIJ");
  uint32_t whole = Call(builtin_mload, {Str("M.DAT"), 0, 0});
  ASSERT_NE(whole, 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ToHost(whole)), 20), "0123456789ABCDEFGHIJ");
  uint32_t part = Call(builtin_mload, {Str("m.dat"), 10, 4});
  ASSERT_NE(part, 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ToHost(part)), 4), "ABCD");
  // More than the file holds: the rest of the block is zero.
  uint32_t more = Call(builtin_mload, {Str("m.dat"), 18, 6});
  ASSERT_NE(more, 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ToHost(more)), 6), std::string("IJ\0\0\0\0", 6));
  EXPECT_EQ(Call(builtin_mload, {Str("missing"), 0, 0}), 0u);
  EXPECT_EQ(Call(builtin_mload, {0, 0, 0}), 0u);
  // A compressed file comes back expanded.
  ASSERT_EQ(WriteCompressedFile((dir_ / "c.bin").c_str(), "expanded text", 13), 1);
  uint32_t expanded = Call(builtin_mload, {Str("c.bin"), 0, 0});
  ASSERT_NE(expanded, 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ToHost(expanded)), 13), "expanded text");
  for (uint32_t b : {whole, part, more, expanded}) ArenaFree(b);
}

}  // namespace
