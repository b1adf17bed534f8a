#include "vm/code_cache.h"

#include <cstring>

#include "vm/arena.h"

namespace {

constexpr int kMaxBlockOps = 48;
constexpr size_t kMaxCachedOps = size_t{1} << 20;  // about 32 MiB of records

inline uint32_t Load32(uint32_t addr) {
  uint32_t v;
  std::memcpy(&v, ToHost(addr), 4);
  return v;
}

// The chain step of a register-register opcode, or -1.
int ChainStep(uint8_t op) {
  switch (op) {
    case kAddRR: return kStepAdd;
    case kSubRR: return kStepSub;
    case kMul: return kStepMul;
    case kDiv: return kStepDiv;
    case kMod: return kStepMod;
    case kAnd: return kStepAnd;
    case kOr: return kStepOr;
    case kXor: return kStepXor;
    case kShl: return kStepShl;
    case kShr: return kStepShr;
    case kSar: return kStepSar;
    default: return -1;
  }
}

// Tries an ALU chain at d's instruction; true when d became one (2 or more
// instructions), with `instructions` set.
bool DecodeChain(DecodedOp& d, int& instructions) {
  int first = ChainStep(static_cast<uint8_t>(d.kind));
  if (first < 0) return false;
  uint32_t steps = static_cast<uint32_t>(first) | (uint32_t{d.s} << 4);
  int n = 1;
  uint32_t pc = d.next;
  while (n < kMaxChainSteps && pc < kDecodeLimit) {
    uint8_t op = *ToHost(pc);
    int step = ChainStep(op);
    uint8_t rb = *ToHost(pc + 1);
    if (step < 0 || (rb & 7) != d.d) break;
    steps |= (static_cast<uint32_t>(step) | (uint32_t{(rb >> 4) & 7u} << 4)) << (8 * n);
    ++n;
    pc += 2;
  }
  bool store = false;
  if (pc < kDecodeLimit && *ToHost(pc) == kFrameStoreL && ((*ToHost(pc + 1) >> 4) & 7) == d.d) {
    store = true;
    d.imm2 = Load32(pc + 2);
    pc += 6;
  }
  if (n + store < 2) return false;
  d.kind = kKindAluChain;
  d.imm = steps;
  d.d2 = static_cast<uint8_t>(n);
  d.s2 = store;
  d.next = pc;
  instructions = n + store;
  return true;
}

bool IsTransfer(uint8_t op) {
  return op == kTrap || op == kCall || op == kCallR || op == kRet || (op >= kJmp && op <= kJbe);
}

// One instruction at pc, unfused.
DecodedOp DecodeOne(uint32_t pc) {
  uint8_t op = *ToHost(pc);
  DecodedOp d{};
  d.kind = op;
  d.pc = pc;
  d.next = pc + InstructionSize(op);
  Shape shape = kOpcodeTable[op].shape;
  int size = ShapeSize(shape);
  if (op == kTrap) {
    uint16_t n;
    std::memcpy(&n, ToHost(pc + 1), 2);
    d.imm = n;
  } else if (size == 5) {
    d.imm = Load32(pc + 1);
  } else if (size >= 2) {
    uint8_t rb = *ToHost(pc + 1);
    d.s = (rb >> 4) & 7;
    d.d = rb & 7;
    if (size == 6) d.imm = Load32(pc + 2);
  }
  return d;
}

// The block at start; empty when its first instruction is not decodable.
void Decode(CodeBlock& b, uint32_t start) {
  b.start = start;
  b.count = 0;
  b.taken = b.fall = nullptr;
  b.ops.clear();
  uint32_t pc = start;
  bool ended = false;
  while (!ended && static_cast<int>(b.ops.size()) < kMaxBlockOps) {
    if (pc >= kDecodeLimit) break;
    uint8_t op = *ToHost(pc);
    if (op >= kOpcodeCount) break;
    DecodedOp d = DecodeOne(pc);
    int instructions = 1;
    ended = IsTransfer(op);
    if (!ended && !DecodeChain(d, instructions)) {
      uint8_t op2 = *ToHost(d.next);
      if (op2 < kOpcodeCount) {
        DecodedOp e = DecodeOne(d.next);
        int kind = -1;
        if (op == kSubRR && op2 >= kJe && op2 <= kJbe) {
          kind = kKindSubJe + (op2 - kJe);
          d.imm = e.imm;
          ended = true;
        } else if (op == kCmpRI && op2 >= kJe && op2 <= kJbe) {
          kind = kKindCmpJe + (op2 - kJe);
          d.imm2 = e.imm;
          ended = true;
        } else if ((op == kMovRI || op == kMovRA) && op2 == kFrameLoadL) {
          kind = kKindMovFrameLoad;
          d.imm2 = e.imm;
        } else if (op == kFrameLoadL && op2 == kFrameLoadL) {
          kind = kKindFrameLoad2;
          d.imm2 = e.imm;
        } else if (op == kLea && op2 == kPostOp) {
          kind = kKindLeaPostOp;
          d.imm2 = e.imm;
        }
        if (kind >= 0) {
          d.kind = static_cast<uint16_t>(kind);
          d.d2 = e.d;
          d.s2 = e.s;
          d.next = e.next;
          instructions = 2;
        }
      }
    }
    d.before = static_cast<uint8_t>(b.count);
    b.count += instructions;
    d.after = static_cast<uint8_t>(b.count);
    b.ops.push_back(d);
    pc = d.next;
  }
  if (b.ops.empty()) {
    b.end = start;
    b.bytes.clear();
    return;
  }
  if (!ended) {  // the block stops short of a transfer: step into the next one
    DecodedOp f{};
    f.kind = kKindFallThrough;
    f.pc = f.next = pc;
    f.before = f.after = static_cast<uint8_t>(b.count);
    b.ops.push_back(f);
  }
  b.end = pc;
  b.bytes.assign(ToHost(start), ToHost(start) + (pc - start));
}

void Install(CodeCache& cache, CodeBlock& b, const void* const* handlers) {
  for (DecodedOp& d : b.ops) d.handler = handlers[d.kind];
  if (b.ops.empty()) return;
  cache.op_total += b.ops.size();
  if (b.start < cache.lo) cache.lo = b.start;
  if (b.end > cache.hi) cache.hi = b.end;
  b.epoch = cache.epoch;
}

void Clear(CodeCache& cache) {
  cache.blocks.clear();
  cache.recent.fill(nullptr);
  cache.lo = 0xFFFFFFFFu;
  cache.hi = 0;
  cache.op_total = 0;
}

}  // namespace

CodeCache& ThreadCodeCache(uint32_t program_base, uint32_t program_size) {
  thread_local CodeCache cache;
  if (cache.program_base != program_base || cache.program_size != program_size ||
      cache.op_total > kMaxCachedOps) {
    Clear(cache);
    cache.program_base = program_base;
    cache.program_size = program_size;
  }
  return cache;
}

CodeBlock* FindBlock(CodeCache& cache, uint32_t pc, const void* const* handlers) {
  CodeBlock*& slot = cache.recent[pc & (cache.recent.size() - 1)];
  if (slot && slot->start == pc) return slot;
  auto [it, inserted] = cache.blocks.try_emplace(pc);
  if (inserted) {
    it->second = std::make_unique<CodeBlock>();
    Decode(*it->second, pc);
    Install(cache, *it->second, handlers);
  }
  CodeBlock* b = it->second.get();
  if (b->ops.empty()) {  // not decodable when last seen: the bytes may have changed since
    Decode(*b, pc);
    Install(cache, *b, handlers);
    if (b->ops.empty()) return nullptr;
  }
  slot = b;
  return b;
}

bool RefreshBlock(CodeCache& cache, CodeBlock& b, const void* const* handlers) {
  if (!b.ops.empty() && std::memcmp(ToHost(b.start), b.bytes.data(), b.bytes.size()) == 0) {
    b.epoch = cache.epoch;
    return true;
  }
  Decode(b, b.start);
  Install(cache, b, handlers);
  return !b.ops.empty();
}
