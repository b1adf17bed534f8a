// Expressions, statements and code generation: the expression trees in the
// node heap with their typing and constant folding, the register pool, code
// for every node, conditional jumps on flags, statements, labels with fix-up
// chains threaded through the code, and the compile entry.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

#include "compiler/compiler.h"
#include "compiler/compiler_state.h"
#include "platform/error_box.h"
#include "platform/text_encoding.h"
#include "vm/arena.h"
#include "vm/context.h"
#include "vm/opcodes.h"

namespace kc {
namespace {

// ---- Node kinds --------------------------------------------------------------------

enum NodeKind : int32_t {
  kNString = -31, kNCall = -12, kNGlobal = 1, kNLoadGlobal = 2, kNLocal = 7, kNLoadLocal = 8,
  kNConst = 13, kNFunction = 14, kNIndirect = 15, kNLoadIndirect = 16, kNAddress = 21,
  kNNeg = 22, kNNot = 23, kNComplement = 24, kNPostStep = 27, kNPreStep = 28,
  kNBytePostInc = 29, kNBytePreInc = 30, kNBytePostDec = 31, kNBytePreDec = 32,
  kNWordPostInc = 33, kNWordPreInc = 34, kNWordPostDec = 35, kNWordPreDec = 36,
  kNMul = 37, kNMulU = 38, kNDiv = 39, kNDivU = 40, kNMod = 41, kNModU = 42, kNAdd = 43, kNSub = 44,
  kNShr = 45, kNShrU = 46, kNShl = 47, kNShlU = 48,
  kNGt = 49, kNGe = 52, kNLt = 55, kNLe = 58, kNEq = 61, kNNe = 62,
  kNAnd = 63, kNOr = 64, kNXor = 65, kNLogAnd = 66, kNLogOr = 67, kNCond = 68,
  kNAssign = 69, kNCompound = 74, kNComma = 79, kNFtoi = 90, kNItof = 91,
  kNFMul = 92, kNFDiv = 93, kNFMod = 94, kNFAdd = 95, kNFSub = 96, kNFNeg = 97,
  kNFloatPostStep = 98,  // float lvalue, step (+1.0 or -1.0 as bits): the old value, the variable stepped
};

inline int32_t& H(int index) { return g.heap[index]; }
inline int32_t Kind(int node) { return g.heap[node]; }

int NewNode(int32_t kind, int cells, int32_t a = 0, int32_t b = 0, int32_t c = 0) {
  int n = AllocCells(cells);
  H(n) = kind;
  if (cells > 1) H(n + 1) = a;
  if (cells > 2) H(n + 2) = b;
  if (cells > 3) H(n + 3) = c;
  return n;
}

inline Expr Value(int node, int32_t type) { return Expr{node, type, false}; }
inline Expr Lvalue(int node, int32_t type) { return Expr{node, type, true}; }

// Width index of a scalar: 0 32-bit, 1 signed byte, 2 unsigned byte, 3 signed 16, 4 unsigned 16.
int WidthOf(int32_t t) {
  switch (t) {
    case kTypeChar: return 1;
    case kTypeUChar: return 2;
    case kTypeShort: return 3;
    case kTypeUShort: return 4;
    default: return 0;
  }
}

int32_t Promoted(int32_t t) {
  switch (t) {
    case kTypeChar: case kTypeShort: return kTypeInt;
    case kTypeUChar: case kTypeUShort: return kTypeUInt;
    default: return t;
  }
}

bool IsArith(int32_t t) { return IsBasic(t); }

float AsFloat(uint32_t bits) { return std::bit_cast<float>(bits); }
uint32_t FloatBits(float f) { return std::bit_cast<uint32_t>(f); }

int32_t FloatToInt(float f) {
  if (std::isnan(f)) return 0;
  if (f >= 2147483648.0f) return INT32_MAX;
  if (f <= -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(f);
}

bool IsConstNode(const Expr& e) { return !e.lvalue && Kind(e.node) == kNConst; }
uint32_t ConstBits(const Expr& e) { return static_cast<uint32_t>(H(e.node + 1)); }

bool Is32BitVariableLoad(const Expr& e) {
  return !e.lvalue && (Kind(e.node) == kNLoadGlobal || Kind(e.node) == kNLoadLocal);
}

// ---- Register pool ------------------------------------------------------------------

int slot_reg[6];
bool slot_busy[6];
int slot_a = 0, slot_b = 1;
int save_stack[kSaveStackSize];
int save_top = 0;

int cond_depth = 0;  // > 0 while code that runs only on some paths is emitted

inline int RegA() { return slot_reg[slot_a]; }
inline int RegB() { return slot_reg[slot_b]; }

// ---- Emitting ------------------------------------------------------------------------

void Emit16(uint16_t v) {
  Emit8(static_cast<uint8_t>(v));
  Emit8(static_cast<uint8_t>(v >> 8));
}
inline uint8_t RB(int s, int d) { return static_cast<uint8_t>((s << 4) | d); }
void EmitRR(uint8_t op, int d, int s) {
  Emit8(op);
  Emit8(RB(s, d));
}
void EmitRI(uint8_t op, int d, uint32_t imm) {
  Emit8(op);
  Emit8(RB(7, d));
  Emit32(imm);
}
void EmitFrameLoad(uint8_t op, int d, uint32_t offset) {
  Emit8(op);
  Emit8(RB(6, d));
  Emit32(offset);
}
void EmitFrameStore(uint8_t op, int s, uint32_t offset) {
  Emit8(op);
  Emit8(RB(s, 6));
  Emit32(offset);
}
void EmitGlobalStore(uint8_t op, int s, uint32_t address) {
  Emit8(op);
  Emit8(RB(s, 7));
  Emit32(address);
}
void EmitJump(uint8_t op, int label) {
  Emit8(op);
  EmitLabelRef(label);
  if (op == kJmp) g.reachable = false;
}

void OpenSub() {
  if (save_top >= kSaveStackSize) RaiseError(kErrHeap);
  for (int i = 0; i < 6; ++i) {
    if (!slot_busy[i]) {
      slot_busy[i] = true;
      save_stack[save_top++] = slot_a;
      slot_a = i;
      return;
    }
  }
  save_stack[save_top++] = -1;
  EmitRR(kPushR, 7, RegA());
}

void CloseSub() {
  if (save_top <= 0) RaiseError(kErrInternal);
  int s = save_stack[--save_top];
  if (s >= 0) {
    slot_busy[slot_b] = false;
    slot_b = s;
  } else {
    EmitRR(kPopR, RegB(), 7);
  }
}

void MoveATo(int r) {
  if (RegA() == r) return;
  int j = 0;
  while (slot_reg[j] != r) ++j;
  if (slot_busy[j])
    EmitRR(kXchg, r, RegA());
  else
    EmitRR(kMovRR, r, RegA());
  std::swap(slot_reg[j], slot_reg[slot_a]);
}

// ---- Code for expressions ------------------------------------------------------------

constexpr uint8_t kGlobalLoad[5] = {kLoadL, kLoadSB, kLoadB, kLoadSW, kLoadW};
constexpr uint8_t kFrameLoad[5] = {kFrameLoadL, kFrameLoadSB, kFrameLoadB, kFrameLoadSW, kFrameLoadW};
constexpr uint8_t kIndLoad[5] = {kIndLoadL, kIndLoadSB, kIndLoadB, kIndLoadSW, kIndLoadW};
constexpr uint8_t kGlobalStoreOp[5] = {kStoreL, kStoreB, kStoreB, kStoreW, kStoreW};
constexpr uint8_t kFrameStoreOp[5] = {kFrameStoreL, kFrameStoreB, kFrameStoreB, kFrameStoreW, kFrameStoreW};
constexpr uint8_t kIndStoreOp[5] = {kIndStoreL, kIndStoreB, kIndStoreB, kIndStoreW, kIndStoreW};

uint8_t BinaryOpcode(int32_t kind) {
  switch (kind) {
    case kNMul: case kNMulU: return kMul;
    case kNDiv: case kNDivU: return kDiv;
    case kNMod: case kNModU: return kMod;
    case kNAdd: return kAddRR;
    case kNSub: return kSubRR;
    case kNShr: return kSar;
    case kNShrU: return kShr;
    case kNShl: case kNShlU: return kShl;
    case kNAnd: return kAnd;
    case kNOr: return kOr;
    case kNXor: return kXor;
    case kNFMul: return kFmul;
    case kNFDiv: return kFdiv;
    case kNFMod: return kFmod;
    case kNFAdd: return kFadd;
    case kNFSub: return kFsub;
    default: RaiseError(kErrInternal);
  }
}

bool IsComparison(int32_t k) { return (k >= kNGt && k <= 60) || k == kNEq || k == kNNe; }

void Eval(int node);
void CondJump(int node, bool when_true, int label);

void EvalBinary(int left, int right, uint8_t opcode) {
  Eval(right);
  OpenSub();
  Eval(left);
  CloseSub();
  EmitRR(opcode, RegA(), RegB());
}

uint8_t ComparisonJump(int32_t kind, bool when_true) {
  if (kind == kNEq) return when_true ? kJe : kJne;
  if (kind == kNNe) return when_true ? kJne : kJe;
  int op = (kind - kNGt) / 3;       // 0 >, 1 >=, 2 <, 3 <=
  bool uns = (kind - kNGt) % 3 == 1;
  static constexpr uint8_t table[4][2][2] = {
      {{kJg, kJle}, {kJa, kJbe}},
      {{kJge, kJl}, {kJae, kJb}},
      {{kJl, kJge}, {kJb, kJae}},
      {{kJle, kJg}, {kJbe, kJa}},
  };
  return table[op][uns ? 1 : 0][when_true ? 0 : 1];
}

void CondJump(int node, bool when_true, int label) {
  int32_t k = Kind(node);
  if (k >= kNLoadGlobal && k <= kNLoadGlobal + 4) {
    int w = k - kNLoadGlobal;
    Emit8(w == 0 ? kZeroL : w <= 2 ? kZeroB : kZeroW);
    Emit32(static_cast<uint32_t>(H(node + 1)));
    EmitJump(when_true ? kJne : kJe, label);
    return;
  }
  if (k >= kNLoadLocal && k <= kNLoadLocal + 4) {
    int w = k - kNLoadLocal;
    Emit8(w == 0 ? kFrameZeroL : w <= 2 ? kFrameZeroB : kFrameZeroW);
    Emit32(static_cast<uint32_t>(H(node + 1)));
    EmitJump(when_true ? kJne : kJe, label);
    return;
  }
  if (k == kNConst) {
    if ((H(node + 1) != 0) == when_true) EmitJump(kJmp, label);
    return;
  }
  if (k == kNNot) {
    CondJump(H(node + 1), !when_true, label);
    return;
  }
  if (IsComparison(k)) {
    bool is_float = k <= 60 && (k - kNGt) % 3 == 2;
    EvalBinary(H(node + 1), H(node + 2), is_float ? kFsub : kSubRR);
    EmitJump(ComparisonJump(k, when_true), label);
    return;
  }
  if (k == kNLogAnd) {
    if (when_true) {
      int s = NewLabel();
      CondJump(H(node + 1), false, s);
      ++cond_depth;
      CondJump(H(node + 2), true, label);
      --cond_depth;
      DefineLabel(s);
    } else {
      CondJump(H(node + 1), false, label);
      ++cond_depth;
      CondJump(H(node + 2), false, label);
      --cond_depth;
    }
    return;
  }
  if (k == kNLogOr) {
    if (when_true) {
      CondJump(H(node + 1), true, label);
      ++cond_depth;
      CondJump(H(node + 2), true, label);
      --cond_depth;
    } else {
      int s = NewLabel();
      CondJump(H(node + 1), true, s);
      ++cond_depth;
      CondJump(H(node + 2), false, label);
      --cond_depth;
      DefineLabel(s);
    }
    return;
  }
  Eval(node);
  EmitRI(kCmpRI, RegA(), 0);
  EmitJump(when_true ? kJne : kJe, label);
}

void EvalCall(int node) {
  int count = 0;
  for (int cell = H(node + 2); cell; cell = H(cell + 1)) {
    int arg = H(cell);
    if (Kind(arg) == kNConst) {
      Emit8(kPushI);
      Emit32(static_cast<uint32_t>(H(arg + 1)));
    } else if (Kind(arg) == kNFunction) {
      Emit8(kMovRA);
      Emit8(RB(7, RegA()));
      EmitLabelRef(static_cast<int>(Sym(H(arg + 1)).value));
      EmitRR(kPushR, 7, RegA());
    } else {
      Eval(arg);
      EmitRR(kPushR, 7, RegA());
    }
    ++count;
  }
  int callee = H(node + 1);
  int before;
  if (Kind(callee) == kNFunction) {
    before = RegA();
    MoveATo(0);
    Emit8(kCall);
    EmitLabelRef(static_cast<int>(Sym(H(callee + 1)).value));
  } else {
    Eval(callee);
    before = RegA();
    MoveATo(0);
    EmitRR(kCallR, 7, 0);
  }
  if (count > 0) EmitRI(kAddRI, 7, static_cast<uint32_t>(4 * count));
  // On a path that not every run takes, the registers must hold the values
  // where the other paths leave them: undo the exchange into r0.
  if (cond_depth > 0 && before != 0) MoveATo(before);
}

void EvalAssign(int node) {
  int w = Kind(node) - kNAssign;
  int target = H(node + 1);
  Eval(H(node + 2));
  switch (Kind(target)) {
    case kNGlobal:
      EmitGlobalStore(kGlobalStoreOp[w], RegA(), static_cast<uint32_t>(H(target + 1)));
      break;
    case kNLocal:
      EmitFrameStore(kFrameStoreOp[w], RegA(), static_cast<uint32_t>(H(target + 1)));
      break;
    default:
      OpenSub();
      Eval(H(target + 1));
      CloseSub();
      EmitRR(kIndStoreOp[w], RegA(), RegB());
      std::swap(slot_a, slot_b);
      break;
  }
}

void EvalCompound(int node) {
  int w = Kind(node) - kNCompound;
  int target = H(node + 1);
  Eval(H(node + 2));
  OpenSub();
  Eval(target);
  CloseSub();
  EmitRR(kIndLoad[w], RegA(), RegA());
  EmitRR(BinaryOpcode(H(node + 3)), RegA(), RegB());
  OpenSub();
  Eval(target);
  CloseSub();
  EmitRR(kIndStoreOp[w], RegA(), RegB());
  std::swap(slot_a, slot_b);
}

void Eval(int node) {
  int32_t k = Kind(node);
  switch (k) {
    case kNString: {
      uint32_t length = static_cast<uint32_t>(H(node + 2));
      uint32_t at = TakeStaticData(length);
      if (uint8_t* p = HostAt(at)) std::memcpy(p, g.strings + H(node + 1), length);
      EmitRI(kMovRA, RegA(), at);
      return;
    }
    case kNGlobal:
      EmitRI(kMovRA, RegA(), static_cast<uint32_t>(H(node + 1)));
      return;
    case kNLocal:
      EmitFrameLoad(kLea, RegA(), static_cast<uint32_t>(H(node + 1)));
      return;
    case kNIndirect:
    case kNAddress:
      Eval(H(node + 1));
      return;
    case kNConst:
      EmitRI(kMovRI, RegA(), static_cast<uint32_t>(H(node + 1)));
      return;
    case kNFunction:
      Emit8(kMovRA);
      Emit8(RB(7, RegA()));
      EmitLabelRef(static_cast<int>(Sym(H(node + 1)).value));
      return;
    case kNNeg: case kNFNeg: case kNComplement: case kNNot: case kNFtoi: case kNItof: {
      Eval(H(node + 1));
      uint8_t op = k == kNNeg ? kNeg : k == kNFNeg ? kFneg : k == kNComplement ? kNot : k == kNNot ? kSet
                 : k == kNFtoi ? kFtoi : kItof;
      EmitRR(op, RegA(), RegA());
      return;
    }
    case kNPostStep: case kNPreStep:
      Eval(H(node + 1));
      Emit8(k == kNPreStep ? kPreOp : kPostOp);
      Emit8(RB(RegA(), RegA()));
      Emit32(static_cast<uint32_t>(H(node + 2)));
      return;
    case kNBytePostInc: case kNBytePreInc: case kNBytePostDec: case kNBytePreDec:
    case kNWordPostInc: case kNWordPreInc: case kNWordPostDec: case kNWordPreDec: {
      static constexpr uint8_t ops[8] = {kPostIncB, kPreIncB, kPostDecB, kPreDecB, kPostIncW, kPreIncW, kPostDecW, kPreDecW};
      Eval(H(node + 1));
      EmitRR(ops[k - kNBytePostInc], RegA(), RegA());
      return;
    }
    case kNCall:
      EvalCall(node);
      return;
    case kNCond: {
      int l1 = NewLabel();
      CondJump(H(node + 1), false, l1);
      ++cond_depth;
      Eval(H(node + 2));
      int r = RegA();
      int l2 = NewLabel();
      EmitJump(kJmp, l2);
      DefineLabel(l1);
      Eval(H(node + 3));
      MoveATo(r);
      --cond_depth;
      DefineLabel(l2);
      return;
    }
    case kNComma:
      Eval(H(node + 1));
      Eval(H(node + 2));
      return;
    case kNFloatPostStep: {
      int target = H(node + 1);
      EmitRI(kMovRI, RegA(), static_cast<uint32_t>(H(node + 2)));
      OpenSub();
      Eval(target);
      CloseSub();                              // A = address, B = step
      EmitRR(kIndLoadL, RegA(), RegA());       // A = old value
      EmitRR(kPushR, 7, RegA());               // kept on the stack
      EmitRR(kFadd, RegA(), RegB());           // A = new value
      OpenSub();
      Eval(target);
      CloseSub();                              // A = address, B = new value
      EmitRR(kIndStoreL, RegA(), RegB());
      EmitRR(kPopR, RegA(), 7);                // A = old value
      return;
    }
    default:
      break;
  }
  if (k >= kNLoadGlobal && k <= kNLoadGlobal + 4) {
    Emit8(kGlobalLoad[k - kNLoadGlobal]);
    Emit8(RB(7, RegA()));
    Emit32(static_cast<uint32_t>(H(node + 1)));
    return;
  }
  if (k >= kNLoadLocal && k <= kNLoadLocal + 4) {
    EmitFrameLoad(kFrameLoad[k - kNLoadLocal], RegA(), static_cast<uint32_t>(H(node + 1)));
    return;
  }
  if (k >= kNLoadIndirect && k <= kNLoadIndirect + 4) {
    Eval(H(node + 1));
    EmitRR(kIndLoad[k - kNLoadIndirect], RegA(), RegA());
    return;
  }
  if (k >= kNAssign && k < kNAssign + 5) {
    EvalAssign(node);
    return;
  }
  if (k >= kNCompound && k < kNCompound + 5) {
    EvalCompound(node);
    return;
  }
  if ((k >= kNMul && k <= kNShlU) || k == kNAnd || k == kNOr || k == kNXor || (k >= kNFMul && k <= kNFSub)) {
    EvalBinary(H(node + 1), H(node + 2), BinaryOpcode(k));
    return;
  }
  // Comparisons, && and || as values.
  int t = NewLabel();
  CondJump(node, true, t);
  EmitRI(kMovRI, RegA(), 0);
  int e = NewLabel();
  EmitJump(kJmp, e);
  DefineLabel(t);
  EmitRI(kMovRI, RegA(), 1);
  DefineLabel(e);
}

// ---- Typing and folding -------------------------------------------------------------

Expr ToFloat(Expr e) {
  if (IsFloatType(e.type)) return e;
  if (IsConstNode(e)) return MakeConst(FloatBits(static_cast<float>(static_cast<int32_t>(ConstBits(e)))), true);
  return Value(NewNode(kNItof, 2, e.node), kTypeFloat);
}

Expr ToInt(Expr e) {
  if (!IsFloatType(e.type)) return e;
  if (IsConstNode(e)) return MakeConst(static_cast<uint32_t>(FloatToInt(AsFloat(ConstBits(e)))), false);
  return Value(NewNode(kNFtoi, 2, e.node), kTypeInt);
}

int32_t IntegerResultType(int32_t a, int32_t b) {
  int32_t sa = TypeSize(a), sb = TypeSize(b);
  if (sa != sb) return sa > sb ? a : b;
  if (IsUnsignedType(b) && !IsUnsignedType(a)) return b;
  return a;
}

bool IsSwappable(int op) { return op == kNAdd || op == kNMul || op == kNAnd || op == kNOr || op == kNXor; }

Expr MakeBinaryNode(int32_t kind, int op, Expr l, Expr r, int32_t type) {
  if (IsSwappable(op) && (IsConstNode(l) || (Is32BitVariableLoad(l) && !IsConstNode(r)))) std::swap(l, r);
  return Value(NewNode(kind, 3, l.node, r.node), type);
}

uint32_t FoldInteger(int op, uint32_t a, uint32_t b, bool uns) {
  int32_t sa = static_cast<int32_t>(a), sb = static_cast<int32_t>(b);
  switch (op) {
    case kNMul: return a * b;
    case kNDiv:
    case kNMod: {
      if (b == 0) RaiseError(kErrDivideByZero);
      // The machine divides signed in both cases.
      int64_t q = int64_t{sa} / sb, m = int64_t{sa} % sb;
      (void)uns;
      return static_cast<uint32_t>(op == kNDiv ? q : m);
    }
    case kNAdd: return a + b;
    case kNSub: return a - b;
    case kNShr: return static_cast<uint32_t>(sa >> (b & 31));
    case kNShl: return a << (b & 31);
    case kNAnd: return a & b;
    case kNOr: return a | b;
    case kNXor: return a ^ b;
    default: RaiseError(kErrInternal);
  }
}

Expr Arithmetic(int op, Expr l, Expr r);

Expr Scale(Expr i, int32_t size) {
  if (size == 1) return i;
  return Arithmetic(kNMul, i, MakeConst(static_cast<uint32_t>(size), false));
}

bool IsLocalAddress(const Expr& e) { return !e.lvalue && Kind(e.node) == kNLocal; }

Expr PointerOffset(int op, Expr p, Expr offset) {
  if (IsConstNode(offset)) {
    int32_t c = static_cast<int32_t>(ConstBits(offset));
    if (c == 0) return Value(p.node, p.type);
    if (IsLocalAddress(p))
      return Value(NewNode(kNLocal, 2, op == kNAdd ? H(p.node + 1) + c : H(p.node + 1) - c), p.type);
  }
  if (op == kNAdd) return MakeBinaryNode(kNAdd, kNAdd, p, offset, p.type);
  return Value(NewNode(kNSub, 3, p.node, offset.node), p.type);
}

int32_t PointeeSize(int32_t pointer) { return TypeSize(TargetType(pointer)); }

Expr Arithmetic(int op, Expr l, Expr r) {
  l = LoadValue(l);
  r = LoadValue(r);
  if (op == kNAdd || op == kNSub) {
    bool lp = IsPointer(l.type), rp = IsPointer(r.type);
    if (lp || rp) {
      if (lp && IsIntegerType(r.type)) return PointerOffset(op, l, Scale(r, PointeeSize(l.type)));
      if (op == kNAdd && rp && IsIntegerType(l.type)) return PointerOffset(op, r, Scale(l, PointeeSize(r.type)));
      if (op == kNSub && lp && rp) {
        if (!SameType(l.type, r.type)) RaiseError(kErrType);
        int32_t size = PointeeSize(l.type);
        Expr diff;
        if (IsConstNode(l) && IsConstNode(r))
          diff = MakeConst(ConstBits(l) - ConstBits(r), false);
        else
          diff = Value(NewNode(kNSub, 3, l.node, r.node), kTypeInt);
        if (size == 1) return diff;
        return Arithmetic(kNDiv, diff, MakeConst(static_cast<uint32_t>(size), false));
      }
      RaiseError(kErrType);
    }
  }
  if (!IsArith(l.type) || !IsArith(r.type)) RaiseError(kErrType);
  if (IsFloatType(l.type) || IsFloatType(r.type)) {
    int32_t fk;
    switch (op) {
      case kNMul: fk = kNFMul; break;
      case kNDiv: fk = kNFDiv; break;
      case kNMod: fk = kNFMod; break;
      case kNAdd: fk = kNFAdd; break;
      case kNSub: fk = kNFSub; break;
      default: RaiseError(kErrType);
    }
    l = ToFloat(l);
    r = ToFloat(r);
    if (IsConstNode(l) && IsConstNode(r)) {
      float a = AsFloat(ConstBits(l)), b = AsFloat(ConstBits(r)), v;
      switch (fk) {
        case kNFMul: v = a * b; break;
        case kNFDiv: v = a / b; break;
        case kNFMod: v = static_cast<float>(std::fmod(double{a}, double{b})); break;
        case kNFAdd: v = a + b; break;
        default: v = a - b; break;
      }
      return MakeConst(FloatBits(v), true);
    }
    const uint32_t one = FloatBits(1.0f);
    if ((op == kNMul || op == kNDiv) && IsConstNode(r) && ConstBits(r) == one) return Value(l.node, kTypeFloat);
    if (op == kNMul && IsConstNode(l) && ConstBits(l) == one) return Value(r.node, kTypeFloat);
    if (op == kNMul || op == kNAdd) return MakeBinaryNode(fk, op, l, r, kTypeFloat);
    return Value(NewNode(fk, 3, l.node, r.node), kTypeFloat);
  }
  int32_t type = IntegerResultType(l.type, r.type);
  bool uns = IsUnsignedType(type);
  if (IsConstNode(l) && IsConstNode(r)) return Value(MakeConst(FoldInteger(op, ConstBits(l), ConstBits(r), uns), false).node, type);
  if ((op == kNMul || op == kNDiv) && IsConstNode(r) && ConstBits(r) == 1) return Value(l.node, type);
  if (op == kNMul && IsConstNode(l) && ConstBits(l) == 1) return Value(r.node, type);
  int32_t kind = op;
  if (uns && (op == kNMul || op == kNDiv || op == kNMod || op == kNShr || op == kNShl)) kind = op + 1;
  if (IsSwappable(op)) return MakeBinaryNode(kind, op, l, r, type);
  return Value(NewNode(kind, 3, l.node, r.node), type);
}

Expr Comparison(int op, Expr l, Expr r) {
  l = LoadValue(l);
  r = LoadValue(r);
  if (!IsScalar(l.type) || !IsScalar(r.type)) RaiseError(kErrType);
  if (op == kNEq || op == kNNe) {
    if (IsConstNode(l) && IsConstNode(r)) return MakeConst((ConstBits(l) == ConstBits(r)) == (op == kNEq) ? 1 : 0, false);
    return Value(NewNode(op, 3, l.node, r.node), kTypeInt);
  }
  int32_t kind;
  if (IsFloatType(l.type) || IsFloatType(r.type)) {
    if (!IsArith(l.type) || !IsArith(r.type)) RaiseError(kErrType);
    l = ToFloat(l);
    r = ToFloat(r);
    kind = op + 2;
    if (IsConstNode(l) && IsConstNode(r)) {
      float a = AsFloat(ConstBits(l)), b = AsFloat(ConstBits(r));
      bool v = op == kNGt ? a > b : op == kNGe ? a >= b : op == kNLt ? a < b : a <= b;
      return MakeConst(v ? 1 : 0, false);
    }
  } else {
    bool sign = l.type == kTypeInt && r.type == kTypeInt;
    kind = sign ? op : op + 1;
    if (IsConstNode(l) && IsConstNode(r)) {
      uint32_t a = ConstBits(l), b = ConstBits(r);
      int32_t sa = static_cast<int32_t>(a), sb = static_cast<int32_t>(b);
      bool v = op == kNGt ? (sign ? sa > sb : a > b)
             : op == kNGe ? (sign ? sa >= sb : a >= b)
             : op == kNLt ? (sign ? sa < sb : a < b)
                          : (sign ? sa <= sb : a <= b);
      return MakeConst(v ? 1 : 0, false);
    }
  }
  return Value(NewNode(kind, 3, l.node, r.node), kTypeInt);
}

Expr Logical(int op, Expr l, Expr r) {
  l = LoadValue(l);
  r = LoadValue(r);
  if (!IsScalar(l.type) || !IsScalar(r.type)) RaiseError(kErrType);
  if (IsConstNode(l) && IsConstNode(r)) {
    bool a = ConstBits(l) != 0, b = ConstBits(r) != 0;
    return MakeConst((op == kNLogAnd ? (a && b) : (a || b)) ? 1 : 0, false);
  }
  return Value(NewNode(op, 3, l.node, r.node), kTypeInt);
}

Expr Dereference(Expr p) {
  p = LoadValue(p);
  int32_t target;
  if (IsPointer(p.type))
    target = TargetType(p.type);
  else if (IsIntegerType(p.type))
    target = kTypeChar;
  else
    RaiseError(kErrType);
  if (Kind(p.node) == kNLocal || Kind(p.node) == kNGlobal) return Lvalue(p.node, target);
  return Lvalue(NewNode(kNIndirect, 2, p.node), target);
}

Expr AddressOf(Expr e) {
  if (!e.lvalue) {
    if (Kind(e.node) == kNFunction) return e;
    RaiseError(kErrNotLvalue);
  }
  int32_t type = PointerTo(e.type);
  if (Kind(e.node) == kNIndirect) return Value(H(e.node + 1), type);
  return Value(e.node, type);
}

Expr Member(Expr s) {
  if (!IsStructType(s.type)) RaiseError(kErrType);
  if (!s.lvalue) RaiseError(kErrType);
  int32_t tag = Cell(s.type, 2);
  g.member_scope = tag;
  NextToken();
  g.member_scope = 0;
  if (g.tok.code != kTokName || Sym(g.tok.sym).kind != kSymMember) RaiseError(kErrType);
  int32_t type = Sym(g.tok.sym).type;
  int32_t offset = static_cast<int32_t>(Sym(g.tok.sym).value);
  NextToken();
  if (Kind(s.node) == kNLocal) return Lvalue(NewNode(kNLocal, 2, H(s.node + 1) + offset), type);
  Expr address = AddressOf(s);
  if (offset == 0) return Dereference(Value(address.node, PointerTo(type)));
  Expr sum = MakeBinaryNode(kNAdd, kNAdd, address, MakeConst(static_cast<uint32_t>(offset), false), kTypeInt);
  return Lvalue(NewNode(kNIndirect, 2, sum.node), type);
}

Expr IncDec(Expr e, bool pre, bool inc) {
  if (!e.lvalue || !IsScalar(e.type)) RaiseError(kErrNotLvalue);
  int w = WidthOf(e.type);
  if (w == 1 || w == 2 || w == 3 || w == 4) {
    int base = w <= 2 ? kNBytePostInc : kNWordPostInc;
    int kind = base + (inc ? (pre ? 1 : 0) : (pre ? 3 : 2));
    return Value(NewNode(kind, 2, e.node), Promoted(e.type));
  }
  if (IsFloatType(e.type)) {
    // A float steps by 1.0: ++x is x += 1.0; x++ keeps the old value aside.
    Expr one = MakeConst(FloatBits(1.0f), true);
    Expr step = pre ? Value(NewNode(kNCompound, 4, e.node, one.node, inc ? kNFAdd : kNFSub), kTypeFloat) : one;
    if (pre) return step;
    return Value(NewNode(kNFloatPostStep, 3, e.node, static_cast<int32_t>(FloatBits(inc ? 1.0f : -1.0f))), kTypeFloat);
  }
  int32_t step = IsPointer(e.type) ? PointeeSize(e.type) : 1;
  if (!inc) step = -step;
  return Value(NewNode(pre ? kNPreStep : kNPostStep, 3, e.node, step), e.type);
}

Expr CompoundAssignment(int op, Expr target, Expr value) {
  if (!target.lvalue || !IsScalar(target.type)) RaiseError(kErrNotLvalue);
  Expr v = LoadValue(value);
  if (!IsScalar(v.type)) RaiseError(kErrType);
  int32_t kind;
  if (IsPointer(target.type)) {
    if ((op != kNAdd && op != kNSub) || !IsIntegerType(v.type)) RaiseError(kErrType);
    v = Scale(v, PointeeSize(target.type));
    kind = op;
  } else if (IsFloatType(target.type)) {
    switch (op) {
      case kNMul: kind = kNFMul; break;
      case kNDiv: kind = kNFDiv; break;
      case kNMod: kind = kNFMod; break;
      case kNAdd: kind = kNFAdd; break;
      case kNSub: kind = kNFSub; break;
      default: RaiseError(kErrType);
    }
    if (!IsArith(v.type)) RaiseError(kErrType);
    v = ToFloat(v);
  } else {
    if (IsFloatType(v.type)) v = ToInt(v);
    bool uns = IsUnsignedType(target.type) || IsUnsignedType(v.type);
    kind = op;
    if (uns && (op == kNMul || op == kNDiv || op == kNMod || op == kNShr || op == kNShl)) kind = op + 1;
  }
  int w = WidthOf(target.type);
  int32_t type = w ? Promoted(target.type) : target.type;
  return Value(NewNode(kNCompound + w, 4, target.node, v.node, kind), type);
}

// ---- Parsing expressions -------------------------------------------------------------

Expr ParseExpression();
Expr ParseUnary();

struct DepthGuard {
  DepthGuard() {
    if (++g.depth > 400) RaiseError(kErrHeap);
  }
  ~DepthGuard() { --g.depth; }
};

Expr ParsePrimary() {
  switch (g.tok.code) {
    case kTokNumber: {
      Expr e = MakeConst(g.tok.value, g.tok.is_float);
      NextToken();
      return e;
    }
    case kTokString: {
      uint32_t text = g.tok.text, length = g.tok.length;
      g.joining_strings = true;
      NextToken();
      while (g.tok.code == kTokString) {
        length = g.tok.length;
        NextToken();
      }
      g.joining_strings = false;
      return Value(NewNode(kNString, 3, static_cast<int32_t>(text), static_cast<int32_t>(length)),
                   ArrayOf(kTypeChar, static_cast<int32_t>(length)));
    }
    case kTokName: {
      int s = g.tok.sym;
      if (Sym(s).kind == kSymUndeclared) s = g.tok.global_sym;
      Symbol& sym = Sym(s);
      switch (sym.kind) {
        case kSymVariable: {
          NextToken();
          return Lvalue(NewNode(kNGlobal, 3, static_cast<int32_t>(sym.value), s), sym.type);
        }
        case kSymLocal:
          NextToken();
          return Lvalue(NewNode(kNLocal, 2, static_cast<int32_t>(sym.value)), sym.type);
        case kSymFunction:
        case kSymUndeclared: {
          NextToken();
          if (sym.kind == kSymUndeclared) {
            int32_t type;
            if (g.tok.code == kTokLParen) {
              type = kTypeInt;
            } else if (!FindExportedFunction(SymbolName(s), &type, nullptr)) {
              RaiseError(kErrUndefined);
            }
            sym.kind = kSymFunction;
            sym.type = type;
            sym.value = static_cast<uint32_t>(NewLabel());
          }
          int node = NewNode(kNFunction, 2, s);
          int32_t ftype = FunctionReturning(sym.type);
          if (g.tok.code == kTokLParen) return Value(node, ftype);
          return Value(node, PointerTo(ftype));
        }
        default:
          RaiseError(kErrUndefined);
      }
    }
    default:
      RaiseError(kErrExpression);
  }
}

Expr ParsePostfix(Expr e) {
  for (;;) {
    switch (g.tok.code) {
      case kTokLBracket: {
        NextToken();
        Expr index = ParseExpression();
        Expect(kTokRBracket);
        e = Dereference(Arithmetic(kNAdd, e, index));
        break;
      }
      case kTokLParen: {
        if (!IsFunctionType(e.type)) RaiseError(kErrType);
        NextToken();
        int head = 0;
        if (g.tok.code != kTokRParen) {
          for (;;) {
            Expr a = LoadValue(ParseAssignmentExpr());
            head = NewNode(a.node, 2, head);  // cell: argument, next (the head is the last argument)
            if (g.tok.code != kTokComma) break;
            NextToken();
          }
        }
        Expect(kTokRParen);
        int32_t result = Promoted(TargetType(e.type));
        e = Value(NewNode(kNCall, 3, e.node, head), result);
        break;
      }
      case kTokDot:
        e = Member(e);
        break;
      case kTokArrow: {
        Expr p = LoadValue(e);
        if (!IsPointer(p.type) || !IsStructType(TargetType(p.type))) RaiseError(kErrType);
        e = Member(Dereference(p));
        break;
      }
      case kTokInc:
      case kTokDec: {
        bool inc = g.tok.code == kTokInc;
        NextToken();
        e = IncDec(e, false, inc);
        break;
      }
      default:
        return e;
    }
  }
}

Expr ParseUnary() {
  DepthGuard guard;
  switch (g.tok.code) {
    case kKwSizeof: {
      NextToken();
      int saved_hi = g.heap_hi, saved_lo = g.heap_lo;
      int32_t size;
      if (g.tok.code == kTokLParen) {
        NextToken();
        if (StartsTypeName()) {
          size = TypeSize(ParseTypeName());
          Expect(kTokRParen);
        } else {
          Expr e = ParseExpression();
          Expect(kTokRParen);
          e = ParsePostfix(e);
          size = TypeSize(e.type);
        }
      } else {
        size = TypeSize(ParseUnary().type);
      }
      g.heap_hi = saved_hi;
      if (IsGlobalScope(g.scope)) g.heap_lo = saved_lo;
      return MakeConst(static_cast<uint32_t>(size), false);
    }
    case kTokNot: {
      NextToken();
      Expr e = LoadValue(ParseUnary());
      if (!IsScalar(e.type)) RaiseError(kErrType);
      return Value(NewNode(kNNot, 2, e.node), kTypeInt);
    }
    case kTokTilde: {
      NextToken();
      Expr e = LoadValue(ParseUnary());
      if (!IsArith(e.type) || (IsConstNode(e) && IsFloatType(e.type))) RaiseError(kErrType);
      if (IsConstNode(e)) return Value(MakeConst(~ConstBits(e), false).node, e.type);
      return Value(NewNode(kNComplement, 2, e.node), e.type);
    }
    case kTokInc:
    case kTokDec: {
      bool inc = g.tok.code == kTokInc;
      NextToken();
      return IncDec(ParseUnary(), true, inc);
    }
    case kTokStar:
      NextToken();
      return Dereference(ParseUnary());
    case kTokMinus: {
      NextToken();
      Expr e = LoadValue(ParseUnary());
      if (!IsArith(e.type)) RaiseError(kErrType);
      if (IsConstNode(e)) {
        if (IsFloatType(e.type)) return MakeConst(ConstBits(e) ^ 0x80000000u, true);
        return Value(MakeConst(0u - ConstBits(e), false).node, e.type);
      }
      return Value(NewNode(IsFloatType(e.type) ? kNFNeg : kNNeg, 2, e.node), e.type);
    }
    case kTokAmp:
      NextToken();
      return AddressOf(ParseUnary());
    case kTokLParen: {
      NextToken();
      if (StartsTypeName()) {
        int32_t type = ParseTypeName();
        Expect(kTokRParen);
        Expr v = LoadValue(ParseUnary());
        if (!IsScalar(type) || !IsScalar(v.type)) RaiseError(kErrType);
        if (IsFloatType(type) && IsIntegerType(v.type)) v = ToFloat(v);
        else if (IsIntegerType(type) && IsFloatType(v.type)) v = ToInt(v);
        return Value(v.node, type);
      }
      Expr e = ParseExpression();
      Expect(kTokRParen);
      return ParsePostfix(e);
    }
    default:
      return ParsePostfix(ParsePrimary());
  }
}

struct BinaryLevel {
  int tokens[4];
  int kinds[4];
};

int TokenIndex(const BinaryLevel& level) {
  for (int i = 0; i < 4; ++i)
    if (level.tokens[i] && level.tokens[i] == g.tok.code) return i;
  return -1;
}

constexpr BinaryLevel kLevels[] = {
    {{kTokOrOr}, {kNLogOr}},
    {{kTokAndAnd}, {kNLogAnd}},
    {{kTokBar}, {kNOr}},
    {{kTokCaret}, {kNXor}},
    {{kTokAmp}, {kNAnd}},
    {{kTokEq, kTokNe}, {kNEq, kNNe}},
    {{kTokLt, kTokLe, kTokGt, kTokGe}, {kNLt, kNLe, kNGt, kNGe}},
    {{kTokShl, kTokShr}, {kNShl, kNShr}},
    {{kTokPlus, kTokMinus}, {kNAdd, kNSub}},
    {{kTokStar, kTokSlash, kTokPercent}, {kNMul, kNDiv, kNMod}},
};
constexpr int kLevelCount = sizeof kLevels / sizeof kLevels[0];

Expr Combine(int kind, Expr l, Expr r) {
  switch (kind) {
    case kNLogOr: case kNLogAnd: return Logical(kind, l, r);
    case kNEq: case kNNe: case kNLt: case kNLe: case kNGt: case kNGe: return Comparison(kind, l, r);
    case kNAnd: case kNOr: case kNXor: {
      Expr a = LoadValue(l), b = LoadValue(r);
      if (!IsIntegerType(a.type) || !IsIntegerType(b.type)) RaiseError(kErrType);
      return Arithmetic(kind, a, b);
    }
    case kNShl: case kNShr: {
      Expr a = LoadValue(l), b = LoadValue(r);
      if (!IsIntegerType(a.type) || !IsIntegerType(b.type)) RaiseError(kErrType);
      return Arithmetic(kind, a, b);
    }
    default: return Arithmetic(kind, l, r);
  }
}

Expr ParseBinary(int level) {
  if (level >= kLevelCount) return ParseUnary();
  Expr l = ParseBinary(level + 1);
  for (;;) {
    int i = TokenIndex(kLevels[level]);
    if (i < 0) return l;
    NextToken();
    Expr r = ParseBinary(level + 1);
    l = Combine(kLevels[level].kinds[i], l, r);
  }
}

Expr ParseExpression() {
  Expr l = ParseAssignmentExpr();
  while (g.tok.code == kTokComma) {
    NextToken();
    Expr r = ParseAssignmentExpr();
    l = LoadValue(l);
    r = LoadValue(r);
    l = Value(NewNode(kNComma, 3, l.node, r.node), r.type);
  }
  return l;
}

// ---- Statements ------------------------------------------------------------------------

void Statement();

void EvalValueStatement(const Expr& e) {
  Expr v = e;
  if (v.lvalue && (IsScalar(v.type) || IsArray(v.type))) v = LoadValue(v);
  EvalStatementExpr(v.node);
}

Expr ParseCondition() {
  Expr c = LoadValue(ParseExpression());
  if (!IsScalar(c.type)) RaiseError(kErrType);
  return c;
}

void JumpOnCondition(const Expr& c, bool when_true, int label) {
  ResetRegisters();
  CondJump(c.node, when_true, label);
}

int case_values[1024];

void CaseGroup() {
  if (!g.in_switch) RaiseError(kErrSyntax);
  int n = 0;
  while (g.tok.code == kKwCase) {
    NextToken();
    Expr v = LoadValue(ParseConditionalExpr());
    if (!IsConstNode(v)) RaiseError(kErrNotConstant);
    if (n >= 1024) RaiseError(kErrHeap);
    case_values[n++] = static_cast<int>(ConstBits(v));
    Expect(kTokColon);
  }
  int p = NewLabel();
  if (g.reachable) EmitJump(kJmp, p);
  if (g.case_test_label) {
    DefineLabel(g.case_test_label);
    g.case_test_label = 0;
  }
  for (int i = 1; i < n; ++i) {
    EmitRI(kCmpRI, g.switch_reg, static_cast<uint32_t>(case_values[i]));
    EmitJump(kJe, p);
  }
  EmitRI(kCmpRI, g.switch_reg, static_cast<uint32_t>(case_values[0]));
  g.case_test_label = NewLabel();
  EmitJump(kJne, g.case_test_label);
  DefineLabel(p);
  // Like a goto label, a case group labels the statement that follows it, so
  // a switch body without braces still holds that statement.
  if (g.tok.code != kTokRBrace) Statement();
}

void SwitchStatement() {
  NextToken();
  Expect(kTokLParen);
  Expr e = ParseCondition();
  Expect(kTokRParen);
  int saved_break = g.break_label, saved_reg = g.switch_reg, saved_test = g.case_test_label;
  int saved_default = g.default_label;
  bool saved_in = g.in_switch;
  int b = NewLabel();
  g.default_label = 0;
  g.case_test_label = 0;
  EvalStatementExpr(e.node);
  g.switch_reg = RegA();
  // Only the case tests enter the body.
  g.reachable = false;
  g.in_switch = true;
  g.break_label = b;
  Statement();
  if (g.default_label) {
    int x = 0;
    if (g.reachable) {
      x = NewLabel();
      EmitJump(kJmp, x);
    }
    if (g.case_test_label) DefineLabel(g.case_test_label);
    EmitJump(kJmp, g.default_label);
    if (x) DefineLabel(x);
  } else if (g.case_test_label) {
    DefineLabel(g.case_test_label);
  }
  DefineLabel(b);
  g.break_label = saved_break;
  g.switch_reg = saved_reg;
  g.case_test_label = saved_test;
  g.default_label = saved_default;
  g.in_switch = saved_in;
}

void LoopBody(int break_label, int continue_label) {
  int sb = g.break_label, sc = g.continue_label;
  g.break_label = break_label;
  g.continue_label = continue_label;
  Statement();
  g.break_label = sb;
  g.continue_label = sc;
}

bool StartsDeclaration() {
  return StartsTypeName() || g.tok.code == kKwStatic || g.tok.code == kKwExtern || g.tok.code == kKwTypedef;
}

void StatementInner() {
  switch (g.tok.code) {
    case kTokSemicolon:
      NextToken();
      return;
    case kTokLBrace:
      ++g.body_depth;
      NextToken();
      while (g.tok.code != kTokRBrace) Statement();
      --g.body_depth;
      NextToken();
      return;
    case kKwIf: {
      NextToken();
      Expect(kTokLParen);
      Expr c = ParseCondition();
      Expect(kTokRParen);
      int e = NewLabel();
      JumpOnCondition(c, false, e);
      Statement();
      if (g.tok.code == kKwElse) {
        NextToken();
        int x = 0;
        if (g.reachable) {
          x = NewLabel();
          EmitJump(kJmp, x);
        }
        DefineLabel(e);
        Statement();
        if (x) DefineLabel(x);
      } else {
        DefineLabel(e);
      }
      return;
    }
    case kKwWhile: {
      NextToken();
      Expect(kTokLParen);
      Expr c = ParseCondition();
      Expect(kTokRParen);
      int b = NewLabel();
      int k = NewLabel();
      DefineLabel(k);
      if (g.tok.code == kTokSemicolon) {
        JumpOnCondition(c, true, k);
        NextToken();
      } else {
        JumpOnCondition(c, false, b);
        LoopBody(b, k);
        if (g.reachable) EmitJump(kJmp, k);
      }
      DefineLabel(b);
      return;
    }
    case kKwDo: {
      NextToken();
      int b = NewLabel();
      int k = NewLabel();
      int t = NewLabel();
      DefineLabel(t);
      LoopBody(b, k);
      DefineLabel(k);
      Expect(kKwWhile);
      Expect(kTokLParen);
      Expr c = ParseCondition();
      Expect(kTokRParen);
      JumpOnCondition(c, true, t);
      Expect(kTokSemicolon);
      DefineLabel(b);
      return;
    }
    case kKwFor: {
      NextToken();
      Expect(kTokLParen);
      int b = NewLabel();
      if (g.tok.code != kTokSemicolon) {
        Expr i = ParseExpression();
        EvalValueStatement(i);
      }
      Expect(kTokSemicolon);
      int t = NewLabel();
      DefineLabel(t);
      if (g.tok.code != kTokSemicolon) {
        Expr c = ParseCondition();
        JumpOnCondition(c, false, b);
      }
      Expect(kTokSemicolon);
      bool has_next = g.tok.code != kTokRParen;
      Expr n{};
      if (has_next) n = ParseExpression();
      Expect(kTokRParen);
      int k = has_next ? NewLabel() : t;
      LoopBody(b, k);
      if (has_next) {
        DefineLabel(k);
        EvalValueStatement(n);
      }
      EmitJump(kJmp, t);
      DefineLabel(b);
      return;
    }
    case kKwSwitch:
      SwitchStatement();
      return;
    case kKwCase:
      CaseGroup();
      return;
    case kKwDefault: {
      if (!g.in_switch || g.default_label) RaiseError(kErrSyntax);
      NextToken();
      Expect(kTokColon);
      if (!g.case_test_label) {
        g.case_test_label = NewLabel();
        EmitJump(kJmp, g.case_test_label);
      }
      g.default_label = NewLabel();
      DefineLabel(g.default_label);
      if (g.tok.code != kTokRBrace) Statement();
      return;
    }
    case kKwBreak:
      if (!g.break_label) RaiseError(kErrSyntax);
      NextToken();
      Expect(kTokSemicolon);
      EmitJump(kJmp, g.break_label);
      return;
    case kKwContinue:
      if (!g.continue_label) RaiseError(kErrSyntax);
      NextToken();
      Expect(kTokSemicolon);
      EmitJump(kJmp, g.continue_label);
      return;
    case kKwReturn: {
      NextToken();
      if (g.tok.code != kTokSemicolon) EvalValueStatement(ParseExpression());
      Expect(kTokSemicolon);
      // Right before the function's closing brace the jump is not needed
      // (unless a loop or switch would run on after it).
      if (g.tok.code == kTokRBrace && g.body_depth == 1 && !g.break_label && !g.continue_label) {
        g.reachable = false;
        return;
      }
      MoveATo(0);
      EmitJump(kJmp, g.return_label);
      return;
    }
    case kKwGoto: {
      NextToken();
      if (g.tok.code != kTokName) RaiseError(kErrSyntax);
      int s = g.tok.sym;
      Symbol& sym = Sym(s);
      if (sym.kind == kSymUndeclared) {
        sym.kind = kSymLabelUsed;
        sym.value = static_cast<uint32_t>(NewLabel());
      } else if (sym.kind != kSymLabel && sym.kind != kSymLabelUsed) {
        RaiseError(kErrSyntax);
      }
      int label = static_cast<int>(sym.value);
      NextToken();
      Expect(kTokSemicolon);
      EmitJump(kJmp, label);
      return;
    }
    default:
      break;
  }
  if (StartsDeclaration()) {
    ParseLocalDeclaration();
    return;
  }
  if (g.tok.code == kTokName) {
    TokenState name = g.tok;
    NextToken();
    if (g.tok.code == kTokColon) {
      Symbol& sym = Sym(name.sym);
      if (sym.kind == kSymUndeclared) {
        sym.kind = kSymLabel;
        sym.value = static_cast<uint32_t>(NewLabel());
      } else if (sym.kind == kSymLabelUsed) {
        sym.kind = kSymLabel;
      } else {
        RaiseError(kErrType);
      }
      DefineLabel(static_cast<int>(sym.value));
      NextToken();
      if (g.tok.code != kTokRBrace) Statement();
      return;
    }
    PushBackToken(name);
  }
  Expr e = ParseExpression();
  EvalValueStatement(e);
  Expect(kTokSemicolon);
}

void Statement() {
  DepthGuard guard;
  int mark = g.heap_hi;
  uint32_t strings = g.strings_top;
  StatementInner();
  g.heap_hi = std::max(g.heap_hi, std::min(mark, g.heap_keep));
  ReleaseStrings(strings);
}

void ShowErrorText() {
  // The error box formats at most 255 bytes: show the text in pieces that
  // end at line ends (or character boundaries), never as a format.
  const char* t = g.error_text;
  uint32_t n = g.error_length, at = 0;
  while (at < n) {
    uint32_t end = std::min<uint32_t>(n, at + 255);
    if (end < n) {
      uint32_t nl = end;
      while (nl > at && t[nl - 1] != '\n') --nl;
      if (nl > at) {
        end = nl;
      } else {
        uint32_t p = at;
        while (p < end) {
          uint32_t step = IsSjisLead(static_cast<uint8_t>(t[p])) ? 2 : 1;
          if (p + step > end) break;
          p += step;
        }
        end = p;
      }
    }
    char piece[256];
    std::memcpy(piece, t + at, end - at);
    piece[end - at] = 0;
    ShowError(1, "%s", piece);
    at = end;
  }
}

uint32_t last_code_length = 0;
uint32_t last_data_size = 0;
char script_directory[260] = "";

}  // namespace

// ---- Interfaces ---------------------------------------------------------------------------

void Emit8(uint8_t v) {
  if (g.image) {
    if (uint64_t{g.code_length} + g.data_size + 1 > g.capacity) RaiseError(kErrProgramArea);
    g.image[g.code_length] = v;
  } else if (g.code_length >= 0x7FFFFFF0u) {
    RaiseError(kErrProgramArea);
  }
  ++g.code_length;
}

void Emit32(uint32_t v) {
  for (int i = 0; i < 4; ++i) Emit8(static_cast<uint8_t>(v >> (8 * i)));
}

int NewLabel() {
  if (g.next_label >= kMaxLabels) RaiseError(kErrInternal);
  int n = g.next_label++;
  g.labels[n].state = 0xDE;
  g.labels[n].word = 0;
  return n;
}

void EmitLabelRef(int label) {
  if (label <= 0 || label >= g.next_label) RaiseError(kErrInternal);
  Label& l = g.labels[label];
  if (l.state == 0xDF) {
    Emit32(l.word);
    return;
  }
  uint32_t at = g.code_length;
  Emit32(l.word);
  l.word = at;
}

void ReferenceLabelAt(int label, uint32_t offset) {
  if (label <= 0 || label >= g.next_label) RaiseError(kErrInternal);
  if (!g.image || uint64_t{offset} + 4 > g.capacity) return;
  Label& l = g.labels[label];
  std::memcpy(g.image + offset, &l.word, 4);
  if (l.state != 0xDF) l.word = offset;
}

void PatchLabelReferences(int label, uint32_t address) {
  Label& l = g.labels[label];
  if (g.image) {
    uint32_t at = l.word;
    while (at != 0 && uint64_t{at} + 4 <= g.capacity) {
      uint32_t link;
      std::memcpy(&link, g.image + at, 4);
      std::memcpy(g.image + at, &address, 4);
      at = link;
    }
  }
  l.word = address;
  l.state = 0xDF;
}

void DefineLabel(int label) {
  if (label <= 0 || label >= g.next_label || g.labels[label].state == 0xDF) RaiseError(kErrInternal);
  PatchLabelReferences(label, g.base + g.code_length);
  g.reachable = true;
}

uint32_t TakeStaticData(uint32_t bytes) {
  uint64_t total = uint64_t{g.data_size} + bytes;
  if (total > 0x7FFFFFF0u) RaiseError(kErrProgramArea);
  if (g.image && uint64_t{g.code_length} + total > g.capacity) RaiseError(kErrProgramArea);
  g.data_size = static_cast<uint32_t>(total);
  return g.base + g.capacity - g.data_size;
}

uint8_t* HostAt(uint32_t address) {
  if (!g.image) return nullptr;
  uint32_t offset = address - g.base;
  if (offset < g.capacity) return g.image + offset;
  uint32_t ext = ExternalAreaAddress();
  if (ext && address - ext < ExternalAreaSize()) return ToHost(address);
  return nullptr;
}

void ResetRegisters() {
  cond_depth = 0;
  for (int i = 0; i < 6; ++i) {
    slot_reg[i] = i;
    slot_busy[i] = false;
  }
  slot_a = 0;
  slot_b = 1;
  slot_busy[0] = slot_busy[1] = true;
  save_top = 0;
}

Expr MakeConst(uint32_t value, bool is_float) {
  return Value(NewNode(kNConst, 3, static_cast<int32_t>(value), is_float ? 1 : 0), is_float ? kTypeFloat : kTypeInt);
}

Expr VariableLvalue(int32_t kind, uint32_t value, int32_t type) {
  if (kind == kSymLocal) return Lvalue(NewNode(kNLocal, 2, static_cast<int32_t>(value)), type);
  return Lvalue(NewNode(kNGlobal, 3, static_cast<int32_t>(value), 0), type);
}

bool IsConstant(const Expr& e) { return IsConstNode(e); }
uint32_t ConstantValue(const Expr& e) { return ConstBits(e); }

uint32_t ConstantOf(Expr value, int32_t target) {
  uint32_t v = ConstBits(value);
  bool is_float = IsFloatType(value.type);
  if (IsFloatType(target) && !is_float) return FloatBits(static_cast<float>(static_cast<int32_t>(v)));
  if (!IsFloatType(target) && is_float) return static_cast<uint32_t>(FloatToInt(AsFloat(v)));
  return v;
}

bool IsFunctionNode(const Expr& e) { return !e.lvalue && Kind(e.node) == kNFunction; }
int FunctionNodeSymbol(const Expr& e) { return H(e.node + 1); }

bool IsStringNode(const Expr& e, uint32_t* text, uint32_t* length) {
  if (Kind(e.node) != kNString) return false;
  *text = static_cast<uint32_t>(H(e.node + 1));
  *length = static_cast<uint32_t>(H(e.node + 2));
  return true;
}

bool IsGlobalAddressNode(const Expr& e, uint32_t* address) {
  if (e.lvalue || Kind(e.node) != kNGlobal) return false;
  *address = static_cast<uint32_t>(H(e.node + 1));
  return true;
}

Expr LoadValue(Expr e) {
  if (!e.lvalue) {
    if (Kind(e.node) == kNString && IsArray(e.type)) return Value(e.node, PointerTo(kTypeChar));
    if (IsStructType(e.type)) RaiseError(kErrType);
    return e;
  }
  int32_t t = e.type;
  if (IsArray(t)) return Value(e.node, PointerTo(TargetType(t)));
  if (!IsScalar(t)) RaiseError(kErrType);
  int w = WidthOf(t);
  int32_t k = Kind(e.node);
  int node;
  if (k == kNGlobal)
    node = NewNode(kNLoadGlobal + w, 3, H(e.node + 1), H(e.node + 2));
  else if (k == kNLocal)
    node = NewNode(kNLoadLocal + w, 2, H(e.node + 1));
  else
    node = NewNode(kNLoadIndirect + w, 2, H(e.node + 1));
  return Value(node, Promoted(t));
}

Expr ConvertTo(Expr value, int32_t target) {
  if (IsFloatType(target) && IsIntegerType(value.type)) return ToFloat(value);
  if (IsIntegerType(target) && IsFloatType(value.type)) return ToInt(value);
  return value;
}

Expr MakeAssignment(Expr target, Expr value) {
  if (!target.lvalue || !IsScalar(target.type)) RaiseError(kErrNotLvalue);
  Expr v = LoadValue(value);
  if (!IsScalar(v.type)) RaiseError(kErrType);
  v = ConvertTo(v, target.type);
  int w = WidthOf(target.type);
  int32_t type = w ? Promoted(target.type) : target.type;
  return Value(NewNode(kNAssign + w, 3, target.node, v.node), type);
}

Expr ParseConditionalExpr() {
  DepthGuard guard;
  Expr c = ParseBinary(0);
  if (g.tok.code != kTokQuestion) return c;
  c = LoadValue(c);
  if (!IsScalar(c.type)) RaiseError(kErrType);
  NextToken();
  Expr t = LoadValue(ParseExpression());
  Expect(kTokColon);
  Expr e = LoadValue(ParseConditionalExpr());
  // A constant condition keeps the chosen branch with its own type, so an
  // assignment converts it as it would the branch alone.
  if (IsConstNode(c)) return ConstBits(c) ? t : e;
  int32_t type;
  if (e.type == kTypeInt || (e.type == kTypeUInt && t.type != kTypeInt))
    type = t.type;
  else
    type = e.type;
  return Value(NewNode(kNCond, 4, c.node, t.node, e.node), type);
}

Expr ParseAssignmentExpr() {
  DepthGuard guard;
  Expr l = ParseConditionalExpr();
  int code = g.tok.code;
  if (code == kTokAssign) {
    NextToken();
    Expr r = ParseAssignmentExpr();
    return MakeAssignment(l, r);
  }
  if (code >= kTokMulAssign && code <= kTokXorAssign) {
    int op = code - 100;
    if (op != kNMul && op != kNDiv && op != kNMod && op != kNAdd && op != kNSub && op != kNShr && op != kNShl &&
        op != kNAnd && op != kNOr && op != kNXor)
      return l;
    NextToken();
    Expr r = ParseAssignmentExpr();
    return CompoundAssignment(op, l, r);
  }
  return l;
}

void EvalStatementExpr(int node) {
  ResetRegisters();
  Eval(node);
}

void CompileFunctionBody(int function_symbol, bool exported) {
  Symbol& f = Sym(function_symbol);
  ResetRegisters();
  DefineLabel(static_cast<int>(f.value));
  // Only an image in its own program area can be called by other scripts.
  if (exported && g.image && g_arena_base && g.image == ToHost(g.base))
    ExportFunction(SymbolName(function_symbol), f.type, g.base + g.code_length);
  g.return_label = NewLabel();
  g.local_size = 0;
  g.break_label = g.continue_label = 0;
  g.in_switch = false;
  g.case_test_label = g.default_label = 0;
  Emit8(kEnter);
  uint32_t enter_operand = g.code_length;
  Emit32(0);
  g.heap_keep = g.heap_hi;
  g.scope = kScopeStatement;
  g.body_depth = 1;
  NextToken();  // past '{'
  while (g.tok.code != kTokRBrace) Statement();
  MoveATo(0);
  DefineLabel(g.return_label);
  uint32_t frame = static_cast<uint32_t>(-g.local_size);
  if (g.image) std::memcpy(g.image + enter_operand, &frame, 4);
  Emit8(kLeave);
  Emit32(frame);
  Emit8(kRet);
  g.body_depth = 0;
  g.scope = kScopeTop;
  g.at_top_level = true;
  NextToken();  // past '}'
}

void EmitBuiltinStub(int label, int number) {
  ResetRegisters();
  DefineLabel(label);
  Emit8(kTrap);
  Emit16(static_cast<uint16_t>(number));
  MoveATo(0);
  Emit8(kRet);
}

}  // namespace kc

// ---- Public ----------------------------------------------------------------------------------

void SetScriptDirectory(std::string_view directory) {
  size_t n = std::min(directory.size(), sizeof kc::script_directory - 1);
  std::memcpy(kc::script_directory, directory.data(), n);
  kc::script_directory[n] = 0;
}

std::string_view ScriptDirectory() { return kc::script_directory; }

int CompileSourceInto(const char* name, uint8_t* image, uint32_t program_base, uint32_t program_size) {
  using namespace kc;
  // The compiler's state is process-wide: compilations take turns.
  static std::mutex compiling;
  std::lock_guard lock(compiling);
  new (&g) CompilerState{};
  g.keep_errors = ErrorLevel() != 0;
  g.image = image;
  g.base = program_base;
  g.capacity = image ? program_size : 0;
  int result = 0;
  try {
    FrontEndStart();
    DeclarationsStart();
    int m = GlobalSymbol("main");
    Sym(m).kind = kSymFunction;
    Sym(m).type = kTypeInt;
    Sym(m).value = static_cast<uint32_t>(NewLabel());
    ResetRegisters();
    Emit8(kJmp);
    EmitLabelRef(static_cast<int>(Sym(m).value));
    OpenMainSource(name);
    g.at_top_level = true;
    NextToken();
    for (;;) {
      ClearLocalSymbols();
      g.scope = kScopeTop;
      g.at_top_level = true;
      while (g.tok.code == kTokSemicolon) NextToken();
      ReleaseStrings(0);
      g.at_top_level = false;
      ParseTopLevelDeclaration();
    }
  } catch (const CompileEnd&) {
    try {
      result = ResolveAtEnd() ? 1 : 0;
    } catch (const CompileAbort&) {
      result = 0;
    }
  } catch (const CompileAbort&) {
    result = 0;
  }
  FrontEndStop();
  last_code_length = g.code_length;
  last_data_size = g.data_size;
  if (g.error_length) ShowErrorText();
  return result;
}

int CompileSource(const char* name, uint32_t program_base, uint32_t program_size) {
  return CompileSourceInto(name, program_base ? ToHost(program_base) : nullptr, program_base, program_size);
}

uint32_t CompiledCodeLength() { return kc::last_code_length; }
uint32_t CompiledDataSize() { return kc::last_data_size; }
int CompileErrorNumber() { return kc::g.error_number; }
int CompileErrorLine() { return kc::g.error_line; }
std::string_view CompileErrorText() { return std::string_view(kc::g.error_text, kc::g.error_length); }
