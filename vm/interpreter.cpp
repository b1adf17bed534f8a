// The interpreter: one slice of at most 255 instructions per call.
//
// Decisions where the instruction set leaves things open:
// - Register fields name r(n & 7): fields 8 to 15 alias r0 to r7.
// - div of -2147483648 by -1 gives -2147483648 and mod gives 0 (no trap).
// - ftoi of NaN or of a value outside the 32-bit range gives 0x80000000, the
//   "integer indefinite" value the original processors produced.
// - fadd, fsub, fmul and fdiv with a NaN operand give that NaN, quieted; rD's
//   when both are NaN (rD is the first operand, as for the processor).
// - Memory is not checked: every 32-bit address plus a 4-byte access lies in
//   the arena's reservation. Operand addresses wrap at 32 bits; an access that
//   straddles 0xFFFFFFFF reads or writes the reservation's spare tail.
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <type_traits>

#include "vm/arena.h"
#include "vm/context.h"
#include "vm/native_code.h"
#include "vm/opcodes.h"

namespace {

inline uint32_t Load32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline uint16_t Load16(const uint8_t* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
inline void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void Store16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline float AsFloat(uint32_t v) { return std::bit_cast<float>(v); }
inline uint32_t AsBits(float f) { return std::bit_cast<uint32_t>(f); }

// Float arithmetic with rD first, as the processor's scalar instructions do
// it: a NaN operand comes back quieted, rD's when both are NaN. Written out
// because a compiler may swap the operands of + and *, which would let rS's
// NaN win instead.
template <typename Op>
inline uint32_t FloatArithmetic(uint32_t a, uint32_t b, Op op) {
  if (std::isnan(AsFloat(a))) return a | 0x00400000u;
  if (std::isnan(AsFloat(b))) return b | 0x00400000u;
  return AsBits(op(AsFloat(a), AsFloat(b)));
}

inline uint32_t FloatToInt(float f) {
  if (!(f >= -2147483648.0f && f < 2147483648.0f)) return 0x80000000u;
  return static_cast<uint32_t>(static_cast<int32_t>(f));
}

// Below this address a slice's straight run of at most 255 instructions (6
// bytes at most each) cannot reach the top of the address space, so the
// program counter needs no wrapping at 32 bits: the slice keeps it in a 64-bit
// register and only checks it where control is transferred.
constexpr uint64_t kWrapGuard = 0x100000000ull - 2048;

// One slice, or the rest of one with `budget` left. kWraps: the program counter
// wraps at 32 bits like every other address (code near the top of the
// address space); otherwise a transfer to such code hands the slice over to
// the wrapping variant.
template <bool kWraps, bool kWatch>
int RunSlice(ScriptContext* ctx, int budget) {
  uint8_t* const mem = g_arena_base;
  [[maybe_unused]] const uint8_t* const code_map = g_code_map.load(std::memory_order_relaxed);
  // Registers and flags live in locals while the slice runs, so stores into
  // script memory cannot alias them; they go back to the context on the way out.
  uint32_t r[8];
  std::memcpy(r, ctx->r, sizeof r);
  uint8_t zf = ctx->zero_flag, lf = ctx->less_flag, bf = ctx->below_flag;
  std::conditional_t<kWraps, uint32_t, uint64_t> pc = ctx->pc;
  const uint32_t stack_base = ctx->stack_base;
  const uint32_t stack_size = ctx->stack_size;
  int error = -1;
  uint32_t s = 0, d = 0;  // decoded register byte

  static const void* const dispatch[256] = {
      // in opcode order (vm/opcodes.h)
      &&op_nop, &&op_trap, &&op_xchg, &&op_mov_rr, &&op_mov_ri, &&op_mov_ra, &&op_load_b,
      &&op_load_sb, &&op_load_w, &&op_load_sw, &&op_load_l, &&op_lea, &&op_frame_load_b,
      &&op_frame_load_sb, &&op_frame_load_w, &&op_frame_load_sw, &&op_frame_load_l, &&op_ind_load_b,
      &&op_ind_load_sb, &&op_ind_load_w, &&op_ind_load_sw, &&op_ind_load_l, &&op_store_b,
      &&op_store_w, &&op_store_l, &&op_frame_store_b, &&op_frame_store_w, &&op_frame_store_l,
      &&op_ind_store_b, &&op_ind_store_w, &&op_ind_store_l, &&op_push_r, &&op_push_i, &&op_pop,
      &&op_enter, &&op_leave, &&op_call, &&op_call_r, &&op_ret, &&op_pre_op, &&op_post_op,
      &&op_pre_inc_b, &&op_post_inc_b, &&op_pre_dec_b, &&op_post_dec_b, &&op_pre_inc_w,
      &&op_post_inc_w, &&op_pre_dec_w, &&op_post_dec_w, &&op_zero_b, &&op_zero_w, &&op_zero_l,
      &&op_frame_zero_b, &&op_frame_zero_w, &&op_frame_zero_l, &&op_cmp_rr, &&op_cmp_ri, &&op_set,
      &&op_add_rr, &&op_add_ri, &&op_sub_rr, &&op_sub_ri, &&op_mul, &&op_div, &&op_mod, &&op_shl,
      &&op_shr, &&op_sar, &&op_neg, &&op_not, &&op_and, &&op_or, &&op_xor, &&op_jmp, &&op_je,
      &&op_jne, &&op_jg, &&op_jge, &&op_jl, &&op_jle, &&op_ja, &&op_jae, &&op_jb, &&op_jbe,
      &&op_ftoi, &&op_itof, &&op_fadd, &&op_fsub, &&op_fmul, &&op_fdiv, &&op_fmod, &&op_fneg,
#define I &&op_illegal
#define I8 I, I, I, I, I, I, I, I
      I, I, I, I,                                     // 92..95
      I8, I8, I8, I8, I8, I8, I8, I8, I8, I8, I8, I8,  // 96..191
      I8, I8, I8, I8, I8, I8, I8, I8,                  // 192..255
#undef I8
#undef I
  };

// Next instruction: budget, then fetch and jump. The stop flag is polled at
// every transfer of control (BRANCH_NEXT), so straight-line code does not pay
// for it while every loop and every call still sees it at once; a slice is
// at most 255 instructions in any case.
#define NEXT()                                  \
  do {                                          \
    if (--budget == 0) goto out;                \
    goto *dispatch[mem[pc++]];                  \
  } while (0)
#define BRANCH_NEXT()                           \
  do {                                          \
    if (ScriptStopRequested()) goto out;        \
    if (!kWraps && pc >= kWrapGuard) goto wrap; \
    NEXT();                                     \
  } while (0)
#define RB()                       \
  do {                             \
    uint8_t rb_ = mem[pc];         \
    s = (rb_ >> 4) & 7;            \
    d = rb_ & 7;                   \
  } while (0)
#define I32(at) Load32(kWraps ? mem + static_cast<uint32_t>(pc + (at)) : mem + pc + (at))
#define AT(addr) (mem + static_cast<uint32_t>(addr))
// With native code about, a store near translated code has the translations
// checked again before they next run.
#define WATCH(addr)                                                    \
  do {                                                                 \
    if constexpr (kWatch) {                                            \
      uint32_t a_ = static_cast<uint32_t>(addr);                       \
      if (code_map[a_ >> 4]) NoteStoreNearCode(a_);                    \
    }                                                                  \
  } while (0)
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
    BRANCH_NEXT();                        \
  } while (0)

  if (ctx->state != kContextRunning) goto out;
  NEXT();

op_nop: NEXT();
op_trap: {  // trap: the builtin hook sees the context as it stands, then the slice ends
  uint16_t n = Load16(AT(pc));
  pc += 2;
  std::memcpy(ctx->r, r, sizeof r);
  ctx->zero_flag = zf; ctx->less_flag = lf; ctx->below_flag = bf;
  ctx->pc = static_cast<uint32_t>(pc);
  CurrentBuiltinHook()(n, ctx);
  return 1;
}
op_xchg: RB(); pc += 1; std::swap(r[d], r[s]); NEXT();
op_mov_rr: RB(); pc += 1; r[d] = r[s]; NEXT();
op_mov_ri:
op_mov_ra: RB(); r[d] = I32(1); pc += 5; NEXT();
op_load_b: RB(); r[d] = *AT(I32(1)); pc += 5; NEXT();
op_load_sb: RB(); r[d] = static_cast<uint32_t>(static_cast<int8_t>(*AT(I32(1)))); pc += 5; NEXT();
op_load_w: RB(); r[d] = Load16(AT(I32(1))); pc += 5; NEXT();
op_load_sw: RB(); r[d] = static_cast<uint32_t>(static_cast<int16_t>(Load16(AT(I32(1))))); pc += 5; NEXT();
op_load_l: RB(); r[d] = Load32(AT(I32(1))); pc += 5; NEXT();
op_lea: RB(); r[d] = r[6] + I32(1); pc += 5; NEXT();
op_frame_load_b: RB(); r[d] = *AT(r[6] + I32(1)); pc += 5; NEXT();
op_frame_load_sb: RB(); r[d] = static_cast<uint32_t>(static_cast<int8_t>(*AT(r[6] + I32(1)))); pc += 5; NEXT();
op_frame_load_w: RB(); r[d] = Load16(AT(r[6] + I32(1))); pc += 5; NEXT();
op_frame_load_sw: RB(); r[d] = static_cast<uint32_t>(static_cast<int16_t>(Load16(AT(r[6] + I32(1))))); pc += 5; NEXT();
op_frame_load_l: RB(); r[d] = Load32(AT(r[6] + I32(1))); pc += 5; NEXT();
op_ind_load_b: RB(); pc += 1; r[d] = *AT(r[s]); NEXT();
op_ind_load_sb: RB(); pc += 1; r[d] = static_cast<uint32_t>(static_cast<int8_t>(*AT(r[s]))); NEXT();
op_ind_load_w: RB(); pc += 1; r[d] = Load16(AT(r[s])); NEXT();
op_ind_load_sw: RB(); pc += 1; r[d] = static_cast<uint32_t>(static_cast<int16_t>(Load16(AT(r[s])))); NEXT();
op_ind_load_l: RB(); pc += 1; r[d] = Load32(AT(r[s])); NEXT();
op_store_b: RB(); WATCH(I32(1)); *AT(I32(1)) = static_cast<uint8_t>(r[s]); pc += 5; NEXT();
op_store_w: RB(); WATCH(I32(1)); Store16(AT(I32(1)), static_cast<uint16_t>(r[s])); pc += 5; NEXT();
op_store_l: RB(); WATCH(I32(1)); Store32(AT(I32(1)), r[s]); pc += 5; NEXT();
op_frame_store_b: RB(); WATCH(r[6] + I32(1)); *AT(r[6] + I32(1)) = static_cast<uint8_t>(r[s]); pc += 5; NEXT();
op_frame_store_w: RB(); WATCH(r[6] + I32(1)); Store16(AT(r[6] + I32(1)), static_cast<uint16_t>(r[s])); pc += 5; NEXT();
op_frame_store_l: RB(); WATCH(r[6] + I32(1)); Store32(AT(r[6] + I32(1)), r[s]); pc += 5; NEXT();
op_ind_store_b: RB(); pc += 1; WATCH(r[d]); *AT(r[d]) = static_cast<uint8_t>(r[s]); NEXT();
op_ind_store_w: RB(); pc += 1; WATCH(r[d]); Store16(AT(r[d]), static_cast<uint16_t>(r[s])); NEXT();
op_ind_store_l: RB(); pc += 1; WATCH(r[d]); Store32(AT(r[d]), r[s]); NEXT();
op_push_r: RB(); pc += 1; r[7] -= 4; CHECK_STACK(); WATCH(r[7]); Store32(AT(r[7]), r[s]); NEXT();
op_push_i: { uint32_t v = I32(0); pc += 4; r[7] -= 4; CHECK_STACK(); WATCH(r[7]); Store32(AT(r[7]), v); NEXT(); }
op_pop: RB(); pc += 1; r[7] += 4; CHECK_STACK(); r[d] = Load32(AT(r[7] - 4)); NEXT();
op_enter: {  // enter N
  uint32_t n = I32(0);
  pc += 4;
  r[7] -= 24 + n;
  CHECK_STACK();
  uint32_t at = r[7] + n;
  for (int i = 1; i <= 6; ++i) {
    WATCH(at + 4 * (i - 1));
    Store32(AT(at + 4 * (i - 1)), r[i]);
  }
  r[6] = at + 20;
  NEXT();
}
op_leave: {  // leave N: the outermost frame has no room for a return address, and ends the context
  uint32_t n = I32(0);
  pc += 4;
  if (r[7] - stack_base + n + 24 >= stack_size) { ctx->state = kContextEnded; goto out; }
  r[7] += n;
  for (int i = 1; i <= 6; ++i) r[i] = Load32(AT(r[7] + 4 * (i - 1)));
  r[7] += 24;
  NEXT();
}
op_call: {
  uint32_t target = I32(0);
  pc += 4;
  r[7] -= 4;
  CHECK_STACK();
  WATCH(r[7]);
  Store32(AT(r[7]), static_cast<uint32_t>(pc));
  pc = target;
  BRANCH_NEXT();
}
op_call_r:
  RB();
  pc += 1;
  if (r[s] == 0) { error = kErrorProgramOverrun; goto fail; }
  r[7] -= 4;
  CHECK_STACK();
  WATCH(r[7]);
  Store32(AT(r[7]), static_cast<uint32_t>(pc));
  pc = r[s];
  BRANCH_NEXT();
op_ret:
  r[7] += 4;
  CHECK_STACK();
  pc = Load32(AT(r[7] - 4));
  if (pc == 0xFFFFFFFFu) { ctx->state = kContextEnded; goto out; }
  BRANCH_NEXT();
op_pre_op: { RB(); WATCH(r[s]); uint8_t* p = AT(r[s]); uint32_t v = Load32(p) + I32(1); Store32(p, v); r[d] = v; pc += 5; NEXT(); }
op_post_op: { RB(); WATCH(r[s]); uint8_t* p = AT(r[s]); uint32_t v = Load32(p); Store32(p, v + I32(1)); r[d] = v; pc += 5; NEXT(); }
op_pre_inc_b: { RB(); pc += 1; WATCH(r[s]); uint8_t* p = AT(r[s]); *p = static_cast<uint8_t>(*p + 1); r[d] = *p; NEXT(); }
op_post_inc_b: { RB(); pc += 1; WATCH(r[s]); uint8_t* p = AT(r[s]); r[d] = *p; *p = static_cast<uint8_t>(*p + 1); NEXT(); }
op_pre_dec_b: { RB(); pc += 1; WATCH(r[s]); uint8_t* p = AT(r[s]); *p = static_cast<uint8_t>(*p - 1); r[d] = *p; NEXT(); }
op_post_dec_b: { RB(); pc += 1; WATCH(r[s]); uint8_t* p = AT(r[s]); r[d] = *p; *p = static_cast<uint8_t>(*p - 1); NEXT(); }
op_pre_inc_w: { RB(); pc += 1; WATCH(r[s]); uint8_t* p = AT(r[s]); uint16_t v = static_cast<uint16_t>(Load16(p) + 1); Store16(p, v); r[d] = v; NEXT(); }
op_post_inc_w: { RB(); pc += 1; WATCH(r[s]); uint8_t* p = AT(r[s]); uint16_t v = Load16(p); Store16(p, static_cast<uint16_t>(v + 1)); r[d] = v; NEXT(); }
op_pre_dec_w: { RB(); pc += 1; WATCH(r[s]); uint8_t* p = AT(r[s]); uint16_t v = static_cast<uint16_t>(Load16(p) - 1); Store16(p, v); r[d] = v; NEXT(); }
op_post_dec_w: { RB(); pc += 1; WATCH(r[s]); uint8_t* p = AT(r[s]); uint16_t v = Load16(p); Store16(p, static_cast<uint16_t>(v - 1)); r[d] = v; NEXT(); }
op_zero_b: zf = *AT(I32(0)) == 0; pc += 4; NEXT();
op_zero_w: zf = Load16(AT(I32(0))) == 0; pc += 4; NEXT();
op_zero_l: zf = Load32(AT(I32(0))) == 0; pc += 4; NEXT();
op_frame_zero_b: zf = *AT(r[6] + I32(0)) == 0; pc += 4; NEXT();
op_frame_zero_w: zf = Load16(AT(r[6] + I32(0))) == 0; pc += 4; NEXT();
op_frame_zero_l: zf = Load32(AT(r[6] + I32(0))) == 0; pc += 4; NEXT();
op_cmp_rr: RB(); pc += 1; COMPARE(r[d], r[s]); NEXT();
op_cmp_ri: RB(); COMPARE(r[d], I32(1)); pc += 5; NEXT();
op_set: RB(); pc += 1; r[d] = r[s] == 0; NEXT();
op_add_rr: RB(); pc += 1; r[d] += r[s]; NEXT();
op_add_ri: RB(); r[d] += I32(1); pc += 5; NEXT();
op_sub_rr: RB(); pc += 1; COMPARE(r[d], r[s]); r[d] -= r[s]; NEXT();
op_sub_ri: { RB(); uint32_t v = I32(1); pc += 5; COMPARE(r[d], v); r[d] -= v; NEXT(); }
op_mul: RB(); pc += 1; r[d] *= r[s]; NEXT();
op_div:
  RB();
  pc += 1;
  if (r[s] == 0) { error = kErrorDivideByZero; goto fail; }
  if (r[d] == 0x80000000u && r[s] == 0xFFFFFFFFu) NEXT();  // the quotient wraps to itself
  r[d] = static_cast<uint32_t>(static_cast<int32_t>(r[d]) / static_cast<int32_t>(r[s]));
  NEXT();
op_mod:
  RB();
  pc += 1;
  if (r[s] == 0) { error = kErrorDivideByZero; goto fail; }
  if (r[s] == 0xFFFFFFFFu) { r[d] = 0; NEXT(); }
  r[d] = static_cast<uint32_t>(static_cast<int32_t>(r[d]) % static_cast<int32_t>(r[s]));
  NEXT();
op_shl: RB(); pc += 1; r[d] <<= (r[s] & 31); NEXT();
op_shr: RB(); pc += 1; r[d] >>= (r[s] & 31); NEXT();
op_sar: RB(); pc += 1; r[d] = static_cast<uint32_t>(static_cast<int32_t>(r[d]) >> (r[s] & 31)); NEXT();
op_neg: RB(); pc += 1; r[d] = 0u - r[s]; NEXT();
op_not: RB(); pc += 1; r[d] = ~r[s]; NEXT();
op_and: RB(); pc += 1; r[d] &= r[s]; NEXT();
op_or: RB(); pc += 1; r[d] |= r[s]; NEXT();
op_xor: RB(); pc += 1; r[d] ^= r[s]; NEXT();
op_jmp: pc = I32(0); BRANCH_NEXT();
op_je: JUMP_IF(zf);
op_jne: JUMP_IF(!zf);
op_jg: JUMP_IF(!lf && !zf);
op_jge: JUMP_IF(!lf || zf);
op_jl: JUMP_IF(lf && !zf);
op_jle: JUMP_IF(lf || zf);
op_ja: JUMP_IF(!bf && !zf);
op_jae: JUMP_IF(!bf || zf);
op_jb: JUMP_IF(bf && !zf);
op_jbe: JUMP_IF(bf || zf);
op_ftoi: RB(); pc += 1; r[d] = FloatToInt(AsFloat(r[s])); NEXT();
op_itof: RB(); pc += 1; r[d] = AsBits(static_cast<float>(static_cast<int32_t>(r[s]))); NEXT();
op_fadd: RB(); pc += 1; r[d] = FloatArithmetic(r[d], r[s], std::plus<float>()); NEXT();
op_fsub: {
  RB();
  pc += 1;
  float a = AsFloat(r[d]), b = AsFloat(r[s]);
  zf = a == b;
  lf = a < b;
  bf = 0;
  r[d] = FloatArithmetic(r[d], r[s], std::minus<float>());
  NEXT();
}
op_fmul: RB(); pc += 1; r[d] = FloatArithmetic(r[d], r[s], std::multiplies<float>()); NEXT();
op_fdiv: RB(); pc += 1; r[d] = FloatArithmetic(r[d], r[s], std::divides<float>()); NEXT();
op_fmod: RB(); pc += 1; r[d] = AsBits(std::fmod(AsFloat(r[d]), AsFloat(r[s]))); NEXT();
op_fneg: RB(); pc += 1; r[d] = r[s] ^ 0x80000000u; NEXT();
op_illegal:
  error = kErrorIllegalInstruction;
  goto fail;

fail:
  std::memcpy(ctx->r, r, sizeof r);
  ctx->zero_flag = zf; ctx->less_flag = lf; ctx->below_flag = bf;
  ctx->pc = static_cast<uint32_t>(pc);
  RaiseRuntimeError(ctx, error);
  return 1;

out:
  std::memcpy(ctx->r, r, sizeof r);
  ctx->zero_flag = zf; ctx->less_flag = lf; ctx->below_flag = bf;
  ctx->pc = static_cast<uint32_t>(pc);
  return 1;

wrap:
  std::memcpy(ctx->r, r, sizeof r);
  ctx->zero_flag = zf; ctx->less_flag = lf; ctx->below_flag = bf;
  ctx->pc = static_cast<uint32_t>(pc);
  if constexpr (!kWraps) return RunSlice<true, kWatch>(ctx, budget);
  return 1;

#undef NEXT
#undef BRANCH_NEXT
#undef RB
#undef I32
#undef AT
#undef WATCH
#undef CHECK_STACK
#undef COMPARE
#undef JUMP_IF
}

}  // namespace

int RunInterpretedSlice(ScriptContext* ctx, int budget) {
  if (ScriptStopRequested() || budget <= 1) return 1;
  if (g_code_map.load(std::memory_order_relaxed)) return ctx->pc >= kWrapGuard ? RunSlice<true, true>(ctx, budget) : RunSlice<false, true>(ctx, budget);
  return ctx->pc >= kWrapGuard ? RunSlice<true, false>(ctx, budget) : RunSlice<false, false>(ctx, budget);
}

int RunContext(ScriptContext* ctx) {
  if (ScriptStopRequested()) return 1;
  return NativeCodeEnabled() ? RunNativeSlice(ctx) : RunInterpretedSlice(ctx, 256);
}
