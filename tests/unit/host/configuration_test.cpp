#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/settings.h"
#include "platform/profile.h"

namespace {

namespace fs = std::filesystem;

TEST(Profile, FindsValuesByTheProfileRules) {
  const std::string text =
      "; a comment\n[general]\nerror = 2\n  Title =  \"Quoted title\"  \n[Screen]\r\nWidth=800px\r\n"
      "Height = -12\r\n[Empty]\n";
  struct Case { const char* section; const char* key; bool found; const char* value; };
  const Case cases[] = {
      {"General", "Error", true, "2"},        {"GENERAL", "title", true, "Quoted title"},
      {"screen", "width", true, "800px"},     {"Screen", "Height", true, "-12"},
      {"Screen", "Depth", false, ""},         {"Missing", "Error", false, ""},
      {"Empty", "Width", false, ""},
  };
  for (const Case& c : cases) {
    std::string value;
    EXPECT_EQ(FindProfileValue(text, c.section, c.key, value), c.found) << c.section << "/" << c.key;
    if (c.found) {
      EXPECT_EQ(value, c.value) << c.section << "/" << c.key;
    }
  }
}

TEST(Profile, SetKeepsEveryOtherLine) {
  struct Case { const char* text; const char* section; const char* key; const char* value; const char* expected; };
  const Case cases[] = {
      {"", "Screen", "Width", "800", "[Screen]\nWidth=800\n"},
      {"[A]\nx=1\n; note\n[B]\ny=2\n", "a", "X", "5", "[A]\nX=5\n; note\n[B]\ny=2\n"},
      {"[A]\nx=1\n\n[B]\ny=2\n", "A", "z", "3", "[A]\nx=1\nz=3\n\n[B]\ny=2\n"},
      {"[A]\r\nx=1\r\n", "A", "x", "2", "[A]\r\nx=2\r\n"},
      {"[A]\nx=1", "B", "y", "2", "[A]\nx=1\n[B]\ny=2\n"},
      {"[A]\nx=1", "A", "y", "2", "[A]\nx=1\ny=2\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(SetProfileValue(c.text, c.section, c.key, c.value), c.expected) << c.text;
}

class Configuration : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("keva-config-" + std::to_string(::getpid()) + "-" +
                                         testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "game");
    fs::create_directories(root_ / "docs");
    paths_.module_directory = (root_ / "game").string() + "/";
    paths_.executable_name = "Game";
  }
  void TearDown() override { fs::remove_all(root_); }
  void Write(const fs::path& file, const std::string& text) { std::ofstream(root_ / file) << text; }
  std::string Read(const fs::path& file) {
    std::stringstream s;
    s << std::ifstream(root_ / file).rdbuf();
    return s.str();
  }
  void Load() { LoadConfiguration(settings_, paths_, (root_ / "docs").string()); }

  fs::path root_;
  Settings settings_;
  GamePaths paths_;
};

TEST_F(Configuration, DefaultsWithoutAnyFile) {
  Load();
  EXPECT_EQ(settings_.width, 640);
  EXPECT_EQ(settings_.height, 480);
  EXPECT_EQ(settings_.depth, 24);
  EXPECT_EQ(settings_.direct3d, 1);
  EXPECT_EQ(settings_.direct_sound, 1);
  EXPECT_EQ(settings_.stack_size, 262144);
  EXPECT_EQ(paths_.configuration_path, paths_.module_directory + "configure.cfg");
  ChooseMainScript(settings_, paths_);
  EXPECT_EQ(paths_.script_directory, "Game\\");
  EXPECT_EQ(paths_.main_script, "main.c");
}

TEST_F(Configuration, LaterFilesRefineKeyByKey) {
  Write("game/Game.cfg", "[Screen]\nWidth=800\nHeight=500\n[Window]\nTitle=First\n");
  Write("game/configure.cfg", "[Screen]\nWidth=1024\n");
  Load();
  EXPECT_EQ(settings_.width, 1024);
  EXPECT_EQ(settings_.height, 500);
  EXPECT_EQ(settings_.title, "First");
}

TEST_F(Configuration, InheritanceZeroIgnoresConfigureCfg) {
  Write("game/Game.cfg", "[General]\nInheritance=0\n[Screen]\nWidth=800\n");
  Write("game/configure.cfg", "[Screen]\nWidth=1024\n");
  Load();
  EXPECT_EQ(settings_.width, 800);
  EXPECT_EQ(paths_.configuration_path, paths_.module_directory + "Game.cfg");
}

TEST_F(Configuration, ProductMakesThePerUserFileTheLastWord) {
  Write("game/configure.cfg", "[General]\nProduct=Sample\n[Screen]\nWidth=1024\nHeight=768\n");
  Load();
  EXPECT_TRUE(fs::is_directory(root_ / "docs" / "TOLVEN" / "Sample"));
  EXPECT_EQ(paths_.configuration_path, (root_ / "docs" / "TOLVEN" / "Sample" / "configure.cfg").string());
  Write("docs/TOLVEN/Sample/configure.cfg", "[Screen]\nWidth=1280\n");
  Load();
  EXPECT_EQ(settings_.width, 1280);
  EXPECT_EQ(settings_.height, 768);
}

TEST_F(Configuration, WriteBackKeepsTheFileAndSavesOnlyItsKeys) {
  Write("game/configure.cfg", "; my settings\n[Screen]\nWidth=800\nFullScreen=1\n[Window]\nWindowLeft=30\n");
  Load();
  settings_.smoothing = 0;
  settings_.global_focus = 5;
  WriteBackSettings(settings_, paths_, false);
  EXPECT_EQ(Read("game/configure.cfg"),
            "; my settings\n[Screen]\nWidth=800\nFullScreen=0\nSmoothing=0\n[Window]\nWindowLeft=0\n"
            "WindowTop=0\nWindowWidth=0\nWindowHeight=0\n[Option]\nGlobalFocus=1\nGlobalSound=0\n");
  settings_.restore_bounds = 1;
  settings_.window_left = -20;
  WriteBackSettings(settings_, paths_, true);
  std::string value;
  std::string text = Read("game/configure.cfg");
  EXPECT_TRUE(FindProfileValue(text, "Window", "WindowLeft", value));
  EXPECT_EQ(value, "-20");
  EXPECT_TRUE(FindProfileValue(text, "Screen", "FullScreen", value));
  EXPECT_EQ(value, "1");
  for (const auto& entry : fs::directory_iterator(root_ / "game"))  // no temporary file left
    EXPECT_EQ(entry.path().filename(), "configure.cfg");
}

TEST_F(Configuration, MainScriptFromLoad) {
  struct Case { const char* load; const char* directory; const char* script; };
  const Case cases[] = {
      {"scripts\\start.c", "scripts\\", "start.c"},
      {"start.c", "", "start.c"},
      {"a\\b\\c.c", "a\\b\\", "c.c"},
      {"\x95\x5C\\a.c", "\x95\x5C\\", "a.c"},  // the trail byte of 表 is no separator
      {"\x95\x5C.c", "", "\x95\x5C.c"},
  };
  for (const Case& c : cases) {
    settings_.load = c.load;
    ChooseMainScript(settings_, paths_);
    EXPECT_EQ(paths_.script_directory, c.directory) << c.load;
    EXPECT_EQ(paths_.main_script, c.script) << c.load;
  }
}

}  // namespace
