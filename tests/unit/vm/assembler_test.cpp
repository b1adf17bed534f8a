#include <gtest/gtest.h>

#include "vm/assembler.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Assembler, EncodesEachShape) {
  struct Case { const char* source; Bytes bytes; };
  const Case cases[] = {
      {"nop", {0}},
      {"ret", {38}},
      {"trap 316", {1, 0x3C, 0x01}},
      {"movl r1, r2", {3, 0x21}},
      {"movl r3, $-1", {4, 0x73, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"movl r0, @0x1234", {5, 0x70, 0x34, 0x12, 0, 0}},
      {"movsbl r2, [0x10]", {7, 0x72, 0x10, 0, 0, 0}},
      {"lea r1, [fp-24]", {11, 0x71, 0xE8, 0xFF, 0xFF, 0xFF}},
      {"movl r0, [fp+8]", {16, 0x70, 8, 0, 0, 0}},
      {"movwl r4, [r5]", {19, 0x54, }},
      {"movb [0x20], r3", {22, 0x37, 0x20, 0, 0, 0}},
      {"movl [fp], r1", {27, 0x17, 0, 0, 0, 0}},
      {"movw [r2], r1", {29, 0x12}},
      {"push r3", {31, 0x37}},
      {"push $4", {32, 4, 0, 0, 0}},
      {"pop r2", {33, 0x72}},
      {"enter 8", {34, 8, 0, 0, 0}},
      {"call r0", {37, 0x07}},
      {"preop r1, [r2], $4", {39, 0x21, 4, 0, 0, 0}},
      {"postdec r0, word [r3]", {48, 0x30}},
      {"zerol [fp-4]", {54, 0xFC, 0xFF, 0xFF, 0xFF}},
      {"add r7, $8", {59, 0x77, 8, 0, 0, 0}},
      {"jbe 0x10000", {83, 0, 0, 1, 0}},
      {"fneg r1, r1", {91, 0x11}},
      {"movl r15, r8", {3, 0x8F}},
      {".long 1, 0x2\n.word 3\n.byte 4\n.asciz \"a\\n\"\n.zero 2", {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 4, 'a', '\n', 0, 0, 0}},
  };
  for (const Case& c : cases) {
    AssembledProgram p = Assemble(c.source, 0);
    EXPECT_TRUE(p.ok()) << c.source << ": " << p.error;
    EXPECT_EQ(p.bytes, c.bytes) << c.source;
  }
}

TEST(Assembler, ArgumentCleanupStartsWith30523) {
  AssembledProgram p = Assemble("add r7, $12", 0);
  ASSERT_EQ(p.bytes.size(), 6u);
  EXPECT_EQ(p.bytes[0] | (p.bytes[1] << 8), 30523);
}

TEST(Assembler, ResolvesForwardLabelsAtTheOrigin) {
  AssembledProgram p = Assemble("jmp end\nmid: nop\nend: call mid+1\n", 0x20000);
  ASSERT_TRUE(p.ok()) << p.error;
  EXPECT_EQ(p.labels.at("mid"), 0x20005u);
  EXPECT_EQ(p.labels.at("end"), 0x20006u);
  EXPECT_EQ(p.bytes, (Bytes{73, 0x06, 0, 2, 0, 0, 36, 0x06, 0, 2, 0}));
}

TEST(Assembler, ReportsTheFaultyLine) {
  const char* bad[] = {"movl r0", "jmp nowhere", "frob r1, r2", "movl r0, [r1], r2", "a: nop\na: nop",
                       "movl r16, r0", "push $0x1FFFFFFFF", ".asciz nope"};
  for (const char* source : bad) {
    AssembledProgram p = Assemble(std::string("nop\n") + source, 0);
    EXPECT_FALSE(p.ok()) << source;
    EXPECT_TRUE(p.error.starts_with("line 2: ") || p.error.starts_with("line 3: ")) << p.error;
    EXPECT_TRUE(p.bytes.empty());
  }
}

}  // namespace
