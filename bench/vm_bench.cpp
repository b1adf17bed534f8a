// VM throughput: instructions per second on two loops run in bare RunContext
// loops, through translated machine code (interpreted:0) and through the
// interpreter alone (interpreted:1), each next to a plain C++ loop doing the
// same work, so the ratios show the overhead on this machine.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "vm/arena.h"
#include "vm/assembler.h"
#include "vm/context.h"
#include "vm/native_code.h"

namespace {

constexpr uint32_t kIterations = 1'000'000;

// Runs `source` to the end as a thread function; returns false on any fault.
bool RunProgram(const std::string& source) {
  AssembledProgram measured = Assemble(source, 0);
  ScriptContext* ctx = CreateContext(static_cast<uint32_t>(measured.bytes.size()), 4096);
  if (!ctx || !measured.ok()) return false;
  AssembledProgram p = Assemble(source, ctx->program_base);
  std::memcpy(ToHost(ctx->program_base), p.bytes.data(), p.bytes.size());
  ctx->r[7] -= 8;  // a thread's start frame: return address 0xFFFFFFFF, one argument
  uint32_t all_ones = 0xFFFFFFFFu;
  std::memcpy(ToHost(ctx->r[7]), &all_ones, 4);
  while (ctx->state == kContextRunning && !ScriptStopRequested()) RunContext(ctx);
  bool ok = ctx->state == kContextEnded;
  FreeContext(ctx);
  return ok;
}

const std::string kCountdown = "movl r0, $" + std::to_string(kIterations) +
                               "\nmovl r1, $1\nloop: sub r0, r1\njne loop\nret\n";
const std::string kCalls = "movl r0, $" + std::to_string(kIterations) +
                           "\nmovl r1, $1\nloop: call f\nsub r0, r1\njne loop\nret\n"
                           "f: enter 0\nleave 0\nret\n";

void VmCountdown(benchmark::State& state) {
  SetNativeCodeEnabled(state.range(0) == 0);
  for (auto _ : state) {
    if (!RunProgram(kCountdown)) state.SkipWithError("program failed");
  }
  state.SetItemsProcessed(state.iterations() * kIterations * 2);  // sub + jne
}
BENCHMARK(VmCountdown)->ArgName("interpreted")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void CxxCountdown(benchmark::State& state) {
  for (auto _ : state) {
    for (uint32_t i = kIterations; i != 0;) {
      i -= 1;
      benchmark::DoNotOptimize(i);
    }
  }
  state.SetItemsProcessed(state.iterations() * kIterations * 2);
}
BENCHMARK(CxxCountdown)->Unit(benchmark::kMillisecond);

void VmCalls(benchmark::State& state) {
  SetNativeCodeEnabled(state.range(0) == 0);
  for (auto _ : state) {
    if (!RunProgram(kCalls)) state.SkipWithError("program failed");
  }
  state.SetItemsProcessed(state.iterations() * kIterations * 6);  // call enter leave ret sub jne
}
BENCHMARK(VmCalls)->ArgName("interpreted")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

[[gnu::noinline]] void Callee(uint32_t* frame) { benchmark::DoNotOptimize(frame); }

void CxxCalls(benchmark::State& state) {
  uint32_t frame[8] = {};
  for (auto _ : state) {
    for (uint32_t i = kIterations; i != 0;) {
      Callee(frame);
      i -= 1;
      benchmark::DoNotOptimize(i);
    }
  }
  state.SetItemsProcessed(state.iterations() * kIterations * 6);
}
BENCHMARK(CxxCalls)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
