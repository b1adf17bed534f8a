#include "runtime/script_threads.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"
#include "runtime/dispatch.h"
#include "runtime/runtime_settings.h"
#include "vm_machine.h"

namespace {

// Stubs for the control builtins, as the compiler emits them.
constexpr const char* kStubs = R"(
jump_:        trap 0
              ret
call_:        trap 1
              ret
exit_:        trap 2
              ret
setjmp_:      trap 3
              ret
longjmp_:     trap 4
              ret
thd_begin_:   trap 5
              ret
thd_end_:     trap 6
              ret
thd_suspend_: trap 7
              ret
thd_resume_:  trap 8
              ret
sleep_:       trap 9
              ret
forever:      jmp forever
)";

// Runs assembled programs on real script threads. In the source, EXT stands
// for the external data area, where scripts leave results that outlive them.
class ScriptThreads : public testing::Test {
 protected:
  void SetUp() override {
    ShownErrors().clear();
    SetErrorBoxBackend(RecordErrorBox);
    ASSERT_TRUE(AllocExternalArea(4096));
    ext_ = ExternalAreaAddress();
    RuntimeStart();
    ClearThreadTable();
  }
  void TearDown() override {
    StopAllScriptThreads();
    RuntimeStop();
    SetBuiltinHook(nullptr);
    FreeExternalArea();
    SetErrorBoxBackend(nullptr);
  }

  // Starts source (plus the stubs) on a thread; the final `ret` ends it.
  int Start(std::string source, uint32_t stack_size = 4096) {
    for (size_t at; (at = source.find("EXT")) != std::string::npos;) source.replace(at, 3, std::to_string(ext_));
    source += kStubs;
    AssembledProgram measured = Assemble(source, 0);
    EXPECT_TRUE(measured.ok()) << measured.error;
    if (!measured.ok()) return -1;
    ScriptContext* ctx = CreateContext(static_cast<uint32_t>(measured.bytes.size()), stack_size);
    AssembledProgram p = Assemble(source, ctx->program_base);
    std::memcpy(ToHost(ctx->program_base), p.bytes.data(), p.bytes.size());
    ctx->r[7] -= 8;
    Machine::Poke32(ctx->r[7], 0xFFFFFFFFu);
    return StartScriptThread(ctx, false);
  }

  // Waits until no script thread is left or the scripts stopped.
  void WaitForThreads() {
    uint32_t start = TickCount();
    while (AnyScriptThreadAlive() && !ScriptStopRequested() && TickCount() - start < 10000) SleepMs(1);
    EXPECT_LT(TickCount() - start, 10000u) << "scripts did not finish";
  }
  bool WaitForWord(int index) {
    uint32_t start = TickCount();
    while (Ext(index) == 0 && TickCount() - start < 10000) SleepMs(1);
    return Ext(index) != 0;
  }

  uint32_t Ext(int index) const { return Machine::Peek32(ext_ + 4 * index); }

  uint32_t ext_ = 0;
};

// thd_begin(function, argument, paused, stack size) with the arguments pushed last first.
std::string BeginThread(const char* function, int paused, int stack_size, const char* store) {
  return "push $" + std::to_string(stack_size) + "\npush $" + std::to_string(paused) + "\npush $0\nmovl r1, @" +
         function + "\npush r1\ncall thd_begin_\nadd r7, $16\nmovl " + store + ", r0\n";
}
std::string CallOn(const char* stub, const char* argument, const char* store) {
  return std::string("push ") + argument + "\ncall " + stub + "\nadd r7, $4\nmovl " + store + ", r0\n";
}

TEST_F(ScriptThreads, MainResultIsKept) {
  ASSERT_EQ(Start("movl r0, $7\nret\n"), 0);
  WaitForThreads();
  bool ended = false;
  EXPECT_EQ(ScriptThreadResult(0, &ended), 7u);
  EXPECT_TRUE(ended);
}

TEST_F(ScriptThreads, PausedThreadRunsNothingUntilResumed) {
  std::string main = BeginThread("worker", 1, 0, "[EXT]") +
                     CallOn("sleep_", "$30", "[EXT+20]") +
                     "movl r1, [EXT+4]\nmovl [EXT+8], r1\n" +   // what the worker did meanwhile
                     "movl r2, [EXT]\n" + CallOn("thd_resume_", "r2", "[EXT+12]") + "ret\n" +
                     "worker: movl r1, $1\nmovl [EXT+4], r1\nret\n";
  ASSERT_EQ(Start(main), 0);
  WaitForThreads();
  EXPECT_EQ(Ext(0), 1u);   // the worker's thread number
  EXPECT_EQ(Ext(2), 0u);   // nothing ran while paused
  EXPECT_EQ(Ext(3), 0u);   // thd_resume brought the count to 0
  EXPECT_EQ(Ext(1), 1u);   // then it ran
  EXPECT_EQ(Ext(5), 1u);   // sleep answered 1
}

TEST_F(ScriptThreads, SuspendResumeCountsAndRefusals) {
  std::string main = BeginThread("forever", 0, 0, "[EXT]") + "movl r2, [EXT]\n" +
                     CallOn("thd_suspend_", "r2", "[EXT+4]") + CallOn("thd_suspend_", "r2", "[EXT+8]") +
                     CallOn("thd_resume_", "r2", "[EXT+12]") + CallOn("thd_suspend_", "$32", "[EXT+16]") +
                     CallOn("thd_resume_", "$-1", "[EXT+20]") + CallOn("thd_end_", "$32", "[EXT+24]") +
                     CallOn("thd_end_", "$0", "[EXT+28]") +            // our own thread
                     CallOn("sleep_", "$-1", "[EXT+32]") +              // sleeping a negative time
                     CallOn("thd_end_", "r2", "[EXT+36]") + CallOn("thd_resume_", "r2", "[EXT+40]") + "ret\n";
  ASSERT_EQ(Start(main), 0);
  WaitForThreads();
  EXPECT_EQ(Ext(1), 1u);
  EXPECT_EQ(Ext(2), 2u);
  EXPECT_EQ(Ext(3), 1u);            // suspended twice, resumed once: still paused
  EXPECT_EQ(Ext(4), 0xFFFFFFFFu);   // thread 32
  EXPECT_EQ(Ext(5), 0xFFFFFFFFu);   // thread -1
  EXPECT_EQ(Ext(6), 0u);
  EXPECT_EQ(Ext(7), 0u);            // thd_end on the caller's own thread
  EXPECT_EQ(Ext(8), 1u);            // a negative sleep runs again at once
  EXPECT_EQ(Ext(9), 1u);            // thd_end of the paused worker
  EXPECT_EQ(Ext(10), 0xFFFFFFFFu);  // its slot is free now
}

TEST_F(ScriptThreads, ThreadStackSizes) {
  std::string main = BeginThread("forever", 1, 100, "[EXT]") + BeginThread("forever", 1, 0, "[EXT+4]") +
                     BeginThread("forever", 1, -5, "[EXT+8]") + BeginThread("forever", 1, 5000, "[EXT+12]") +
                     "movl r1, $1\nmovl [EXT+16], r1\njmp forever\n";
  ASSERT_EQ(Start(main, 2048), 0);
  ASSERT_TRUE(WaitForWord(4));
  const uint32_t expected[] = {1024, 2048, 2048, 5000};
  for (int i = 0; i < 4; ++i) {
    const ScriptContext* ctx = ScriptThreadTopContext(static_cast<int>(Ext(i)));
    ASSERT_NE(ctx, nullptr) << i;
    EXPECT_EQ(ctx->stack_size, expected[i]) << i;
    EXPECT_EQ(ctx->program_base, ScriptThreadTopContext(0)->program_base);  // shares the program
  }
}

TEST_F(ScriptThreads, SetjmpAndLongjmp) {
  std::string main = R"(
        movl r1, @buf
        push r1
        call setjmp_
        add r7, $4
        movl r2, [EXT]            ; passes through here
        add r2, $1
        movl [EXT], r2
        cmp r0, $0
        je first
        cmp r0, $1
        je second
        movl [EXT+12], r0         ; third pass: longjmp with 5
        ret
first:  movl [EXT+4], r0
        push $0
        movl r1, @buf
        push r1
        call longjmp_
        add r7, $8
        ret
second: movl [EXT+8], r0
        push $5
        movl r1, @buf
        push r1
        call longjmp_
        add r7, $8
        ret
buf:    .zero 64
)";
  ASSERT_EQ(Start(main), 0);
  WaitForThreads();
  EXPECT_EQ(Ext(0), 3u);
  EXPECT_EQ(Ext(1), 0u);  // the direct call
  EXPECT_EQ(Ext(2), 1u);  // longjmp with 0 returns 1
  EXPECT_EQ(Ext(3), 5u);
}

TEST_F(ScriptThreads, LongjmpAfterTheFrameReturnedIsRefused) {
  std::string main = R"(
        call f
        push $3
        movl r1, @buf
        push r1
        call longjmp_
        add r7, $8
        movl [EXT], r0
        movl r1, $1
        movl [EXT+4], r1
        ret
f:      enter 0
        movl r1, @buf
        push r1
        call setjmp_
        add r7, $4
        leave 0
        ret
buf:    .zero 64
)";
  ASSERT_EQ(Start(main), 0);
  WaitForThreads();
  EXPECT_EQ(Ext(0), 0u);
  EXPECT_EQ(Ext(1), 1u);  // the caller went on
}

TEST_F(ScriptThreads, ExitStopsEverythingWithoutAMessage) {
  ASSERT_EQ(Start(BeginThread("forever", 0, 0, "[EXT]") + "call exit_\nmovl r1, $1\nmovl [EXT+4], r1\nret\n"), 0);
  WaitForThreads();
  EXPECT_TRUE(ScriptStopRequested());
  StopAllScriptThreads();
  EXPECT_FALSE(AnyScriptThreadAlive());
  EXPECT_EQ(Ext(1), 0u);
  bool ended = true;
  ScriptThreadResult(0, &ended);
  EXPECT_FALSE(ended);
  EXPECT_TRUE(ShownErrors().empty());
}

// Two compute-bound threads share the processors: both make progress while
// the main thread sleeps, whether they call builtins (and so contend for the
// builtin lock) or not. Then exit stops both spinning threads promptly.
TEST_F(ScriptThreads, ComputeBoundThreadsShareAndExitStopsThemPromptly) {
  struct Case {
    const char* name;
    const char* work;  // the body of each worker's endless loop
  };
  const Case cases[] = {
      {"pure computation", ""},
      {"a builtin call per pass", "push $99\ncall thd_suspend_\nadd r7, $4\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int i = 1; i <= 4; ++i) Machine::Poke32(ext_ + 4 * i, 0);
    auto loop = [&](std::string label, std::string counter) {
      return label + ": " + c.work + "movl r1, " + counter + "\nadd r1, $1\nmovl " + counter + ", r1\njmp " +
             label + "\n";
    };
    std::string worker = loop("w1", "[EXT+4]") + loop("w2", "[EXT+8]");
    std::string main = BeginThread("w1", 0, 0, "[EXT+12]") + BeginThread("w2", 0, 0, "[EXT+16]") +
                       CallOn("sleep_", "$100", "[EXT+20]") + "call exit_\nret\n" + worker;
    ASSERT_EQ(Start(main), 0);
    uint32_t start = TickCount();
    while (!ScriptStopRequested() && TickCount() - start < 10000) SleepMs(1);
    ASSERT_TRUE(ScriptStopRequested());
    uint32_t stopped = TickCount();
    // Each thread leaves its loop within a slice; the generous bound only
    // catches a thread that keeps spinning.
    while (RunningScriptThreads() > 0 && TickCount() - stopped < 2000) SleepMs(1);
    EXPECT_EQ(RunningScriptThreads(), 0);
    EXPECT_LT(TickCount() - stopped, 500u);
    uint32_t first = Ext(1), second = Ext(2);
    EXPECT_GT(first, 0u);
    EXPECT_GT(second, 0u);
    SleepMs(20);
    EXPECT_EQ(Ext(1), first);  // nothing runs after the stop
    EXPECT_EQ(Ext(2), second);
    StopAllScriptThreads();
    ClearThreadTable();
  }
}

std::atomic<int> close_requests{0};
void CountCloseRequest() { ++close_requests; }

TEST_F(ScriptThreads, RuntimeErrorStopsOtherThreadsAndClosesWithoutAsking) {
  g_runtime_settings.confirmation = 1;
  g_runtime_host_hooks.close_main_window = CountCloseRequest;
  close_requests = 0;
  ASSERT_EQ(Start(BeginThread("forever", 0, 0, "[EXT]") + "movl r1, $0\ndiv r0, r1\nret\n"), 0);
  // The stop flag comes first; the failed thread asks for the close on its way out.
  uint32_t start = TickCount();
  while (AnyScriptThreadAlive() && TickCount() - start < 10000) SleepMs(1);
  g_runtime_host_hooks.close_main_window = nullptr;
  EXPECT_EQ(close_requests, 1);
  EXPECT_EQ(g_runtime_settings.confirmation, 0);  // the window closes without the question
  g_runtime_settings.confirmation = 1;
  EXPECT_TRUE(ScriptStopRequested());
  StopAllScriptThreads();
  EXPECT_FALSE(AnyScriptThreadAlive());
  EXPECT_EQ(ShownErrors().size(), 1u);
}

}  // namespace
