// The instruction set: opcode numbers, mnemonics and operand shapes. The
// interpreter, the assembler and the disassembler all read this one table.
#pragma once
#include <array>
#include <cstdint>

enum Opcode : uint8_t {
  kNop = 0, kTrap = 1, kXchg = 2, kMovRR = 3, kMovRI = 4, kMovRA = 5,
  kLoadB = 6, kLoadSB = 7, kLoadW = 8, kLoadSW = 9, kLoadL = 10,
  kLea = 11, kFrameLoadB = 12, kFrameLoadSB = 13, kFrameLoadW = 14, kFrameLoadSW = 15, kFrameLoadL = 16,
  kIndLoadB = 17, kIndLoadSB = 18, kIndLoadW = 19, kIndLoadSW = 20, kIndLoadL = 21,
  kStoreB = 22, kStoreW = 23, kStoreL = 24,
  kFrameStoreB = 25, kFrameStoreW = 26, kFrameStoreL = 27,
  kIndStoreB = 28, kIndStoreW = 29, kIndStoreL = 30,
  kPushR = 31, kPushI = 32, kPopR = 33, kEnter = 34, kLeave = 35, kCall = 36, kCallR = 37, kRet = 38,
  kPreOp = 39, kPostOp = 40,
  kPreIncB = 41, kPostIncB = 42, kPreDecB = 43, kPostDecB = 44,
  kPreIncW = 45, kPostIncW = 46, kPreDecW = 47, kPostDecW = 48,
  kZeroB = 49, kZeroW = 50, kZeroL = 51, kFrameZeroB = 52, kFrameZeroW = 53, kFrameZeroL = 54,
  kCmpRR = 55, kCmpRI = 56, kSet = 57, kAddRR = 58, kAddRI = 59, kSubRR = 60, kSubRI = 61,
  kMul = 62, kDiv = 63, kMod = 64, kShl = 65, kShr = 66, kSar = 67, kNeg = 68, kNot = 69,
  kAnd = 70, kOr = 71, kXor = 72,
  kJmp = 73, kJe = 74, kJne = 75, kJg = 76, kJge = 77, kJl = 78, kJle = 79,
  kJa = 80, kJae = 81, kJb = 82, kJbe = 83,
  kFtoi = 84, kItof = 85, kFadd = 86, kFsub = 87, kFmul = 88, kFdiv = 89, kFmod = 90, kFneg = 91,
};
constexpr int kOpcodeCount = 92;

// How an instruction's operands are written, in assembler order (destination
// first). rb = register byte (S high nibble, D low nibble).
enum class Shape : uint8_t {
  kNone,         // nop, ret
  kTrap,         // trap N (16-bit)
  kRegReg,       // op rD, rS
  kRegS,         // push rS, call rS (D nibble written as 7)
  kRegD,         // pop rD (S nibble written as 7)
  kRegImm,       // op rD, $imm
  kRegAddrOf,    // movl rD, @addr (address of a label or datum)
  kRegMem,       // op rD, [addr]
  kRegFrame,     // op rD, [fp+off]
  kRegInd,       // op rD, [rS]
  kRegIndByte,   // op rD, byte [rS]
  kRegIndWord,   // op rD, word [rS]
  kRegIndImm,    // op rD, [rS], $n
  kMemReg,       // op [addr], rS
  kFrameReg,     // op [fp+off], rS
  kIndReg,       // op [rD], rS
  kImm,          // push $imm
  kSize,         // enter N, leave N
  kTarget,       // call addr, jumps
  kMem,          // zero [addr]
  kFrame,        // zero [fp+off]
};

struct OpcodeInfo {
  const char* mnemonic;
  Shape shape;
};

// Encoded size in bytes for each shape.
constexpr int ShapeSize(Shape s) {
  switch (s) {
    case Shape::kNone: return 1;
    case Shape::kTrap: return 3;
    case Shape::kRegReg: case Shape::kRegS: case Shape::kRegD: case Shape::kRegInd:
    case Shape::kRegIndByte: case Shape::kRegIndWord: case Shape::kIndReg: return 2;
    case Shape::kImm: case Shape::kSize: case Shape::kTarget: case Shape::kMem: case Shape::kFrame: return 5;
    default: return 6;
  }
}

inline constexpr std::array<OpcodeInfo, kOpcodeCount> kOpcodeTable = {{
    {"nop", Shape::kNone}, {"trap", Shape::kTrap}, {"xchg", Shape::kRegReg},
    {"movl", Shape::kRegReg}, {"movl", Shape::kRegImm}, {"movl", Shape::kRegAddrOf},
    {"movbl", Shape::kRegMem}, {"movsbl", Shape::kRegMem}, {"movwl", Shape::kRegMem},
    {"movswl", Shape::kRegMem}, {"movl", Shape::kRegMem},
    {"lea", Shape::kRegFrame}, {"movbl", Shape::kRegFrame}, {"movsbl", Shape::kRegFrame},
    {"movwl", Shape::kRegFrame}, {"movswl", Shape::kRegFrame}, {"movl", Shape::kRegFrame},
    {"movbl", Shape::kRegInd}, {"movsbl", Shape::kRegInd}, {"movwl", Shape::kRegInd},
    {"movswl", Shape::kRegInd}, {"movl", Shape::kRegInd},
    {"movb", Shape::kMemReg}, {"movw", Shape::kMemReg}, {"movl", Shape::kMemReg},
    {"movb", Shape::kFrameReg}, {"movw", Shape::kFrameReg}, {"movl", Shape::kFrameReg},
    {"movb", Shape::kIndReg}, {"movw", Shape::kIndReg}, {"movl", Shape::kIndReg},
    {"push", Shape::kRegS}, {"push", Shape::kImm}, {"pop", Shape::kRegD},
    {"enter", Shape::kSize}, {"leave", Shape::kSize}, {"call", Shape::kTarget},
    {"call", Shape::kRegS}, {"ret", Shape::kNone},
    {"preop", Shape::kRegIndImm}, {"postop", Shape::kRegIndImm},
    {"preinc", Shape::kRegIndByte}, {"postinc", Shape::kRegIndByte},
    {"predec", Shape::kRegIndByte}, {"postdec", Shape::kRegIndByte},
    {"preinc", Shape::kRegIndWord}, {"postinc", Shape::kRegIndWord},
    {"predec", Shape::kRegIndWord}, {"postdec", Shape::kRegIndWord},
    {"zerob", Shape::kMem}, {"zerow", Shape::kMem}, {"zerol", Shape::kMem},
    {"zerob", Shape::kFrame}, {"zerow", Shape::kFrame}, {"zerol", Shape::kFrame},
    {"cmp", Shape::kRegReg}, {"cmp", Shape::kRegImm}, {"set", Shape::kRegReg},
    {"add", Shape::kRegReg}, {"add", Shape::kRegImm}, {"sub", Shape::kRegReg},
    {"sub", Shape::kRegImm}, {"mul", Shape::kRegReg}, {"div", Shape::kRegReg},
    {"mod", Shape::kRegReg}, {"shl", Shape::kRegReg}, {"shr", Shape::kRegReg},
    {"sar", Shape::kRegReg}, {"neg", Shape::kRegReg}, {"not", Shape::kRegReg},
    {"and", Shape::kRegReg}, {"or", Shape::kRegReg}, {"xor", Shape::kRegReg},
    {"jmp", Shape::kTarget}, {"je", Shape::kTarget}, {"jne", Shape::kTarget},
    {"jg", Shape::kTarget}, {"jge", Shape::kTarget}, {"jl", Shape::kTarget},
    {"jle", Shape::kTarget}, {"ja", Shape::kTarget}, {"jae", Shape::kTarget},
    {"jb", Shape::kTarget}, {"jbe", Shape::kTarget},
    {"ftoi", Shape::kRegReg}, {"itof", Shape::kRegReg}, {"fadd", Shape::kRegReg},
    {"fsub", Shape::kRegReg}, {"fmul", Shape::kRegReg}, {"fdiv", Shape::kRegReg},
    {"fmod", Shape::kRegReg}, {"fneg", Shape::kRegReg},
}};

constexpr int InstructionSize(uint8_t opcode) {
  return opcode < kOpcodeCount ? ShapeSize(kOpcodeTable[opcode].shape) : 1;
}
