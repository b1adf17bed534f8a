// Scripts compiled from source and run on script threads.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/clock.h"
#include "script_folder.h"

namespace {

class ScriptRunTest : public ScriptFolderTest {
 protected:
  ScriptRun Run(const std::string& main_source) { return RunMain(main_source); }
};

TEST_F(ScriptRunTest, CallReturnsTheCalledScriptsResult) {
  Write("seven.c", "int main() { return 7; }\n");
  // A game written for a file system that ignores case names its files in any case.
  ScriptRun run = Run("int main() { return call(\"seven.c\") * 10 + call(\"SEVEN.C\"); }\n");
  ASSERT_TRUE(run.loaded) << Errors();
  EXPECT_TRUE(run.main_ended);
  EXPECT_EQ(run.main_result, 77u);
}

TEST_F(ScriptRunTest, CallOfAMissingOrNonScriptFileGivesZero) {
  Write("data.txt", "int main() { return 7; }\n");
  ScriptRun run = Run("int main() { return call(\"missing.c\") + call(\"data.txt\") + call(\"noext\") + 40; }\n");
  ASSERT_TRUE(run.loaded) << Errors();
  EXPECT_EQ(run.main_result, 40u);
}

TEST_F(ScriptRunTest, TheThirtySecondNestedCallGivesZero) {
  // Each level records how deep it is; the call that would make the context
  // stack 33 deep is refused.
  Write("nest.c",
        "#include \"keva.h\"\n"
        "extern int depth; extern int refused_at;\n"
        "int main() { depth++; if (call(\"nest.c\") == 0 && refused_at == 0) refused_at = depth; return 1; }\n");
  ScriptRun run = Run("extern int depth; extern int refused_at;\n"
                      "int main() { call(\"nest.c\"); return refused_at; }\n");
  ASSERT_TRUE(run.loaded) << Errors();
  EXPECT_EQ(run.main_result, 31u);  // main plus 31 nested scripts fill the 32 entries
}

TEST_F(ScriptRunTest, JumpReplacesTheRunningScript) {
  Write("next.c", "int main() { return 5; }\n");
  ScriptRun run = Run("int main() { jump(\"next.c\"); return 9; }\n");
  ASSERT_TRUE(run.loaded) << Errors();
  EXPECT_TRUE(run.main_ended);
  EXPECT_EQ(run.main_result, 5u);
}

// main.c records where its program area starts (its first function lies 5
// bytes in, after the jump to main) and jumps to next.c, which waits for the
// test to look at the old area before it ends.
TEST_F(ScriptRunTest, JumpFreesTheOldProgramUnlessAThreadSharesIt) {
  Write("next.c",
        "#include \"keva.h\"\nextern int old_first; extern int go; extern int started;\n"
        "int main() { started = 1; while (!go) sleep(1); return 5; }\n");
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "a thread shares the old program" : "nothing shares it");
    std::memset(ToHost(ExternalAreaAddress()), 0, 12);
    Write("main.c", std::string("extern int old_first; extern int go; extern int started;\n") +
                        "int first() { while (!go) ; return 0; }\n"  // before the stubs of keva.h
                        "#include \"keva.h\"\n"
                        "int main() { old_first = first; " + (shared ? "thd_begin(first, 0, 0, 0); " : "") +
                        "jump(\"next.c\"); return 9; }\n");
    ScriptRun run;
    std::thread runner([&] { run = RunScriptOnThreads("main.c", 20000); });
    uint32_t* words = reinterpret_cast<uint32_t*>(ToHost(ExternalAreaAddress()));
    for (int i = 0; i < 10000 && !reinterpret_cast<volatile uint32_t*>(words)[2]; ++i) SleepMs(1);
    bool alive = ArenaIsBlock(words[0] - 5);
    reinterpret_cast<volatile uint32_t*>(words)[1] = 1;
    runner.join();
    ASSERT_TRUE(run.loaded) << Errors();
    EXPECT_EQ(alive, shared);
    EXPECT_EQ(run.main_result, 5u);
  }
}

TEST_F(ScriptRunTest, LongjmpAcrossACall) {
  Write("thrower.c",
        "#include \"keva.h\"\nextern int buffer[16];\n"
        "int main() { longjmp(buffer, 9); return 1; }\n");
  ScriptRun run = Run("extern int buffer[16];\n"
                      "int main() { int r; r = setjmp(buffer); if (r == 0) { call(\"thrower.c\"); return 100; } return r; }\n");
  ASSERT_TRUE(run.loaded) << Errors();
  EXPECT_EQ(run.main_result, 9u);
}

TEST_F(ScriptRunTest, ExitEndsEverything) {
  ScriptRun run = Run("int spin(int x) { while (1) ; }\n"
                      "int main() { thd_begin(spin, 0, 0, 0); exit(); return 3; }\n");
  ASSERT_TRUE(run.loaded) << Errors();
  EXPECT_TRUE(run.stopped);
  EXPECT_FALSE(run.main_ended);
  EXPECT_TRUE(ShownErrors().empty()) << Errors();
}

// Two threads ending each other, then exit while another thread may still be
// inside thd_end: nothing may hang.
TEST_F(ScriptRunTest, ThreadsEndingEachOtherNeverHang) {
  ScriptRun run = Run("int other[2]; int ready;\n"
                      "int ender(int me) { ready++; while (ready < 2) sleep(1); thd_end(other[1 - me]); return 0; }\n"
                      "int spin(int x) { while (1) ; }\n"
                      "int waiter(int t) { thd_end(t); return 0; }\n"
                      "int main() { int s;\n"
                      "  other[0] = thd_begin(ender, 0, 1, 0); other[1] = thd_begin(ender, 1, 1, 0);\n"
                      "  thd_resume(other[0]); thd_resume(other[1]);\n"
                      "  while (ready < 2) sleep(1);\n"
                      "  sleep(50);\n"
                      "  s = thd_begin(spin, 0, 0, 0); thd_begin(waiter, s, 0, 0);\n"
                      "  sleep(20); exit(); return 0; }\n");
  ASSERT_TRUE(run.loaded) << Errors();
  EXPECT_TRUE(run.stopped);
  EXPECT_FALSE(run.timed_out);
}

TEST_F(ScriptRunTest, ThreadsShareTheProgramArea) {
  ScriptRun run = Run("int total;\n"
                      "int add(int x) { total += x; return 0; }\n"
                      "int main() { int a, b; a = thd_begin(add, 5, 0, 0); b = thd_begin(add, 6, 0, 0);\n"
                      "  while (total != 11) sleep(1); return a * 100 + b; }\n");
  ASSERT_TRUE(run.loaded) << Errors();
  EXPECT_EQ(run.main_result, 102u);
}

}  // namespace
