// Native code against the interpreter: every program must behave the same
// slice by slice with native code on, off, and switched every slice. Random
// programs cover the instruction set; directed cases cover slices ending at a
// block's end, float edge values, code near the top of the address space,
// code that changes under its own translation, program areas reused at the
// same address, threads sharing a program and the stop flag set from another
// thread.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cctype>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "vm/native_code.h"
#include "vm_machine.h"

namespace {

using namespace std::chrono_literals;

uint32_t F(float f) { return std::bit_cast<uint32_t>(f); }

// Restores the process-wide switch when a test ends.
struct NativeSwitchGuard {
  bool was = NativeCodeEnabled();
  ~NativeSwitchGuard() { SetNativeCodeEnabled(was); }
};

// --- What a run leaves behind -------------------------------------------------

struct ContextState {
  uint32_t r[8];
  uint8_t zero, less, below, state;
  uint32_t pc;
  bool operator==(const ContextState&) const = default;
};

ContextState Capture(const ScriptContext* ctx) {
  ContextState s{};
  std::memcpy(s.r, ctx->r, sizeof s.r);
  s.zero = ctx->zero_flag;
  s.less = ctx->less_flag;
  s.below = ctx->below_flag;
  s.state = ctx->state;
  s.pc = ctx->pc;
  return s;
}

std::string Describe(const ContextState& s) {
  char text[200];
  std::snprintf(text, sizeof text,
                "r0=%08" PRIx32 " r1=%08" PRIx32 " r2=%08" PRIx32 " r3=%08" PRIx32 " r4=%08" PRIx32 " r5=%08" PRIx32
                " r6=%08" PRIx32 " r7=%08" PRIx32 " Z=%d L=%d B=%d pc=%08" PRIx32 " state=%d",
                s.r[0], s.r[1], s.r[2], s.r[3], s.r[4], s.r[5], s.r[6], s.r[7], s.zero, s.less, s.below, s.pc,
                s.state);
  return text;
}

struct HookCall {
  uint16_t number;
  ContextState at;
  bool operator==(const HookCall&) const = default;
};

struct Trace {
  uint32_t program_base = 0, stack_base = 0;
  std::vector<ContextState> slices;  // after every RunContext call
  std::vector<HookCall> hook_calls;
  std::vector<uint8_t> program_area;  // with the shared count
  std::vector<uint8_t> stack_area;
  std::vector<std::string> errors;
  bool stopped = false;
};

// The builtin hook of these tests logs every call, returns a value in r0 that
// depends on the call, and for some numbers writes a word of script memory,
// changes another register and the flags, or ends the context as the exit
// builtin does, so a run that skipped, repeated or misplaced a call, or kept
// using what the hook changed, shows.
std::vector<HookCall>* g_hook_log = nullptr;
uint32_t g_hook_target = 0;  // where the memory-writing calls write (scratch data)

void LogCall(uint16_t number, ScriptContext* ctx) {
  if (g_hook_log) g_hook_log->push_back({number, Capture(ctx)});
}

void LoggingHook(uint16_t number, ScriptContext* ctx) {
  LogCall(number, ctx);
  uint32_t calls = g_hook_log ? static_cast<uint32_t>(g_hook_log->size()) : 0;
  ctx->r[0] = (uint32_t{number} << 16) ^ (calls * 0x9E3779B9u) ^ ctx->r[1];
  if (number % 5 == 0 && g_hook_target) Machine::Poke32(g_hook_target + (number * 4u) % 252u, ctx->r[2] + calls);
  if (number % 50 == 48) {
    ctx->r[3] ^= 0x5A5A5A5Au;
    ctx->zero_flag ^= 1;
    ctx->below_flag ^= 1;
  }
  if (number % 50 == 49) ctx->state = kContextEnded;
}

struct RunOptions {
  uint32_t stack_size = 8192;
  int max_slices = 50;
  BuiltinHook hook = LoggingHook;
  // Called between slices with the number of slices run so far.
  void (*between_slices)(Machine& m, int slices) = nullptr;
};

// A Machine as created: every run of a comparison starts from it, at the same
// addresses, since code and data hold absolute addresses.
struct StartState {
  ScriptContext ctx;
  std::vector<uint8_t> program_area, stack_area;
};

StartState SaveStart(const Machine& m) {
  const uint8_t* program = ToHost(m.ctx->program_base);
  const uint8_t* stack = ToHost(m.ctx->stack_base);
  return {*m.ctx, {program, program + m.ctx->program_size + 4}, {stack, stack + m.ctx->stack_size}};
}

// Puts the bytes back as the host would load a program: the translator is
// told that script memory changed behind its back.
void RestoreStart(Machine& m, const StartState& start) {
  *m.ctx = start.ctx;
  std::memcpy(ToHost(m.ctx->program_base), start.program_area.data(), start.program_area.size());
  std::memcpy(ToHost(m.ctx->stack_base), start.stack_area.data(), start.stack_area.size());
  NoteCodeMayHaveChanged();
  SetScriptStopFlag(0);
  ShownErrors().clear();
}

// How a run uses native code: never; always, code translated as it first
// runs or only once it has run a few times, as outside tests (so a run
// switches to translations midway); or every other slice (the interpreter
// then runs, and may rewrite, code that has translations).
enum class Mode { kInterpreted, kNative, kNativeWhenHot, kAlternating };

// Runs the Machine from where it stands, slice by slice, as a script thread would.
Trace RunRecorded(Machine& m, Mode mode, const RunOptions& options) {
  Trace t;
  SetNativeCodeEnabled(mode == Mode::kNative || mode == Mode::kNativeWhenHot);
  SetTranslationThreshold(mode == Mode::kNativeWhenHot ? 8 : 1);
  SetBuiltinHook(options.hook);
  g_hook_log = &t.hook_calls;
  g_hook_target = m.program.labels.contains("scratch") ? m.Label("scratch") : 0;
  t.program_base = m.ctx->program_base;
  t.stack_base = m.ctx->stack_base;
  while (m.ctx->state == kContextRunning && !ScriptStopRequested() &&
         static_cast<int>(t.slices.size()) < options.max_slices) {
    if (options.between_slices && !t.slices.empty()) options.between_slices(m, static_cast<int>(t.slices.size()));
    if (mode == Mode::kAlternating) SetNativeCodeEnabled(t.slices.size() % 2 == 0);
    RunContext(m.ctx);
    t.slices.push_back(Capture(m.ctx));
  }
  g_hook_log = nullptr;
  g_hook_target = 0;
  SetBuiltinHook(nullptr);
  SetTranslationThreshold(1);
  t.stopped = ScriptStopRequested();
  const uint8_t* program = ToHost(m.ctx->program_base);
  t.program_area.assign(program, program + m.ctx->program_size + 4);
  const uint8_t* stack = ToHost(m.ctx->stack_base);
  t.stack_area.assign(stack, stack + m.ctx->stack_size);
  t.errors = ShownErrors();
  return t;
}

std::string FirstByteDifference(const char* area, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return std::string(area) + " sizes differ";
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) {
      char text[120];
      std::snprintf(text, sizeof text, "%s byte at +0x%zx: interpreter %02x, native %02x", area, i, a[i], b[i]);
      return text;
    }
  }
  return {};
}

// Empty when the runs agree; otherwise the first difference.
std::string Difference(const Trace& interpreted, const Trace& native) {
  const Trace& a = interpreted;
  const Trace& b = native;
  for (size_t i = 0; i < std::min(a.slices.size(), b.slices.size()); ++i) {
    if (!(a.slices[i] == b.slices[i]))
      return "after slice " + std::to_string(i + 1) + ":\n  interpreter " + Describe(a.slices[i]) + "\n  native      " +
             Describe(b.slices[i]);
  }
  if (a.slices.size() != b.slices.size())
    return "slices run: interpreter " + std::to_string(a.slices.size()) + ", native " + std::to_string(b.slices.size());
  for (size_t i = 0; i < std::min(a.hook_calls.size(), b.hook_calls.size()); ++i) {
    if (!(a.hook_calls[i] == b.hook_calls[i]))
      return "builtin call " + std::to_string(i + 1) + ":\n  interpreter trap " +
             std::to_string(a.hook_calls[i].number) + " " + Describe(a.hook_calls[i].at) + "\n  native      trap " +
             std::to_string(b.hook_calls[i].number) + " " + Describe(b.hook_calls[i].at);
  }
  if (a.hook_calls.size() != b.hook_calls.size())
    return "builtin calls: interpreter " + std::to_string(a.hook_calls.size()) + ", native " +
           std::to_string(b.hook_calls.size());
  if (std::string d = FirstByteDifference("program area", a.program_area, b.program_area); !d.empty()) return d;
  if (std::string d = FirstByteDifference("stack", a.stack_area, b.stack_area); !d.empty()) return d;
  if (a.errors != b.errors)
    return "errors shown: interpreter " + std::to_string(a.errors.size()) + ", native " +
           std::to_string(b.errors.size()) + (a.errors.empty() || b.errors.empty() ? "" : " (texts differ)");
  if (a.stopped != b.stopped) return "stop flag left set: interpreter " + std::to_string(a.stopped);
  return {};
}

// The runs of one comparison from the same start: the interpreter's, native
// code's with code translated once hot, then as it first runs, twice (the
// second finds its own earlier translations), and one that switches between
// native code and the interpreter every slice.
struct Comparison {
  Trace interpreted;
  Trace native[4];
  std::string difference;  // empty when all runs agree
};

Comparison Compare(const std::string& source, const RunOptions& options = {}) {
  Comparison c;
  Machine m(source, options.stack_size);
  if (!m.ctx || !m.program.ok()) {
    c.difference = "the program did not assemble: " + m.program.error;
    return c;
  }
  StartState start = SaveStart(m);
  c.interpreted = RunRecorded(m, Mode::kInterpreted, options);
  const std::pair<Mode, const char*> runs[] = {{Mode::kNativeWhenHot, "native run translating hot code"},
                                               {Mode::kNative, "native run 1"},
                                               {Mode::kNative, "native run 2"},
                                               {Mode::kAlternating, "run alternating by slice"}};
  for (int run = 0; run < 4 && c.difference.empty(); ++run) {
    RestoreStart(m, start);
    c.native[run] = RunRecorded(m, runs[run].first, options);
    std::string d = Difference(c.interpreted, c.native[run]);
    if (!d.empty()) c.difference = std::string(runs[run].second) + ": " + d;
  }
  return c;
}

// --- Random programs ------------------------------------------------------------

// splitmix64: the same sequence on every host and library.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint32_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<uint32_t>((z ^ (z >> 31)) >> 16);
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }
  int Between(int lo, int hi) { return lo + Below(hi - lo + 1); }
  bool Percent(int p) { return Below(100) < p; }
  template <class T, size_t N>
  const T& Pick(const T (&items)[N]) { return items[Below(N)]; }

 private:
  uint64_t state_;
};

constexpr int kScratchSize = 256;  // data the programs load and store, at the end of the program
constexpr int kMainFrame = 128;    // outside functions r6 points at scratch + 128

const uint32_t kEdgeValues[] = {0, 1, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 2, 31, 32, 33, 0xFF, 0x80,
                                0xFFFF, 0x8000, 0x10000, 0xFFFFFF80u, 0xFFFF8000u};
const uint32_t kFloatValues[] = {
    F(0.0f),  0x80000000u,  F(1.0f),   F(-1.0f),  F(1.5f),          F(-2.75f),         F(0.5f),
    F(3e9f),  F(-3e9f),     F(2147483648.0f),     F(-2147483648.0f), F(2147483520.0f),  F(-2147483520.0f),
    F(1e-40f), 0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xFFC00000u,  0x7FA00000u,      0x7F7FFFFFu,
    F(123456.79f), F(-7.5f), F(1e20f)};
const uint32_t kPlainFloats[] = {F(1.5f), F(-2.75f), F(2.0f), F(3.0f), F(0.75f), F(-1.25f), F(10.0f), F(0.1f),
                                 F(-7.5f), F(100.5f), F(-0.3f), F(65536.0f)};
// Quiet and signalling NaNs of both signs and several payloads: which one an
// operation passes on depends on the operand order.
const uint32_t kNaNs[] = {0x7FC00000u, 0xFFC00000u, 0x7FA00000u, 0xFFFFFFFFu, 0x7FC12345u, 0xFF812345u};
const char* const kConditionalJumps[] = {"je", "jne", "jg", "jge", "jl", "jle", "ja", "jae", "jb", "jbe"};

// Where generated code runs: which frame r6 holds decides which frame
// offsets may be read and written.
enum class Place { kMain, kFunction, kInlineFrame };

// Writes a program from a seed. Every program keeps r7 a valid stack pointer
// and r6 on scratch data or a frame, except where a piece of it deliberately
// breaks that to end in a runtime error. Loads and stores reach only the
// program area and the stack, so the memory compared after a run is all the
// memory a run touches.
class ProgramWriter {
 public:
  explicit ProgramWriter(uint64_t seed) : rng_(seed) {}

  std::string Write() {
    Line("movl r6, @scratch+" + std::to_string(kMainFrame));
    for (int r = 0; r < 6; ++r)
      if (rng_.Percent(70)) Line("movl r" + std::to_string(r) + ", " + Imm());
    int pieces = rng_.Between(8, 30);
    for (int i = 0; i < pieces; ++i) Piece(0);
    if (rng_.Percent(15)) StraightRun();
    if (rng_.Percent(40)) Ending();
    Line("ret");
    Functions();
    Label("scratch");
    for (int i = 0; i < kScratchSize / 4; ++i) Line(".long " + std::to_string(rng_.Percent(50) ? Value() : rng_.Next()));
    return text_;
  }

 private:
  void Line(const std::string& s) { text_ += "        " + s + "\n"; }
  // One instruction: the mnemonic, then the operands joined by commas. A
  // braced list is evaluated left to right, so every compiler draws the
  // operands' random numbers in the same order and writes the same program.
  void Ins(std::initializer_list<std::string> parts) {
    std::string line;
    for (const std::string& part : parts) line += line.empty() ? part + " " : line.back() == ' ' ? part : ", " + part;
    Line(line);
  }
  static std::string Mem(const std::string& at) { return "[" + at + "]"; }
  void Label(const std::string& l) { text_ += l + ":\n"; }
  std::string NewLabel() { return "L" + std::to_string(labels_++); }
  static std::string Num(int64_t v) { return std::to_string(v); }

  // Register fields 8 to 15 name r0 to r7 too.
  std::string Reg(int n) { return "r" + std::to_string(n + (rng_.Percent(6) ? 8 : 0)); }
  int PickDest() {
    int r;
    do r = rng_.Below(6);
    while (avoid_ & (1u << r));
    return r;
  }
  std::string Dest() { return Reg(PickDest()); }
  std::string Src() { return Reg(rng_.Below(8)); }
  uint32_t Value() {
    int k = rng_.Below(100);
    if (k < 60) return rng_.Pick(kEdgeValues);
    if (k < 80) return static_cast<uint32_t>(rng_.Between(-100, 100));
    return rng_.Next();
  }
  std::string Imm() { return "$" + std::to_string(Value()); }
  std::string Scratch(int width) { return "scratch+" + Num(rng_.Below(kScratchSize - width + 1)); }
  static std::string Frame(int off) { return off < 0 ? "[fp" + Num(off) + "]" : "[fp+" + Num(off) + "]"; }
  // A frame offset that may be read; locals_ bytes of locals lie below fp - 20.
  std::string FrameLoad(int width) {
    if (place_ == Place::kMain) return Frame(rng_.Between(-kMainFrame, kMainFrame - width));
    return Frame(rng_.Between(-20 - locals_, 12 - width));
  }
  // A frame offset that may be written, if any.
  std::optional<std::string> FrameStore(int width) {
    if (place_ == Place::kMain) return Frame(rng_.Between(-kMainFrame, kMainFrame - width));
    if (locals_ < width) return std::nullopt;
    return Frame(rng_.Between(-20 - locals_, -20 - width));
  }

  void Piece(int depth) {
    switch (rng_.Below(26)) {
      case 0: Ins({"movl", Dest(), Imm()}); break;
      case 1: Ins({"movl", Dest(), Src()}); break;
      case 2: Ins({"xchg", Dest(), Dest()}); break;
      case 3: Ins({"movl", Dest(), std::string("@") + rng_.Pick({"scratch+12", "sub0", "stub", "scratch"})}); break;
      case 4: case 5: {
        static const char* const ops[] = {"add", "sub", "mul", "and", "or", "xor", "neg", "not", "set", "cmp"};
        Ins({rng_.Pick(ops), Dest(), Src()});
        break;
      }
      case 6: Ins({rng_.Pick({"add", "sub", "cmp"}), Dest(), Imm()}); break;
      case 7: Shift(); break;
      case 8: Division(); break;
      case 9: case 10: Load(); break;
      case 11: case 12: Store(); break;
      case 13: ReadModifyWrite(); break;
      case 14: case 24: Float(); break;
      case 15: case 16: case 25: if (depth < 2) Branch(depth); else Float(); break;
      case 17: if (depth < 2) Loop(depth); else Load(); break;
      case 18: Stack(depth); break;
      case 19: if (place_ != Place::kFunction) Call(); else Line("trap " + Num(rng_.Below(400))); break;
      case 20: Line("trap " + Num(rng_.Percent(90) ? rng_.Below(400) : rng_.Below(65536))); break;
      case 21: SelfModify(); break;
      case 22: FrameAndStackPointers(depth); break;
      case 23: {  // a jump over bytes that never run
        std::string over = NewLabel();
        Line("jmp " + over);
        for (int i = rng_.Between(1, 7); i > 0; --i) Line(".byte " + Num(rng_.Below(256)));
        Label(over);
        break;
      }
    }
  }

  // Long enough that a slice ends inside it, at a place that depends on
  // what ran before.
  void StraightRun() {
    for (int i = rng_.Between(100, 400); i > 0; --i) {
      switch (rng_.Below(5)) {
        case 0: Ins({"add", Dest(), Imm()}); break;
        case 1: Ins({rng_.Pick({"xor", "sub", "mul"}), Dest(), Src()}); break;
        case 2: Ins({"movl", Mem(Scratch(4)), Src()}); break;
        case 3: Ins({rng_.Pick({"movsbl", "movl"}), Dest(), FrameLoad(4)}); break;
        case 4: Ins({"cmp", Src(), Imm()}); break;
      }
    }
  }

  void Shift() {
    std::string op = rng_.Pick({"shl", "shr", "sar"});
    if (rng_.Percent(20)) {
      Ins({op, Dest(), Src()});
      return;
    }
    int count = PickDest(), d = PickDest();
    Ins({"movl", Reg(count), "$" + Num(rng_.Between(0, 40))});
    Ins({op, Reg(d), Reg(count)});
  }

  void Division() {
    static const int64_t divisors[] = {1, -1, 2, 3, 7, -7, 10, 0x7FFFFFFF, 0x80000000, -2};
    std::string op = rng_.Pick({"div", "mod"});
    if (rng_.Percent(5)) {  // by whatever a register holds; zero fails the program
      Ins({op, Dest(), Src()});
      return;
    }
    int divisor = PickDest(), d;
    do d = PickDest();
    while (d == divisor);
    if (rng_.Percent(25)) {  // the quotient that does not fit
      Ins({"movl", Reg(divisor), "$-1"});
      Ins({"movl", Reg(d), "$0x80000000"});
    } else {
      Ins({"movl", Reg(divisor), "$" + Num(rng_.Percent(80) ? rng_.Pick(divisors) : rng_.Next() | 1)});
      if (rng_.Percent(40)) Ins({"movl", Reg(d), "$" + Num(rng_.Percent(50) ? 0x80000000 : rng_.Between(-50, 50))});
    }
    Ins({op, Reg(d), Reg(divisor)});
  }

  void Load() {
    static const char* const ops[] = {"movbl", "movsbl", "movwl", "movswl", "movl"};
    static const int widths[] = {1, 1, 2, 2, 4};
    int k = rng_.Below(5);
    std::string op = ops[k];
    switch (rng_.Below(4)) {
      case 0: Ins({op, Dest(), Mem(Scratch(widths[k]))}); break;
      case 1: Ins({op, Dest(), FrameLoad(widths[k])}); break;
      case 2: {
        int a = PickDest();
        Ins({"movl", Reg(a), "@" + Scratch(widths[k])});
        Ins({op, Dest(), Mem(Reg(a))});
        break;
      }
      case 3: Ins({"lea", Dest(), FrameLoad(1)}); break;
    }
  }

  void Store() {
    static const char* const ops[] = {"movb", "movw", "movl"};
    static const int widths[] = {1, 2, 4};
    int k = rng_.Below(3);
    std::string op = ops[k];
    switch (rng_.Below(3)) {
      case 0: Ins({op, Mem(Scratch(widths[k])), Src()}); break;
      case 1:
        if (auto at = FrameStore(widths[k])) Ins({op, *at, Src()});
        else Ins({op, Mem(Scratch(widths[k])), Src()});
        break;
      case 2: {
        int a = PickDest();
        Ins({"movl", Reg(a), "@" + Scratch(widths[k])});
        Ins({op, Mem(Reg(a)), Src()});
        break;
      }
    }
  }

  void ReadModifyWrite() {
    int a = PickDest();
    int k = rng_.Below(10);
    Ins({"movl", Reg(a), "@" + Scratch(k < 2 ? 4 : 2)});
    if (k < 2) {
      Ins({k == 0 ? "preop" : "postop", Dest(), Mem(Reg(a)), Imm()});
      return;
    }
    static const char* const ops[] = {"preinc", "postinc", "predec", "postdec"};
    Ins({rng_.Pick(ops), Dest(), (k < 6 ? "byte " : "word ") + Mem(Reg(a))});
  }

  uint32_t FloatValue() {
    int k = rng_.Below(100);
    return k < 40 ? rng_.Pick(kPlainFloats) : k < 80 ? rng_.Pick(kFloatValues) : rng_.Pick(kNaNs);
  }

  void Float() {
    int a = PickDest(), b = PickDest();
    if (rng_.Percent(20)) {  // two NaNs: the result must carry the same one
      Ins({"movl", Reg(a), "$" + Num(rng_.Pick(kNaNs))});
      Ins({"movl", Reg(b), "$" + Num(rng_.Pick(kNaNs))});
    } else {
      Ins({"movl", Reg(a), "$" + Num(FloatValue())});
      Ins({"movl", Reg(b), "$" + Num(rng_.Percent(80) ? FloatValue() : Value())});
    }
    static const char* const ops[] = {"fadd", "fsub", "fmul", "fdiv", "fmod", "fneg", "ftoi", "itof"};
    Ins({rng_.Pick(ops), Reg(a), Reg(b)});
  }

  // A comparison or zero test, then a conditional jump forward over a piece.
  void Branch(int depth) {
    std::string skip = NewLabel();
    switch (rng_.Below(9)) {
      case 0: {  // equal values as often as not
        int a = PickDest(), b = PickDest();
        uint32_t v = Value();
        Ins({"movl", Reg(a), "$" + std::to_string(v)});
        Ins({"movl", Reg(b), "$" + std::to_string(rng_.Percent(50) ? v : Value())});
        Ins({"cmp", Reg(a), Reg(b)});
        break;
      }
      case 1: Ins({"cmp", Src(), Src()}); break;
      case 2: Ins({"cmp", Src(), Imm()}); break;
      case 3: Ins({"sub", Dest(), rng_.Percent(50) ? Src() : Imm()}); break;
      case 4: {
        int a = PickDest(), b = PickDest();
        Ins({"movl", Reg(a), "$" + Num(FloatValue())});
        Ins({"movl", Reg(b), "$" + Num(FloatValue())});
        Ins({"fsub", Reg(a), Reg(b)});
        break;
      }
      case 5: case 6: case 7: {
        std::string w = rng_.Pick({"zerob", "zerow", "zerol"});
        if (place_ == Place::kMain && rng_.Percent(50)) {  // a word whose low bytes are zero, or not
          int off = rng_.Between(-kMainFrame, kMainFrame - 4), a = PickDest();
          std::string at = rng_.Percent(50) ? Frame(off) : "[scratch+" + Num(off + kMainFrame) + "]";
          Ins({"movl", Reg(a), "$" + Num(rng_.Pick({0x0u, 0x10000u, 0x100u, 0x1000000u, 0xFFFF0000u, 0x1u}))});
          Ins({"movl", at, Reg(a)});
          Ins({w, at});
          break;
        }
        Ins({w, rng_.Percent(50) ? Mem(Scratch(4)) : FrameLoad(4)});
        break;
      }
      case 8: break;  // flags left by earlier code
    }
    Line(std::string(rng_.Pick(kConditionalJumps)) + " " + skip);
    for (int i = rng_.Between(1, 3); i > 0; --i) Piece(depth + 1);
    Label(skip);
  }

  // A short backward loop on a counter the body leaves alone.
  void Loop(int depth) {
    int c;
    do c = rng_.Between(1, 5);
    while (avoid_ & (1u << c));
    std::string cr = "r" + std::to_string(c), top = NewLabel();
    int n = rng_.Between(1, 6);
    int form = rng_.Below(10);
    bool counts_up = form >= 2 && form <= 5;
    Line("movl " + cr + ", $" + Num(form == 9 ? -n : counts_up ? 0 : n));
    Label(top);
    uint32_t saved = avoid_;
    avoid_ |= 1u << c;
    for (int i = rng_.Between(1, 3); i > 0; --i) Piece(depth + 1);
    avoid_ = saved;
    switch (form) {
      case 0: Line("sub " + cr + ", $1"); Line("jne " + top); break;
      case 1: Line("sub " + cr + ", $1"); Line("jg " + top); break;  // flags from the old value against 1
      case 2: Line("add " + cr + ", $1"); Line("cmp " + cr + ", $" + Num(n)); Line("jl " + top); break;
      case 3: Line("add " + cr + ", $1"); Line("cmp " + cr + ", $" + Num(n)); Line("jb " + top); break;
      case 4: Line("add " + cr + ", $1"); Line("cmp " + cr + ", $" + Num(n - 1)); Line("jle " + top); break;
      case 5: Line("add " + cr + ", $1"); Line("cmp " + cr + ", $" + Num(n - 1)); Line("jbe " + top); break;
      case 6: Line("sub " + cr + ", $1"); Line("cmp " + cr + ", $0"); Line("ja " + top); break;
      case 7: Line("sub " + cr + ", $1"); Line("cmp " + cr + ", $1"); Line("jge " + top); break;
      case 8: {
        std::string done = NewLabel();
        Line("sub " + cr + ", $1");
        Line("je " + done);
        Line("jmp " + top);
        Label(done);
        break;
      }
      case 9: Line("add " + cr + ", $1"); Line("cmp " + cr + ", $0"); Line("jl " + top); break;
    }
  }

  void Stack(int depth) {
    int n = rng_.Between(1, 3);
    for (int i = 0; i < n; ++i) Ins({"push", rng_.Percent(50) ? Src() : Imm()});
    if (rng_.Percent(30)) Piece(std::max(depth, 1));
    for (int i = 0; i < n; ++i) Line("pop " + Dest());
  }

  void Call() {
    switch (rng_.Below(5)) {
      case 0: Line("push " + Src()); Line("call sub0"); Line("add r7, $4"); break;
      case 1: Line("push " + Src()); Line("call sub1"); Line("add r7, $4"); break;
      case 2: Line("push $" + Num(rng_.Between(0, 5))); Line("call rec"); Line("add r7, $4"); break;
      case 3: {
        int a = PickDest();
        Line("movl " + Reg(a) + ", @sub0");
        Line("push " + Src());
        Line("call " + Reg(a));
        Line("add r7, $4");
        break;
      }
      case 4: Ins({"push", Src()}); Ins({"push", Imm()}); Line("call stub"); Line("add r7, $8"); break;
    }
  }

  // A store into the immediate of an instruction further on (it must run as
  // rewritten), or of one already run (a loop runs it again).
  void SelfModify() {
    std::string site = NewLabel();
    int t = PickDest(), d = PickDest();
    std::string width = rng_.Pick({"movb", "movw", "movl"});
    std::string op = rng_.Pick({"movl", "add", "cmp"});
    auto store = [&] {
      Ins({"movl", Reg(t), Imm()});
      if (rng_.Percent(50)) {
        Ins({width, Mem(site + "+2"), Reg(t)});
      } else {
        int a;
        do a = PickDest();
        while (a == t);
        Ins({"movl", Reg(a), "@" + site + "+2"});
        Ins({width, Mem(Reg(a)), Reg(t)});
      }
    };
    bool before = rng_.Percent(60);
    if (before) store();
    Label(site);
    Ins({op, Reg(d), Imm()});
    if (!before) store();
  }

  void FrameAndStackPointers(int depth) {
    if (place_ != Place::kMain) {  // r6 and r7 hold a live frame here: only read them
      Ins({"movl", Dest(), rng_.Pick({"r6", "r7", "r14", "r15"})});
      return;
    }
    std::string home = "movl r6, @scratch+" + std::to_string(kMainFrame);
    switch (rng_.Below(6)) {
      case 0: {
        static const char* const ops[] = {"add", "sub", "xor", "mul", "movl", "shl", "neg"};
        Ins({rng_.Pick(ops), rng_.Pick({"r6", "r14"}), Src()});
        Line(home);
        break;
      }
      case 1: Line("lea r6, " + FrameLoad(4)); Line(home); break;
      case 2: Line("xchg r6, r7"); Ins({"movl", Dest(), rng_.Pick({"r6", "r7"})}); Line("xchg r7, r6"); break;
      case 3: {  // room on the stack, used through r7
        Line("add r7, $-8");
        Ins({rng_.Pick({"movl", "movw", "movb"}), "[r7]", Src()});
        Ins({rng_.Pick({"movl", "movswl", "movbl"}), Dest(), "[r7]"});
        Line("sub r7, $-8");
        break;
      }
      case 4:
      case 5: {
        if (depth > 0) {
          Line("movl " + Dest() + ", r7");
          break;
        }
        int saved = locals_;
        locals_ = 4 * rng_.Between(0, 8);
        Line("enter " + Num(locals_));
        place_ = Place::kInlineFrame;
        for (int i = rng_.Between(1, 4); i > 0; --i) Piece(1);
        place_ = Place::kMain;
        Line("leave " + Num(locals_));
        locals_ = saved;
        break;
      }
    }
  }

  // How some programs end: runtime errors, endless loops cut by the slice
  // limit, and the ways a context ends.
  void Ending() {
    std::string top = NewLabel();
    switch (rng_.Below(16)) {
      case 0: Line("movl r1, $0"); Ins({rng_.Pick({"div", "mod"}), Dest(), "r1"}); break;
      case 1: Line("movl r2, $0"); Line("call r2"); break;
      case 2: Label(top); Line("push " + Src()); Line("jmp " + top); break;
      case 3: Label(top); Line("pop " + Dest()); Line("jmp " + top); break;
      case 4: Line("add r7, $8"); Line("ret"); break;
      case 5: Line("enter " + Num(rng_.Between(9000, 40000))); break;
      case 6: Line(".byte " + Num(rng_.Between(92, 255))); break;
      case 7: Label(top); Line("jmp " + top); break;
      case 8: Label(top); Line("add r0, $1"); Line("trap 7"); Line("jmp " + top); break;
      case 9: Label(top); Line("push r0"); Line("call " + top); break;
      case 10: Line("movl r7, " + Imm()); Line("push r1"); break;
      case 11: Line("add r7, $8"); Line("enter 4"); Line("leave 4"); break;  // the outermost frame's leave
      case 12: Line("jmp 0xF0000000"); break;                                    // zeros run as nops
      case 13: Line("push $-1"); Line("ret"); break;
      case 14: Line("jmp 0xFFFFFFFF"); break;  // whatever lies at the last address, then from 0
      case 15: Line("movl r2, $-1"); Line("call r2"); break;
    }
  }

  void Functions() {
    place_ = Place::kFunction;
    locals_ = 8;
    avoid_ = 0;
    Label("sub0");
    Line("enter 8");
    Line("movl r1, [fp+8]");
    for (int i = rng_.Between(0, 4); i > 0; --i) Piece(1);
    Line("movl r0, r1");
    Line("leave 8");
    Line("ret");
    Label("sub1");
    Line("enter 8");
    for (int i = rng_.Between(0, 3); i > 0; --i) Piece(1);
    Line("push r2");
    Line("call sub0");
    Line("add r7, $4");
    Line("leave 8");
    Line("ret");
    Label("rec");  // rec(n): n more calls of itself
    Line("enter 4");
    Line("movl r1, [fp+8]");
    Line("movl r0, r1");
    Line("cmp r1, $0");
    Line("jle rec_done");
    Line("movl [fp-24], r1");
    Line("sub r1, $1");
    Line("push r1");
    Line("call rec");
    Line("add r7, $4");
    Line("movl r2, [fp-24]");
    Line("mul r0, r2");
    Label("rec_done");
    Line("leave 4");
    Line("ret");
    Label("stub");
    Line("trap " + Num(rng_.Below(400)));
    Line("ret");
  }

  Rng rng_;
  std::string text_;
  int labels_ = 0;
  uint32_t avoid_ = 0;  // loop counters the code inside the loop must not write
  Place place_ = Place::kMain;
  int locals_ = 0;  // bytes of locals in the current frame (not kMain)
};

TEST(NativeCode, RandomProgramsRunAsInterpreted) {
  NativeSwitchGuard guard;
  int failures = 0;
  for (uint64_t seed = 1; seed <= 500; ++seed) {
    std::string source = ProgramWriter(seed).Write();
    Comparison c = Compare(source);
    if (c.difference.empty()) continue;
    ADD_FAILURE() << "seed " << seed << ", " << c.difference << (++failures <= 3 ? "\nprogram:\n" + source : "");
  }
}

// A straight run of n instructions, then an instruction that ends a block in
// its own way, for n around the 255 a slice may run: the slice must end at
// the same instruction either way.
TEST(NativeCode, SliceBoundaryAtTheEndOfABlock) {
  NativeSwitchGuard guard;
  const std::pair<const char*, const char*> endings[] = {
      {"trap", "trap 3"},
      {"taken jump", "jmp next\nnext:"},
      {"conditional jump", "cmp r0, r0\nje next\nnext:"},
      {"call and ret", "call f"},
      {"store into code", "movl r1, $9\nmovl [next+2], r1\nnext: movl r2, $1"},
      {"fmod", "fmod r3, r3"},
      {"division by zero", "movl r1, $0\ndiv r2, r1"},
      {"illegal opcode", ".byte 200"},
  };
  for (int n = 250; n <= 257; ++n) {
    for (const auto& [name, ending] : endings) {
      std::string source;
      for (int i = 0; i < n; ++i) source += "add r0, $1\n";
      source += std::string(ending) + "\nadd r0, $1000\nret\nf: add r0, $5\nret\n";
      EXPECT_EQ(Compare(source).difference, "") << n << " instructions, then " << name;
    }
  }
}

// Every float instruction on every pair of a few telling values: NaNs of
// both signs and several payloads (which one comes out depends on the
// operand order), infinities, signed zeros and values out of integer range.
TEST(NativeCode, FloatInstructionsOnEdgeValues) {
  NativeSwitchGuard guard;
  const uint32_t values[] = {0x7FC00000u, 0xFFC00000u, 0x7FA00000u, 0x7FC12345u, F(1.5f), 0x80000000u,
                             0x7F800000u, 0xFF800000u, F(3e9f)};
  for (const char* op : {"fadd", "fsub", "fmul", "fdiv", "fmod", "fneg", "ftoi", "itof"}) {
    for (uint32_t a : values) {
      for (uint32_t b : values) {
        Comparison c = Compare("movl r1, $" + std::to_string(a) + "\nmovl r2, $" + std::to_string(b) + "\n" + op +
                               " r1, r2\nret\n");
        EXPECT_EQ(c.difference, "") << std::hex << op << " r1, r2 with r1 = " << a << ", r2 = " << b;
      }
    }
  }
}

// Code placed near the top of the address space, where the program counter
// wraps at 32 bits: a loop and a straight run across the last 2 KiB, and
// across the top to address 0 (the loop's `sub`, the first `add r0, $100`, or
// all of it after a nop at the last address: no instruction straddles the top, whose operand bytes would
// come from past the top rather than from address 0). The bytes are cleared
// again afterwards.
TEST(NativeCode, CodeNearTheTopOfTheAddressSpace) {
  NativeSwitchGuard guard;
  const std::string placed = R"(
        movl r3, $20
loop:   add r0, $1
        sub r3, $1
        jne loop
        add r0, $100
        add r0, $100
        add r0, $100
        add r0, $100
        add r0, $100
        add r0, $100
        add r0, $100
        add r0, $100
        ret
)";
  ASSERT_TRUE(ArenaStart());
  // At the last address a nop, then the code from address 0.
  for (uint32_t at : {0xFFFFF000u, 0xFFFFF7E8u, 0xFFFFF7FDu, 0xFFFFFFF4u, 0xFFFFFFE3u, 0xFFFFFFFFu}) {
    AssembledProgram code = Assemble(at == 0xFFFFFFFFu ? "nop\n" + placed : placed, at);
    ASSERT_TRUE(code.ok()) << code.error;
    for (size_t i = 0; i < code.bytes.size(); ++i) *ToHost(static_cast<uint32_t>(at + i)) = code.bytes[i];
    NoteCodeMayHaveChanged();
    Comparison c = Compare("jmp " + std::to_string(at) + "\n");
    EXPECT_EQ(c.difference, "") << std::hex << "code at " << at;
    EXPECT_EQ(c.interpreted.slices.back().r[0], 820u) << std::hex << "code at " << at;
    for (size_t i = 0; i < code.bytes.size(); ++i) *ToHost(static_cast<uint32_t>(at + i)) = 0;
    NoteCodeMayHaveChanged();
  }
}

// --- Code that changes under its own translation ----------------------------------

// The builtin stores r2 at the address in r1 (and logs the call).
void PokeHook(uint16_t number, ScriptContext* ctx) {
  LogCall(number, ctx);
  Machine::Poke32(ctx->r[1], ctx->r[2]);
}

// Trap 5 sends the context to the address in r1 with r2 = 77, as control
// builtins move a context.
void RedirectHook(uint16_t number, ScriptContext* ctx) {
  LogCall(number, ctx);
  if (number == 5) {
    ctx->pc = ctx->r[1];
    ctx->r[2] = 77;
  }
}

// The host rewrites the immediate at `site` after the first slice and says so.
void RewriteSiteAfterFirstSlice(Machine& m, int slices) {
  if (slices != 1) return;
  Machine::Poke32(m.Label("site") + 2, 7);
  NoteCodeMayHaveChanged();
}

struct RewriteCase {
  std::string name;
  std::string source;
  uint32_t r0;  // what the program leaves
  BuiltinHook hook = LoggingHook;
  void (*between_slices)(Machine& m, int slices) = nullptr;
};

void PrintTo(const RewriteCase& c, std::ostream* os) { *os << c.name; }

// `site` runs twice, WRITE changing its immediate from 5 to 7 after the first
// run: the second run is of code already translated.
const std::string kRewriteLater = R"(
        movl r3, $2
loop:
site:   movl r0, $5
        add r4, r0
        movl r1, @site
        WRITE
        sub r3, $1
        jne loop
        movl r0, r4
        ret
)";

// WRITE sets the immediate of `site` to r2 (8, then 7) just before `site` runs,
// in the same straight run of code.
const std::string kRewriteAhead = R"(
        movl r3, $2
loop:   movl r2, r3
        add r2, $6
        WRITE
site:   movl r0, $5
        add r4, r0
        sub r3, $1
        jne loop
        movl r0, r4
        ret
)";

// A store that starts in bytes before a block and reaches its first byte
// (WRITE) turns `movl r4, $5` into `add r4, $5` for the second run.
const std::string kRewriteFromBefore = R"(
        movl r3, $2
        movl r4, $0
        jmp loop
        .byte 0, 0, 0       ; never run
loop:
site:   movl r4, $5
        WRITE
        sub r3, $1
        jne loop
        movl r0, r4
        ret
)";

// Code built on the stack at X = r7 - 64 (`movl r0, $5`, `ret`) runs, WRITE
// turns its immediate into 7 through the stack pointer, and it runs again.
const std::string kRewriteOnStack = R"(
        movl r5, r7
        add r5, $-64
        movl r1, $0x00057004
        movl [r5], r1
        movl r2, r5
        add r2, $4
        movl r1, $0x00260000
        movl [r2], r1
        call r5
        movl r4, r0
        movl r3, r7
        WRITE
        movl r7, r3
        call r5
        add r0, r4
        ret
)";

std::string With(std::string source, const std::string& write) { return source.replace(source.find("WRITE"), 5, write); }

std::vector<RewriteCase> RewriteCases() {
  std::vector<RewriteCase> cases;
  const std::pair<const char*, const char*> later[] = {
      {"long store", "movl r2, $7\nmovl [site+2], r2"},
      {"word store", "movl r2, $7\nmovw [site+2], r2"},
      {"byte store", "movl r2, $7\nmovb [site+2], r2"},
      {"frame store", "movl r6, r1\nmovl r2, $7\nmovb [fp+2], r2"},
      {"indirect byte store", "add r1, $2\nmovl r2, $7\nmovb [r1], r2"},
      {"indirect word store", "add r1, $2\nmovl r2, $7\nmovw [r1], r2"},
      {"indirect long store", "add r1, $2\nmovl r2, $7\nmovl [r1], r2"},
      {"preop", "add r1, $2\npreop r2, [r1], $2"},
      {"postop", "add r1, $2\npostop r2, [r1], $2"},
      {"preinc byte", "add r1, $2\npreinc r2, byte [r1]\npreinc r2, byte [r1]"},
      {"postinc word", "add r1, $2\npostinc r2, word [r1]\npostinc r2, word [r1]"},
      {"store, then a builtin ends the slice", "movl r2, $7\nmovl [site+2], r2\ntrap 1"},
  };
  for (const auto& [name, write] : later)
    cases.push_back({std::string("rewritten for its next run by a ") + name, With(kRewriteLater, write), 12});
  cases.push_back({"rewritten for its next run by postdec byte", With(kRewriteLater, "add r1, $2\npostdec r2, byte [r1]"), 9});
  cases.push_back({"rewritten for its next run by a builtin", With(kRewriteLater, "add r1, $2\nmovl r2, $7\ntrap 0"), 12,
                   PokeHook});
  const std::pair<const char*, const char*> ahead[] = {
      {"byte store", "movb [site+2], r2"},
      {"long store", "movl [site+2], r2"},
      {"indirect store", "movl r1, @site+2\nmovl [r1], r2"},
      {"frame store", "movl r6, @site\nmovw [fp+2], r2"},
  };
  for (const auto& [name, write] : ahead)
    cases.push_back({std::string("rewritten just before it runs by a ") + name, With(kRewriteAhead, write), 15});
  cases.push_back({"opcode rewritten by a long store starting before its block",
                   With(kRewriteFromBefore, "movl r2, $0x3B000000\nmovl [site-3], r2"), 10});
  cases.push_back({"opcode rewritten by a word store starting before its block",
                   With(kRewriteFromBefore, "movl r2, $0x3B00\nmovw [site-1], r2"), 10});
  cases.push_back({"code on the stack rewritten by push", With(kRewriteOnStack, "movl r7, r5\nadd r7, $6\npush $7"), 12});
  // enter stores r1 to r6 in 24 bytes: only r6, the last word, lands on the code.
  cases.push_back({"code on the stack rewritten by the last word enter stores",
                   With(kRewriteOnStack, "movl r6, $0x00077004\nmovl r7, r5\nadd r7, $4\nenter 0"), 12});
  cases.push_back({"opcode rewritten just before it runs", R"(
        movl r0, $5
        movl r4, $100
        movl r1, $60        ; sub
        movb [op], r1
op:     add r4, r0
        movl r0, r4
        ret
)", 95});
  // 03 12 is `movl r2, r1`; the old immediate then runs as `movl r0, r2`, nop, ret.
  cases.push_back({"instruction shortened just before it runs", R"(
        movl r1, $0x1203
        movw [site], r1
site:   movl r2, $0x26002003
        movl r0, $1
        ret
)", 0x1203});
  cases.push_back({"jump target rewritten just before the jump", R"(
        movl r1, @b
        movl [j+1], r1
j:      jmp a
a:      movl r0, $1
        ret
b:      movl r0, $2
        ret
)", 2});
  cases.push_back({"function rewritten between two calls", R"(
        call f
        movl r4, r0
        movl r1, $7
        movl [f+2], r1
        call f
        add r0, r4
        ret
f:      movl r0, $5
        ret
)", 12});
  // Each turn runs `site` with the immediate the turn before stored, over
  // several slices: 300 + 299 + ... + 2.
  cases.push_back({"rewritten on every turn of a loop that runs for several slices", R"(
        movl r3, $300
loop:
site:   movl r0, $0
        add r4, r0
        movl [site+2], r3
        sub r3, $1
        jne loop
        movl r0, r4
        ret
)", 300 * 301 / 2 - 1});
  // 64 full turns of the loop and the start of one more run before the
  // rewrite (255 instructions), the other 136 after it.
  cases.push_back({"rewritten by the host between slices", R"(
        movl r3, $200
loop:
site:   movl r0, $5
        add r4, r0
        sub r3, $1
        jne loop
        movl r0, r4
        ret
)", 64 * 5 + 136 * 7, LoggingHook, RewriteSiteAfterFirstSlice});
  // The immediate of `mid` reads as 03 10 (`movl r0, r1`), nop, ret.
  cases.push_back({"entered in the middle of an instruction already run", R"(
        movl r1, $42
        movl r3, $2
loop:   movl r0, $0
mid:    movl r2, $0x26001003
        sub r3, $1
        je mid+2
        jmp loop
)", 42});
  cases.push_back({"resumed where a builtin sent it", R"(
        movl r1, @there
        trap 5
        movl r0, $1
        ret
there:  movl r0, r2
        ret
)", 77, RedirectHook});
  return cases;
}

class CodeChangeTest : public testing::TestWithParam<RewriteCase> {};

TEST_P(CodeChangeTest, RunsAsItsBytesReadNow) {
  NativeSwitchGuard guard;
  const RewriteCase& c = GetParam();
  RunOptions options;
  options.hook = c.hook;
  options.between_slices = c.between_slices;
  Comparison run = Compare(c.source, options);
  EXPECT_EQ(run.difference, "");
  for (const Trace* t : {&run.interpreted, &run.native[0], &run.native[1], &run.native[2], &run.native[3]}) {
    ASSERT_FALSE(t->slices.empty());
    EXPECT_EQ(t->slices.back().state, kContextEnded) << (t == &run.interpreted ? "interpreter" : "native");
    EXPECT_EQ(t->slices.back().r[0], c.r0) << (t == &run.interpreted ? "interpreter" : "native");
    EXPECT_TRUE(t->errors.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(NativeCode, CodeChangeTest, testing::ValuesIn(RewriteCases()), [](const auto& info) {
  std::string name;
  for (char ch : info.param.name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
});

// A thread that runs the jobs handed to it one at a time, keeping its own
// state (such as its translations) from one job to the next.
class Worker {
 public:
  Worker() : thread_([this] { Loop(); }) {}
  ~Worker() {
    Do(nullptr);
    thread_.join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Runs the job on the worker and returns when it is done.
  void Do(std::function<void()> job) {
    std::unique_lock lock(mutex_);
    job_ = std::move(job);
    has_job_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !has_job_; });
  }

 private:
  void Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return has_job_; });
      bool last = !job_;
      if (job_) job_();
      has_job_ = false;
      changed_.notify_all();
      if (last) return;
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> job_;
  bool has_job_ = false;
  std::thread thread_;  // last: it starts with the members above ready
};

// A program freed and another of the same size created in its block: the new
// bytes run, not the old program's translation; also when both run on a
// thread other than the one that frees and creates them.
TEST(NativeCode, NewProgramInAFreedBlockRunsItsOwnCode) {
  NativeSwitchGuard guard;
  SetNativeCodeEnabled(true);
  auto with = [](int imm) { return "movl r3, $3\nloop: add r0, $" + std::to_string(imm) + "\nsub r3, $1\njne loop\nret\n"; };
  for (bool on_worker : {false, true}) {
    SCOPED_TRACE(on_worker ? "run on another thread" : "run on this thread");
    Worker worker;
    auto run = [&](Machine& m) {
      if (on_worker) worker.Do([&] { m.Run(); });
      else m.Run();
    };
    uint32_t first_base = 0;
    {
      Machine first(with(5));
      run(first);
      EXPECT_EQ(first.ctx->r[0], 15u);
      first_base = first.ctx->program_base;
    }
    // The arena usually hands the block out again at once; blocks it hands
    // out elsewhere stay taken until it does.
    std::vector<std::unique_ptr<Machine>> tries;
    for (int i = 0; i < 64; ++i) {
      tries.push_back(std::make_unique<Machine>(with(7)));
      if (tries.back()->ctx->program_base == first_base) break;
    }
    Machine& second = *tries.back();
    if (second.ctx->program_base != first_base) GTEST_SKIP() << "the arena did not hand out the freed block again";
    run(second);
    EXPECT_EQ(second.ctx->state, kContextEnded);
    EXPECT_EQ(second.ctx->r[0], 21u);
  }
}

// Two contexts of one program on two threads: one spins on an immediate that
// the other rewrites; the spinning one must see the new bytes.
TEST(NativeCode, ThreadSeesCodeRewrittenByAnotherThread) {
  NativeSwitchGuard guard;
  for (bool native : {false, true}) {
    SCOPED_TRACE(native ? "native" : "interpreted");
    SetNativeCodeEnabled(native);
    Machine m(R"(
spin:   movl r0, $0
        cmp r0, $0
        je spin
        ret
writer: movl r1, $1
        movl [spin+2], r1
        ret
)");
    ScriptContext* writer = CloneContext(m.ctx, 0);
    ASSERT_NE(writer, nullptr);
    writer->pc = m.Label("writer");
    writer->r[7] -= 8;  // a thread's start, as the Machine makes it
    Machine::Poke32(writer->r[7], 0xFFFFFFFFu);
    std::atomic<int> spinner_slices{0};
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::thread spinner([&] {
      while (m.ctx->state == kContextRunning && std::chrono::steady_clock::now() < deadline) {
        RunContext(m.ctx);
        ++spinner_slices;
      }
    });
    std::thread rewriter([&] {
      while (spinner_slices < 20 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      while (writer->state == kContextRunning && std::chrono::steady_clock::now() < deadline) RunContext(writer);
    });
    rewriter.join();
    spinner.join();
    EXPECT_EQ(writer->state, kContextEnded);
    EXPECT_EQ(m.ctx->state, kContextEnded) << "the spinning context never saw the rewritten immediate";
    EXPECT_EQ(m.ctx->r[0], 1u);
    FreeContext(writer);
  }
}

// What became of a loop when another thread set the stop flag.
struct StoppedLoop {
  bool returned = false;    // RunContext kept returning
  bool moved_after = false;  // the context changed after the slice in flight ended
  uint32_t r0 = 0, pc = 0;
  uint32_t program_base = 0;
};

// A loop run slice after slice on a thread of its own, as a script thread
// runs it. Shared with that thread, and left to it if RunContext never returns.
struct LoopRun {
  explicit LoopRun(const std::string& source) : m(source) {}
  Machine m;
  std::atomic<int> slices{0};
  std::atomic<bool> quit{false};
};

// Starts the loop, sets the stop flag from this thread once it runs, and
// looks at the context after the slice in flight has ended.
StoppedLoop StopWhileLooping(const std::string& source) {
  StoppedLoop result;
  auto run = std::make_shared<LoopRun>(source);
  std::thread runner([run] {
    while (!run->quit) {
      RunContext(run->m.ctx);
      ++run->slices;
    }
  });
  auto wait_for = [&](int count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (run->slices < count && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return run->slices >= count;
  };
  bool running = wait_for(50);
  SetScriptStopFlag(1);
  int at_stop = run->slices;
  // The slice in flight has ended once two more calls returned.
  result.returned = running && wait_for(at_stop + 2);
  if (!result.returned) {
    run->quit = true;
    runner.detach();
    return result;
  }
  const ScriptContext* ctx = run->m.ctx;
  result.program_base = ctx->program_base;
  result.r0 = ctx->r[0];
  result.pc = ctx->pc;
  wait_for(at_stop + 20);
  run->quit = true;
  runner.join();
  RunContext(run->m.ctx);
  result.moved_after = ctx->r[0] != result.r0 || ctx->pc != result.pc || ctx->state != kContextRunning;
  return result;
}

// The stop flag set from another thread while a loop runs: the slice in
// flight ends at the loop's next jump, and nothing more of the loop runs.
TEST(NativeCode, StopFlagFromAnotherThreadEndsTightLoops) {
  NativeSwitchGuard guard;
  for (bool native : {false, true}) {
    SCOPED_TRACE(native ? "native" : "interpreted");
    SetNativeCodeEnabled(native);
    StoppedLoop jump_loop = StopWhileLooping("loop: jmp loop\n");
    ASSERT_TRUE(jump_loop.returned) << "RunContext did not return from `loop: jmp loop`";
    EXPECT_FALSE(jump_loop.moved_after);
    // Each turn of the counting loop is two instructions, so r0 and pc tell
    // how many ran: a count that is not a whole number of 255-instruction
    // slices shows the slice in flight stopped early. The flag may land
    // between two slices, so one such stop in ten tries is enough.
    bool stopped_early = false;
    for (int attempt = 0; attempt < 10 && !stopped_early; ++attempt) {
      StoppedLoop counting = StopWhileLooping("loop: add r0, $1\njmp loop\n");
      ASSERT_TRUE(counting.returned) << "RunContext did not return from a counting loop";
      EXPECT_FALSE(counting.moved_after);
      uint64_t ran = 2 * uint64_t{counting.r0} - (counting.pc != counting.program_base ? 1 : 0);
      stopped_early = ran % 255 != 0;
    }
    EXPECT_TRUE(stopped_early) << "the stop flag was only seen between slices";
  }
}

}  // namespace
