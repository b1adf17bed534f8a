// Any program image and register state, run for a bounded number of slices
// with a builtin hook that does nothing: the interpreter never leaves the
// arena and never crashes, whatever the code does.
#include <cstring>

#include "fuzz_support.h"
#include "vm/context.h"

namespace {
constexpr uint32_t kProgramSize = 4096, kStackSize = 4096;
constexpr int kSlices = 64;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StartFuzzTarget(/*guard_zones=*/false);
  // The input: r0..r6 (28 bytes), then the program image.
  if (size < 28) return 0;
  ScriptContext* ctx = CreateContext(kProgramSize, kStackSize);
  if (!ctx) return 0;
  for (int i = 0; i < 7; ++i) std::memcpy(&ctx->r[i], data + 4 * i, 4);
  const size_t code = std::min<size_t>(size - 28, kProgramSize);
  std::memcpy(ToHost(ctx->program_base), data + 28, code);
  for (int i = 0; i < kSlices && RunContext(ctx) == 0; ++i) {
  }
  FreeContext(ctx);
  return 0;
}
