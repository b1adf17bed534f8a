// Code generation: the instructions each construct compiles to, and what
// compiled programs compute when they run.
#include <cstring>
#include <string>

#include "compiler_fixture.h"

namespace {

constexpr uint32_t kBase = 0x10000;

// The code of the first function (it starts right after the jump to main).
std::vector<uint8_t> FirstFunction(const std::string& source, size_t bytes) {
  std::vector<uint8_t> image = CompileImage(source, kBase);
  if (image.size() < 5 + bytes) return image;
  return std::vector<uint8_t>(image.begin() + 5, image.begin() + 5 + static_cast<long>(bytes));
}

std::string A(uint32_t offset) { return Word(kBase + offset); }

TEST(CompilerCode, TwoParameterSumIs27Bytes) {
  std::vector<uint8_t> image = CompileImage("int f(a, b) { return a + b; }\nmain() { return f(1, 2); }\n");
  ASSERT_GE(image.size(), 32u);
  EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + 32),
            Hex("49" + A(32) + " 22 00000000  10 60 08000000  10 62 0c000000  3a 02  02 20  23 00000000  26"));
}

TEST(CompilerCode, LoadsOfEveryWidth) {
  const struct {
    const char* decl;
    const char* op;  // global load opcode, frame load opcode
    const char* frame_op;
    int size;
  } widths[] = {
      {"char", "07", "0d", 1}, {"unsigned char", "06", "0c", 1}, {"short", "09", "0f", 2},
      {"unsigned short", "08", "0e", 2}, {"int", "0a", "10", 4}, {"float", "0a", "10", 4},
      {"char *", "0a", "10", 4},
  };
  for (const auto& w : widths) {
    std::string global = std::string(w.decl) + " v;\nf() { return v; }\nmain() {}\n";
    std::vector<uint8_t> image = CompileImage(global, kBase);
    ASSERT_FALSE(image.empty()) << global;
    uint32_t address = kBase + static_cast<uint32_t>(image.size()) - static_cast<uint32_t>(w.size);
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 5, image.begin() + 5 + 17),
              Hex(std::string("22 00000000 ") + w.op + " 70 " + Word(address) + " 23 00000000 26"))
        << global;
    std::string local = std::string("f() { ") + w.decl + " v; return v; }\nmain() {}\n";
    EXPECT_EQ(FirstFunction(local, 17),
              Hex("22" + Word(static_cast<uint32_t>(w.size)) + w.frame_op + " 60 " +
                  Word(static_cast<uint32_t>(-20 - w.size)) + " 23" + Word(static_cast<uint32_t>(w.size)) + " 26"))
        << local;
  }
  // through a pointer: movl r0, 8(r6); movsbl r0, (r0)
  EXPECT_EQ(FirstFunction("f(p) char *p; { return *p; }\nmain() {}\n", 19),
            Hex("22 00000000  10 60 08000000  12 00  23 00000000 26"));
  EXPECT_EQ(FirstFunction("f(p) unsigned short *p; { return *p; }\nmain() {}\n", 19),
            Hex("22 00000000  10 60 08000000  13 00  23 00000000 26"));
}

TEST(CompilerCode, Stores) {
  std::vector<uint8_t> image = CompileImage("char c;\nf() { c = 5; }\nmain() {}\n", kBase);
  ASSERT_FALSE(image.empty());
  uint32_t c = kBase + static_cast<uint32_t>(image.size()) - 1;
  EXPECT_EQ(std::vector<uint8_t>(image.begin() + 5, image.begin() + 5 + 23),
            Hex("22 00000000  04 70 05000000  16 07" + Word(c) + " 23 00000000 26"));
  EXPECT_EQ(FirstFunction("f() { short s; s = 7; }\nmain() {}\n", 23),
            Hex("22 02000000  04 70 07000000  1a 06 eaffffff  23 02000000 26"));
  // through a pointer: value in r0, address in r2, then movl (r2), r0
  EXPECT_EQ(FirstFunction("f(p) int *p; { *p = 5; }\nmain() {}\n", 25),
            Hex("22 00000000  04 70 05000000  10 62 08000000  1e 02  23 00000000 26"));
}

TEST(CompilerCode, CallsWithAndWithoutArguments) {
  // g at offset 5 (11 bytes), f at 16
  std::vector<uint8_t> image = CompileImage("g() {}\nint x;\nf() { g(); g(1, x); }\nmain() {}\n", kBase);
  ASSERT_FALSE(image.empty());
  uint32_t x = kBase + static_cast<uint32_t>(image.size()) - 4;
  std::vector<uint8_t> f(image.begin() + 16, image.begin() + 16 + 40);
  EXPECT_EQ(f, Hex("22 00000000  24" + A(5) + "  0a 70" + Word(x) + " 1f 07  20 01000000  24" + A(5) +
                   "  3b 77 08000000  23 00000000 26"));
  // a call through a pointer: call r0
  EXPECT_EQ(FirstFunction("f(p) int (*p)(); { (*p)(); }\nmain() {}\n", 19),
            Hex("22 00000000  10 60 08000000  25 07  23 00000000 26"));
}

TEST(CompilerCode, EightOperandSumSpillsThroughTheStack) {
  std::string src = "f(a, b, c, d, e, f2, g2, h) { return a + b + c + d + e + f2 + g2 + h; }\nmain() {}\n";
  auto ld = [](int reg, int param) {
    char b[64];
    std::snprintf(b, sizeof b, "10 6%d %02x000000 ", reg, 4 + 4 * param);
    return std::string(b);
  };
  std::string expected = "22 00000000 " + ld(0, 8) + ld(2, 7) + ld(3, 6) + ld(4, 5) + ld(5, 4) + "1f 57 " + ld(5, 3) +
                         "1f 57 " + ld(5, 1) + "1f 57 " + ld(5, 2) +
                         "21 71 3a 15  21 71 3a 15  21 71 3a 15  3a 45  3a 35  3a 25  3a 05  02 50  23 00000000 26";
  std::vector<uint8_t> want = Hex(expected);
  EXPECT_EQ(FirstFunction(src, want.size()), want);
  Script s("f(a, b, c, d, e, f2, g2, h) { return a - b + c - d + e - f2 + g2 * h; }\n"
           "main() { return f(100, 1, 20, 3, 40, 5, 6, 7); }\n");
  EXPECT_EQ(s.Run(), 100u - 1 + 20 - 3 + 40 - 5 + 6 * 7);
}

TEST(CompilerCode, SwitchWithDefaultFirst) {
  std::vector<uint8_t> image = CompileImage("int y;\nf(x) { switch (x) { default: y = 9; case 1: y = 1; } }\nmain() {}\n", kBase);
  ASSERT_FALSE(image.empty());
  uint32_t y = kBase + static_cast<uint32_t>(image.size()) - 4;
  std::string expected = "22 00000000  10 60 08000000  49" + A(38) +          // jmp to the first test
                         "  04 70 09000000  18 07" + Word(y) + "  49" + A(49) +  // default: y = 9, skip the test
                         "  38 70 01000000  4b" + A(66) +                      // cmp r0, $1; jne next test
                         "  04 70 01000000  18 07" + Word(y) +                 // case 1: y = 1
                         "  49" + A(71) + "  49" + A(21) +                     // jmp end; no case matched: jmp default
                         "  23 00000000 26";
  std::vector<uint8_t> want = Hex(expected);
  EXPECT_EQ(std::vector<uint8_t>(image.begin() + 5, image.begin() + 5 + static_cast<long>(want.size())), want);
}

TEST(CompilerCode, CompoundAssignmentEvaluatesTheTargetTwice) {
  std::string expected =
      "22 00000000  04 70 03000000  10 62 08000000  04 73 04000000  0b 64 0c000000  28 44 01000000  3e 34  3a 24"
      "  15 44  3a 04"
      "  10 61 08000000  04 72 04000000  0b 63 0c000000  28 33 01000000  3e 23  3a 13  1e 43"
      "  03 40  23 00000000 26";
  std::vector<uint8_t> want = Hex(expected);
  EXPECT_EQ(FirstFunction("f(p, i) int *p; { p[i++] += 3; }\nmain() {}\n", want.size()), want);
  Script s("main() { int a[4]; int i; a[0] = 1; a[1] = 10; i = 0; a[i++] += 5; return i * 100 + a[0] + a[1]; }\n");
  EXPECT_EQ(s.Run(), 200u + 1 + 6);  // i stepped twice: a[0] + 5 was loaded from a[0] and stored into a[1]
}

TEST(CompilerCode, ConditionalExpressionAndLogicalJumps) {
  EXPECT_EQ(FirstFunction("f(x) { return x ? 2 : 3; }\nmain() {}\n", 38),
            Hex("22 00000000  36 08000000  4a" + A(31) + "  04 70 02000000  49" + A(37) +
                "  04 70 03000000  23 00000000 26"));
  EXPECT_EQ(FirstFunction("f(a, b) { if (a && b) return 1; return 0; }\nmain() {}\n", 48),
            Hex("22 00000000  36 08000000  4a" + A(41) + "  36 0c000000  4a" + A(41) + "  04 70 01000000  49" +
                A(47) + "  04 70 00000000  23 00000000 26"));
  EXPECT_EQ(FirstFunction("f(a, b) { if (a || b) return 1; return 0; }\nmain() {}\n", 48),
            Hex("22 00000000  36 08000000  4b" + A(30) + "  36 0c000000  4a" + A(41) + "  04 70 01000000  49" +
                A(47) + "  04 70 00000000  23 00000000 26"));
  // a comparison jumps on the flags of a subtraction: sub r2, r0; jge
  EXPECT_EQ(FirstFunction("f(a, b) { if (a < b) return 1; return 0; }\nmain() {}\n", 47),
            Hex("22 00000000  10 60 0c000000  10 62 08000000  3c 02  4d" + A(40) + "  04 70 01000000  49" + A(46) +
                "  04 70 00000000  23 00000000 26"));
}

TEST(CompilerCode, ForLoop) {
  std::string expected =
      "22 08000000  04 70 00000000  1b 06 e4ffffff  04 70 00000000  1b 06 e8ffffff"  // s = 0; i = 0
      "  10 60 08000000  10 62 e8ffffff  3c 02  4d" + A(94) +                      // i < n, else leave
      "  10 60 e8ffffff  0b 62 e4ffffff  15 22  3a 02  0b 61 e4ffffff  1e 21"        // s += i
      "  0b 60 e8ffffff  28 00 01000000  49" + A(34) +                              // i++; again
      "  10 60 e4ffffff  23 08000000 26";
  std::vector<uint8_t> want = Hex(expected);
  EXPECT_EQ(FirstFunction("f(n) { int i, s; s = 0; for (i = 0; i < n; i++) s += i; return s; }\nmain() {}\n",
                          want.size()),
            want);
}

struct RunCase {
  const char* body;  // main's body
  int32_t expected;
};

TEST(CompilerRun, ArithmeticAndTheSignedUnsignedFloatRules) {
  const RunCase cases[] = {
      {"int a, b; a = 7; b = 3; return a - b;", 4},
      {"int a, b; a = -7; b = 2; return a / b * 100 + a % b;", -3 * 100 - 1},
      {"int a; a = -8; return a >> 1;", -4},
      {"unsigned u; u = 0x80000000; return u >> 31;", 1},
      {"int s; s = 0x80000000; return s >> 31;", -1},
      {"int a; a = 3; return a << 4 | 1 ^ 3 & 6;", (3 << 4) | (1 ^ (3 & 6))},
      {"int m; unsigned one; m = -1; one = 1; return m < one;", 0},
      {"int m; m = -1; return m < (unsigned)1;", 0},
      {"int m; m = -1; return m < 1;", 1},
      {"return 1 == 1.0;", 0},
      {"int i; float f; i = 1; f = 1.0; return i == f;", 0},
      {"int i; i = 1; return i < 1.5;", 1},
      {"float f; f = 2.5; return (int)(f * 4);", 10},
      {"float f; f = 7.5; return (int)(f / 2 + f - 1);", 10},
      {"char c; c = 300; return c;", 44},
      {"char c; c = 200; return c;", -56},
      {"unsigned char u; u = -1; return u;", 255},
      {"short h; h = 70000; return h;", 70000 - 65536},
      {"int x; x = 5; return -x + ~x;", -5 + ~5},
      {"char c; c = 100; c += 100; return c;", -56},
      {"char c; return (c = 300);", 300},  // the value assigned, not what the byte holds
      {"char c; int old; c = -1; old = c++; return old * 1000 + c;", 255 * 1000},  // byte steps yield unsigned bytes
      {"int i; i = 1; return i++ * 10 + i;", 1 * 10 + 1},  // the right operand is evaluated first
      {"unsigned char u; u = 255; u++; return u;", 0},
      {"short s; s = 32767; s++; return s;", -32768},
      {"unsigned short w; w = 0; w--; return w;", 65535},
      {"struct b { char c; short h; int i; } v, *p; p = &v; p->c = 1; p->h = 2; p->c += 126; p->h *= 1000;"
       " return p->c * 100000 + p->h;", 127 * 100000 + 2000},
      {"unsigned u; u = 7; return (u - 8) > 0;", 1},
      {"int a[3]; int *p, *q; p = a; q = &a[2]; return (q > p) * 10 + (q - p);", 12},
      {"int x; x = 0; return !x + !5;", 1},
      {"int x; x = 9; x /= 2; x *= 3; x -= 1; x <<= 2; x %= 7; return x;", ((9 / 2 * 3 - 1) << 2) % 7},
      {"float f; f = 1.5; f += 2; f *= 2; return (int)f;", 7},
      {"float f; f = 7; return (int)(f % 2.5 * 10);", 20},
      {"float a, b; a = 1.5; b = 2; return (a < b) + (b >= a) * 2 + !(a > b) * 4 + (a != b) * 8 + (a <= 1.5) * 16;", 31},
      {"int i; float f; i = 3; f = i / 2; return (int)(f * 10);", 10},
      {"int i; float f; i = 3; f = i / 2.0; return (int)(f * 10);", 15},
      {"float f; f = 2.25; return (int)(-f * 4);", -9},
      {"int i; i = 2.9; return i;", 2},
      {"int i; i = -2.9; return i;", -2},
      {"int i; i = 1; i += 1.5; return i;", 2},
      {"float f; int i; f = 0.5; i = 2; f += i; return (int)(f * 2);", 5},
      {"float f; f = 3; return f == 3;", 0},  // bit patterns differ
      {"float f; f = 3; return f == 3.0;", 1},
      {"float f; f = 1.5; f++; ++f; return (int)(f * 10);", 35},
      {"float f, g; f = 0.5; g = f++; return (int)(g * 10) * 100 + (int)(f * 10);", 5 * 100 + 15},
      {"float f; f = 1.0; f--; --f; return (int)f;", -1},
      {"float f, g; f = 0.1; g = f++; return g == 0.1 && f == 1.1;", 1},  // the old value exactly
      // like a compound assignment, the target's address is evaluated twice
      {"float f[3]; int i; f[1] = 2.5; f[2] = 0; i = 0; f[++i]--; return (int)(f[1] * 10) * 100 + (int)(f[2] * 10) * 10 + i;",
       25 * 100 + 15 * 10 + 2},
      {"int a, b; a = 2; b = 5; return a > b ? a : b;", 5},
      {"int a; a = 0; return a && (a = 9) || a == 0;", 1},
      {"int i, n; n = 0; for (i = 0; i < 10; i++) { if (i == 3) continue; if (i == 7) break; n += i; } return n;",
       0 + 1 + 2 + 4 + 5 + 6},
      {"int i; i = 0; do i += 3; while (i < 10); return i;", 12},
      {"int i; i = 5; while (i--); return i;", -1},
      {"int i, n; i = 0; n = 0; loop: n += i; if (++i < 5) goto loop; return n;", 10},
      {"int a[5]; int *p; p = a + 3; *p = 4; p[-1] = 2; return (p - a) * 100 + a[3] * 10 + a[2];", 342},
      {"int x; x = 1; switch (x) { default: return 9; case 1: return 1; case 2: return 2; }", 1},
      {"int x; x = 7; switch (x) { default: return 9; case 1: case 7: return 17; }", 17},
      {"int x; x = 5; switch (x) { case 1: return 1; default: x = 99; case 2: x += 1; } return x;", 100},
      {"int x, n; n = 0; for (x = 0; x < 4; x++) switch (x) { case 0: n += 1; break; case 2: n += 10; } return n;", 11},
      {"int i; for (i = 5; i < 10; i++) return i;", 5},  // a return that ends the function inside a loop
      // case labels may sit inside a loop of the switch body
      {"int n, c; n = 0; c = 5; switch (c % 4) { case 0: do { n += 10; case 1: n += 1; } while (--c > 0); } return n;",
       1 + 4 * 11},
      {"int i; i = 0; if (i) return 1;", 0},
      // a body without braces holds the statement its label marks
      {"int v; v = 6; switch (v) case 5: return 50; return 7;", 7},
      {"int v; v = 5; switch (v) case 5: return 50; return 7;", 50},
      {"int v, n; n = 0; for (v = 0; v < 4; v++) switch (v) case 2: n += 10; return n;", 10},
      {"int v; for (v = 0; v < 3; v++) switch (v) default: break; return v;", 3},
      {"int v, n; n = 0; for (v = 0; v < 3; v++) switch (v) case 1: default: n += v; return n;", 3},
      // a constant condition keeps the chosen branch's own type
      {"float f; f = 1 ? 1 : 2.5; return f == 1.0;", 1},
      {"float f; f = 0 ? 2.5 : 1; return f == 1.0;", 1},
      {"int i; i = 1 ? 2.5 : 1; return i;", 2},
      {"int i; i = 0 ? 1 : 2.5; return i;", 2},
  };
  for (const auto& c : cases) {
    Script s(std::string("main() { ") + c.body + " }\n");
    EXPECT_EQ(s.RunInt(), c.expected) << c.body;
  }
}

TEST(CompilerRun, FunctionsRecursionStringsAndPointers) {
  Script s(
      "int fib(n) { if (n < 2) return n; return fib(n - 1) + fib(n - 2); }\n"
      "int len(s) char *s; { int n; n = 0; while (*s++) n++; return n; }\n"
      "int five() { int a, b, c; a = 1; b = 2; c = 2; return a + b + c; }\n"
      "int assign() { int v; v = 5; }\n"
      "struct node { int value; struct node *next; };\n"
      "int total(p) struct node *p; { int t; t = 0; while (p) { t += p->value; p = p->next; } return t; }\n"
      "main() {\n"
      "  struct node a, b, c; int x;\n"
      "  a.value = 1; b.value = 20; c.value = 300; a.next = &b; b.next = &c; c.next = 0;\n"
      "  x = 10;\n"
      "  return fib(10) + len(\"hello\") * 1000 + (x * 2 + five()) * 100000 + assign() * 10000000\n"
      "    + total(&a) * 0;\n"
      "}\n");
  EXPECT_EQ(s.RunInt(), 55 + 5 * 1000 + 25 * 100000 + 5 * 10000000);
  Script list("struct node { int value; struct node *next; };\n"
              "int total(p) struct node *p; { int t; t = 0; while (p) { t += p->value; p = p->next; } return t; }\n"
              "main() { struct node a, b; a.value = 3; b.value = 4; a.next = &b; b.next = 0; return total(&a); }\n");
  EXPECT_EQ(list.Run(), 7u);
}

TEST(CompilerRun, LongOperandChainsCompile) {
  std::string sum = "v0";
  std::string decl = "int v0";
  std::string init = "v0 = 0;";
  for (int i = 1; i < 40; ++i) {
    sum += " + v" + std::to_string(i);
    decl += ", v" + std::to_string(i);
    init += " v" + std::to_string(i) + " = " + std::to_string(i) + ";";
  }
  Script s("main() { " + decl + "; " + init + " return " + sum + "; }\n");
  EXPECT_EQ(s.Run(), 780u);
  std::string nested = "x";
  for (int i = 0; i < 40; ++i) nested = "(x * " + nested + " - x)";
  Script n("main() { int x; x = 1; return " + nested + "; }\n");
  EXPECT_EQ(n.RunInt(), -39);
}

TEST(CompilerRun, DivisionByZero) {
  Script runtime("main() { int x; x = 4; return x / 0; }\n");
  ASSERT_TRUE(runtime.ok);
  while (runtime.ctx->state == kContextRunning && !ScriptStopRequested()) RunContext(runtime.ctx);
  EXPECT_EQ(runtime.ctx->state, kContextFailed);
  Script folded("main() { return 4 / 0; }\n");
  EXPECT_EQ(folded.error, 10);
}

TEST(CompilerStatements, Errors) {
  const struct {
    const char* source;
    int error, line;
  } cases[] = {
      {"main() {\n  break;\n}\n", 12, 2},
      {"main() { continue; }\n", 12, 1},
      {"main() { int x; switch (x) { case x: ; } }\n", 11, 1},
      {"main() { switch (1) { default: ; default: ; } }\n", 12, 1},
      {"main() { case 1: ; }\n", 12, 1},
      {"main() {\n  return +1;\n}\n", 9, 2},
      {"main() { 1 = 2; }\n", 13, 1},
      {"main() { int x; &1; }\n", 13, 1},
      {"main() { int a[2]; a++; }\n", 13, 1},
      {"struct s { int a; };\nmain() { struct s v; return v + 1; }\n", 14, 2},
      {"main() { float f; return f << 1; }\n", 14, 1},
      {"main() { int *p, *q; return p + q; }\n", 14, 1},
      {"main() { int x; return x.a; }\n", 14, 1},
      {"main() { int x; return x(); }\n", 14, 1},
      {"main() { int (*p)(); return p(); }\n", 14, 1},
      {"main() { x: ; x: ; }\n", 14, 1},
      {"int g;\nmain() { goto g; }\n", 12, 2},
      {"main() { return zz; }\n", 15, 1},
      {"main() @\n", 12, 1},
  };
  for (const auto& c : cases) {
    Script s(c.source);
    EXPECT_EQ(s.error, c.error) << c.source;
    EXPECT_EQ(s.line, c.line) << c.source;
  }
}

TEST(CompilerLimits, NodeHeapAndProgramArea) {
  std::string expr = "x";
  for (int i = 0; i < 3000; ++i) expr += (i % 20 == 0) ? "\n+ x" : " + x";
  Script heap("main() { int x; return " + expr + "; }\n");
  EXPECT_EQ(heap.error, 22);
  Script small;
  small.folder.Write("main.c", "main() { return 1; }\n");
  std::vector<uint8_t> image(10);
  EXPECT_FALSE(CompileSourceInto("main.c", image.data(), kBase, 10));
  EXPECT_EQ(CompileErrorNumber(), 23);
}

TEST(CompilerLimits, LabelTableRunsOutWithAnError) {
  std::string src = "main() { int x;\n";
  for (int i = 0; i < 66000; ++i) src += "if (x) ;\n";
  Script s(src + "}\n");
  EXPECT_EQ(s.error, 0);
}

TEST(CompilerRun, MeasuringAndEmittingAgree) {
  Script s("char *m = \"message\";\nint t[3] = {1, 2, 3};\nf() { return \"abc\"; }\nmain() { return f(); }\n");
  ASSERT_TRUE(s.ok);
  EXPECT_STREQ(reinterpret_cast<const char*>(ToHost(s.Run())), "abc");
}

}  // namespace

namespace {

// Random integer expressions over parameters, locals, globals, constants and
// calls, compiled and run, against the same expressions computed here. They
// keep the six registers, the spills to the stack and the calls in between
// honest.
std::string Join(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out.append(p);
  return out;
}

struct ExprGen {
  uint32_t state;
  bool side_effects = false;
  // Side effects go only to scratch targets, each used at most once per
  // expression, so the order of evaluation never matters; code that a && ||
  // or ?: skips does not change them.
  int32_t scratch[4] = {};
  bool used[4] = {};
  explicit ExprGen(uint32_t seed) : state(seed) {}
  uint32_t Next() {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  }
  int Pick(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }
  void StartExpression(const int32_t* initial) {
    for (int i = 0; i < 4; ++i) {
      scratch[i] = initial[i];
      used[i] = false;
    }
  }
  int FreeScratch() {
    int k = Pick(4);
    for (int i = 0; i < 4; ++i, k = (k + 1) % 4)
      if (!used[k]) {
        used[k] = true;
        return k;
      }
    return -1;
  }

  // Names: a b (parameters), l0 l1 (locals), g0 g1 (globals); scratch
  // targets t0 t1 (locals), t2 (global), arr[1] (global array element).
  std::string Expr(int depth, const int32_t* values, int32_t* result, bool live = true) {
    static const char* scratch_names[4] = {"t0", "t1", "t2", "arr[1]"};
    if (depth <= 0 || Pick(10) < 2) {
      int k = Pick(8);
      if (k < 6) {
        static const char* names[6] = {"a", "b", "l0", "l1", "g0", "g1"};
        *result = values[k];
        return names[k];
      }
      if (k == 6) {
        int32_t c = Pick(200) - 100;
        *result = c;
        return c < 0 ? Join({"(", std::to_string(c), ")"}) : std::to_string(c);
      }
      int32_t inner;
      std::string e = Expr(depth - 1, values, &inner, live);
      *result = inner;
      return Join({"id(", e, ")"});
    }
    int32_t x, y, z;
    int op = Pick(side_effects ? 20 : 16);
    if (op == 11 || op == 12) {  // && and || skip their right operand
      std::string l = Expr(depth - 1, values, &x, live);
      bool right_runs = op == 11 ? x != 0 : x == 0;
      std::string r = Expr(depth - 1, values, &y, live && right_runs);
      *result = op == 11 ? (x != 0 && y != 0) : (x != 0 || y != 0);
      return Join({"(", l, op == 11 ? " && " : " || ", r, ")"});
    }
    if (op == 13) {
      std::string c = Expr(depth - 1, values, &z, live);
      std::string l = Expr(depth - 1, values, &x, live && z != 0);
      std::string r = Expr(depth - 1, values, &y, live && z == 0);
      *result = z ? x : y;
      return Join({"(", c, " ? ", l, " : ", r, ")"});
    }
    int k = op >= 16 ? FreeScratch() : -1;
    if (op >= 16 && k < 0) op = 0;
    std::string l;
    x = 0;
    if (op != 16 && op != 17 && op != 19) l = Expr(depth - 1, values, &x, live);  // those use one operand
    std::string r = Expr(depth - 1, values, &y, live);
    uint32_t ux = static_cast<uint32_t>(x), uy = static_cast<uint32_t>(y);
    if (op >= 16) {
      {
        const char* t = scratch_names[k];
        int32_t old = scratch[k];
        uint32_t uo = static_cast<uint32_t>(old);
        int32_t now;
        std::string text;
        switch (op) {
          case 16: now = y; *result = y; text = Join({"(", t, " = ", r, ")"}); break;
          case 17: now = static_cast<int32_t>(uo + uy); *result = now; text = Join({"(", t, " += ", r, ")"}); break;
          case 18: now = old ^ y; *result = now; text = Join({"(", t, " ^= ", l, " - ", r, ")"});
            now = old ^ static_cast<int32_t>(ux - uy); *result = now; break;
          default: now = static_cast<int32_t>(uo + 1); *result = static_cast<int32_t>(uo ^ uy);
            text = Join({"(", t, "++ ^ ", r, ")"}); break;
        }
        if (live) scratch[k] = now;
        return text;
      }
    }
    switch (op) {
      case 0: *result = static_cast<int32_t>(ux + uy); return Join({"(", l, " + ", r, ")"});
      case 1: *result = static_cast<int32_t>(ux - uy); return Join({"(", l, " - ", r, ")"});
      case 2: *result = static_cast<int32_t>(ux * uy); return Join({"(", l, " * ", r, ")"});
      case 3: *result = x & y; return Join({"(", l, " & ", r, ")"});
      case 4: *result = x | y; return Join({"(", l, " | ", r, ")"});
      case 5: *result = x ^ y; return Join({"(", l, " ^ ", r, ")"});
      case 6: *result = static_cast<int32_t>(ux << (uy & 7)); return Join({"(", l, " << (", r, " & 7))"});
      case 7: *result = x >> (y & 7); return Join({"(", l, " >> (", r, " & 7))"});
      case 8: *result = x < y; return Join({"(", l, " < ", r, ")"});
      case 9: *result = x >= y; return Join({"(", l, " >= ", r, ")"});
      case 10: *result = x == y; return Join({"(", l, " == ", r, ")"});
      case 14: *result = static_cast<int32_t>(0u - ux) + ~y; return Join({"(-", l, " + ~", r, ")"});
      default: *result = x / ((y & 255) | 1); return Join({"(", l, " / ((", r, " & 255) | 1))"});
    }
  }
};

TEST(CompilerRun, RandomExpressionsAgreeWithTheHost) {
  constexpr int kCount = 150;
  ExprGen gen(12345);
  const int32_t values[6] = {17, -5, 123456, -7, 3, 1000};
  std::string src = Join({"int g0, g1;\nint results[", std::to_string(kCount), "];\nint id(x) { return x; }\n"});
  std::vector<int32_t> expected;
  for (int i = 0; i < kCount; ++i) {
    int32_t r;
    std::string e = gen.Expr(2 + i % 4, values, &r);
    expected.push_back(r);
    src += Join({"e", std::to_string(i), "(a, b) { int l0, l1; l0 = 123456; l1 = -7; return ", e, "; }\n"});
  }
  src += "main() {\n  g0 = 3; g1 = 1000;\n";
  for (int i = 0; i < kCount; ++i)
    src += Join({"  results[", std::to_string(i), "] = e", std::to_string(i), "(17, -5);\n"});
  src += "  return results;\n}\n";
  Script s(src);
  uint32_t at = s.Run();
  ASSERT_TRUE(s.ok) << s.errors;
  for (int i = 0; i < kCount; ++i) {
    int32_t got;
    std::memcpy(&got, ToHost(at + 4 * static_cast<uint32_t>(i)), 4);
    EXPECT_EQ(got, expected[static_cast<size_t>(i)]) << "e" << i;
  }
}

TEST(CompilerRun, RandomExpressionsWithSideEffectsAgreeWithTheHost) {
  constexpr int kCount = 150;
  ExprGen gen(777);
  gen.side_effects = true;
  const int32_t values[6] = {17, -5, 123456, -7, 3, 1000};
  const int32_t initial[4] = {11, 22, 33, 44};
  std::string src = Join({"int g0, g1, t2;\nint arr[3];\nint results[", std::to_string(2 * kCount),
                          "];\nint id(x) { return x; }\n"});
  std::vector<int32_t> expected;
  for (int i = 0; i < kCount; ++i) {
    int32_t r;
    gen.StartExpression(initial);
    std::string e = gen.Expr(2 + i % 4, values, &r);
    expected.push_back(r);
    expected.push_back(gen.scratch[0] ^ (gen.scratch[1] * 3) ^ (gen.scratch[2] * 5) ^ (gen.scratch[3] * 7));
    src += Join({"e", std::to_string(i),
                 "(a, b) { int l0, l1, t0, t1, r; l0 = 123456; l1 = -7; t0 = 11; t1 = 22; t2 = 33; arr[1] = 44;\n"
                 "  r = ", e, ";\n  results[", std::to_string(2 * i + 1),
                 "] = t0 ^ t1 * 3 ^ t2 * 5 ^ arr[1] * 7;\n  return r;\n}\n"});
  }
  src += "main() {\n  g0 = 3; g1 = 1000;\n";
  for (int i = 0; i < kCount; ++i)
    src += Join({"  results[", std::to_string(2 * i), "] = e", std::to_string(i), "(17, -5);\n"});
  src += "  return results;\n}\n";
  Script s(src);
  uint32_t at = s.Run();
  ASSERT_TRUE(s.ok) << s.errors;
  for (int i = 0; i < 2 * kCount; ++i) {
    int32_t got;
    std::memcpy(&got, ToHost(at + 4 * static_cast<uint32_t>(i)), 4);
    EXPECT_EQ(got, expected[static_cast<size_t>(i)]) << "e" << i / 2 << (i % 2 ? " targets" : " value");
  }
}

}  // namespace
