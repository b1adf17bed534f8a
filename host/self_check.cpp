#include "host/self_check.h"

#include <cstdio>
#include <cstring>

#include "vm/arena.h"
#include "vm/assembler.h"
#include "vm/context.h"

namespace {

constexpr const char* kProgram = R"(
        jmp main
sum:    enter 0                 ; sum(n) = n + (n-1) + ... + 1
        movl r1, [fp+8]
        movl r0, $0
        movl r2, $1
loop:   add r0, r1
        sub r1, r2
        jne loop
        leave 0
        ret
report: trap 1                  ; builtin stub: the hook reads its argument
        ret
main:   enter 4
        push $100
        call sum
        add r7, $4
        movl [fp-24], r0
        push r0
        call report
        add r7, $4
        movl r0, [fp-24]
        leave 4
        ret
)";

uint32_t reported = 0;

void ReportHook(uint16_t number, ScriptContext* ctx) {
  uint32_t arg;
  std::memcpy(&arg, ToHost(ctx->r[7] + 4), 4);
  if (number == 1) reported = arg;
  ctx->r[0] = 1;
}

}  // namespace

int RunVmSelfCheck() {
  AssembledProgram measured = Assemble(kProgram, 0);
  if (!measured.ok()) {
    std::fprintf(stderr, "keva: self-check program: %s\n", measured.error.c_str());
    return 1;
  }
  ScriptContext* ctx = CreateContext(static_cast<uint32_t>(measured.bytes.size()), 4096);
  if (!ctx) {
    std::fprintf(stderr, "keva: cannot allocate a script context in the script arena\n");
    return 1;
  }
  AssembledProgram program = Assemble(kProgram, ctx->program_base);
  std::memcpy(ToHost(ctx->program_base), program.bytes.data(), program.bytes.size());

  SetBuiltinHook(ReportHook);
  int slices = 0;
  while (ctx->state == kContextRunning && slices < 1000) {
    RunContext(ctx);
    ++slices;
  }
  SetBuiltinHook(nullptr);
  uint32_t result = ctx->r[0];
  bool ok = ctx->state == kContextEnded && result == 5050 && reported == 5050;
  std::printf("keva: VM self-check: sum(1..100) = %u, builtin saw %u, %d slices, state %d: %s\n",
              result, reported, slices, ctx->state, ok ? "OK" : "FAILED");
  FreeContext(ctx);
  return ok ? 0 : 1;
}
