// Shared pieces of the file-layer tests: a scratch directory, archives built
// on the fly, and capture of the error boxes the layer shows.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "files/archive.h"
#include "platform/error_box.h"
#include "platform/file_system.h"
#include "temp_dir.h"

inline std::vector<std::string>& CapturedBoxes() {
  static std::vector<std::string> boxes;
  return boxes;
}

// Error level 2 (file messages shown) with every box captured.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CapturedBoxes().clear();
    SetErrorLevel(2);
    SetErrorBoxBackend([](std::string_view, std::string_view text) { CapturedBoxes().emplace_back(text); });
  }
  void TearDown() override {
    SetErrorBoxBackend(nullptr);
    SetErrorLevel(1);
  }

  // Writes an archive holding the given members (name -> bytes) and returns its path.
  std::string MakeArchive(std::string_view name, const std::map<std::string, std::string>& members,
                          uint32_t seed = 7) {
    std::string path = dir.Write(name, "");
    std::vector<std::string> names;
    std::vector<std::string> data;
    for (const auto& [n, d] : members) {
      names.push_back(n);
      data.push_back(d);
    }
    HostFile out = CreateHostFileForWrite(path);
    std::string error;
    bool ok = WriteArchive(out, names, seed,
                           [&](size_t i, HostFile& f, std::string&) { return f.Write(data[i].data(), data[i].size()); },
                           error);
    EXPECT_TRUE(ok) << error;
    EXPECT_TRUE(out.Close());
    return path;
  }

  std::vector<std::string>& boxes() { return CapturedBoxes(); }

  TempDir dir;
};

// Start of each file-layer message, to tell them apart in the captured boxes.
inline const std::string kReadFailedPrefix = "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xCC\x93\xC7";  // ファイルの読
inline const std::string kOpenFailedPrefix = "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xCC\x83\x49";  // ファイルのオ

// One seek and where it must leave the position: the result (or -1) and the
// position afterwards.
struct SeekCase {
  int32_t offset;
  int origin;
  int32_t expect;
  int32_t then;
};

// Runs a table of seeks through seek(offset, origin).
template <typename Seek>
void CheckSeeks(Seek seek, std::span<const SeekCase> cases) {
  for (const SeekCase& c : cases) {
    EXPECT_EQ(seek(c.offset, c.origin), c.expect) << c.offset << " from " << c.origin;
    EXPECT_EQ(seek(0, 1), c.then) << c.offset << " from " << c.origin;
  }
}
