// The translator and its runner. See native_code.h for what a block is and
// what the machine code promises.
//
// Machine state while native code runs:
//   r0..r7  in r8d, r9d, r10d, r11d, r12d, r13d, r14d, ebx
//   r15     base of the arena; every access is [r15 + a zero-extended
//           32-bit address], so no address leaves the reservation
//   rbp     the NativeFrame: flags, budget, exit pc and reason, stack bounds
//   rsi     the code map (one byte per 16 bytes of script memory, nonzero
//           where translated code lies)
//   rdi     the script stop flag
//   rax, rcx, rdx, xmm0, xmm1 scratch
// The flags live in the frame as the three bytes the context keeps.
#include "vm/native_code.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vm/arena.h"
#include "vm/opcodes.h"

namespace {

std::atomic<uint32_t> code_epoch{1};
std::atomic<uint32_t> forget_generation{1};  // grows when marks are cleared
std::atomic<int> native_state{-1};  // -1 not decided yet, 0 off, 1 on

}  // namespace

// A plain increment: when two threads race, one increment may be lost, but
// the word still changes after every write it stands for, which is all a
// block checks for.
void NoteCodeMayHaveChanged() {
  code_epoch.store(code_epoch.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

#if defined(__x86_64__)

namespace {

// Code at or above this address is left to the interpreter, which wraps the
// program counter at 32 bits (same bound as the interpreter's own guard).
constexpr uint32_t kTopGuard = 0xFFFFFFFFu - 2047;
constexpr int kMaxBlockInstructions = 64;
constexpr uint32_t kMaxBlockBytes = kMaxBlockInstructions * 6;
constexpr size_t kCodeMapBytes = (size_t{1} << 28) + 64;
constexpr size_t kCodeBufferBytes = 8u << 20;
constexpr size_t kBlockReserve = 16u << 10;  // room one block may need at most
// Block headers sit in a data area right after the code, near enough for
// rip-relative operands but never on a line of code: a write there would
// make the processor throw away the code it has fetched.
constexpr size_t kHeaderCount = 64u << 10;
constexpr uint32_t kTableSize = 4096;
// Code is translated where a run has started this many times (a slice, or a
// transfer out of machine code); until then the interpreter runs it, so code
// that runs once, like a game's set-up, costs no translation.
std::atomic<int> hot_count{8};

uint8_t* code_map = nullptr;  // g_code_map once a block is translated
std::once_flag code_map_once;

// Every range of script memory some thread has translated, for the exact
// check after a store hit the coarse map.
std::mutex ranges_lock;
std::set<std::pair<uint32_t, uint32_t>> translated_ranges;  // [start, end)

bool CodeMapReady() {
  std::call_once(code_map_once, [] {
    void* p = mmap(nullptr, kCodeMapBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) code_map = static_cast<uint8_t*>(p);
  });
  return code_map != nullptr;
}

// A store of up to 4 bytes at `a` touches [a, a + 4): it meets code in
// [start, end) when a lies in [start - 3, end), so those granules are marked.
void MarkCode(uint32_t start, uint32_t end) {
  g_code_map.store(code_map, std::memory_order_relaxed);
  uint32_t from = start < 3 ? 0 : start - 3;
  std::lock_guard lock(ranges_lock);
  for (uint32_t g = from >> 4; g <= (end - 1) >> 4; ++g)
    std::atomic_ref<uint8_t>(code_map[g]).store(1, std::memory_order_relaxed);
  translated_ranges.emplace(start, end);
}

bool OverlapsTranslatedCode(uint32_t addr, uint32_t bytes) {
  uint64_t lo = addr, hi = uint64_t{addr} + bytes;
  std::lock_guard lock(ranges_lock);
  auto it = translated_ranges.lower_bound({lo > kMaxBlockBytes ? static_cast<uint32_t>(lo - kMaxBlockBytes) : 0, 0});
  for (; it != translated_ranges.end() && it->first < hi; ++it)
    if (it->second > lo) return true;
  return false;
}

// What the machine code shares with the runner. Offsets are used by the
// emitted code.
struct NativeFrame {
  uint32_t r[8];
  uint8_t zf, lf, bf, pad;
  int32_t budget;
  uint32_t pc;          // where the run goes on
  uint32_t reason;      // why the machine code returned
  uint32_t stack_base;
  uint32_t stack_size;
  uint32_t store_addr;  // a store that met translated code
  uint32_t store_size;
  const uint8_t* code_map;
  const std::atomic<uint32_t>* stop_flag;
  const std::atomic<uint32_t>* epoch;
  const void* table;
  const std::atomic<uint32_t>* forget;
};

enum ExitReason : uint32_t {
  kExitStop,       // the stop flag was set at a block's start
  kExitLookup,     // a transfer to pc found no block in the table
  kExitValidate,   // the block at pc must check its bytes first
  kExitBudget,     // the block at pc does not fit in what is left of the slice
  kExitStep,       // the instruction at pc is the interpreter's (an error, the end, a trap)
  kExitStepStore,  // the same, for a store into translated code
};

// The direct-mapped table the machine code looks transfers up in: entry
// pc % kTableSize. An empty entry leads to the lookup's miss path, whatever
// pc it holds (every 32-bit value is a possible target).
struct TableEntry {
  uint32_t pc;
  uint32_t pad;
  const uint8_t* code;
};
static_assert(sizeof(TableEntry) == 16);  // the lookup scales the index by shifting it 4

// One per block, in the header area after the code buffer: the epoch at
// which its bytes were last found as translated, and the forget generation
// at which its bytes were last marked in the code map.
struct BlockHeader {
  uint32_t epoch;
  uint32_t marked;
};

struct Block {
  uint32_t start = 0;
  int count = 0;                 // instructions run natively
  std::vector<uint8_t> bytes;    // the script bytes it was made from
  uint8_t* code = nullptr;       // entry
  BlockHeader* header = nullptr;
};

using EnterFn = void (*)(NativeFrame*, uint8_t* mem, const uint8_t* code);

// --- x86-64 encoding -----------------------------------------------------------

enum Reg : int { RAX, RCX, RDX, RBX, RSP, RBP, RSI, RDI, R8, R9, R10, R11, R12, R13, R14, R15 };
constexpr int kVm[8] = {R8, R9, R10, R11, R12, R13, R14, RBX};

enum Cond : uint8_t { kB = 2, kAE = 3, kE = 4, kNE = 5, kBE = 6, kA = 7, kNP = 0xB, kL = 0xC, kGE = 0xD, kLE = 0xE, kG = 0xF };

struct Mem {
  int base;
  int index;  // -1 none
  int32_t disp;
};
Mem At(int index) { return {R15, index, 0}; }  // arena byte at a 32-bit address
Mem Frame(size_t offset) { return {RBP, -1, static_cast<int32_t>(offset)}; }
#define FRAME(field) Frame(offsetof(NativeFrame, field))

struct Emitter {
  uint8_t* p;

  void B(uint8_t b) { *p++ = b; }
  void D(uint32_t v) { std::memcpy(p, &v, 4); p += 4; }
  void Rex(bool w, int reg, int index, int base) {
    uint8_t rex = 0x40 | (w << 3) | ((reg >> 3) & 1) << 2 | ((index >> 3) & 1) << 1 | ((base >> 3) & 1);
    if (rex != 0x40) B(rex);
  }
  void ModRm(int reg, const Mem& m) {
    int mod = (m.disp == 0 && (m.base & 7) != 5) ? 0 : (m.disp >= -128 && m.disp <= 127) ? 1 : 2;
    if (m.index < 0 && (m.base & 7) != 4) {
      B(static_cast<uint8_t>(mod << 6 | (reg & 7) << 3 | (m.base & 7)));
    } else {
      B(static_cast<uint8_t>(mod << 6 | (reg & 7) << 3 | 4));
      B(static_cast<uint8_t>(((m.index < 0 ? 4 : m.index) & 7) << 3 | (m.base & 7)));
    }
    if (mod == 1) B(static_cast<uint8_t>(m.disp));
    if (mod == 2) D(static_cast<uint32_t>(m.disp));
  }
  // op reg, [mem] (or [mem], reg, by the opcode)
  void RM(std::initializer_list<uint8_t> prefix, std::initializer_list<uint8_t> op, int reg, const Mem& m,
          bool w = false) {
    for (uint8_t b : prefix) B(b);
    Rex(w, reg, m.index < 0 ? 0 : m.index, m.base);
    for (uint8_t b : op) B(b);
    ModRm(reg, m);
  }
  // op reg, rm (both registers)
  void RR(std::initializer_list<uint8_t> prefix, std::initializer_list<uint8_t> op, int reg, int rm, bool w = false) {
    for (uint8_t b : prefix) B(b);
    Rex(w, reg, 0, rm);
    for (uint8_t b : op) B(b);
    B(static_cast<uint8_t>(0xC0 | (reg & 7) << 3 | (rm & 7)));
  }

  void Mov(int dst, int src) { if (dst != src) RR({}, {0x89}, src, dst); }
  void MovImm(int dst, uint32_t imm) { Rex(false, 0, 0, dst); B(static_cast<uint8_t>(0xB8 | (dst & 7))); D(imm); }
  void Load(int dst, const Mem& m) { RM({}, {0x8B}, dst, m); }
  void Store(const Mem& m, int src) { RM({}, {0x89}, src, m); }
  void Lea(int dst, int base, int32_t disp) { RM({}, {0x8D}, dst, {base, -1, disp}); }
  void Alu(uint8_t op, int dst, int src) { RR({}, {op}, src, dst); }  // 01 add, 09 or, 21 and, 29 sub, 31 xor, 39 cmp, 85 test
  void AluImm(int digit, int dst, uint32_t imm) { RR({}, {0x81}, digit, dst); D(imm); }  // 0 add, 5 sub, 6 xor, 7 cmp
  void AluMemImm(int digit, const Mem& m, uint32_t imm) { RM({}, {0x81}, digit, m); D(imm); }
  void CmpMem8(const Mem& m, uint8_t imm) { RM({}, {0x80}, 7, m); B(imm); }
  void CmpMem32Zero(const Mem& m) { RM({}, {0x83}, 7, m); B(0); }
  void SetMem(Cond c, const Mem& m) { RM({}, {0x0F, static_cast<uint8_t>(0x90 | c)}, 0, m); }
  void SetReg(Cond c, int r) { RR({}, {0x0F, static_cast<uint8_t>(0x90 | c)}, 0, r); }
  void MovMemImm32(const Mem& m, uint32_t imm) { RM({}, {0xC7}, 0, m); D(imm); }
  void MovMemImm8(const Mem& m, uint8_t imm) { RM({}, {0xC6}, 0, m); B(imm); }
  // Jumps with a 32-bit displacement; the returned position is patched later.
  uint8_t* Jcc(Cond c) { B(0x0F); B(static_cast<uint8_t>(0x80 | c)); D(0); return p - 4; }
  void JmpTo(const uint8_t* target) { B(0xE9); D(static_cast<uint32_t>(target - (p + 4))); }
  // Short local jumps within one instruction's code.
  uint8_t* Jcc8(Cond c) { B(static_cast<uint8_t>(0x70 | c)); B(0); return p - 1; }
  uint8_t* Jmp8() { B(0xEB); B(0); return p - 1; }
  void Here8(uint8_t* at) { *at = static_cast<uint8_t>(p - (at + 1)); }
  static void Patch(uint8_t* at, const uint8_t* target) {
    uint32_t rel = static_cast<uint32_t>(target - (at + 4));
    std::memcpy(at, &rel, 4);
  }
};

// --- The per-thread cache ---------------------------------------------------------

struct Cache {
  uint8_t* buffer = nullptr;
  size_t used = 0;
  size_t stubs_end = 0;
  BlockHeader* headers = nullptr;
  size_t headers_used = 0;
  static constexpr size_t kMappingBytes = kCodeBufferBytes + kHeaderCount * sizeof(BlockHeader);
  EnterFn enter = nullptr;
  uint8_t* exit_common = nullptr;
  uint8_t* lookup_common = nullptr;
  uint8_t* lookup_miss = nullptr;  // ecx = the pc that has no block here
  alignas(64) std::array<TableEntry, kTableSize> table;
  std::array<Block*, kTableSize> table_blocks;
  std::unordered_map<uint32_t, std::unique_ptr<Block>> blocks;
  std::unordered_map<uint32_t, int> starts;  // runs started at a pc not translated yet

  Cache() {
    void* p = mmap(nullptr, kMappingBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    if (mprotect(p, kCodeBufferBytes, PROT_READ | PROT_WRITE | PROT_EXEC) != 0) {
      munmap(p, kMappingBytes);
      return;
    }
    buffer = static_cast<uint8_t*>(p);
    headers = reinterpret_cast<BlockHeader*>(buffer + kCodeBufferBytes);
    EmitStubs();
    ClearTable();
  }
  ~Cache() {
    if (buffer) munmap(buffer, kMappingBytes);
  }
  Cache(const Cache&) = delete;
  Cache& operator=(const Cache&) = delete;

  void ClearTable() {
    for (TableEntry& e : table) e = {0xFFFFFFFFu, 0, lookup_miss};
    table_blocks.fill(nullptr);
  }
  void Install(Block& b) {
    table[b.start & (kTableSize - 1)] = {b.start, 0, b.code};
    table_blocks[b.start & (kTableSize - 1)] = &b;
  }
  void Flush() {
    blocks.clear();
    starts.clear();
    ClearTable();
    used = stubs_end;
    headers_used = 0;
  }

  // enter(frame, mem, code), the common exit and the table lookup.
  void EmitStubs() {
    Emitter e{buffer};
    enter = reinterpret_cast<EnterFn>(e.p);
    for (int r : {RBX, RBP, R12, R13, R14, R15}) { e.Rex(false, 0, 0, r); e.B(static_cast<uint8_t>(0x50 | (r & 7))); }
    e.RR({}, {0x89}, RDI, RBP, true);  // mov rbp, rdi
    e.RR({}, {0x89}, RSI, R15, true);  // mov r15, rsi
    e.RM({}, {0x8B}, RSI, FRAME(code_map), true);
    e.RM({}, {0x8B}, RDI, FRAME(stop_flag), true);
    for (int i = 0; i < 8; ++i) e.Load(kVm[i], Frame(offsetof(NativeFrame, r) + 4 * i));
    e.RR({}, {0xFF}, 4, RDX);  // jmp rdx

    exit_common = e.p;
    for (int i = 0; i < 8; ++i) e.Store(Frame(offsetof(NativeFrame, r) + 4 * i), kVm[i]);
    for (int r : {R15, R14, R13, R12, RBP, RBX}) { e.Rex(false, 0, 0, r); e.B(static_cast<uint8_t>(0x58 | (r & 7))); }
    e.B(0xC3);

    // ecx = target pc
    lookup_common = e.p;
    e.Mov(RAX, RCX);
    e.AluImm(4, RAX, kTableSize - 1);                 // and eax, mask
    e.RR({}, {0xC1}, 4, RAX); e.B(4);                   // shl eax, 4
    e.RM({}, {0x8B}, RDX, FRAME(table), true);          // mov rdx, [table]
    e.RM({}, {0x3B}, RCX, Mem{RDX, RAX, 0});            // cmp ecx, [rdx + rax]
    uint8_t* miss = e.Jcc8(kNE);
    e.RM({}, {0xFF}, 4, Mem{RDX, RAX, 8});              // jmp [rdx + rax + 8]
    e.Here8(miss);
    lookup_miss = e.p;
    e.Store(FRAME(pc), RCX);
    e.MovMemImm32(FRAME(reason), kExitLookup);
    e.JmpTo(exit_common);
    used = stubs_end = static_cast<size_t>(e.p - buffer);
  }
};

Cache* ThreadCache() {
  thread_local std::unique_ptr<Cache> cache;
  if (!cache) cache = std::make_unique<Cache>();
  return cache->buffer ? cache.get() : nullptr;  // no mapping: this thread interprets
}

// --- Translation ---------------------------------------------------------------------

bool Translatable(uint8_t op) { return op < kOpcodeCount && op != kTrap && op != kFmod; }
bool EndsBlock(uint8_t op) { return op == kJmp || op == kCall || op == kCallR || op == kRet; }

struct Instruction {
  uint32_t pc;
  uint8_t op, d, s;
  uint32_t imm;
  uint32_t next;
};

class Translator {
 public:
  // `code` runs natively; `end` is where it ends, and `step_at_end` says the
  // instruction there is the interpreter's.
  Translator(Cache& cache, const std::vector<Instruction>& code, uint32_t start, uint32_t end, bool step_at_end,
             const uint8_t* bytes)
      : c_(cache), code_(code), start_(start), end_(end), step_at_end_(step_at_end), bytes_(bytes),
        n_(static_cast<int>(code.size())) {}

  // Emits the block; returns its entry.
  uint8_t* Emit(BlockHeader** header) {
    e_.p = c_.buffer + ((c_.used + 7) & ~size_t{7});
    header_ = *header = &c_.headers[c_.headers_used++];
    entry_ = e_.p;
    // Prologue: the stop flag, the block's bytes, the budget.
    e_.CmpMem32Zero(Mem{RDI, -1, 0});
    Exit(e_.Jcc(kNE), kStubStop, 0);
    e_.RM({}, {0x8B}, RAX, FRAME(epoch), true);
    e_.Load(RAX, Mem{RAX, -1, 0});
    RipOperand(0x3B, RAX, &header_->epoch);  // cmp eax, [epoch]
    Exit(e_.Jcc(kNE), kStubValidate, 0);
    checked_ = e_.p;
    e_.AluMemImm(5, FRAME(budget), static_cast<uint32_t>(n_));
    Exit(e_.Jcc(kLE), kStubBudget, 0);

    bool open_end = true;
    for (int i = 0; i < n_; ++i) open_end = EmitInstruction(i);
    if (open_end && step_at_end_) {
      e_.MovMemImm32(FRAME(pc), end_);
      e_.MovMemImm32(FRAME(reason), kExitStep);
      e_.JmpTo(c_.exit_common);
    } else if (open_end) {
      Jump(end_);
    }
    for (const PendingExit& x : exits_) EmitExit(x);
    c_.used = static_cast<size_t>(e_.p - c_.buffer);
    return entry_;
  }

 private:
  enum StubKind { kStubStop, kStubValidate, kStubBudget, kStubStep, kStubStepStore, kStubTaken };
  struct PendingExit {
    uint8_t* at;
    StubKind kind;
    int index;
    uint32_t value;  // target for kStubTaken, store size for kStubStepStore
  };

  void Exit(uint8_t* at, StubKind kind, int index, uint32_t value = 0) { exits_.push_back({at, kind, index, value}); }

  // op reg, [rip + to a header word]
  void RipOperand(uint8_t op, int reg, const uint32_t* word) {
    e_.B(op);
    e_.B(static_cast<uint8_t>(0x05 | (reg & 7) << 3));
    e_.D(static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(word) - (e_.p + 4)));
  }

  // Run after a change of epoch (eax holds the new one): when the block's
  // bytes are still those it was made from, and its marks in the code map
  // stand, the block takes the new epoch and runs; otherwise the runner
  // translates it again.
  void EmitByteCheck() {
    std::vector<uint8_t*> fails;
    e_.RM({}, {0x8B}, RDX, FRAME(forget), true);
    e_.Load(RDX, Mem{RDX, -1, 0});
    RipOperand(0x3B, RDX, &header_->marked);
    fails.push_back(e_.Jcc(kNE));
    e_.MovImm(RCX, start_);
    const uint8_t* bytes = bytes_;
    uint32_t length = end_ - start_ + (step_at_end_ ? 1 : 0);
    uint32_t at = 0;
    for (; at + 8 <= length; at += 8) {
      uint64_t v;
      std::memcpy(&v, bytes + at, 8);
      e_.B(0x48); e_.B(0xBA); std::memcpy(e_.p, &v, 8); e_.p += 8;       // mov rdx, imm64
      e_.RM({}, {0x39}, RDX, Mem{R15, RCX, static_cast<int32_t>(at)}, true);  // cmp [r15 + rcx + at], rdx
      fails.push_back(e_.Jcc(kNE));
    }
    for (; at < length; ++at) {
      e_.RM({}, {0x80}, 7, Mem{R15, RCX, static_cast<int32_t>(at)});
      e_.B(bytes[at]);
      fails.push_back(e_.Jcc(kNE));
    }
    RipOperand(0x89, RAX, &header_->epoch);  // mov [epoch], eax
    e_.JmpTo(checked_);
    for (uint8_t* f : fails) Emitter::Patch(f, e_.p);
  }

  void EmitExit(const PendingExit& x) {
    Emitter::Patch(x.at, e_.p);
    auto leave = [&](uint32_t pc, ExitReason reason) {
      e_.MovMemImm32(FRAME(pc), pc);
      e_.MovMemImm32(FRAME(reason), reason);
      e_.JmpTo(c_.exit_common);
    };
    auto refund = [&](int instructions) {
      if (instructions) e_.AluMemImm(0, FRAME(budget), static_cast<uint32_t>(instructions));
    };
    switch (x.kind) {
      case kStubStop: leave(start_, kExitStop); break;
      case kStubValidate: EmitByteCheck(); leave(start_, kExitValidate); break;
      case kStubBudget: refund(n_); leave(start_, kExitBudget); break;
      case kStubStepStore:
        e_.Store(FRAME(store_addr), RAX);
        e_.MovMemImm32(FRAME(store_size), x.value);
        [[fallthrough]];
      case kStubStep: refund(n_ - x.index); leave(code_[x.index].pc, x.kind == kStubStep ? kExitStep : kExitStepStore); break;
      case kStubTaken:
        refund(n_ - x.index - 1);
        Jump(x.value);
        break;
    }
  }

  // Control goes on at `target` (the budget already settled).
  // A block already translated for the target is entered straight away (its
  // prologue checks it is still current); any other target is looked up.
  void Jump(uint32_t target) {
    auto known = c_.blocks.find(target);
    if (target == start_) {
      e_.JmpTo(entry_);
    } else if (known != c_.blocks.end()) {
      e_.JmpTo(known->second->code);
    } else {
      e_.MovImm(RCX, target);
      e_.JmpTo(c_.lookup_common);
    }
  }
  void Transfer(uint32_t target, int index) {
    int rest = n_ - index - 1;
    if (rest) e_.AluMemImm(0, FRAME(budget), static_cast<uint32_t>(rest));
    Jump(target);
  }
  void TransferToRcx() { e_.JmpTo(c_.lookup_common); }

  // Leaves the instruction to the interpreter when the new stack pointer in
  // `reg` is outside the stack.
  void CheckStack(int reg, int index) {
    e_.Mov(RDX, reg);
    e_.RM({}, {0x2B}, RDX, FRAME(stack_base));  // sub edx, [stack_base]
    e_.RM({}, {0x3B}, RDX, FRAME(stack_size));  // cmp edx, [stack_size]
    Exit(e_.Jcc(kAE), kStubStep, index);
  }
  // Leaves the instruction to the interpreter when a store of `bytes` at eax
  // may meet translated code. `wide` checks four granules (a 24-byte store).
  void CheckStore(int index, uint32_t bytes) {
    e_.Mov(RDX, RAX);
    e_.RR({}, {0xC1}, 5, RDX); e_.B(4);  // shr edx, 4
    if (bytes > 4) e_.CmpMem32Zero(Mem{RSI, RDX, 0});
    else e_.CmpMem8(Mem{RSI, RDX, 0}, 0);
    Exit(e_.Jcc(kNE), kStubStepStore, index, bytes);
  }
  void SetCompareFlags() {
    e_.SetMem(kE, FRAME(zf));
    e_.SetMem(kL, FRAME(lf));
    e_.SetMem(kB, FRAME(bf));
    host_flags_ = kAllFlags;
  }
  // Loads of each width into a 32-bit register.
  void LoadSized(uint8_t op, int dst, const Mem& m) {
    switch (op) {
      case kLoadB: case kFrameLoadB: case kIndLoadB: e_.RM({}, {0x0F, 0xB6}, dst, m); break;
      case kLoadSB: case kFrameLoadSB: case kIndLoadSB: e_.RM({}, {0x0F, 0xBE}, dst, m); break;
      case kLoadW: case kFrameLoadW: case kIndLoadW: e_.RM({}, {0x0F, 0xB7}, dst, m); break;
      case kLoadSW: case kFrameLoadSW: case kIndLoadSW: e_.RM({}, {0x0F, 0xBF}, dst, m); break;
      default: e_.Load(dst, m); break;
    }
  }
  void StoreSized(int bytes, const Mem& m, int src) {
    if (bytes == 1) e_.RM({}, {0x88}, src, m);
    else if (bytes == 2) e_.RM({0x66}, {0x89}, src, m);
    else e_.Store(m, src);
  }
  // A conditional jump on the flags as the frame keeps them (any nonzero
  // byte is set). X is the less flag for the signed jumps, the below flag for
  // the unsigned ones; Z the zero flag. Each jump but je and jne tests two
  // flags: on `first` the first test skips the jump or takes it, on `second`
  // the other test takes it.
  void JumpOnFlagBytes(uint8_t op, int index, uint32_t target) {
    struct TwoTests {
      bool x_first;
      Cond first;
      bool first_skips;
      Cond second;
    };
    static constexpr TwoTests kGreater = {true, kNE, true, kE};       // X and Z clear
    static constexpr TwoTests kGreaterEqual = {true, kE, false, kNE};  // X clear, or Z set
    static constexpr TwoTests kLess = {false, kNE, true, kNE};         // Z clear and X set
    static constexpr TwoTests kLessEqual = {true, kNE, false, kNE};    // X set, or Z set
    const size_t z = offsetof(NativeFrame, zf);
    const size_t x = (op >= kJa) ? offsetof(NativeFrame, bf) : offsetof(NativeFrame, lf);
    if (op == kJe || op == kJne) {
      e_.CmpMem8(Frame(z), 0);
      Exit(e_.Jcc(op == kJe ? kNE : kE), kStubTaken, index, target);
      return;
    }
    const TwoTests& t = (op == kJg || op == kJa) ? kGreater
                        : (op == kJge || op == kJae) ? kGreaterEqual
                        : (op == kJl || op == kJb) ? kLess : kLessEqual;
    e_.CmpMem8(Frame(t.x_first ? x : z), 0);
    uint8_t* skip = nullptr;
    if (t.first_skips) skip = e_.Jcc8(t.first);
    else Exit(e_.Jcc(t.first), kStubTaken, index, target);
    e_.CmpMem8(Frame(t.x_first ? z : x), 0);
    Exit(e_.Jcc(t.second), kStubTaken, index, target);
    if (skip) e_.Here8(skip);
  }

  // Emits instruction i; false when it transferred control for good.
  bool EmitInstruction(int i) {
    const Instruction& in = code_[i];
    const int d = kVm[in.d], s = kVm[in.s];
    const uint32_t imm = in.imm;
    HostFlags flags_before = host_flags_;
    host_flags_ = kNoFlags;  // unless the instruction says otherwise below
    switch (in.op) {
      case kNop: host_flags_ = flags_before; break;
      case kXchg: if (d != s) e_.RR({}, {0x87}, s, d); host_flags_ = flags_before; break;
      case kMovRR: e_.Mov(d, s); host_flags_ = flags_before; break;
      case kMovRI: case kMovRA: e_.MovImm(d, imm); host_flags_ = flags_before; break;
      case kLoadB: case kLoadSB: case kLoadW: case kLoadSW: case kLoadL:
        e_.MovImm(RAX, imm);
        LoadSized(in.op, d, At(RAX));
        host_flags_ = flags_before;
        break;
      case kLea: e_.Lea(d, kVm[6], static_cast<int32_t>(imm)); host_flags_ = flags_before; break;
      case kFrameLoadB: case kFrameLoadSB: case kFrameLoadW: case kFrameLoadSW: case kFrameLoadL:
        e_.Lea(RAX, kVm[6], static_cast<int32_t>(imm));
        LoadSized(in.op, d, At(RAX));
        host_flags_ = flags_before;
        break;
      case kIndLoadB: case kIndLoadSB: case kIndLoadW: case kIndLoadSW: case kIndLoadL:
        LoadSized(in.op, d, At(s));
        host_flags_ = flags_before;
        break;
      case kStoreB: case kStoreW: case kStoreL:
      case kFrameStoreB: case kFrameStoreW: case kFrameStoreL:
      case kIndStoreB: case kIndStoreW: case kIndStoreL: {
        int bytes = (in.op == kStoreB || in.op == kFrameStoreB || in.op == kIndStoreB) ? 1
                    : (in.op == kStoreW || in.op == kFrameStoreW || in.op == kIndStoreW) ? 2 : 4;
        if (in.op <= kStoreL) e_.MovImm(RAX, imm);
        else if (in.op <= kFrameStoreL) e_.Lea(RAX, kVm[6], static_cast<int32_t>(imm));
        else e_.Mov(RAX, d);
        CheckStore(i, static_cast<uint32_t>(bytes));
        StoreSized(bytes, At(RAX), s);
        break;
      }
      case kPushR: case kPushI:
        e_.Mov(RAX, kVm[7]);
        e_.AluImm(5, RAX, 4);
        CheckStack(RAX, i);
        CheckStore(i, 4);
        e_.Mov(kVm[7], RAX);
        if (in.op == kPushR) e_.Store(At(RAX), s);
        else e_.MovMemImm32(At(RAX), imm);
        break;
      case kPopR:
        e_.Mov(RAX, kVm[7]);
        e_.AluImm(0, RAX, 4);
        CheckStack(RAX, i);
        e_.Mov(kVm[7], RAX);
        e_.Lea(RCX, RAX, -4);
        e_.Load(d, At(RCX));
        break;
      case kEnter:
        e_.Mov(RCX, kVm[7]);
        e_.AluImm(5, RCX, 24 + imm);
        CheckStack(RCX, i);
        e_.Lea(RAX, RCX, static_cast<int32_t>(imm));  // the frame's saved registers start here
        CheckStore(i, 24);
        e_.Mov(kVm[7], RCX);
        for (int k = 0; k < 6; ++k) {
          e_.Lea(RDX, RAX, 4 * k);
          e_.Store(At(RDX), kVm[1 + k]);
        }
        e_.Lea(kVm[6], RAX, 20);
        break;
      case kLeave:
        // The outermost frame ends the context: the interpreter does that.
        e_.Mov(RAX, kVm[7]);
        e_.RM({}, {0x2B}, RAX, FRAME(stack_base));
        e_.AluImm(0, RAX, imm + 24);
        e_.RM({}, {0x3B}, RAX, FRAME(stack_size));
        Exit(e_.Jcc(kAE), kStubStep, i);
        e_.Lea(RAX, kVm[7], static_cast<int32_t>(imm));
        for (int k = 0; k < 6; ++k) {
          e_.Lea(RDX, RAX, 4 * k);
          e_.Load(kVm[1 + k], At(RDX));
        }
        e_.Lea(kVm[7], RAX, 24);
        break;
      case kCall: case kCallR:
        if (in.op == kCallR) {
          e_.Alu(0x85, s, s);
          Exit(e_.Jcc(kE), kStubStep, i);  // through a zero register: the interpreter fails it
        }
        e_.Mov(RAX, kVm[7]);
        e_.AluImm(5, RAX, 4);
        CheckStack(RAX, i);
        CheckStore(i, 4);
        e_.Mov(kVm[7], RAX);
        e_.MovMemImm32(At(RAX), in.next);
        if (in.op == kCall) {
          Transfer(imm, i);
        } else {
          e_.Mov(RCX, s);  // read after the push, as the interpreter does
          TransferToRcx();
        }
        return false;
      case kRet:
        e_.Mov(RAX, kVm[7]);
        e_.AluImm(0, RAX, 4);
        CheckStack(RAX, i);
        e_.Lea(RDX, RAX, -4);
        e_.Load(RCX, At(RDX));
        e_.AluImm(7, RCX, 0xFFFFFFFFu);
        Exit(e_.Jcc(kE), kStubStep, i);  // the thread function's end
        e_.Mov(kVm[7], RAX);
        TransferToRcx();
        return false;
      case kPreOp: case kPostOp:
        e_.Mov(RAX, s);
        CheckStore(i, 4);
        e_.Load(RCX, At(RAX));
        e_.Lea(RDX, RCX, static_cast<int32_t>(imm));
        e_.Store(At(RAX), RDX);
        e_.Mov(d, in.op == kPreOp ? RDX : RCX);
        break;
      case kPreIncB: case kPostIncB: case kPreDecB: case kPostDecB:
      case kPreIncW: case kPostIncW: case kPreDecW: case kPostDecW: {
        bool word = in.op >= kPreIncW;
        int step = (in.op == kPreIncB || in.op == kPostIncB || in.op == kPreIncW || in.op == kPostIncW) ? 1 : -1;
        bool pre = (in.op == kPreIncB || in.op == kPreDecB || in.op == kPreIncW || in.op == kPreDecW);
        e_.Mov(RAX, s);
        CheckStore(i, word ? 2 : 1);
        e_.RM({}, {0x0F, static_cast<uint8_t>(word ? 0xB7 : 0xB6)}, RCX, At(RAX));
        e_.Lea(RDX, RCX, step);
        StoreSized(word ? 2 : 1, At(RAX), RDX);
        if (pre) e_.RR({}, {0x0F, static_cast<uint8_t>(word ? 0xB7 : 0xB6)}, d, RDX);
        else e_.Mov(d, RCX);
        break;
      }
      case kZeroB: case kZeroW: case kZeroL: case kFrameZeroB: case kFrameZeroW: case kFrameZeroL: {
        if (in.op <= kZeroL) e_.MovImm(RAX, imm);
        else e_.Lea(RAX, kVm[6], static_cast<int32_t>(imm));
        int width = (in.op == kZeroB || in.op == kFrameZeroB) ? 1 : (in.op == kZeroW || in.op == kFrameZeroW) ? 2 : 4;
        if (width == 1) e_.CmpMem8(At(RAX), 0);
        else if (width == 2) { e_.RM({0x66}, {0x83}, 7, At(RAX)); e_.B(0); }
        else e_.CmpMem32Zero(At(RAX));
        e_.SetMem(kE, FRAME(zf));
        host_flags_ = kZeroOnly;
        break;
      }
      case kCmpRR: e_.Alu(0x39, d, s); SetCompareFlags(); break;
      case kCmpRI: e_.AluImm(7, d, imm); SetCompareFlags(); break;
      case kSubRR: e_.Alu(0x29, d, s); SetCompareFlags(); break;
      case kSubRI: e_.AluImm(5, d, imm); SetCompareFlags(); break;
      case kSet:
        e_.Alu(0x31, RAX, RAX);
        e_.Alu(0x85, s, s);
        e_.SetReg(kE, RAX);
        e_.Mov(d, RAX);
        break;
      case kAddRR: e_.Alu(0x01, d, s); break;
      case kAddRI: e_.AluImm(0, d, imm); break;
      case kMul: e_.RR({}, {0x0F, 0xAF}, d, s); break;
      case kDiv: case kMod: {
        e_.Mov(RCX, s);
        e_.Alu(0x85, RCX, RCX);
        Exit(e_.Jcc(kE), kStubStep, i);  // divide by zero: the interpreter fails it
        e_.AluImm(7, RCX, 0xFFFFFFFFu);
        uint8_t* plain = e_.Jcc8(kNE);
        if (in.op == kDiv) e_.RR({}, {0xF7}, 3, d);  // x / -1 wraps: neg
        else e_.MovImm(d, 0);
        uint8_t* done = e_.Jmp8();
        e_.Here8(plain);
        e_.Mov(RAX, d);
        e_.B(0x99);                       // cdq
        e_.RR({}, {0xF7}, 7, RCX);        // idiv ecx
        e_.Mov(d, in.op == kDiv ? RAX : RDX);
        e_.Here8(done);
        break;
      }
      case kShl: case kShr: case kSar:
        e_.Mov(RCX, s);
        e_.RR({}, {0xD3}, in.op == kShl ? 4 : in.op == kShr ? 5 : 7, d);
        break;
      case kNeg: e_.Mov(d, s); e_.RR({}, {0xF7}, 3, d); break;
      case kNot: e_.Mov(d, s); e_.RR({}, {0xF7}, 2, d); host_flags_ = flags_before; break;
      case kAnd: e_.Alu(0x21, d, s); break;
      case kOr: e_.Alu(0x09, d, s); break;
      case kXor: e_.Alu(0x31, d, s); break;
      case kJmp: Transfer(imm, i); return false;
      case kJe: case kJne: case kJg: case kJge: case kJl: case kJle: case kJa: case kJae: case kJb: case kJbe: {
        static constexpr Cond kHost[] = {kE, kNE, kG, kGE, kL, kLE, kA, kAE, kB, kBE};
        bool zero_test = in.op == kJe || in.op == kJne;
        if (flags_before == kAllFlags || (flags_before == kZeroOnly && zero_test)) {
          Exit(e_.Jcc(kHost[in.op - kJe]), kStubTaken, i, imm);
          host_flags_ = flags_before;
        } else {
          JumpOnFlagBytes(in.op, i, imm);
        }
        break;
      }
      case kFtoi:
        e_.RR({0x66}, {0x0F, 0x6E}, 0, s);        // movd xmm0, s
        e_.RR({0xF3}, {0x0F, 0x2C}, d, 0);        // cvttss2si d, xmm0
        break;
      case kItof:
        e_.RR({}, {0x0F, 0x57}, 0, 0);            // xorps xmm0, xmm0
        e_.RR({0xF3}, {0x0F, 0x2A}, 0, s);        // cvtsi2ss xmm0, s
        e_.RR({0x66}, {0x0F, 0x7E}, 0, d);        // movd d, xmm0
        break;
      case kFadd: case kFmul: case kFdiv: case kFsub: {
        e_.RR({0x66}, {0x0F, 0x6E}, 0, d);        // movd xmm0, d
        e_.RR({0x66}, {0x0F, 0x6E}, 1, s);        // movd xmm1, s
        if (in.op == kFsub) {
          e_.RR({}, {0x0F, 0x2E}, 0, 1);          // ucomiss xmm0, xmm1
          e_.SetReg(kNP, RCX);
          e_.SetReg(kE, RAX);
          e_.SetReg(kB, RDX);
          e_.RR({}, {0x20}, RCX, RAX);            // and al, cl: equal and ordered
          e_.RR({}, {0x20}, RCX, RDX);            // and dl, cl: less and ordered
          e_.RM({}, {0x88}, RAX, FRAME(zf));
          e_.RM({}, {0x88}, RDX, FRAME(lf));
          e_.MovMemImm8(FRAME(bf), 0);
        }
        uint8_t op = in.op == kFadd ? 0x58 : in.op == kFmul ? 0x59 : in.op == kFsub ? 0x5C : 0x5E;
        e_.RR({0xF3}, {0x0F, op}, 0, 1);
        e_.RR({0x66}, {0x0F, 0x7E}, 0, d);        // movd d, xmm0
        break;
      }
      case kFneg: e_.Mov(d, s); e_.AluImm(6, d, 0x80000000u); break;
      default: break;  // not translated: never reaches here
    }
    return true;
  }

  enum HostFlags { kNoFlags, kAllFlags, kZeroOnly };

  Cache& c_;
  const std::vector<Instruction>& code_;
  uint32_t start_, end_;
  bool step_at_end_;
  const uint8_t* bytes_;
  int n_;
  Emitter e_{nullptr};
  BlockHeader* header_ = nullptr;
  uint8_t* entry_ = nullptr;
  uint8_t* checked_ = nullptr;  // past the prologue's epoch check
  std::vector<PendingExit> exits_;
  HostFlags host_flags_ = kNoFlags;
};

// A straight run read from a copy of its bytes (so what is translated and
// what is checked later are the same bytes).
struct Run {
  std::vector<Instruction> code;
  uint32_t end = 0;           // address after the last native instruction
  bool step_at_end = false;   // the instruction at `end` is the interpreter's
};

Run Decode(uint32_t start, const uint8_t* bytes) {
  Run run;
  uint32_t pc = start;
  while (static_cast<int>(run.code.size()) < kMaxBlockInstructions && pc < kTopGuard) {
    const uint8_t* at = bytes + (pc - start);
    uint8_t op = at[0];
    if (!Translatable(op)) {
      run.step_at_end = true;
      break;
    }
    Instruction in{pc, op, 0, 0, 0, 0};
    int size = InstructionSize(op);
    if (size == 2 || size == 6) {
      in.d = at[1] & 7;
      in.s = (at[1] >> 4) & 7;
    }
    if (size == 5) std::memcpy(&in.imm, at + 1, 4);
    if (size == 6) std::memcpy(&in.imm, at + 2, 4);
    in.next = pc + static_cast<uint32_t>(size);
    run.code.push_back(in);
    pc = in.next;
    if (EndsBlock(op)) break;
  }
  run.end = pc;
  return run;
}

Block* Translate(Cache& c, uint32_t start) {
  if (c.used + kBlockReserve > kCodeBufferBytes || c.headers_used == kHeaderCount) c.Flush();
  uint32_t epoch = code_epoch.load(std::memory_order_acquire);
  uint32_t marked = forget_generation.load(std::memory_order_acquire);
  uint8_t copy[kMaxBlockBytes + 8];
  std::memcpy(copy, g_arena_base + start, sizeof copy);  // start < kTopGuard: inside the reservation
  Run run = Decode(start, copy);
  auto block = std::make_unique<Block>();
  block->start = start;
  block->count = static_cast<int>(run.code.size());
  block->bytes.assign(copy, copy + (run.end - start) + (run.step_at_end ? 1 : 0));
  Translator t(c, run.code, start, run.end, run.step_at_end, block->bytes.data());
  block->code = t.Emit(&block->header);
  block->header->marked = marked;
  if (!block->bytes.empty()) MarkCode(start, start + static_cast<uint32_t>(block->bytes.size()));
  // Bytes rewritten while they were read make the block check them first.
  block->header->epoch =
      std::memcmp(block->bytes.data(), g_arena_base + start, block->bytes.size()) == 0 ? epoch : epoch - 1;
  Block* b = block.get();
  c.blocks[start] = std::move(block);
  c.Install(*b);
  return b;
}

// The block for pc, or nullptr while the code there is not run often enough
// to be translated. With `check`, its bytes are checked here against what it
// was made from; otherwise its own prologue checks them when the epoch moved
// (and asks for this check when it cannot tell).
Block* FindBlock(Cache& c, uint32_t pc, bool check) {
  Block* b = c.table_blocks[pc & (kTableSize - 1)];
  if (!b || b->start != pc) {
    auto it = c.blocks.find(pc);
    if (it == c.blocks.end()) {
      if (c.starts.size() >= 65536) c.starts.clear();  // counts of code run once stay bounded
      int& starts = c.starts[pc];
      if (++starts < hot_count.load(std::memory_order_relaxed)) return nullptr;
      c.starts.erase(pc);
      return Translate(c, pc);
    }
    b = it->second.get();
    c.Install(*b);
  }
  uint32_t now = code_epoch.load(std::memory_order_acquire);
  if (b->header->epoch == now || !check) return b;
  uint32_t marked = forget_generation.load(std::memory_order_acquire);
  if (std::memcmp(b->bytes.data(), g_arena_base + pc, b->bytes.size()) != 0) return Translate(c, pc);
  if (b->header->marked != marked) {
    if (!b->bytes.empty()) MarkCode(pc, pc + static_cast<uint32_t>(b->bytes.size()));
    b->header->marked = marked;
  }
  b->header->epoch = now;
  return b;
}

void LoadFrame(NativeFrame& f, const ScriptContext* ctx) {
  std::memcpy(f.r, ctx->r, sizeof f.r);
  f.zf = ctx->zero_flag;
  f.lf = ctx->less_flag;
  f.bf = ctx->below_flag;
  f.pc = ctx->pc;
  f.stack_base = ctx->stack_base;
  f.stack_size = ctx->stack_size;
}

void StoreFrame(const NativeFrame& f, ScriptContext* ctx) {
  std::memcpy(ctx->r, f.r, sizeof f.r);
  ctx->zero_flag = f.zf;
  ctx->less_flag = f.lf;
  ctx->below_flag = f.bf;
  ctx->pc = f.pc;
}

// The interpreter runs the one instruction at f.pc. False when the slice is
// over (the budget, a trap, the context's end or failure); ctx then holds
// the state.
bool Step(NativeFrame& f, ScriptContext* ctx) {
  if (f.budget <= 1 || ScriptStopRequested()) {
    StoreFrame(f, ctx);
    return false;
  }
  const uint8_t* at = g_arena_base + f.pc;
  if (at[0] == kTrap) {
    // As the interpreter does it: the builtin hook sees the context as it
    // stands after the trap, then the slice ends. A builtin may have written
    // anything, code included.
    uint16_t number;
    std::memcpy(&number, at + 1, 2);
    f.pc += 3;
    StoreFrame(f, ctx);
    CurrentBuiltinHook()(number, ctx);
    NoteCodeMayHaveChanged();
    return false;
  }
  StoreFrame(f, ctx);
  RunInterpretedSlice(ctx, 2);
  f.budget -= 1;
  if (ctx->state != kContextRunning) return false;
  LoadFrame(f, ctx);
  return true;
}

}  // namespace

bool NativeCodeSupported() { return CodeMapReady(); }

bool NativeCodeEnabled() {
  int state = native_state.load(std::memory_order_relaxed);
  if (state < 0) {
    const char* off = std::getenv("KEVA_INTERPRET");
    state = NativeCodeSupported() && !(off && *off && std::strcmp(off, "0") != 0) ? 1 : 0;
    native_state.store(state, std::memory_order_relaxed);
  }
  return state == 1;
}

void SetNativeCodeEnabled(bool on) { native_state.store(on && NativeCodeSupported() ? 1 : 0); }

void SetTranslationThreshold(int runs) { hot_count.store(std::max(1, runs), std::memory_order_relaxed); }

int RunNativeSlice(ScriptContext* ctx) {
  if (ctx->state != kContextRunning) return 1;
  Cache* c = ThreadCache();
  if (!c) return RunInterpretedSlice(ctx, 256);
  NativeFrame f;
  LoadFrame(f, ctx);
  f.budget = 256;
  f.code_map = code_map;
  f.stop_flag = &g_script_stop_flag;
  f.epoch = &code_epoch;
  f.table = c->table.data();
  f.forget = &forget_generation;
  bool check = false;  // the block at f.pc asked for its bytes to be checked
  for (;;) {
    if (ScriptStopRequested()) break;
    if (f.pc >= kTopGuard) break;  // wrapping code is the interpreter's
    Block* b = FindBlock(*c, f.pc, check);
    check = false;
    if (!b) break;  // not run often enough yet: the interpreter has the rest of the slice
    if (f.budget <= b->count) break;
    c->enter(&f, g_arena_base, b->code);
    switch (f.reason) {
      case kExitStop: StoreFrame(f, ctx); return 1;
      case kExitLookup: break;
      case kExitValidate: check = true; break;
      case kExitBudget: StoreFrame(f, ctx); return RunInterpretedSlice(ctx, f.budget);
      case kExitStep: if (!Step(f, ctx)) return 1; break;
      case kExitStepStore: {
        uint32_t addr = f.store_addr, bytes = f.store_size;
        bool going_on = Step(f, ctx);
        NoteStoreNearCode(addr, bytes);
        if (!going_on) return 1;
        break;
      }
    }
  }
  // The rest of the slice (shorter than the next block, code not yet
  // translated, or code near the top of the address space) is the
  // interpreter's.
  StoreFrame(f, ctx);
  return RunInterpretedSlice(ctx, f.budget);
}

void NoteStoreNearCode(uint32_t addr, uint32_t bytes) {
  if (OverlapsTranslatedCode(addr, bytes)) NoteCodeMayHaveChanged();
}

void ForgetCode(uint32_t addr, uint32_t bytes) {
  if (!g_code_map.load(std::memory_order_relaxed) || bytes == 0) return;
  uint64_t end = uint64_t{addr} + bytes;
  {
    std::lock_guard lock(ranges_lock);
    auto it = translated_ranges.lower_bound({addr, 0});
    while (it != translated_ranges.end() && it->first < end) it = translated_ranges.erase(it);
    // Granules wholly inside the area are unmarked; a block of another
    // thread still made from them marks them again when it is next checked.
    for (uint64_t g = (uint64_t{addr} + 15) >> 4; (g + 1) << 4 <= end; ++g)
      std::atomic_ref<uint8_t>(code_map[g]).store(0, std::memory_order_relaxed);
    forget_generation.fetch_add(1, std::memory_order_acq_rel);
  }
  NoteCodeMayHaveChanged();
}

#else  // hosts without a translator interpret

bool NativeCodeSupported() { return false; }
bool NativeCodeEnabled() { return false; }
void SetNativeCodeEnabled(bool) {}
int RunNativeSlice(ScriptContext* ctx) { return RunInterpretedSlice(ctx, 256); }
void ForgetCode(uint32_t, uint32_t) { NoteCodeMayHaveChanged(); }
void NoteStoreNearCode(uint32_t, uint32_t) {}
void SetTranslationThreshold(int) {}

#endif
