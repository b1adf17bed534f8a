#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "platform/text_encoding.h"
#include "vm/opcodes.h"
#include "vm_machine.h"

namespace {

uint32_t F(float f) { return std::bit_cast<uint32_t>(f); }

// Each case runs a program that leaves its answer in r0 and returns.
struct ResultCase {
  const char* name;
  std::string source;
  uint32_t r0;
};

void PrintTo(const ResultCase& c, std::ostream* os) { *os << c.name; }

class ResultTest : public testing::TestWithParam<ResultCase> {};

TEST_P(ResultTest, LeavesExpectedR0) {
  const ResultCase& c = GetParam();
  Machine m(c.source + "\nret\n");
  m.Run();
  EXPECT_EQ(m.ctx->state, kContextEnded);
  EXPECT_EQ(m.ctx->r[0], c.r0) << c.source;
  EXPECT_TRUE(ShownErrors().empty());
}

const ResultCase kMoves[] = {
    {"movl_imm", "movl r0, $-5", 0xFFFFFFFBu},
    {"movl_reg", "movl r3, $77\nmovl r0, r3", 77},
    {"xchg", "movl r0, $1\nmovl r1, $2\nxchg r0, r1\nsub r0, r1", 1},
    {"load_byte_zx", "movbl r0, [d]\njmp e\nd: .byte 0xF0\ne:", 0xF0},
    {"load_byte_sx", "movsbl r0, [d]\njmp e\nd: .byte 0xF0\ne:", 0xFFFFFFF0u},
    {"load_word_zx", "movwl r0, [d]\njmp e\nd: .word 0x8001\ne:", 0x8001},
    {"load_word_sx", "movswl r0, [d]\njmp e\nd: .word 0x8001\ne:", 0xFFFF8001u},
    {"load_long", "movl r0, [d]\njmp e\nd: .long 0x12345678\ne:", 0x12345678},
    {"load_unaligned", "movl r0, [d+1]\njmp e\nd: .byte 1, 2, 3, 4, 5\ne:", 0x05040302},
    {"load_ind_byte_sx", "movl r1, @d\nmovsbl r0, [r1]\njmp e\nd: .byte 0x80\ne:", 0xFFFFFF80u},
    {"load_ind_word_zx", "movl r1, @d\nmovwl r0, [r1]\njmp e\nd: .word 0xFFFE\ne:", 0xFFFE},
    {"load_ind_long", "movl r1, @d\nmovl r0, [r1]\njmp e\nd: .long 99\ne:", 99},
    {"store_byte", "movl r1, $0x1FF\nmovb [d], r1\nmovl r0, [d]\njmp e\nd: .long 0xAAAAAAAA\ne:", 0xAAAAAAFFu},
    {"store_word", "movl r1, $0x12345\nmovw [d], r1\nmovl r0, [d]\njmp e\nd: .long 0\ne:", 0x2345},
    {"store_long", "movl r1, $-1\nmovl [d], r1\nmovl r0, [d]\njmp e\nd: .long 0\ne:", 0xFFFFFFFFu},
    {"store_ind", "movl r2, @d\nmovl r1, $0x0102\nmovw [r2], r1\nmovl r1, $7\nmovb [r2], r1\nmovl r0, [d]\njmp e\nd: .long 0\ne:", 0x0107},
};
INSTANTIATE_TEST_SUITE_P(Moves, ResultTest, testing::ValuesIn(kMoves),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Interpreter, AddressOfLoadsTheLabelAddress) {
  Machine m("movl r0, @here\nret\nhere: nop\n");
  m.Run();
  EXPECT_EQ(m.ctx->r[0], m.Label("here"));
  EXPECT_EQ(m.program.bytes[0], 5);  // the address form keeps its own opcode
}

const ResultCase kArithmetic[] = {
    {"add", "movl r0, $40\nmovl r1, $2\nadd r0, r1", 42},
    {"add_imm_wraps", "movl r0, $-1\nadd r0, $2", 1},
    {"sub", "movl r0, $5\nmovl r1, $7\nsub r0, r1", 0xFFFFFFFEu},
    {"sub_imm", "movl r0, $5\nsub r0, $7", 0xFFFFFFFEu},
    {"mul_low_bits", "movl r0, $0x10000\nmovl r1, $0x10001\nmul r0, r1", 0x10000},
    {"div_truncates", "movl r0, $-7\nmovl r1, $2\ndiv r0, r1", 0xFFFFFFFDu},
    {"mod_sign_of_dividend", "movl r0, $-7\nmovl r1, $2\nmod r0, r1", 0xFFFFFFFFu},
    {"div_min_by_minus_one", "movl r0, $0x80000000\nmovl r1, $-1\ndiv r0, r1", 0x80000000u},
    {"mod_min_by_minus_one", "movl r0, $0x80000000\nmovl r1, $-1\nmod r0, r1", 0},
    {"shl", "movl r0, $3\nmovl r1, $4\nshl r0, r1", 48},
    {"shl_masks_count", "movl r0, $1\nmovl r1, $33\nshl r0, r1", 2},
    {"shr_logical", "movl r0, $-16\nmovl r1, $2\nshr r0, r1", 0x3FFFFFFCu},
    {"sar_arithmetic", "movl r0, $-16\nmovl r1, $2\nsar r0, r1", 0xFFFFFFFCu},
    {"sar_by_33_is_by_1", "movl r0, $-16\nmovl r1, $33\nsar r0, r1", 0xFFFFFFF8u},
    {"shr_sar_agree_when_positive", "movl r0, $64\nmovl r1, $3\nmovl r2, r0\nshr r0, r1\nsar r2, r1\nsub r0, r2", 0},
    {"neg", "movl r1, $5\nneg r0, r1", 0xFFFFFFFBu},
    {"not", "movl r1, $0xF0F0F0F0\nnot r0, r1", 0x0F0F0F0Fu},
    {"and", "movl r0, $0xFF00\nmovl r1, $0x0FF0\nand r0, r1", 0x0F00},
    {"or", "movl r0, $0xFF00\nmovl r1, $0x0FF0\nor r0, r1", 0xFFF0},
    {"xor", "movl r0, $0xFF00\nmovl r1, $0x0FF0\nxor r0, r1", 0xF0F0},
    {"set_of_zero", "movl r1, $0\nset r0, r1", 1},
    {"set_of_nonzero", "movl r1, $9\nset r0, r1", 0},
    {"high_register_field_aliases", "movl r8, $6\nmovl r9, r0\nmovl r0, r1", 6},
};
INSTANTIATE_TEST_SUITE_P(Arithmetic, ResultTest, testing::ValuesIn(kArithmetic),
                         [](const auto& info) { return std::string(info.param.name); });

const ResultCase kMemoryUpdates[] = {
    // preop/postop: 32-bit [rS] += n
    {"preop", "movl r1, @d\npreop r0, [r1], $5\njmp e\nd: .long 10\ne:", 15},
    {"postop", "movl r1, @d\npostop r0, [r1], $-3\nmovl r2, [d]\nsub r0, r2\njmp e\nd: .long 10\ne:", 3},
    {"postinc_byte_255", "movl r1, @d\npostinc r0, byte [r1]\njmp e\nd: .byte 255\ne:", 255},
    {"postinc_byte_wraps_memory", "movl r1, @d\npostinc r2, byte [r1]\nmovbl r0, [d]\njmp e\nd: .byte 255\ne:", 0},
    {"preinc_byte", "movl r1, @d\npreinc r0, byte [r1]\njmp e\nd: .byte 255\ne:", 0},
    {"predec_byte_zero", "movl r1, @d\npredec r0, byte [r1]\njmp e\nd: .byte 0\ne:", 255},
    {"postdec_byte", "movl r1, @d\npostdec r2, byte [r1]\nmovbl r0, [d]\nadd r0, r2\njmp e\nd: .byte 5\ne:", 9},
    {"preinc_word", "movl r1, @d\npreinc r0, word [r1]\njmp e\nd: .word 0xFFFF\ne:", 0},
    {"postinc_word", "movl r1, @d\npostinc r0, word [r1]\njmp e\nd: .word 0xFFFF\ne:", 0xFFFF},
    {"predec_word_zero", "movl r1, @d\npredec r0, word [r1]\njmp e\nd: .word 0\ne:", 0xFFFF},
    {"postdec_word", "movl r1, @d\npostdec r2, word [r1]\nmovwl r0, [d]\njmp e\nd: .word 0\ne:", 0xFFFF},
};
INSTANTIATE_TEST_SUITE_P(MemoryUpdates, ResultTest, testing::ValuesIn(kMemoryUpdates),
                         [](const auto& info) { return std::string(info.param.name); });

const ResultCase kFloats[] = {
    {"itof", "movl r1, $-3\nitof r0, r1", F(-3.0f)},
    {"ftoi_truncates", "movl r1, $" + std::to_string(F(-2.75f)) + "\nftoi r0, r1", 0xFFFFFFFEu},
    {"ftoi_nan", "movl r1, $0x7FC00000\nftoi r0, r1", 0x80000000u},
    {"ftoi_too_large", "movl r1, $" + std::to_string(F(3e9f)) + "\nftoi r0, r1", 0x80000000u},
    {"ftoi_int_min", "movl r1, $" + std::to_string(F(-2147483648.0f)) + "\nftoi r0, r1", 0x80000000u},
    {"fadd", "movl r0, $" + std::to_string(F(1.5f)) + "\nmovl r1, $" + std::to_string(F(2.25f)) + "\nfadd r0, r1", F(3.75f)},
    {"fsub", "movl r0, $" + std::to_string(F(1.5f)) + "\nmovl r1, $" + std::to_string(F(2.25f)) + "\nfsub r0, r1", F(-0.75f)},
    {"fmul", "movl r0, $" + std::to_string(F(1.5f)) + "\nmovl r1, $" + std::to_string(F(-2.0f)) + "\nfmul r0, r1", F(-3.0f)},
    {"fdiv", "movl r0, $" + std::to_string(F(1.0f)) + "\nmovl r1, $" + std::to_string(F(4.0f)) + "\nfdiv r0, r1", F(0.25f)},
    {"fdiv_by_zero_is_infinity", "movl r0, $" + std::to_string(F(1.0f)) + "\nmovl r1, $0\nfdiv r0, r1", F(INFINITY)},
    {"fmod_sign_of_dividend", "movl r0, $" + std::to_string(F(-7.5f)) + "\nmovl r1, $" + std::to_string(F(2.0f)) + "\nfmod r0, r1", F(-1.5f)},
    {"fneg", "movl r1, $" + std::to_string(F(2.5f)) + "\nfneg r0, r1", F(-2.5f)},
    {"fneg_zero", "movl r1, $0\nfneg r0, r1", 0x80000000u},
};
INSTANTIATE_TEST_SUITE_P(Floats, ResultTest, testing::ValuesIn(kFloats),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Interpreter, FdivZeroByZeroIsNan) {
  Machine m("movl r0, $0\nmovl r1, $0\nfdiv r0, r1\nret\n");
  m.Run();
  EXPECT_TRUE(std::isnan(std::bit_cast<float>(m.ctx->r[0])));
  EXPECT_EQ(m.ctx->state, kContextEnded);
}

// Comparisons set Z, L (signed) and B (unsigned); fsub sets Z and L only.
struct FlagCase {
  const char* op;
  uint32_t a, b;
  int z, l, b_flag;
};

TEST(Interpreter, ComparisonFlags) {
  const FlagCase cases[] = {
      {"cmp", 5, 5, 1, 0, 0},           {"cmp", 1, 2, 0, 1, 1},
      {"cmp", 0xFFFFFFFFu, 1, 0, 1, 0}, {"cmp", 1, 0xFFFFFFFFu, 0, 0, 1},
      {"sub", 7, 3, 0, 0, 0},           {"sub", 0x80000000u, 1, 0, 1, 0},
      {"cmpi", 3, 3, 1, 0, 0},          {"cmpi", 2, 0xFFFFFFFEu, 0, 0, 1},
      {"subi", 1, 2, 0, 1, 1},
      {"fsub", F(2.0f), F(2.0f), 1, 0, 0}, {"fsub", F(-1.0f), F(2.0f), 0, 1, 0},
      {"fsub", F(3.0f), F(2.0f), 0, 0, 0}, {"fsub", 0x7FC00000u, F(2.0f), 0, 0, 0},
  };
  for (const FlagCase& c : cases) {
    std::string op = c.op;
    std::string code = "movl r0, $" + std::to_string(c.a) + "\nmovl r1, $" + std::to_string(c.b) + "\n";
    // Preload B so that fsub visibly clears it.
    code = "movl r2, $0\nmovl r3, $1\ncmp r2, r3\n" + code;
    if (op == "cmpi") code += "cmp r0, $" + std::to_string(c.b) + "\n";
    else if (op == "subi") code += "sub r0, $" + std::to_string(c.b) + "\n";
    else code += op + " r0, r1\n";
    Machine m(code + "ret\n");
    m.Run();
    SCOPED_TRACE(op + " " + std::to_string(c.a) + ", " + std::to_string(c.b));
    EXPECT_EQ(m.ctx->zero_flag, c.z);
    EXPECT_EQ(m.ctx->less_flag, c.l);
    EXPECT_EQ(m.ctx->below_flag, c.b_flag);
  }
}

TEST(Interpreter, ArithmeticLeavesFlagsAlone) {
  Machine m("movl r0, $1\nmovl r1, $1\ncmp r0, r1\nmovl r2, $5\nadd r2, r1\nmul r2, r1\nxor r2, r2\nret\n");
  m.Run();
  EXPECT_EQ(m.ctx->zero_flag, 1);
}

// Conditional jumps after comparing a with b: r0 = 1 when taken.
TEST(Interpreter, ConditionalJumps) {
  struct JumpCase { const char* jump; uint32_t a, b; bool taken; };
  const JumpCase cases[] = {
      {"je", 4, 4, true},   {"je", 4, 5, false},  {"jne", 4, 5, true},  {"jne", 4, 4, false},
      {"jg", 5, 4, true},   {"jg", 4, 4, false},  {"jg", 0xFFFFFFFFu, 1, false},
      {"jge", 4, 4, true},  {"jge", 3, 4, false}, {"jl", 3, 4, true},   {"jl", 4, 4, false},
      {"jl", 0xFFFFFFFFu, 1, true}, {"jle", 4, 4, true}, {"jle", 5, 4, false},
      {"ja", 0xFFFFFFFFu, 1, true}, {"ja", 4, 4, false}, {"jae", 4, 4, true}, {"jae", 1, 0xFFFFFFFFu, false},
      {"jb", 1, 0xFFFFFFFFu, true}, {"jb", 4, 4, false}, {"jbe", 4, 4, true}, {"jbe", 0xFFFFFFFFu, 1, false},
  };
  for (const JumpCase& c : cases) {
    std::string code = "movl r1, $" + std::to_string(c.a) + "\nmovl r2, $" + std::to_string(c.b) +
                       "\ncmp r1, r2\nmovl r0, $0\n" + c.jump + " yes\nret\nyes: movl r0, $1\nret\n";
    Machine m(code);
    m.Run();
    EXPECT_EQ(m.ctx->r[0], c.taken ? 1u : 0u) << c.jump << " " << c.a << ", " << c.b;
  }
}

TEST(Interpreter, FloatEqualityDoesNotSatisfyGreaterOrLess) {
  std::string two = std::to_string(F(2.0f));
  for (const char* jump : {"jg", "jl"}) {
    Machine m("movl r1, $" + two + "\nmovl r2, $" + two + "\nfsub r1, r2\nmovl r0, $0\n" + jump +
              " yes\nret\nyes: movl r0, $1\nret\n");
    m.Run();
    EXPECT_EQ(m.ctx->r[0], 0u) << jump;
  }
}

TEST(Interpreter, ZeroTestsSetOnlyZ) {
  // Frame forms address [fp+off]; absolute forms an address.
  Machine m(R"(
        movl r6, @d
        movl r1, $0
        movl r2, $1
        cmp r1, r2          ; L and B set, Z clear
        zerol [fp+4]        ; d+4 holds 0
        je z1
        ret
z1:     zerob [d]           ; d holds 0x00000100: its low byte is 0
        jne out
        zerow [d]           ; low 16 bits 0x0100
        je out
        zerol [d]
        je out
        zerow [fp+1]        ; bytes 1..2: 0x0001
        je out
        zerob [fp+2]
        jne out
        movl r0, $1
out:    ret
d:      .long 0x100, 0
)");
  m.Run();
  EXPECT_EQ(m.ctx->r[0], 1u);
  EXPECT_EQ(m.ctx->less_flag, 1);
  EXPECT_EQ(m.ctx->below_flag, 1);
}

TEST(Interpreter, EveryOpcodeHasItsSize) {
  // opcodes 0 and 38 take 1 byte; trap 3; rb alone 2; i32 alone 5; rb + i32 6
  for (int op = 0; op < kOpcodeCount; ++op) {
    int expected = 2;
    if (op == 0 || op == 38) expected = 1;
    else if (op == 1) expected = 3;
    else if (op == 32 || (op >= 34 && op <= 36) || (op >= 49 && op <= 54) || (op >= 73 && op <= 83)) expected = 5;
    else if ((op >= 4 && op <= 16) || (op >= 22 && op <= 27) || op == 39 || op == 40 || op == 56 || op == 59 || op == 61)
      expected = 6;
    EXPECT_EQ(InstructionSize(static_cast<uint8_t>(op)), expected) << "opcode " << op;
  }
}

// --- Calls, frames and the stack -------------------------------------------

TEST(Interpreter, CallEnterLeaveRet) {
  Machine m(R"(
        movl r1, $11
        movl r6, $66
        push $30
        push $12
        call add2
        add r7, $8
        add r0, r1          ; r1 and r6 survive the call
        add r0, r6
        ret
add2:   enter 8
        movl r1, [fp+8]     ; first argument (pushed last)
        movl r2, [fp+12]
        movl [fp-24], r1
        movl r0, [fp-24]
        add r0, r2
        leave 8
        ret
)");
  m.Run();
  EXPECT_EQ(m.ctx->state, kContextEnded);
  EXPECT_EQ(m.ctx->r[0], 12u + 30u + 11u + 66u);
}

TEST(Interpreter, EnterSavesRegistersInFrameOrder) {
  Machine m(R"(
        movl r1, $1
        movl r2, $2
        movl r3, $3
        movl r4, $4
        movl r5, $5
        movl r6, $6
        enter 8
        trap 0
)");
  m.Run(1);
  uint32_t fp = m.ctx->r[6];
  EXPECT_EQ(Machine::Peek32(fp), 6u);        // saved r6
  for (uint32_t i = 1; i <= 5; ++i) EXPECT_EQ(Machine::Peek32(fp - 4 * (6 - i)), i) << "r" << i;
  EXPECT_EQ(m.ctx->r[7], fp - 20 - 8);
  EXPECT_EQ(fp, m.Stack(-8 - 4));            // below the thread's return address word
}

TEST(Interpreter, CallThroughRegister) {
  Machine m("movl r2, @f\ncall r2\nadd r0, $1\nret\nf: movl r0, $41\nret\n");
  m.Run();
  EXPECT_EQ(m.ctx->r[0], 42u);
}

TEST(Interpreter, MainEndsThroughOutermostLeave) {
  Machine m("enter 16\nmovl r0, $7\nleave 16\nret\n", 4096, /*as_thread=*/false);
  m.Run();
  EXPECT_EQ(m.ctx->state, kContextEnded);
  EXPECT_EQ(m.ctx->r[0], 7u);
  EXPECT_EQ(m.ctx->pc, m.ctx->program_base + 5 + 6 + 5);  // the ret after leave never ran
}

TEST(Interpreter, ThreadFunctionEndsThroughRetToAllOnes) {
  Machine m("movl r0, $9\nret\n");
  m.Run();
  EXPECT_EQ(m.ctx->state, kContextEnded);
  EXPECT_EQ(m.ctx->pc, 0xFFFFFFFFu);
  EXPECT_EQ(m.ctx->r[0], 9u);
}

TEST(Interpreter, PushPop) {
  Machine m("push $5\nmovl r1, $7\npush r1\npop r0\npop r2\nsub r0, r2\nret\n");
  m.Run();
  EXPECT_EQ(m.ctx->r[0], 2u);
  EXPECT_EQ(m.program.bytes[12], 0x17);  // push r1: S = 1, D written as 7
  EXPECT_EQ(m.program.bytes[14], 0x70);  // pop r0
}

// --- Slices -----------------------------------------------------------------

TEST(Interpreter, SliceRunsAtMost255Instructions) {
  std::string code;
  for (int i = 0; i < 300; ++i) code += "add r0, $1\n";
  Machine m(code + "ret\n");
  RunContext(m.ctx);
  EXPECT_EQ(m.ctx->r[0], 255u);
  EXPECT_EQ(m.ctx->state, kContextRunning);
  EXPECT_EQ(m.ctx->pc, m.ctx->program_base + 255 * 6);
  RunContext(m.ctx);
  EXPECT_EQ(m.ctx->r[0], 300u);
  EXPECT_EQ(m.ctx->state, kContextEnded);
}

uint32_t hook_calls = 0;
uint16_t hook_number = 0;
uint32_t hook_first_arg = 0;
uint32_t hook_pushed = 0;

void CountingHook(uint16_t number, ScriptContext* ctx) {
  ++hook_calls;
  hook_number = number;
  hook_first_arg = Machine::Peek32(ctx->r[7] + 4);
  uint32_t ret = Machine::Peek32(ctx->r[7]);
  uint16_t word;
  std::memcpy(&word, ToHost(ret), 2);
  hook_pushed = word == kArgumentCleanupWord ? Machine::Peek32(ret + 2) / 4 : 0;
  ctx->r[0] = 1234;
}

TEST(Interpreter, TrapCallsTheHookAndEndsTheSlice) {
  Machine m("push $3\npush $8\ncall stub\nadd r7, $8\nadd r0, $1\nret\nstub: trap 316\nret\n");
  hook_calls = 0;
  SetBuiltinHook(CountingHook);
  RunContext(m.ctx);
  EXPECT_EQ(hook_calls, 1u);
  EXPECT_EQ(hook_number, 316);
  EXPECT_EQ(hook_first_arg, 8u);
  EXPECT_EQ(hook_pushed, 2u);
  EXPECT_EQ(m.ctx->r[0], 1234u);
  EXPECT_EQ(m.ctx->pc, m.Label("stub") + 3);  // stopped right after the trap
  m.Run();
  SetBuiltinHook(nullptr);
  EXPECT_EQ(m.ctx->r[0], 1235u);
  EXPECT_EQ(m.ctx->state, kContextEnded);
}

TEST(Interpreter, DefaultHookDoesNothing) {
  Machine m("movl r0, $5\ntrap 2\nret\n");
  m.Run();
  EXPECT_EQ(m.ctx->r[0], 5u);
  EXPECT_EQ(m.ctx->state, kContextEnded);
}

TEST(Interpreter, StopFlagHaltsEverything) {
  Machine m("loop: add r0, $1\njmp loop\n");
  SetScriptStopFlag(1);
  RunContext(m.ctx);
  EXPECT_EQ(m.ctx->r[0], 0u);
  SetScriptStopFlag(0);
  RunContext(m.ctx);
  EXPECT_GT(m.ctx->r[0], 0u);
}

TEST(Interpreter, NothingRunsOnceEnded) {
  Machine m("movl r0, $1\nret\nmovl r0, $2\n");
  m.Run();
  RunContext(m.ctx);
  EXPECT_EQ(m.ctx->r[0], 1u);
}

// --- Runtime errors ---------------------------------------------------------

struct ErrorCase {
  const char* name;
  std::string source;
  uint32_t stack_size;
  const char* text;  // UTF-8 form of the Shift_JIS message
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class RuntimeErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(RuntimeErrorTest, FailsTheContextAndStopsScripts) {
  const ErrorCase& c = GetParam();
  Machine m(c.source, c.stack_size);
  m.Run();
  EXPECT_EQ(m.ctx->state, kContextFailed);
  EXPECT_TRUE(ScriptStopRequested());
  ASSERT_EQ(ShownErrors().size(), 1u);
  EXPECT_EQ(SjisToUtf8(ShownErrors()[0]), c.text);
}

const ErrorCase kErrors[] = {
    {"div_by_zero", "movl r0, $5\nmovl r1, $0\ndiv r0, r1\nret\n", 4096, "０で除算しました"},
    {"mod_by_zero", "movl r0, $5\nmovl r1, $0\nmod r0, r1\nret\n", 4096, "０で除算しました"},
    {"call_through_zero", "movl r1, $0\ncall r1\nret\n", 4096, "プログラム領域をオーバーしました"},
    {"push_at_stack_base", "loop: push $1\njmp loop\n", 64, "スタック領域をオーバーしました"},
    {"pop_past_top", "pop r0\npop r0\npop r0\n", 64, "スタック領域をオーバーしました"},
    {"ret_past_top", "add r7, $8\nret\n", 64, "スタック領域をオーバーしました"},
    {"enter_too_big", "enter 100\nret\n", 64, "スタック領域をオーバーしました"},
    {"recursion", "f: call f\n", 256, "スタック領域をオーバーしました"},
    {"opcode_92", ".byte 92\n", 4096, "不正な命令コードが現れました"},
    {"opcode_255", ".byte 255\n", 4096, "不正な命令コードが現れました"},
};
INSTANTIATE_TEST_SUITE_P(Errors, RuntimeErrorTest, testing::ValuesIn(kErrors),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Interpreter, DivideByZeroLeavesDestination) {
  Machine m("movl r0, $5\nmovl r1, $0\ndiv r0, r1\nret\n");
  m.Run();
  EXPECT_EQ(m.ctx->r[0], 5u);
  EXPECT_EQ(m.ctx->pc, m.ctx->program_base + 14);  // right after the faulting div
}

TEST(Interpreter, PushAtStackBaseFailsExactlyThere) {
  // 64-byte stack, 8 used by the thread start: 14 pushes fit, the 15th fails.
  Machine m("loop: add r0, $1\npush $1\njmp loop\n", 64);
  m.Run();
  EXPECT_EQ(m.ctx->r[0], 15u);
  EXPECT_EQ(m.ctx->r[7], m.ctx->stack_base - 4);
}

TEST(Interpreter, WildAddressesNeverCrash) {
  Machine m(R"(
        movl r1, $0
        movl r2, $0xDEADBEEF
        movl r3, $0xFFFFFFFF
        movl r4, $0xFFFFFFFD
        movl r0, [r1]
        movl r0, [r2]
        movl r0, [r3]
        movswl r0, [r3]
        movl [r1], r2
        movl [r2], r2
        movl [r3], r2
        movw [r4], r2
        movl r0, [0xFFFFFFFF]
        movl [0xDEADBEEF], r3
        preop r5, [r3], $1
        postinc r5, word [r3]
        movl r6, $0xFFFFFFF0
        movl r0, [fp+0x20]
        movl r0, [r2]
        ret
)");
  m.Run();
  EXPECT_EQ(m.ctx->state, kContextEnded);
  EXPECT_EQ(m.ctx->r[0], 0xFFFFFFFFu);  // what the store through [0xDEADBEEF] left
}

// The program counter wraps at 32 bits: the instruction after one that ends
// at the top of the address space is at address 0, whether the run got there
// by a jump or straight through. The bytes placed at either end are cleared
// again afterwards.
TEST(Interpreter, CodeRunsOnThroughTheTopOfTheAddressSpace) {
  struct Case {
    const char* what;
    uint32_t target;                 // where the program jumps
    std::vector<uint8_t> at_target;  // written there
    std::vector<uint8_t> at_zero;    // written at address 0
  };
  const Case cases[] = {
      {"movl ending at the top", 0xFFFFFFFAu, {4, 0x70, 0x11, 0x22, 0x33, 0x44}, {38}},
      {"nops up to the top", 0xFFFFFF00u, {}, {4, 0x70, 0x11, 0x22, 0x33, 0x44, 38}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m("jmp " + std::to_string(c.target) + "\n");
    if (!c.at_target.empty()) std::memcpy(ToHost(c.target), c.at_target.data(), c.at_target.size());
    if (!c.at_zero.empty()) std::memcpy(ToHost(0), c.at_zero.data(), c.at_zero.size());
    m.Run();
    std::memset(ToHost(c.target), 0, c.at_target.size());
    std::memset(ToHost(0), 0, c.at_zero.size());
    EXPECT_EQ(m.ctx->state, kContextEnded);
    EXPECT_EQ(m.ctx->r[0], 0x44332211u);
  }
}

// Code is bytes in script memory: whatever writes them, and wherever a jump
// lands, the next run of those bytes does what they say now. (A program
// running `site` twice, with its immediate changed from 5 to 7 in between,
// leaves 12.)
TEST(Interpreter, CodeRunsAsItsBytesReadNow) {
  const std::string rewrite_loop = R"(
        movl r3, $2
loop:
site:   movl r0, $5
        add r4, r0
        movl r1, @site
        add r1, $2
        movl r2, $7
        WRITE
        sub r3, $1
        jne loop
        movl r0, r4
        ret
)";
  struct Case {
    const char* what;
    std::string source;
    uint32_t r0;
  };
  auto with = [&](const std::string& write) {
    std::string s = rewrite_loop;
    return s.replace(s.find("WRITE"), 5, write);
  };
  const Case cases[] = {
      {"rewritten by a store, run again in the same slice", with("movl [r1], r2"), 12},
      {"rewritten by a store, run again in a later slice", with("movl [r1], r2\ntrap 0"), 12},
      {"rewritten by a builtin between slices", with("trap 0"), 12},
      // The immediate of `mid` reads as `movl r0, r1` followed by two nops.
      {"entered in the middle of an instruction", "movl r1, $42\njmp mid+2\nmid: movl r2, $0x1003\nret\n", 42},
  };
  // The builtin stores r2 at the address in r1.
  SetBuiltinHook([](uint16_t, ScriptContext* ctx) { Machine::Poke32(ctx->r[1], ctx->r[2]); });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m(c.source);
    m.Run();
    EXPECT_EQ(m.ctx->state, kContextEnded);
    EXPECT_EQ(m.ctx->r[0], c.r0);
  }
  SetBuiltinHook(nullptr);
}

TEST(Interpreter, JumpToWildAddressRunsZerosAsNops) {
  // Untouched arena pages read as zero: nop. The run ends by budget, not a
  // crash, wherever the jump lands (the last address included: no lookup
  // may mistake it for something else).
  const uint32_t targets[] = {0xF0000000u, 0xFFFFFFFFu};
  for (uint32_t target : targets) {
    SCOPED_TRACE(target);
    Machine m("jmp " + std::to_string(target) + "\n");
    *ToHost(0xFFFFFFFFu) = 0;  // other tests scribble on both ends of the address space
    std::memset(ToHost(0), 0, 256);
    RunContext(m.ctx);
    EXPECT_EQ(m.ctx->state, kContextRunning);
    EXPECT_EQ(m.ctx->pc, target + 254);
  }
}

}  // namespace
