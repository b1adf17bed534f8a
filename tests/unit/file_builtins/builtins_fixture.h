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

#include "script_memory.h"

class BuiltinsTest : public ScriptMemoryTest {
 protected:
  void SetUp() override {
    ScriptMemoryTest::SetUp();
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
    ScriptMemoryTest::TearDown();
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
};
