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
#include <type_traits>

#include "vm/arena.h"
#include "vm/code_cache.h"
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

// Below this address a slice's straight run of at most 255 instructions (6
// bytes at most each) cannot reach the top of the address space, so the
// program counter needs no wrapping at 32 bits: the slice keeps it in a 64-bit
// register and only checks it where control is transferred.
constexpr uint64_t kWrapGuard = 0x100000000ull - 2048;

// One slice, or the rest of one with `budget` left. kWraps: the program counter
// wraps at 32 bits like every other address (code near the top of the
// address space); otherwise a transfer to such code hands the slice over to
// the wrapping variant.
template <bool kWraps>
int RunSlice(ScriptContext* ctx, int budget) {
  uint8_t* const mem = g_arena_base;
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
op_store_b: RB(); *AT(I32(1)) = static_cast<uint8_t>(r[s]); pc += 5; NEXT();
op_store_w: RB(); Store16(AT(I32(1)), static_cast<uint16_t>(r[s])); pc += 5; NEXT();
op_store_l: RB(); Store32(AT(I32(1)), r[s]); pc += 5; NEXT();
op_frame_store_b: RB(); *AT(r[6] + I32(1)) = static_cast<uint8_t>(r[s]); pc += 5; NEXT();
op_frame_store_w: RB(); Store16(AT(r[6] + I32(1)), static_cast<uint16_t>(r[s])); pc += 5; NEXT();
op_frame_store_l: RB(); Store32(AT(r[6] + I32(1)), r[s]); pc += 5; NEXT();
op_ind_store_b: RB(); pc += 1; *AT(r[d]) = static_cast<uint8_t>(r[s]); NEXT();
op_ind_store_w: RB(); pc += 1; Store16(AT(r[d]), static_cast<uint16_t>(r[s])); NEXT();
op_ind_store_l: RB(); pc += 1; Store32(AT(r[d]), r[s]); NEXT();
op_push_r: RB(); pc += 1; r[7] -= 4; CHECK_STACK(); Store32(AT(r[7]), r[s]); NEXT();
op_push_i: { uint32_t v = I32(0); pc += 4; r[7] -= 4; CHECK_STACK(); Store32(AT(r[7]), v); NEXT(); }
op_pop: RB(); pc += 1; r[7] += 4; CHECK_STACK(); r[d] = Load32(AT(r[7] - 4)); NEXT();
op_enter: {  // enter N
  uint32_t n = I32(0);
  pc += 4;
  r[7] -= 24 + n;
  CHECK_STACK();
  uint32_t at = r[7] + n;
  for (int i = 1; i <= 6; ++i) Store32(AT(at + 4 * (i - 1)), r[i]);
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
  Store32(AT(r[7]), static_cast<uint32_t>(pc));
  pc = r[s];
  BRANCH_NEXT();
op_ret:
  r[7] += 4;
  CHECK_STACK();
  pc = Load32(AT(r[7] - 4));
  if (pc == 0xFFFFFFFFu) { ctx->state = kContextEnded; goto out; }
  BRANCH_NEXT();
op_pre_op: { RB(); uint8_t* p = AT(r[s]); uint32_t v = Load32(p) + I32(1); Store32(p, v); r[d] = v; pc += 5; NEXT(); }
op_post_op: { RB(); uint8_t* p = AT(r[s]); uint32_t v = Load32(p); Store32(p, v + I32(1)); r[d] = v; pc += 5; NEXT(); }
op_pre_inc_b: { RB(); pc += 1; uint8_t* p = AT(r[s]); *p = static_cast<uint8_t>(*p + 1); r[d] = *p; NEXT(); }
op_post_inc_b: { RB(); pc += 1; uint8_t* p = AT(r[s]); r[d] = *p; *p = static_cast<uint8_t>(*p + 1); NEXT(); }
op_pre_dec_b: { RB(); pc += 1; uint8_t* p = AT(r[s]); *p = static_cast<uint8_t>(*p - 1); r[d] = *p; NEXT(); }
op_post_dec_b: { RB(); pc += 1; uint8_t* p = AT(r[s]); r[d] = *p; *p = static_cast<uint8_t>(*p - 1); NEXT(); }
op_pre_inc_w: { RB(); pc += 1; uint8_t* p = AT(r[s]); uint16_t v = static_cast<uint16_t>(Load16(p) + 1); Store16(p, v); r[d] = v; NEXT(); }
op_post_inc_w: { RB(); pc += 1; uint8_t* p = AT(r[s]); uint16_t v = Load16(p); Store16(p, static_cast<uint16_t>(v + 1)); r[d] = v; NEXT(); }
op_pre_dec_w: { RB(); pc += 1; uint8_t* p = AT(r[s]); uint16_t v = static_cast<uint16_t>(Load16(p) - 1); Store16(p, v); r[d] = v; NEXT(); }
op_post_dec_w: { RB(); pc += 1; uint8_t* p = AT(r[s]); uint16_t v = Load16(p); Store16(p, static_cast<uint16_t>(v - 1)); r[d] = v; NEXT(); }
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
op_fadd: RB(); pc += 1; r[d] = AsBits(AsFloat(r[d]) + AsFloat(r[s])); NEXT();
op_fsub: {
  RB();
  pc += 1;
  float a = AsFloat(r[d]), b = AsFloat(r[s]);
  zf = a == b;
  lf = a < b;
  bf = 0;
  r[d] = AsBits(a - b);
  NEXT();
}
op_fmul: RB(); pc += 1; r[d] = AsBits(AsFloat(r[d]) * AsFloat(r[s])); NEXT();
op_fdiv: RB(); pc += 1; r[d] = AsBits(AsFloat(r[d]) / AsFloat(r[s])); NEXT();
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
  if constexpr (!kWraps) return RunSlice<true>(ctx, budget);
  return 1;

#undef NEXT
#undef BRANCH_NEXT
#undef RB
#undef I32
#undef AT
#undef CHECK_STACK
#undef COMPARE
#undef JUMP_IF
}


// A slice over decoded blocks. A block runs whole when the budget allows it
// (it is charged on entry); otherwise, and for anything the records do not
// finish themselves (a fault, a store into decoded code, code at the top of
// the address space or an illegal opcode), the plain interpreter above takes
// over at the exact instruction with the exact budget left, so slices, faults
// and the state they leave are the same either way.
int RunDecoded(ScriptContext* ctx) {
  static const void* const handlers[kKindCount] = {
      // plain instructions, in opcode order (vm/opcodes.h)
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
      // fused records (vm/code_cache.h)
      &&op_sub_je, &&op_sub_jne, &&op_sub_jg, &&op_sub_jge, &&op_sub_jl, &&op_sub_jle, &&op_sub_ja,
      &&op_sub_jae, &&op_sub_jb, &&op_sub_jbe, &&op_mov_frame_load, &&op_frame_load_2,
      &&op_lea_post_op, &&op_cmp_je, &&op_cmp_jne, &&op_cmp_jg, &&op_cmp_jge, &&op_cmp_jl,
      &&op_cmp_jle, &&op_cmp_ja, &&op_cmp_jae, &&op_cmp_jb, &&op_cmp_jbe, &&op_alu_chain,
      &&op_fall_through,
  };

  uint8_t* const mem = g_arena_base;
  uint32_t r[8];
  std::memcpy(r, ctx->r, sizeof r);
  uint8_t zf = ctx->zero_flag, lf = ctx->less_flag, bf = ctx->below_flag;
  const uint32_t stack_base = ctx->stack_base;
  const uint32_t stack_size = ctx->stack_size;
  CodeCache& cache = ThreadCodeCache(ctx->program_base, ctx->program_size);
  ++cache.epoch;  // builtins, the host and other threads may have written code since the last slice
  int budget = 256;        // as in RunSlice: the next instruction runs while --budget != 0
  int entry_budget = 256;  // budget when the current block was entered
  int exact_budget = 256;  // budget handed to the plain interpreter
  uint32_t pc = ctx->pc;
  const DecodedOp* ip = nullptr;
  CodeBlock* blk = FindBlock(cache, pc, handlers);
  if (!blk) goto exact;
  goto enter;

#define AT(addr) (mem + static_cast<uint32_t>(addr))
#define D r[ip->d]
#define S r[ip->s]
#define DISPATCH() goto *ip->handler
#define NEXT() do { ++ip; DISPATCH(); } while (0)
// The plain interpreter runs the current record's instructions from the start.
#define BAIL()                                  \
  do {                                          \
    pc = ip->pc;                                \
    exact_budget = entry_budget - ip->before;   \
    goto exact;                                 \
  } while (0)
// After a store of `bytes` at addr: when it touched decoded code, the blocks
// are compared again and the plain interpreter runs the rest of the slice.
#define STORED(addr, bytes)                                                        \
  do {                                                                             \
    uint32_t a_ = (addr);                                                          \
    if (a_ < cache.hi && uint64_t{a_} + (bytes) > cache.lo) {                      \
      ++cache.epoch;                                                               \
      pc = ip->next;                                                               \
      exact_budget = entry_budget - ip->after;                                     \
      goto exact;                                                                  \
    }                                                                              \
  } while (0)
#define STACK_FAILS(sp) ((sp) - stack_base >= stack_size)
// A transfer of control: the stop flag is polled here, as in RunSlice.
#define TRANSFER(target, link)                                             \
  do {                                                                     \
    pc = (target);                                                         \
    if (ScriptStopRequested()) goto out;                                   \
    CodeBlock* next_ = (link);                                             \
    if (!next_) {                                                          \
      next_ = FindBlock(cache, pc, handlers);                              \
      if (!next_) { exact_budget = budget; goto exact; }                   \
      (link) = next_;                                                      \
    }                                                                      \
    blk = next_;                                                           \
    goto enter;                                                            \
  } while (0)
#define TRANSFER_ANY(target)                                               \
  do {                                                                     \
    pc = (target);                                                         \
    if (ScriptStopRequested()) goto out;                                   \
    blk = cache.recent[pc & (cache.recent.size() - 1)];                    \
    if (!blk || blk->start != pc) {                                        \
      blk = FindBlock(cache, pc, handlers);                                \
      if (!blk) { exact_budget = budget; goto exact; }                     \
    }                                                                      \
    goto enter;                                                            \
  } while (0)
#define COMPARE(a, b)                                                   \
  do {                                                                  \
    uint32_t a_ = (a), b_ = (b);                                        \
    zf = a_ == b_;                                                      \
    lf = static_cast<int32_t>(a_) < static_cast<int32_t>(b_);          \
    bf = a_ < b_;                                                       \
  } while (0)
#define BRANCH(cond)                                         \
  do {                                                       \
    if (cond) TRANSFER(ip->imm, blk->taken);                 \
    TRANSFER(ip->next, blk->fall);                           \
  } while (0)
#define BRANCH2(cond)                                        \
  do {                                                       \
    if (cond) TRANSFER(ip->imm2, blk->taken);                \
    TRANSFER(ip->next, blk->fall);                           \
  } while (0)
#define IF_JE zf
#define IF_JNE !zf
#define IF_JG (!lf && !zf)
#define IF_JGE (!lf || zf)
#define IF_JL (lf && !zf)
#define IF_JLE (lf || zf)
#define IF_JA (!bf && !zf)
#define IF_JAE (!bf || zf)
#define IF_JB (bf && !zf)
#define IF_JBE (bf || zf)

enter:
  if (blk->epoch != cache.epoch) {
    if (BlockBytesUnchanged(mem + blk->start, *blk)) blk->epoch = cache.epoch;
    else if (!RefreshBlock(cache, *blk, handlers)) goto exact_at_block;
  }
  if (budget <= blk->count) {
  exact_at_block:
    pc = blk->start;
    exact_budget = budget;
    goto exact;
  }
  entry_budget = budget;
  budget -= blk->count;
  ip = blk->ops.data();
  DISPATCH();

op_nop: NEXT();
op_trap:  // the builtin hook sees the context as it stands, then the slice ends
  std::memcpy(ctx->r, r, sizeof r);
  ctx->zero_flag = zf; ctx->less_flag = lf; ctx->below_flag = bf;
  ctx->pc = ip->next;
  CurrentBuiltinHook()(static_cast<uint16_t>(ip->imm), ctx);
  return 1;
op_xchg: std::swap(D, S); NEXT();
op_mov_rr: D = S; NEXT();
op_mov_ri:
op_mov_ra: D = ip->imm; NEXT();
op_load_b: D = *AT(ip->imm); NEXT();
op_load_sb: D = static_cast<uint32_t>(static_cast<int8_t>(*AT(ip->imm))); NEXT();
op_load_w: D = Load16(AT(ip->imm)); NEXT();
op_load_sw: D = static_cast<uint32_t>(static_cast<int16_t>(Load16(AT(ip->imm)))); NEXT();
op_load_l: D = Load32(AT(ip->imm)); NEXT();
op_lea: D = r[6] + ip->imm; NEXT();
op_frame_load_b: D = *AT(r[6] + ip->imm); NEXT();
op_frame_load_sb: D = static_cast<uint32_t>(static_cast<int8_t>(*AT(r[6] + ip->imm))); NEXT();
op_frame_load_w: D = Load16(AT(r[6] + ip->imm)); NEXT();
op_frame_load_sw: D = static_cast<uint32_t>(static_cast<int16_t>(Load16(AT(r[6] + ip->imm)))); NEXT();
op_frame_load_l: D = Load32(AT(r[6] + ip->imm)); NEXT();
op_ind_load_b: D = *AT(S); NEXT();
op_ind_load_sb: D = static_cast<uint32_t>(static_cast<int8_t>(*AT(S))); NEXT();
op_ind_load_w: D = Load16(AT(S)); NEXT();
op_ind_load_sw: D = static_cast<uint32_t>(static_cast<int16_t>(Load16(AT(S)))); NEXT();
op_ind_load_l: D = Load32(AT(S)); NEXT();
op_store_b: *AT(ip->imm) = static_cast<uint8_t>(S); STORED(ip->imm, 1); NEXT();
op_store_w: Store16(AT(ip->imm), static_cast<uint16_t>(S)); STORED(ip->imm, 2); NEXT();
op_store_l: Store32(AT(ip->imm), S); STORED(ip->imm, 4); NEXT();
op_frame_store_b: { uint32_t a = r[6] + ip->imm; *AT(a) = static_cast<uint8_t>(S); STORED(a, 1); NEXT(); }
op_frame_store_w: { uint32_t a = r[6] + ip->imm; Store16(AT(a), static_cast<uint16_t>(S)); STORED(a, 2); NEXT(); }
op_frame_store_l: { uint32_t a = r[6] + ip->imm; Store32(AT(a), S); STORED(a, 4); NEXT(); }
op_ind_store_b: { uint32_t a = D; *AT(a) = static_cast<uint8_t>(S); STORED(a, 1); NEXT(); }
op_ind_store_w: { uint32_t a = D; Store16(AT(a), static_cast<uint16_t>(S)); STORED(a, 2); NEXT(); }
op_ind_store_l: { uint32_t a = D; Store32(AT(a), S); STORED(a, 4); NEXT(); }
// Stack moves check first and leave faults to the plain interpreter, which
// then fails exactly as it always did.
op_push_r: { uint32_t sp = r[7] - 4; if (STACK_FAILS(sp)) BAIL(); uint32_t v = S; r[7] = sp; Store32(AT(sp), v); NEXT(); }
op_push_i: { uint32_t sp = r[7] - 4; if (STACK_FAILS(sp)) BAIL(); r[7] = sp; Store32(AT(sp), ip->imm); NEXT(); }
op_pop: { uint32_t sp = r[7] + 4; if (STACK_FAILS(sp)) BAIL(); r[7] = sp; D = Load32(AT(sp - 4)); NEXT(); }
op_enter: {
  uint32_t n = ip->imm;
  uint32_t sp = r[7] - (24 + n);
  if (STACK_FAILS(sp)) BAIL();
  r[7] = sp;
  uint32_t at = sp + n;
  for (int i = 1; i <= 6; ++i) Store32(AT(at + 4 * (i - 1)), r[i]);
  r[6] = at + 20;
  NEXT();
}
op_leave: {
  uint32_t n = ip->imm;
  if (r[7] - stack_base + n + 24 >= stack_size) {
    ctx->state = kContextEnded;
    pc = ip->next;
    goto out;
  }
  r[7] += n;
  for (int i = 1; i <= 6; ++i) r[i] = Load32(AT(r[7] + 4 * (i - 1)));
  r[7] += 24;
  NEXT();
}
op_call: {
  uint32_t sp = r[7] - 4;
  if (STACK_FAILS(sp)) BAIL();
  r[7] = sp;
  Store32(AT(sp), ip->next);
  TRANSFER(ip->imm, blk->taken);
}
op_call_r: {
  uint32_t sp = r[7] - 4;
  if (S == 0 || STACK_FAILS(sp)) BAIL();
  r[7] = sp;
  Store32(AT(sp), ip->next);
  TRANSFER_ANY(S);  // read after the push, as the plain interpreter does (call sp)
}
op_ret: {
  uint32_t sp = r[7] + 4;
  if (STACK_FAILS(sp)) BAIL();
  r[7] = sp;
  uint32_t target = Load32(AT(sp - 4));
  if (target == 0xFFFFFFFFu) {
    ctx->state = kContextEnded;
    pc = target;
    goto out;
  }
  TRANSFER_ANY(target);
}
op_pre_op: { uint32_t a = S; uint32_t v = Load32(AT(a)) + ip->imm; Store32(AT(a), v); D = v; STORED(a, 4); NEXT(); }
op_post_op: { uint32_t a = S; uint32_t v = Load32(AT(a)); Store32(AT(a), v + ip->imm); D = v; STORED(a, 4); NEXT(); }
op_pre_inc_b: { uint32_t a = S; uint8_t* p = AT(a); *p = static_cast<uint8_t>(*p + 1); D = *p; STORED(a, 1); NEXT(); }
op_post_inc_b: { uint32_t a = S; uint8_t* p = AT(a); D = *p; *p = static_cast<uint8_t>(*p + 1); STORED(a, 1); NEXT(); }
op_pre_dec_b: { uint32_t a = S; uint8_t* p = AT(a); *p = static_cast<uint8_t>(*p - 1); D = *p; STORED(a, 1); NEXT(); }
op_post_dec_b: { uint32_t a = S; uint8_t* p = AT(a); D = *p; *p = static_cast<uint8_t>(*p - 1); STORED(a, 1); NEXT(); }
op_pre_inc_w: { uint32_t a = S; uint8_t* p = AT(a); uint16_t v = static_cast<uint16_t>(Load16(p) + 1); Store16(p, v); D = v; STORED(a, 2); NEXT(); }
op_post_inc_w: { uint32_t a = S; uint8_t* p = AT(a); uint16_t v = Load16(p); Store16(p, static_cast<uint16_t>(v + 1)); D = v; STORED(a, 2); NEXT(); }
op_pre_dec_w: { uint32_t a = S; uint8_t* p = AT(a); uint16_t v = static_cast<uint16_t>(Load16(p) - 1); Store16(p, v); D = v; STORED(a, 2); NEXT(); }
op_post_dec_w: { uint32_t a = S; uint8_t* p = AT(a); uint16_t v = Load16(p); Store16(p, static_cast<uint16_t>(v - 1)); D = v; STORED(a, 2); NEXT(); }
op_zero_b: zf = *AT(ip->imm) == 0; NEXT();
op_zero_w: zf = Load16(AT(ip->imm)) == 0; NEXT();
op_zero_l: zf = Load32(AT(ip->imm)) == 0; NEXT();
op_frame_zero_b: zf = *AT(r[6] + ip->imm) == 0; NEXT();
op_frame_zero_w: zf = Load16(AT(r[6] + ip->imm)) == 0; NEXT();
op_frame_zero_l: zf = Load32(AT(r[6] + ip->imm)) == 0; NEXT();
op_cmp_rr: COMPARE(D, S); NEXT();
op_cmp_ri: COMPARE(D, ip->imm); NEXT();
op_set: D = S == 0; NEXT();
op_add_rr: D += S; NEXT();
op_add_ri: D += ip->imm; NEXT();
op_sub_rr: COMPARE(D, S); D -= S; NEXT();
op_sub_ri: COMPARE(D, ip->imm); D -= ip->imm; NEXT();
op_mul: D *= S; NEXT();
op_div:
  if (S == 0) BAIL();
  if (D == 0x80000000u && S == 0xFFFFFFFFu) NEXT();  // the quotient wraps to itself
  D = static_cast<uint32_t>(static_cast<int32_t>(D) / static_cast<int32_t>(S));
  NEXT();
op_mod:
  if (S == 0) BAIL();
  if (S == 0xFFFFFFFFu) { D = 0; NEXT(); }
  D = static_cast<uint32_t>(static_cast<int32_t>(D) % static_cast<int32_t>(S));
  NEXT();
op_shl: D <<= (S & 31); NEXT();
op_shr: D >>= (S & 31); NEXT();
op_sar: D = static_cast<uint32_t>(static_cast<int32_t>(D) >> (S & 31)); NEXT();
op_neg: D = 0u - S; NEXT();
op_not: D = ~S; NEXT();
op_and: D &= S; NEXT();
op_or: D |= S; NEXT();
op_xor: D ^= S; NEXT();
op_jmp: TRANSFER(ip->imm, blk->taken);
op_je: BRANCH(IF_JE);
op_jne: BRANCH(IF_JNE);
op_jg: BRANCH(IF_JG);
op_jge: BRANCH(IF_JGE);
op_jl: BRANCH(IF_JL);
op_jle: BRANCH(IF_JLE);
op_ja: BRANCH(IF_JA);
op_jae: BRANCH(IF_JAE);
op_jb: BRANCH(IF_JB);
op_jbe: BRANCH(IF_JBE);
op_ftoi: D = FloatToInt(AsFloat(S)); NEXT();
op_itof: D = AsBits(static_cast<float>(static_cast<int32_t>(S))); NEXT();
op_fadd: D = AsBits(AsFloat(D) + AsFloat(S)); NEXT();
op_fsub: {
  float a = AsFloat(D), b = AsFloat(S);
  zf = a == b;
  lf = a < b;
  bf = 0;
  D = AsBits(a - b);
  NEXT();
}
op_fmul: D = AsBits(AsFloat(D) * AsFloat(S)); NEXT();
op_fdiv: D = AsBits(AsFloat(D) / AsFloat(S)); NEXT();
op_fmod: D = AsBits(std::fmod(AsFloat(D), AsFloat(S))); NEXT();
op_fneg: D = S ^ 0x80000000u; NEXT();

// Fused records: each does exactly what its two instructions do in turn.
#define SUB_JUMP(cond) do { COMPARE(D, S); D -= S; BRANCH(cond); } while (0)
op_sub_je: SUB_JUMP(IF_JE);
op_sub_jne: SUB_JUMP(IF_JNE);
op_sub_jg: SUB_JUMP(IF_JG);
op_sub_jge: SUB_JUMP(IF_JGE);
op_sub_jl: SUB_JUMP(IF_JL);
op_sub_jle: SUB_JUMP(IF_JLE);
op_sub_ja: SUB_JUMP(IF_JA);
op_sub_jae: SUB_JUMP(IF_JAE);
op_sub_jb: SUB_JUMP(IF_JB);
op_sub_jbe: SUB_JUMP(IF_JBE);
#define CMP_JUMP(cond) do { COMPARE(D, ip->imm); BRANCH2(cond); } while (0)
op_cmp_je: CMP_JUMP(IF_JE);
op_cmp_jne: CMP_JUMP(IF_JNE);
op_cmp_jg: CMP_JUMP(IF_JG);
op_cmp_jge: CMP_JUMP(IF_JGE);
op_cmp_jl: CMP_JUMP(IF_JL);
op_cmp_jle: CMP_JUMP(IF_JLE);
op_cmp_ja: CMP_JUMP(IF_JA);
op_cmp_jae: CMP_JUMP(IF_JAE);
op_cmp_jb: CMP_JUMP(IF_JB);
op_cmp_jbe: CMP_JUMP(IF_JBE);
op_mov_frame_load: D = ip->imm; r[ip->d2] = Load32(AT(r[6] + ip->imm2)); NEXT();
op_frame_load_2: D = Load32(AT(r[6] + ip->imm)); r[ip->d2] = Load32(AT(r[6] + ip->imm2)); NEXT();
op_lea_post_op: {
  D = r[6] + ip->imm;
  uint32_t a = r[ip->s2];
  uint32_t v = Load32(AT(a));
  Store32(AT(a), v + ip->imm2);
  r[ip->d2] = v;
  STORED(a, 4);
  NEXT();
}
op_alu_chain: {
  const uint32_t dst = ip->d;
  uint32_t t = r[dst];
  uint32_t steps = ip->imm;
  for (int i = 0; i < ip->d2; ++i, steps >>= 8) {
    uint32_t src = (steps >> 4) & 7;
    uint32_t v = src == dst ? t : r[src];
    switch (steps & 15) {
      case kStepAdd: t += v; break;
      case kStepSub: COMPARE(t, v); t -= v; break;
      case kStepMul: t *= v; break;
      case kStepDiv:
      case kStepMod:
        if (v == 0) {  // the plain interpreter fails at this step
          r[dst] = t;
          pc = ip->pc + 2 * i;
          exact_budget = entry_budget - ip->before - i;
          goto exact;
        }
        if ((steps & 15) == kStepDiv) {
          if (!(t == 0x80000000u && v == 0xFFFFFFFFu))
            t = static_cast<uint32_t>(static_cast<int32_t>(t) / static_cast<int32_t>(v));
        } else {
          t = v == 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(static_cast<int32_t>(t) % static_cast<int32_t>(v));
        }
        break;
      case kStepAnd: t &= v; break;
      case kStepOr: t |= v; break;
      case kStepXor: t ^= v; break;
      case kStepShl: t <<= (v & 31); break;
      case kStepShr: t >>= (v & 31); break;
      default: t = static_cast<uint32_t>(static_cast<int32_t>(t) >> (v & 31)); break;
    }
  }
  r[dst] = t;
  if (ip->s2) {
    uint32_t a = r[6] + ip->imm2;
    Store32(AT(a), t);
    STORED(a, 4);
  }
  NEXT();
}
op_fall_through: TRANSFER(ip->pc, blk->fall);

exact:
  std::memcpy(ctx->r, r, sizeof r);
  ctx->zero_flag = zf; ctx->less_flag = lf; ctx->below_flag = bf;
  ctx->pc = pc;
  return pc >= kWrapGuard ? RunSlice<true>(ctx, exact_budget) : RunSlice<false>(ctx, exact_budget);

out:
  std::memcpy(ctx->r, r, sizeof r);
  ctx->zero_flag = zf; ctx->less_flag = lf; ctx->below_flag = bf;
  ctx->pc = pc;
  return 1;

#undef AT
#undef D
#undef S
#undef DISPATCH
#undef NEXT
#undef BAIL
#undef STORED
#undef STACK_FAILS
#undef TRANSFER
#undef TRANSFER_ANY
#undef COMPARE
#undef BRANCH
#undef BRANCH2
#undef SUB_JUMP
#undef CMP_JUMP
}

}  // namespace

int RunContext(ScriptContext* ctx) {
  if (ScriptStopRequested() || ctx->state != kContextRunning) return 1;
  return RunDecoded(ctx);
}
