// Any program image and register state, run for a bounded number of slices
// with a builtin hook that does nothing: the VM never leaves the arena and
// never crashes, whatever the code does. Where the translator to machine code
// runs, the same input is also run by the interpreter alone in a forked copy
// of the process (so wild stores of one run cannot reach the other), and the
// two must agree after every slice: registers, flags, pc and state, then the
// program area and the stack.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "vm/context.h"
#include "vm/native_code.h"

namespace {
constexpr uint32_t kProgramSize = 4096, kStackSize = 4096;
constexpr int kSlices = 64;

void Append(std::vector<uint8_t>& trace, const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  trace.insert(trace.end(), b, b + n);
}

// Runs the input; returns what the run went through.
std::vector<uint8_t> Run(const uint8_t* data, size_t size) {
  std::vector<uint8_t> trace;
  SetScriptStopFlag(0);
  ScriptContext* ctx = CreateContext(kProgramSize, kStackSize);
  if (!ctx) return trace;
  for (int i = 0; i < 7; ++i) std::memcpy(&ctx->r[i], data + 4 * i, 4);
  const size_t code = std::min<size_t>(size - 28, kProgramSize);
  std::memcpy(ToHost(ctx->program_base), data + 28, code);
  const uint32_t program = ctx->program_base, stack = ctx->stack_base;
  for (int i = 0; i < kSlices && ctx->state == kContextRunning && !ScriptStopRequested(); ++i) {
    RunContext(ctx);
    Append(trace, ctx->r, sizeof ctx->r);
    const uint8_t flags[4] = {ctx->state, ctx->zero_flag, ctx->less_flag, ctx->below_flag};
    Append(trace, flags, 4);
    Append(trace, &ctx->pc, 4);
  }
  // The areas are compared before they are freed (wild stores may have
  // scribbled on the shared count, which FreeContext reads).
  Append(trace, ToHost(program), kProgramSize);
  Append(trace, ToHost(stack), kStackSize);
  FreeContext(ctx);
  SetScriptStopFlag(0);
  return trace;
}

// The interpreter's trace, from a child process.
bool InterpretedTrace(const uint8_t* data, size_t size, std::vector<uint8_t>* trace) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    close(fds[0]);
    SetNativeCodeEnabled(false);
    std::vector<uint8_t> t = Run(data, size);
    for (size_t done = 0; done < t.size();) {
      ssize_t n = write(fds[1], t.data() + done, t.size() - done);
      if (n <= 0) _exit(1);
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  uint8_t buffer[65536];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) trace->insert(trace->end(), buffer, buffer + n);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StartFuzzTarget(/*guard_zones=*/false);
  SetTranslationThreshold(1);  // an input runs only a few slices
  // The input: r0..r6 (28 bytes), then the program image.
  if (size < 28) return 0;
  if (!NativeCodeEnabled()) {
    Run(data, size);
    return 0;
  }
  std::vector<uint8_t> interpreted;
  if (!InterpretedTrace(data, size, &interpreted)) return 0;
  if (Run(data, size) != interpreted) std::abort();  // the translator went its own way
  return 0;
}
