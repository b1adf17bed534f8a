// Compiled scripts calling the text builtins on real script threads.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "compiler/compiler.h"
#include "platform/text_encoding.h"
#include "runtime/script_runner.h"
#include "script_folder.h"
#include "vm_machine.h"

namespace {

namespace fs = std::filesystem;

class TextScriptTest : public ScriptFolderTest {
 protected:
  // Runs main.c and returns main's result; 0 when it did not end by itself.
  uint32_t Run(const std::string& source) {
    ScriptRun run = RunMain(source);
    EXPECT_TRUE(run.loaded) << Errors();
    EXPECT_TRUE(run.main_ended) << Errors();
    return run.main_ended ? run.main_result : 0;
  }
};

// Each check returns its own number on failure, 100 when all pass.
TEST_F(TextScriptTest, StringsAndFormatting) {
  EXPECT_EQ(Run(R"script(
int main() {
  char buf[64];
  char *p;
  int n;
  n = sprintf(buf, "%d,%d", 1, 2);
  if (n != 3 || strcmp(buf, "1,2") != 0) return 1;
  sprintf(buf, "[%5s|%-4d|%04X|%c]", "ab", 7, 255, 'z');
  if (strcmp(buf, "[   ab|7   |00FF|z]") != 0) return 2;
  ftoa(buf, 1.5);
  if (strcmp(buf, "1.500000") != 0) return 3;
  p = strchr("a.b.c", '.');
  if (p[1] != 'c') return 4;
  strcpy(buf, "one two  three");
  n = 0;
  p = strtok(buf, " ");
  while (p) { n++; p = strtok(0, " "); }
  if (n != 3) return 5;
  p = strndup("abcde", 3);
  if (strlen(p) != 3 || strcmp(p, "abc") != 0) return 6;
  free(p);
  if (strtol("  0x1f", 0, 0) != 31) return 7;
  if (memcpy(buf, "xyz", 4) != 1 || strcmp(buf, "xyz") != 0) return 8;
  if (hash32("abc") != 0x024A0126) return 9;
  if (crc32("123456789", 9) != 0xFC891918) return 10;
  if (crc16("123456789", 9) != 0xFFFFD64E) return 11;
  return 100;
}
)script"),
            100u);
}

TEST_F(TextScriptTest, RegionsAreReadFromScriptMemory) {
  EXPECT_EQ(Run(R"script(
int main() {
  int re;
  int *region;
  int *beg;
  int *end;
  re = reg_new("([0-9]+)-([0-9]+)");
  if (re == 0) return 1;
  region = match_new();
  if (reg_search(re, "ab 12-345", 9, 0, 9, region) != 3) return 2;
  if (region[1] != 3) return 3;
  beg = region[2];
  end = region[3];
  if (beg[0] != 3 || end[0] != 9 || beg[1] != 3 || end[1] != 5 || beg[2] != 6 || end[2] != 9) return 4;
  if (reg_match(re, "12-3", 4, 0, region) != 4) return 5;
  if (reg_search(re, "none", 4, 0, 4, 0) != -1) return 6;
  if (reg_new("(") != 0) return 7;
  match_free(region);
  reg_free(re);
  return 100;
}
)script"),
            100u);
}

TEST_F(TextScriptTest, BlocksOutliveTheScriptThatAllocatedThem) {
  std::ofstream(dir_ / "alloc.c") << "#include \"keva.h\"\n"
                                     "extern char *block;\n"
                                     "int main() { block = strdup(\"kept\"); return 1; }\n";
  EXPECT_EQ(Run(R"script(
extern char *block;
int main() {
  char *grown;
  if (call("alloc.c") != 1) return 1;
  if (strcmp(block, "kept") != 0) return 2;
  grown = realloc(block, 100000);
  if (grown == 0 || strcmp(grown, "kept") != 0) return 3;
  free(grown);
  return 100;
}
)script"),
            100u);
}

TEST_F(TextScriptTest, StrtokKeepsAPositionPerThread) {
  // Both threads tokenize at the same time; each builtin call ends a slice,
  // so their calls interleave.
  EXPECT_EQ(Run(R"script(
int done;
int count_b;
int other(int x) {
  char buf[32];
  char *p;
  int n;
  strcpy(buf, "1 2 3 4 5");
  n = 0;
  p = strtok(buf, " ");
  while (p) { n++; p = strtok(0, " "); }
  count_b = n;
  done = 1;
  return 0;
}
int main() {
  char buf[32];
  char *p;
  int n;
  thd_begin(other, 0, 0, 0);
  strcpy(buf, "a,b,c");
  n = 0;
  p = strtok(buf, ",");
  while (p) { n++; p = strtok(0, ","); }
  while (!done) sleep(1);
  return n * 10 + count_b;
}
)script"),
            35u);
}

}  // namespace
