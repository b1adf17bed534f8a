#include <gtest/gtest.h>

#include "platform/text_encoding.h"
#include "runtime/dispatch.h"
#include "runtime/runtime_settings.h"
#include "runtime/system_variables.h"
#include "vm_machine.h"

namespace {

struct DispatcherOn {
  explicit DispatcherOn(int debug_mode) {
    g_runtime_settings.debug_mode = debug_mode;
    RuntimeStart();
  }
  ~DispatcherOn() {
    RuntimeStop();
    SetBuiltinHook(nullptr);
    g_runtime_settings.debug_mode = 0;
  }
};

TEST(BuiltinTable, HasEveryRowInOrderThenTheZeroRow) {
  const std::pair<int, const char*> landmarks[] = {
      {0, "jump"}, {9, "sleep"}, {85, "gtextf"}, {184, "malloc"}, {254, "sprintf"}, {275, "getsystem"},
      {276, "setsystem"}, {314, "dll_call"}, {316, "log_out"}};
  for (auto [n, name] : landmarks) EXPECT_STREQ(kBuiltinTable[n].name, name) << n;
  for (int n = 0; n < kBuiltinCount; ++n) {
    ASSERT_NE(kBuiltinTable[n].handler, nullptr) << n;
    ASSERT_NE(kBuiltinTable[n].result_type, nullptr) << n;
  }
  EXPECT_EQ(kBuiltinTable[kBuiltinCount].name, nullptr);
  EXPECT_EQ(kBuiltinTable[kBuiltinCount].handler, nullptr);
  for (int n : {85, 254, 314, 316}) EXPECT_EQ(kBuiltinTable[n].argument_count, -1) << n;
}

TEST(Dispatch, NumberAbove316FailsWithoutRunningAnything) {
  DispatcherOn on(0);
  Machine m("movl r0, $55\ntrap 317\nmovl r0, $1\nret\n");
  m.Run();
  EXPECT_EQ(m.ctx->state, kContextFailed);
  EXPECT_EQ(m.ctx->r[0], 55u);
  EXPECT_TRUE(ScriptStopRequested());
  ASSERT_EQ(ShownErrors().size(), 1u);
  EXPECT_EQ(SjisToUtf8(ShownErrors()[0]), "不正な命令コード - #317");
}

TEST(Dispatch, ResultLandsInR0) {
  DispatcherOn on(0);
  // getsystem("os_platform") through a stub, as compiled code calls it
  Machine m("movl r1, @name\npush r1\ncall gs\nadd r7, $4\nret\ngs: trap 275\nret\nname: .asciz \"OS_Platform\"\n");
  m.Run();
  EXPECT_EQ(m.ctx->state, kContextEnded);
  EXPECT_EQ(m.ctx->r[0], 2u);
}

// Calls builtin `number` through a stub with `pushed` arguments.
std::string CallWithArguments(int number, int pushed) {
  std::string code = "movl r0, $77\n";
  for (int i = 0; i < pushed; ++i) code += "push $0\n";
  code += "call stub\n";
  if (pushed) code += "add r7, $" + std::to_string(4 * pushed) + "\n";
  return code + "ret\nstub: trap " + std::to_string(number) + "\nret\n";
}

TEST(Dispatch, ArgumentCountIsCheckedInDebugModeOnly) {
  struct Case {
    int debug, number, pushed;
    bool complains;
  };
  const Case cases[] = {
      {1, 2, 1, true},     // exit takes none
      {1, 275, 0, true},   // getsystem takes one
      {1, 275, 1, false},
      {0, 275, 3, false},  // no check without debug mode
      {1, 316, 3, false},  // log_out takes any number
      {1, 254, 0, false},  // sprintf too
  };
  for (const Case& c : cases) {
    DispatcherOn on(c.debug);
    Machine m(CallWithArguments(c.number, c.pushed));
    m.Run();
    SCOPED_TRACE("builtin " + std::to_string(c.number) + " with " + std::to_string(c.pushed));
    if (c.complains) {
      ASSERT_EQ(ShownErrors().size(), 1u);
      EXPECT_EQ(SjisToUtf8(ShownErrors()[0]), std::string(kBuiltinTable[c.number].name) + " - 引数の数が違います。");
      EXPECT_EQ(m.ctx->state, kContextFailed);
      EXPECT_NE(m.ctx->r[0], 77u);  // the handler still ran
    } else {
      EXPECT_TRUE(ShownErrors().empty());
      EXPECT_NE(m.ctx->state, kContextFailed);
    }
  }
}

TEST(SystemVariables, NamesAndValues) {
  auto full_screen = [] { return int32_t{1}; };
  g_runtime_host_hooks.is_full_screen = full_screen;
  EXPECT_EQ(GetSystemVariable("FullScreen"), 1u);
  EXPECT_EQ(GetSystemVariable("fullscreen"), 1u);
  EXPECT_EQ(SetSystemVariable("fullscreen", 1), 0u);  // already in that mode: no switch
  g_runtime_host_hooks.is_full_screen = nullptr;
  EXPECT_EQ(GetSystemVariable("nothing"), 0u);
  EXPECT_EQ(GetSystemVariable(nullptr), 0u);
  EXPECT_EQ(SetSystemVariable("width", 5), 0u);
  EXPECT_EQ(GetSystemVariable("os_platform"), 2u);
  EXPECT_EQ(GetSystemVariable("os_major"), RunningOsVersion().major);
  EXPECT_GT(RunningOsVersion().major, 0u);
  for (const char* name : {"global_focus", "global_sound", "color_mapping", "smoothing"}) {
    uint32_t before = GetSystemVariable(name);
    EXPECT_EQ(SetSystemVariable(name, 7), 1u) << name;
    EXPECT_EQ(GetSystemVariable(name), 7u) << name;
    SetSystemVariable(name, before);
  }
#if defined(__x86_64__)
  EXPECT_NE(GetSystemVariable("CPU_FEATURE_EDX"), 0u);
#endif
}

}  // namespace
