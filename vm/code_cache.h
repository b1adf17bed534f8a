// The interpreter's decoded code: straight runs of instructions ("blocks"),
// decoded once into records with their operands extracted and their registers
// resolved, kept per script thread for the program area it runs.
//
// The code bytes stay the truth. A block keeps a copy of the bytes it was
// decoded from and is compared with them again when it is first entered in a
// slice (builtins and other threads may have written into code between
// slices) and after any store of this thread's interpreter into decoded code;
// a block whose bytes changed is decoded afresh.
//
// Fused records (a compare and its conditional jump, a constant load and a
// frame load, ...) exist only here: the code bytes are never rewritten.
#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "vm/opcodes.h"

// What a record does: an opcode (same number), or one of the fused pairs or
// the step into the following block.
enum DecodedKind : uint16_t {
  kKindSubJe = kOpcodeCount,  // sub rD, rS + je..jbe: ten kinds in jump order
  kKindMovFrameLoad = kKindSubJe + 10,  // movl rD, $imm + movl rD2, [fp+imm2]
  kKindFrameLoad2,                      // movl rD, [fp+imm] + movl rD2, [fp+imm2]
  kKindLeaPostOp,                       // lea rD, [fp+imm] + postop rD2, [rS2], $imm2
  kKindCmpJe,                           // cmp rD, $imm + je..jbe (target in imm2): ten kinds
  kKindAluChain = kKindCmpJe + 10,      // 2-4 of add/sub/mul/div/mod/and/or/xor/shl/shr/sar on one
                                        // rD, then maybe movl [fp+imm2], rD (see below)
  kKindFallThrough,                     // the block ends without a transfer: go on at pc
  kKindCount
};

struct DecodedOp {
  const void* handler;  // label of the kind in the interpreter
  uint16_t kind;
  uint8_t d, s;         // register numbers (0-7) of the first instruction
  uint8_t d2, s2;       // of the second one, for fused records
  uint8_t before;       // instructions of the block before this record
  uint8_t after;        // ... up to and including it
  uint32_t pc;          // address of the record's (first) instruction
  uint32_t next;        // address right after the record's instructions
  uint32_t imm;         // i32 operand (jump target, immediate, offset, builtin number)
  uint32_t imm2;        // the second instruction's operand
};

// An ALU chain keeps rD in a host register across its steps. Steps are
// packed a byte each into imm, first step lowest: bits 0-3 the operation
// (AluStep), bits 4-6 the source register; d2 holds the number of steps, s2 is
// 1 when the chain ends with `movl [fp+imm2], rD`. Every step is a 2-byte
// instruction, so step i starts at pc + 2i.
enum AluStep : uint8_t {
  kStepAdd, kStepSub, kStepMul, kStepDiv, kStepMod, kStepAnd, kStepOr, kStepXor, kStepShl, kStepShr, kStepSar
};
constexpr int kMaxChainSteps = 4;

struct CodeBlock {
  uint32_t start = 0, end = 0;  // code bytes [start, end)
  uint32_t epoch = 0;           // the cache epoch in which the bytes were last compared
  int count = 0;                // instructions (fused records count each of theirs)
  CodeBlock* taken = nullptr;   // successor at the jump or call target
  CodeBlock* fall = nullptr;    // successor after a jump not taken / a fall-through
  std::vector<uint8_t> bytes;   // the code bytes as decoded
  std::vector<DecodedOp> ops;
};

struct CodeCache {
  uint32_t program_base = 0;
  uint32_t program_size = 0;
  uint32_t epoch = 1;
  uint32_t lo = 0xFFFFFFFFu, hi = 0;  // every decoded byte lies in [lo, hi)
  size_t op_total = 0;
  std::unordered_map<uint32_t, std::unique_ptr<CodeBlock>> blocks;
  std::array<CodeBlock*, 1024> recent{};  // direct-mapped by start address
};

// The calling thread's cache, emptied when it is asked for another program
// area than last time, or when it has grown past its bound.
CodeCache& ThreadCodeCache(uint32_t program_base, uint32_t program_size);

// The block starting at pc, decoded when needed; nullptr when the first
// instruction there is one that only the plain interpreter runs (an illegal
// opcode, or code at the top of the address space). `handlers` maps kinds to
// labels.
CodeBlock* FindBlock(CodeCache& cache, uint32_t pc, const void* const* handlers);

// True when the code bytes still read as they did when the block was decoded.
inline bool BlockBytesUnchanged(const uint8_t* code, const CodeBlock& b) {
  const uint8_t* copy = b.bytes.data();
  size_t n = b.bytes.size();
  if (n < 8) return std::memcmp(code, copy, n) == 0;
  uint64_t diff = 0;
  auto word = [](const uint8_t* p) { uint64_t v; std::memcpy(&v, p, 8); return v; };
  for (size_t i = 0; i + 8 <= n; i += 8) diff |= word(code + i) ^ word(copy + i);
  diff |= word(code + n - 8) ^ word(copy + n - 8);
  return diff == 0;
}

// Compares a block with its code bytes, decoding it afresh when they changed;
// false when it then decodes to nothing.
bool RefreshBlock(CodeCache& cache, CodeBlock& block, const void* const* handlers);

// Below this address a block's instructions cannot reach the top of the
// address space; from there on the plain interpreter (which wraps the program
// counter) runs the code.
constexpr uint32_t kDecodeLimit = 0xFFFFFFFFu - 4096;
