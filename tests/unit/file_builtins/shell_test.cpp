// Command lines, programs that may or may not run here, message boxes
// without a window.
#include <sys/stat.h>

#include <thread>

#include "builtins_fixture.h"
#include "runtime/shell_builtins.h"

namespace {

using ShellTest = BuiltinsTest;
using Words = std::vector<std::string>;

TEST(CommandLineTest, SplitsTheWayTheWindowsRuntimeDoes) {
  struct Case {
    const char* line;
    Words args;
  } cases[] = {
      {"prog a b", {"prog", "a", "b"}},
      {"  prog   a\t b  ", {"prog", "a", "b"}},
      {"\"C:\\Program Files\\x.exe\" -f", {"C:\\Program Files\\x.exe", "-f"}},
      {"p \"a b\" c", {"p", "a b", "c"}},
      {"p a\\\\b", {"p", "a\\\\b"}},            // backslashes before no quote stay
      {"p a\\\"b", {"p", "a\"b"}},              // 1 backslash + quote: literal quote
      {"p a\\\\\"b c\"", {"p", "a\\b c"}},      // 2 backslashes + quote: one backslash, quote opens
      {"p a\\\\\\\"b", {"p", "a\\\"b"}},        // 3 backslashes + quote: one backslash, literal quote
      {"p \"a\"\"b\"", {"p", "a\"b"}},          // "" inside quotes: a quote
      {"p \"\"", {"p", ""}},                    // an empty argument
      {"p \"unterminated arg", {"p", "unterminated arg"}},
      {"\"unterminated", {"unterminated"}},
      {"", {}},
      {"   ", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
}

TEST_F(ShellTest, ExecStartsProgramsOfThisPlatformOnly) {
  // A program of another platform is refused, whatever its mode.
  WriteFile("game.exe", std::string("MZ\x90\0", 4) + std::string(60, '\0'));
  chmod((dir_ / "game.exe").c_str(), 0755);
  WriteFile("run.sh", "#!/bin/sh\necho \"$1\" > started.txt\n");
  chmod((dir_ / "run.sh").c_str(), 0755);
  WriteFile("plain.txt", "not a program");
  struct Case {
    const char* line;
    uint32_t result;
  } cases[] = {
      {"game.exe", 0},
      {"GAME.EXE -window", 0},
      {"other.exe", 0},                  // nothing of that name
      {"no-such-program-here", 0},
      {"plain.txt", 0},                  // not executable
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(Call(builtin_exec, {Str(c.line)}), c.result) << c.line;
  EXPECT_EQ(Call(builtin_exec, {0}), 0u);
  EXPECT_EQ(Call(builtin_exec, {Str("RUN.SH \"two words\"")}), 1u);
  for (int i = 0; i < 500 && ReadFile("started.txt").empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ReadFile("started.txt"), "two words\n");
  EXPECT_EQ(Call(builtin_exec, {Str("true")}), 1u);  // found in PATH
}

TEST_F(ShellTest, ShellRefusesWhatItCannotOpen) {
  WriteFile("game.exe", "MZ");
  EXPECT_EQ(Call(builtin_shell, {Str("print"), Str("plain.txt"), 0}), 0u);
  EXPECT_EQ(Call(builtin_shell, {Str("open"), Str("missing.txt"), 0}), 0u);
  EXPECT_EQ(Call(builtin_shell, {Str("open"), Str("game.exe"), 0}), 0u);
  EXPECT_EQ(Call(builtin_shell, {0, 0, 0}), 0u);
}

TEST_F(ShellTest, MessageBoxesWithoutAWindowAnswerWithTheDefaultButton) {
  struct Case {
    uint32_t type, answer;
  } cases[] = {
      {0x00, 1},          // OK
      {0x01, 1},          // OK, Cancel
      {0x101, 2},         // ... the second one by default
      {0x02, 3},          // Abort, Retry, Ignore
      {0x202, 5},
      {0x23, 6},          // Yes, No, Cancel with a question icon
      {0x34, 6},          // Yes, No
      {0x104, 7},
      {0x05, 4},          // Retry, Cancel
      {0x206, 11},        // Cancel, Try Again, Continue
      {0x304, 6},         // a default past the buttons falls back to the first
      {0x07, 0},          // no such button set
      {0x0F, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(Call(builtin_mbox, {c.type, Str("Title"), Str("Text")}), c.answer) << c.type;
  EXPECT_EQ(Call(builtin_mbox, {0, 0, 0}), 1u);  // no texts
  EXPECT_EQ(Call(builtin_caption, {Str("Caption")}), 1u);
  EXPECT_EQ(Call(builtin_caption, {0}), 0u);
  EXPECT_EQ(Call(builtin_wallpaper, {Str("none.bmp"), 3}), 1u);
  EXPECT_EQ(Call(builtin_wallpaper, {0, 0}), 1u);
}

}  // namespace
