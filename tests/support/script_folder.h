// Test support: a temporary script folder holding the generated keva.h, set
// as the script directory, in which compiled scripts run on real script
// threads. The test target defines KEVA_SDK_HEADER (see the runtime tests).
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "compiler/compiler.h"
#include "platform/text_encoding.h"
#include "runtime/script_runner.h"
#include "vm_machine.h"

class ScriptFolderTest : public testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    dir_ = fs::temp_directory_path() / ("keva-scripts-" + std::to_string(::getpid()) + "-" +
                                        testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    fs::copy_file(KEVA_SDK_HEADER, dir_ / "keva.h", fs::copy_options::overwrite_existing);
    SetScriptDirectory((dir_.string() + "/").c_str());
    ShownErrors().clear();
    SetErrorBoxBackend(RecordErrorBox);
    ASSERT_TRUE(AllocExternalArea(65536));
  }
  void TearDown() override {
    FreeExternalArea();
    SetErrorBoxBackend(nullptr);
    SetScriptDirectory("");
    std::filesystem::remove_all(dir_);
  }

  void Write(const std::string& name, const std::string& text) { std::ofstream(dir_ / name) << text; }

  // Writes main.c (keva.h included first) and runs it to the end.
  ScriptRun RunMain(const std::string& source) {
    Write("main.c", "#include \"keva.h\"\n" + source);
    return RunScriptOnThreads("main.c", 20000);
  }

  // The error boxes shown so far, in UTF-8.
  std::string Errors() const {
    std::string all;
    for (const auto& e : ShownErrors()) all += SjisToUtf8(e) + "\n";
    return all;
  }

  std::filesystem::path dir_;
};
