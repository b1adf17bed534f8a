// Test support for the file-system, file and shell builtins: a scratch folder
// that is the current directory during the test, script memory for strings
// and records, and handlers called as the dispatcher calls them.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/builtin.h"
#include "vm/arena.h"

class BuiltinsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ArenaStart());
    std::string tmpl = (std::filesystem::temp_directory_path() / "keva-builtins-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_cwd_);
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(dir_, ec);
    for (uint32_t b : blocks_) ArenaFree(b);
  }

  uint32_t Block(size_t bytes, uint8_t fill = 0) {
    uint32_t b = ArenaAlloc(bytes);
    EXPECT_NE(b, 0u);
    std::memset(ToHost(b), fill, bytes);
    blocks_.push_back(b);
    return b;
  }
  uint32_t Str(std::string_view s) {
    uint32_t b = Block(s.size() + 1);
    std::memcpy(ToHost(b), s.data(), s.size());
    return b;
  }
  static std::string Read(uint32_t addr) { return reinterpret_cast<const char*>(ToHost(addr)); }
  static uint32_t Word(uint32_t addr) {
    uint32_t v;
    std::memcpy(&v, ToHost(addr), 4);
    return v;
  }
  static void SetWords(uint32_t addr, std::initializer_list<uint32_t> words) {
    for (uint32_t w : words) {
      std::memcpy(ToHost(addr), &w, 4);
      addr += 4;
    }
  }
  uint32_t Call(BuiltinHandler h, std::initializer_list<uint32_t> args) {
    uint32_t b = Block(4 * args.size() + 4);
    SetWords(b, args);
    return h(BuiltinArgs{b});
  }

  // Files in the scratch folder.
  void WriteFile(const std::string& name, std::string_view bytes) {
    std::filesystem::path p = dir_ / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::string ReadFile(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  bool Exists(const std::string& name) { return std::filesystem::exists(dir_ / name); }
  // Names in a folder of the scratch folder, sorted.
  std::vector<std::string> Names(const std::string& folder = ".") {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_ / folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::filesystem::path dir_, old_cwd_;
  std::vector<uint32_t> blocks_;
};
