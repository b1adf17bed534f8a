// Compiled scripts calling the math and blit geometry builtins through the
// builtin table on a script thread.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "compiler/compiler.h"
#include "platform/text_encoding.h"
#include "runtime/script_runner.h"
#include "script_folder.h"
#include "vm_machine.h"

namespace {

namespace fs = std::filesystem;

class MathScriptTest : public ScriptFolderTest {
 protected:
  // Runs main.c; its result names the first check that failed (0: none).
  uint32_t Run(const std::string& source) {
    ScriptRun run = RunMain(source);
    EXPECT_TRUE(run.loaded) << Errors();
    EXPECT_TRUE(run.main_ended) << Errors();
    return run.main_result;
  }
};

TEST_F(MathScriptTest, TablesGeneratorAndIntegers) {
  EXPECT_EQ(Run("int main() {\n"
                "  int first;\n"
                "  if (tsin(512) != 65536) return 1;\n"
                "  if (tcos(1024) != -65536) return 2;\n"
                "  if (tatan(3, -3) != 1792) return 3;\n"
                "  if (abs(-7) != 7 || sgn(-7) != -1) return 4;\n"
                "  srand(4357);\n"
                "  first = rand();\n"
                "  if (first != 719735491) return 5;\n"
                "  srand(4357);\n"
                "  if (rand() != first) return 6;\n"
                "  return 0;\n"
                "}\n"),
            0u);
}

TEST_F(MathScriptTest, FloatsAndKeyFrames) {
  // Float arguments and results travel as single-precision words.
  EXPECT_EQ(Run("float track[8];\n"
                "int main() {\n"
                "  float x;\n"
                "  x = sqrt(16.0);\n"
                "  if (x != 4.0) return 1;\n"
                "  if (floor(-1.5) != -2.0) return 2;\n"
                "  if (linear(2.0, 10.0, 0.25) != 4.0) return 3;\n"
                "  kf_setkey(track, 0.0, 2.0);\n"
                "  kf_setkey(track + 4, 1.0, 10.0);\n"
                "  if (kf_getkey(track, 2, 0.5, 1) != 6.0) return 4;\n"
                "  if (kf_getindex(track, 2, 0.5) != 0) return 5;\n"
                "  if (kf_getindex(track, 2, 1.0) != -1) return 6;\n"
                "  x = random();\n"
                "  if (x < 0.0 || x > 1.0) return 7;\n"
                "  return 0;\n"
                "}\n"),
            0u);
}

TEST_F(MathScriptTest, PlanesCopiedScaledAndFilled) {
  // A 2 x 2 source doubled into a 4 x 4 plane, then copied at a negative
  // position, then a translucent fill.
  EXPECT_EQ(Run("int src_rect[4];\n"
                "int main() {\n"
                "  galloc(20, 2, 2, 32);\n"
                "  galloc(21, 4, 4, 32);\n"
                "  gclear(20, 0, 0x00FF0000);\n"
                "  src_rect[0] = 1; src_rect[1] = 1; src_rect[2] = 2; src_rect[3] = 2;\n"
                "  gclear(20, src_rect, 0x000000FF);\n"
                "  if (gblit(21, 0, 20, 0, 0, 0) != 1) return 1;\n"
                "  if (getpixel(21, 1, 1) != 0xFF0000) return 2;\n"
                "  if (getpixel(21, 2, 2) != 0x0000FF || getpixel(21, 3, 3) != 0x0000FF) return 3;\n"
                "  if (getpixel(21, 2, 1) != 0xFF0000) return 4;\n"
                "  gclear(21, 0, 0);\n"
                "  if (gcopy(21, -1, -1, 20, 0, 0) != 1) return 5;\n"
                "  if (getpixel(21, 0, 0) != 0x0000FF || getpixel(21, 1, 1) != 0) return 6;\n"
                "  src_rect[0] = 5; src_rect[1] = 5; src_rect[2] = 9; src_rect[3] = 9;\n"
                "  if (gcopy(21, 0, 0, 20, src_rect, 0) != 0) return 7;\n"
                "  if (gfill(21, 0, 0, 4, 4, 0xFF00FF00) != 1) return 8;\n"
                "  if (getpixel(21, 3, 3) != 0x00FF00) return 9;\n"
                "  if (gblita(21, 0, 20, 0, 0, 512) != 1) return 10;\n"
                "  return 0;\n"
                "}\n"),
            0u);
}

}  // namespace
