// The interpreter: one slice of at most 255 instructions per call.
//
// Decisions where the instruction set leaves things open:
// - Register fields name r(n & 7): fields 8 to 15 alias r0 to r7.
// - div of -2147483648 by -1 gives -2147483648 and mod gives 0 (no trap).
// - ftoi of NaN or of a value outside the 32-bit range gives 0x80000000, the
//   "integer indefinite" value the original processors produced.
// - Memory is not checked: every 32-bit address plus a 4-byte access lies in
//   the arena's reservation. Operand addresses wrap at 32 bits; an access that
//   straddles 0xFFFFFFFF reads or writes the reservation's spare tail.
#include <bit>
#include <cmath>
#include <cstring>

#include "vm/arena.h"
#include "vm/context.h"
#include "vm/opcodes.h"

namespace {

inline uint32_t Load32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline uint16_t Load16(const uint8_t* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
inline void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void Store16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline float AsFloat(uint32_t v) { return std::bit_cast<float>(v); }
inline uint32_t AsBits(float f) { return std::bit_cast<uint32_t>(f); }

inline uint32_t FloatToInt(float f) {
  if (!(f >= -2147483648.0f && f < 2147483648.0f)) return 0x80000000u;
  return static_cast<uint32_t>(static_cast<int32_t>(f));
}

}  // namespace

int RunContext(ScriptContext* ctx) {
  if (ScriptStopRequested()) return 1;

  uint8_t* const mem = g_arena_base;
  // Registers and flags live in locals while the slice runs, so stores into
  // script memory cannot alias them; they go back to the context on the way out.
  uint32_t r[8];
  std::memcpy(r, ctx->r, sizeof r);
  uint8_t zf = ctx->zero_flag, lf = ctx->less_flag, bf = ctx->below_flag;
  uint32_t pc = ctx->pc;
  const uint32_t stack_base = ctx->stack_base;
  const uint32_t stack_size = ctx->stack_size;
  int budget = 256;
  int error = -1;
  uint32_t s = 0, d = 0;  // decoded register byte

  static const void* const dispatch[256] = {
#define L(n) &&op_##n
      L(0),  L(1),  L(2),  L(3),  L(4),  L(5),  L(6),  L(7),  L(8),  L(9),  L(10), L(11), L(12),
      L(13), L(14), L(15), L(16), L(17), L(18), L(19), L(20), L(21), L(22), L(23), L(24), L(25),
      L(26), L(27), L(28), L(29), L(30), L(31), L(32), L(33), L(34), L(35), L(36), L(37), L(38),
      L(39), L(40), L(41), L(42), L(43), L(44), L(45), L(46), L(47), L(48), L(49), L(50), L(51),
      L(52), L(53), L(54), L(55), L(56), L(57), L(58), L(59), L(60), L(61), L(62), L(63), L(64),
      L(65), L(66), L(67), L(68), L(69), L(70), L(71), L(72), L(73), L(74), L(75), L(76), L(77),
      L(78), L(79), L(80), L(81), L(82), L(83), L(84), L(85), L(86), L(87), L(88), L(89), L(90),
      L(91),
#undef L
#define I &&op_illegal
#define I8 I, I, I, I, I, I, I, I
      I, I, I, I,                                     // 92..95
      I8, I8, I8, I8, I8, I8, I8, I8, I8, I8, I8, I8,  // 96..191
      I8, I8, I8, I8, I8, I8, I8, I8,                  // 192..255
#undef I8
#undef I
  };

// Next instruction: stop flag, budget, then fetch and jump.
#define NEXT()                                  \
  do {                                          \
    if (ScriptStopRequested()) goto out;        \
    if (--budget == 0) goto out;                \
    goto *dispatch[mem[pc++]];                  \
  } while (0)
#define RB()                       \
  do {                             \
    uint8_t rb_ = mem[pc];         \
    s = (rb_ >> 4) & 7;            \
    d = rb_ & 7;                   \
  } while (0)
#define I32(at) Load32(mem + static_cast<uint32_t>(pc + (at)))
#define AT(addr) (mem + static_cast<uint32_t>(addr))
#define CHECK_STACK()                                                       \
  do {                                                                      \
    if (r[7] - stack_base >= stack_size) { error = kErrorStackOverrun; goto fail; } \
  } while (0)
#define COMPARE(a, b)                                                   \
  do {                                                                  \
    uint32_t a_ = (a), b_ = (b);                                        \
    zf = a_ == b_;                                                      \
    lf = static_cast<int32_t>(a_) < static_cast<int32_t>(b_);          \
    bf = a_ < b_;                                                       \
  } while (0)
#define JUMP_IF(cond)                     \
  do {                                    \
    if (cond) pc = I32(0); else pc += 4;  \
    NEXT();                               \
  } while (0)

  if (ctx->state != kContextRunning) goto out;
  --budget;
  goto *dispatch[mem[pc++]];

op_0: NEXT();
op_1: {  // trap: the builtin hook sees the context as it stands, then the slice ends
  uint16_t n = Load16(AT(pc));
  pc += 2;
  std::memcpy(ctx->r, r, sizeof r);
  ctx->zero_flag = zf; ctx->less_flag = lf; ctx->below_flag = bf;
  ctx->pc = pc;
  CurrentBuiltinHook()(n, ctx);
  return 1;
}
op_2: RB(); pc += 1; std::swap(r[d], r[s]); NEXT();
op_3: RB(); pc += 1; r[d] = r[s]; NEXT();
op_4:
op_5: RB(); r[d] = I32(1); pc += 5; NEXT();
op_6: RB(); r[d] = *AT(I32(1)); pc += 5; NEXT();
op_7: RB(); r[d] = static_cast<uint32_t>(static_cast<int8_t>(*AT(I32(1)))); pc += 5; NEXT();
op_8: RB(); r[d] = Load16(AT(I32(1))); pc += 5; NEXT();
op_9: RB(); r[d] = static_cast<uint32_t>(static_cast<int16_t>(Load16(AT(I32(1))))); pc += 5; NEXT();
op_10: RB(); r[d] = Load32(AT(I32(1))); pc += 5; NEXT();
op_11: RB(); r[d] = r[6] + I32(1); pc += 5; NEXT();
op_12: RB(); r[d] = *AT(r[6] + I32(1)); pc += 5; NEXT();
op_13: RB(); r[d] = static_cast<uint32_t>(static_cast<int8_t>(*AT(r[6] + I32(1)))); pc += 5; NEXT();
op_14: RB(); r[d] = Load16(AT(r[6] + I32(1))); pc += 5; NEXT();
op_15: RB(); r[d] = static_cast<uint32_t>(static_cast<int16_t>(Load16(AT(r[6] + I32(1))))); pc += 5; NEXT();
op_16: RB(); r[d] = Load32(AT(r[6] + I32(1))); pc += 5; NEXT();
op_17: RB(); pc += 1; r[d] = *AT(r[s]); NEXT();
op_18: RB(); pc += 1; r[d] = static_cast<uint32_t>(static_cast<int8_t>(*AT(r[s]))); NEXT();
op_19: RB(); pc += 1; r[d] = Load16(AT(r[s])); NEXT();
op_20: RB(); pc += 1; r[d] = static_cast<uint32_t>(static_cast<int16_t>(Load16(AT(r[s])))); NEXT();
op_21: RB(); pc += 1; r[d] = Load32(AT(r[s])); NEXT();
op_22: RB(); *AT(I32(1)) = static_cast<uint8_t>(r[s]); pc += 5; NEXT();
op_23: RB(); Store16(AT(I32(1)), static_cast<uint16_t>(r[s])); pc += 5; NEXT();
op_24: RB(); Store32(AT(I32(1)), r[s]); pc += 5; NEXT();
op_25: RB(); *AT(r[6] + I32(1)) = static_cast<uint8_t>(r[s]); pc += 5; NEXT();
op_26: RB(); Store16(AT(r[6] + I32(1)), static_cast<uint16_t>(r[s])); pc += 5; NEXT();
op_27: RB(); Store32(AT(r[6] + I32(1)), r[s]); pc += 5; NEXT();
op_28: RB(); pc += 1; *AT(r[d]) = static_cast<uint8_t>(r[s]); NEXT();
op_29: RB(); pc += 1; Store16(AT(r[d]), static_cast<uint16_t>(r[s])); NEXT();
op_30: RB(); pc += 1; Store32(AT(r[d]), r[s]); NEXT();
op_31: RB(); pc += 1; r[7] -= 4; CHECK_STACK(); Store32(AT(r[7]), r[s]); NEXT();
op_32: { uint32_t v = I32(0); pc += 4; r[7] -= 4; CHECK_STACK(); Store32(AT(r[7]), v); NEXT(); }
op_33: RB(); pc += 1; r[7] += 4; CHECK_STACK(); r[d] = Load32(AT(r[7] - 4)); NEXT();
op_34: {  // enter N
  uint32_t n = I32(0);
  pc += 4;
  r[7] -= 24 + n;
  CHECK_STACK();
  uint32_t at = r[7] + n;
  for (int i = 1; i <= 6; ++i) Store32(AT(at + 4 * (i - 1)), r[i]);
  r[6] = at + 20;
  NEXT();
}
op_35: {  // leave N: the outermost frame has no room for a return address, and ends the context
  uint32_t n = I32(0);
  pc += 4;
  if (r[7] - stack_base + n + 24 >= stack_size) { ctx->state = kContextEnded; goto out; }
  r[7] += n;
  for (int i = 1; i <= 6; ++i) r[i] = Load32(AT(r[7] + 4 * (i - 1)));
  r[7] += 24;
  NEXT();
}
op_36: {
  uint32_t target = I32(0);
  pc += 4;
  r[7] -= 4;
  CHECK_STACK();
  Store32(AT(r[7]), pc);
  pc = target;
  NEXT();
}
op_37:
  RB();
  pc += 1;
  if (r[s] == 0) { error = kErrorProgramOverrun; goto fail; }
  r[7] -= 4;
  CHECK_STACK();
  Store32(AT(r[7]), pc);
  pc = r[s];
  NEXT();
op_38:
  r[7] += 4;
  CHECK_STACK();
  pc = Load32(AT(r[7] - 4));
  if (pc == 0xFFFFFFFFu) { ctx->state = kContextEnded; goto out; }
  NEXT();
op_39: { RB(); uint8_t* p = AT(r[s]); uint32_t v = Load32(p) + I32(1); Store32(p, v); r[d] = v; pc += 5; NEXT(); }
op_40: { RB(); uint8_t* p = AT(r[s]); uint32_t v = Load32(p); Store32(p, v + I32(1)); r[d] = v; pc += 5; NEXT(); }
op_41: { RB(); pc += 1; uint8_t* p = AT(r[s]); *p = static_cast<uint8_t>(*p + 1); r[d] = *p; NEXT(); }
op_42: { RB(); pc += 1; uint8_t* p = AT(r[s]); r[d] = *p; *p = static_cast<uint8_t>(*p + 1); NEXT(); }
op_43: { RB(); pc += 1; uint8_t* p = AT(r[s]); *p = static_cast<uint8_t>(*p - 1); r[d] = *p; NEXT(); }
op_44: { RB(); pc += 1; uint8_t* p = AT(r[s]); r[d] = *p; *p = static_cast<uint8_t>(*p - 1); NEXT(); }
op_45: { RB(); pc += 1; uint8_t* p = AT(r[s]); uint16_t v = static_cast<uint16_t>(Load16(p) + 1); Store16(p, v); r[d] = v; NEXT(); }
op_46: { RB(); pc += 1; uint8_t* p = AT(r[s]); uint16_t v = Load16(p); Store16(p, static_cast<uint16_t>(v + 1)); r[d] = v; NEXT(); }
op_47: { RB(); pc += 1; uint8_t* p = AT(r[s]); uint16_t v = static_cast<uint16_t>(Load16(p) - 1); Store16(p, v); r[d] = v; NEXT(); }
op_48: { RB(); pc += 1; uint8_t* p = AT(r[s]); uint16_t v = Load16(p); Store16(p, static_cast<uint16_t>(v - 1)); r[d] = v; NEXT(); }
op_49: zf = *AT(I32(0)) == 0; pc += 4; NEXT();
op_50: zf = Load16(AT(I32(0))) == 0; pc += 4; NEXT();
op_51: zf = Load32(AT(I32(0))) == 0; pc += 4; NEXT();
op_52: zf = *AT(r[6] + I32(0)) == 0; pc += 4; NEXT();
op_53: zf = Load16(AT(r[6] + I32(0))) == 0; pc += 4; NEXT();
op_54: zf = Load32(AT(r[6] + I32(0))) == 0; pc += 4; NEXT();
op_55: RB(); pc += 1; COMPARE(r[d], r[s]); NEXT();
op_56: RB(); COMPARE(r[d], I32(1)); pc += 5; NEXT();
op_57: RB(); pc += 1; r[d] = r[s] == 0; NEXT();
op_58: RB(); pc += 1; r[d] += r[s]; NEXT();
op_59: RB(); r[d] += I32(1); pc += 5; NEXT();
op_60: RB(); pc += 1; COMPARE(r[d], r[s]); r[d] -= r[s]; NEXT();
op_61: { RB(); uint32_t v = I32(1); pc += 5; COMPARE(r[d], v); r[d] -= v; NEXT(); }
op_62: RB(); pc += 1; r[d] *= r[s]; NEXT();
op_63:
  RB();
  pc += 1;
  if (r[s] == 0) { error = kErrorDivideByZero; goto fail; }
  if (r[d] == 0x80000000u && r[s] == 0xFFFFFFFFu) NEXT();  // the quotient wraps to itself
  r[d] = static_cast<uint32_t>(static_cast<int32_t>(r[d]) / static_cast<int32_t>(r[s]));
  NEXT();
op_64:
  RB();
  pc += 1;
  if (r[s] == 0) { error = kErrorDivideByZero; goto fail; }
  if (r[s] == 0xFFFFFFFFu) { r[d] = 0; NEXT(); }
  r[d] = static_cast<uint32_t>(static_cast<int32_t>(r[d]) % static_cast<int32_t>(r[s]));
  NEXT();
op_65: RB(); pc += 1; r[d] <<= (r[s] & 31); NEXT();
op_66: RB(); pc += 1; r[d] >>= (r[s] & 31); NEXT();
op_67: RB(); pc += 1; r[d] = static_cast<uint32_t>(static_cast<int32_t>(r[d]) >> (r[s] & 31)); NEXT();
op_68: RB(); pc += 1; r[d] = 0u - r[s]; NEXT();
op_69: RB(); pc += 1; r[d] = ~r[s]; NEXT();
op_70: RB(); pc += 1; r[d] &= r[s]; NEXT();
op_71: RB(); pc += 1; r[d] |= r[s]; NEXT();
op_72: RB(); pc += 1; r[d] ^= r[s]; NEXT();
op_73: pc = I32(0); NEXT();
op_74: JUMP_IF(zf);
op_75: JUMP_IF(!zf);
op_76: JUMP_IF(!lf && !zf);
op_77: JUMP_IF(!lf || zf);
op_78: JUMP_IF(lf && !zf);
op_79: JUMP_IF(lf || zf);
op_80: JUMP_IF(!bf && !zf);
op_81: JUMP_IF(!bf || zf);
op_82: JUMP_IF(bf && !zf);
op_83: JUMP_IF(bf || zf);
op_84: RB(); pc += 1; r[d] = FloatToInt(AsFloat(r[s])); NEXT();
op_85: RB(); pc += 1; r[d] = AsBits(static_cast<float>(static_cast<int32_t>(r[s]))); NEXT();
op_86: RB(); pc += 1; r[d] = AsBits(AsFloat(r[d]) + AsFloat(r[s])); NEXT();
op_87: {
  RB();
  pc += 1;
  float a = AsFloat(r[d]), b = AsFloat(r[s]);
  zf = a == b;
  lf = a < b;
  bf = 0;
  r[d] = AsBits(a - b);
  NEXT();
}
op_88: RB(); pc += 1; r[d] = AsBits(AsFloat(r[d]) * AsFloat(r[s])); NEXT();
op_89: RB(); pc += 1; r[d] = AsBits(AsFloat(r[d]) / AsFloat(r[s])); NEXT();
op_90: RB(); pc += 1; r[d] = AsBits(std::fmod(AsFloat(r[d]), AsFloat(r[s]))); NEXT();
op_91: RB(); pc += 1; r[d] = r[s] ^ 0x80000000u; NEXT();
op_illegal:
  error = kErrorIllegalInstruction;
  goto fail;

fail:
  std::memcpy(ctx->r, r, sizeof r);
  ctx->zero_flag = zf; ctx->less_flag = lf; ctx->below_flag = bf;
  ctx->pc = pc;
  RaiseRuntimeError(ctx, error);
  return 1;

out:
  std::memcpy(ctx->r, r, sizeof r);
  ctx->zero_flag = zf; ctx->less_flag = lf; ctx->below_flag = bf;
  ctx->pc = pc;
  return 1;

#undef NEXT
#undef RB
#undef I32
#undef AT
#undef CHECK_STACK
#undef COMPARE
#undef JUMP_IF
}
