#include <gtest/gtest.h>

#include <string>

#include "files/file_layer.h"
#include "temp_dir.h"

namespace {

TEST(LooseFile, ReadSeekSizeThroughBothHandles) {
  TempDir dir;
  std::string path = dir.Write("plain.txt", "hello, world");

  FastFile* f = OpenFastFile(path.c_str());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(GetFastFileSize(f), 12u);
  char buf[16] = {};
  uint32_t got = 0;
  EXPECT_NE(ReadFastFile(f, buf, 5, &got), 0);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::string(buf, got), "hello");
  EXPECT_EQ(SeekFastFile(f, -5, kSeekEnd), 7);
  EXPECT_NE(ReadFastFile(f, buf, 16, &got), 0);
  EXPECT_EQ(std::string(buf, got), "world");
  EXPECT_EQ(CloseFastFile(f), 1);

  ExpFile* e = OpenExpFile(path.c_str());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(GetExpFileSize(e), 12);
  EXPECT_EQ(SeekExpFile(e, 7, kSeekSet), 7);
  EXPECT_NE(ReadExpFile(e, buf, 16, &got), 0);
  EXPECT_EQ(std::string(buf, got), "world");
  EXPECT_EQ(CloseExpFile(e), 1);
}

TEST(LooseFile, NoneAndMissing) {
  TempDir dir;
  EXPECT_EQ(OpenFastFile((dir / "missing").c_str()), nullptr);
  EXPECT_EQ(OpenExpFile((dir / "missing").c_str()), nullptr);
  EXPECT_EQ(OpenFastFile(dir.path.string().c_str()), nullptr);  // a directory is no file
  EXPECT_EQ(CloseFastFile(nullptr), 0);
  EXPECT_EQ(CloseExpFile(nullptr), 0);
  EXPECT_EQ(GetExpFileSize(nullptr), -1);
  EXPECT_EQ(SeekExpFile(nullptr, 0, kSeekSet), -1);
}

}  // namespace

namespace {

TEST(LooseFile, SmallLittleEndianReads) {
  TempDir dir;
  float f = 1.5f;
  std::string bytes = "\x01\x34\x12";
  bytes.append(reinterpret_cast<const char*>(&f), 4);
  bytes += "\x07";
  std::string path = dir.Write("model.bin", bytes);
  FastFile* file = OpenFastFile(path.c_str());
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(ReadFastFileByte(file), 1);
  EXPECT_EQ(ReadFastFileShort(file), 0x1234);
  EXPECT_EQ(ReadFastFileFloat(file), 1.5f);
  EXPECT_EQ(ReadFastFileShort(file), 0);  // one byte left: the read fails
  CloseFastFile(file);
}

}  // namespace

namespace {

// A folder copied from Windows: UTF-8 names in their own case, opened with the
// Shift_JIS, backslash-separated path a script writes.
TEST(LooseFile, WindowsStylePathsFindHostNames) {
  TempDir dir;
  dir.Write("Data/\xE8\xA1\xA8/Memo.txt", "memo");  // Data/表/Memo.txt
  std::string path = dir.path.string() + "\\DATA\\\x95\x5C\\MEMO.TXT";
  ExpFile* e = OpenExpFile(path.c_str());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(GetExpFileSize(e), 4);
  CloseExpFile(e);
}

}  // namespace
