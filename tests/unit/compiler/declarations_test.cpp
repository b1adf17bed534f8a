// Declarations: placement, structures, typedefs, initializers, functions,
// builtin stubs, extern variables and exported functions.
#include <cstring>
#include <string>

#include "compiler_fixture.h"

namespace {

TEST(CompilerPlacement, GlobalsFromTheEndDownwardWithoutAlignment) {
  Script s("char c; int i; short h;\nmain() { return (int)&c - (int)&i + ((int)&i - (int)&h) * 256; }\n");
  EXPECT_EQ(s.Run(), 4u + 2u * 256);
  Script a("char c; int i;\nmain() { return &c; }\n");
  uint32_t end = a.ctx->program_base + a.ctx->program_size;
  EXPECT_EQ(a.Run(), end - 1);
}

TEST(CompilerPlacement, LocalsBelowTheSavedRegistersParametersAbove) {
  std::vector<uint8_t> image = CompileImage("f(a) { int x; x = a; return x; }\nmain() {}\n");
  ASSERT_FALSE(image.empty());
  // enter 4; movl r0, 8(r6); movl -24(r6), r0; movl r0, -24(r6); leave 4; ret
  std::vector<uint8_t> expected = Hex("22 04000000  10 60 08000000  1b 06 e8ffffff  10 60 e8ffffff  23 04000000 26");
  EXPECT_EQ(std::vector<uint8_t>(image.begin() + 5, image.begin() + 5 + expected.size()), expected);
}

TEST(CompilerTypes, StructureAndUnionSizes) {
  const struct {
    const char* source;
    uint32_t expected;
  } cases[] = {
      {"struct s { char c; int i; };\nmain() { return sizeof(struct s); }", 5},
      {"union u { char c; float f; };\nmain() { return sizeof(union u); }", 4},
      {"struct s { short a[3]; char *p; struct s *next; };\nmain() { return sizeof(struct s); }", 14},
      {"main() { return sizeof(int *[3]) + sizeof(char) * 100; }", 112},
      {"main() { int a[2][3]; return sizeof a + sizeof(a[1]) * 100; }", 24 + 1200},
      {"main() { return sizeof \"abc\"; }", 4},
      {"typedef struct pt { int x, y; } P;\nmain() { P p; p.x = 3; p.y = 4; return p.x * p.y; }", 12},
      {"struct n { int v; struct n *next; };\nstruct n a, b;\n"
       "main() { a.v = 1; a.next = &b; b.v = 2; b.next = 0; return a.v + a.next->v * 10; }",
       21},
      {"main() { struct q { int a; int b; } x; struct q *p; p = &x; p->b = 9; x.a = 1; return x.b * 10 + p->a; }",
       91},
      {"union u { int i; char c[4]; } g;\nmain() { g.i = 0x04030201; return g.c[2]; }", 3},
  };
  for (const auto& c : cases) {
    Script s(c.source);
    EXPECT_EQ(s.Run(), c.expected) << c.source;
  }
}

TEST(CompilerInitializers, StaticValuesAreWrittenIntoTheImage) {
  Script s(
      "int a[4] = {1, , 3};\n"
      "short h = 300; char c = 65; float f = 2; int t = 2.75;\n"
      "int g; int *pg = &g;\n"
      "char *text = \"hi\";\n"
      "int later();\nint (*fp)() = later;\n"
      "int later() { return 40; }\n"
      "main() { g = 2; return a[0] + a[1] + a[2] + a[3] + h + c + (int)f + t + *pg + (*fp)()\n"
      "  + text[1]; }\n");
  EXPECT_EQ(s.RunInt(), 1 + 0 + 3 + 0 + 300 + 65 + 2 + 2 + 2 + 40 + 'i');
}

TEST(CompilerInitializers, LocalsAreInitializedByCode) {
  Script s("main() { int x = 2.7; float f = 3; int a[3] = {5, 6}; return x + (int)(f * 2) + a[0] + a[1]; }\n");
  EXPECT_EQ(s.RunInt(), 2 + 6 + 5 + 6);
}

// Every element gives back its expression's node cells and string text, so
// the length of an initializer is bounded only by the program area.
TEST(CompilerInitializers, LongInitializersCompile) {
  const int n = 100000;
  std::string numbers = "int big[" + std::to_string(n) + "] = {";
  int64_t sum = 0;
  for (int i = 0; i < n; ++i) {
    int v = -(i % 1000) - 1;
    sum += v;
    numbers += std::to_string(v) + (i % 20 == 19 ? ",\n" : ", ");
  }
  Script s(numbers + "};\nmain() { int i, t; t = 0; for (i = 0; i < " + std::to_string(n) +
           "; i++) t += big[i]; return t; }\n");
  EXPECT_EQ(s.RunInt(), sum) << s.errors.substr(0, 200);

  // more string texts than the string area holds at once
  const int strings = 150000;
  std::string list;
  for (int i = 0; i < strings; ++i) list += i % 20 == 19 ? "\"ab\",\n" : "\"ab\", ";
  Script texts("char *t[" + std::to_string(strings) + "] = {" + list + "};\nmain() { return t[" +
               std::to_string(strings - 1) + "][1]; }\n");
  EXPECT_EQ(texts.RunInt(), 'b') << texts.errors.substr(0, 200);
  Script local("main() { char *t[" + std::to_string(strings) + "] = {" + list + "}; return t[" +
               std::to_string(strings - 1) + "][1]; }\n");
  EXPECT_TRUE(local.Compile("main.c", 1 << 20)) << local.errors.substr(0, 200);
  EXPECT_EQ(local.RunInt(), 'b');
}

TEST(CompilerInitializers, Refusals) {
  const struct {
    const char* source;
    int error;
  } cases[] = {
      {"char s[4] = \"abc\";", 14},
      {"struct p { int x; } v = 1;", 14},
      {"int g; char c = &g;", 14},
      {"int a[2] = {1, 2, 3};", 14},
      {"int y; int a[y];", 11},
  };
  for (const auto& c : cases) {
    Script s(c.source);
    EXPECT_EQ(s.error, c.error) << c.source;
  }
}

TEST(CompilerStatics, StaticLocalsKeepTheirValue) {
  Script s("counter() { static int n = 10; n = n + 1; return n; }\nmain() { counter(); counter(); return counter(); }\n");
  EXPECT_EQ(s.Run(), 13u);
}

TEST(CompilerFunctions, ForwardDeclarationsDefinitionsAndErrors) {
  Script fwd("int later();\nmain() { return later(); }\nint later() { return 6; }\n");
  EXPECT_EQ(fwd.Run(), 6u);
  const struct {
    const char* source;
    int error;
  } cases[] = {
      {"int f(a);\nmain() {}\n", 8},                // a named parameter starts a definition
      {"int x; int x;", 8},
      {"int f(); char f();", 14},
      {"f() {} f() {}", 8},
      {"main() { int g(a); }", 8},
      {"f(void) {}", 8},
      {"f(a, a) {}", 8},
      {"f(a) struct s { int x; } a; {}", 14},
      {"int a[] ;", 8},
      {"struct { int x; } ;\nstruct nothere v;", 15},
      {"int t; struct t v;", 14},
      {"struct;", 8},
  };
  for (const auto& c : cases) {
    Script s(c.source);
    EXPECT_EQ(s.error, c.error) << c.source;
  }
}

TEST(CompilerFunctions, UndefinedFunctionsAndLabelsAreAllReported) {
  Script s("main() { goto nowhere; one(); two(); }\n");
  EXPECT_FALSE(s.ok);
  EXPECT_EQ(s.error, -1);
  EXPECT_NE(s.errors.find("nowhere ラベルは定義されていません。"), std::string::npos) << s.errors;
  EXPECT_NE(s.errors.find("one 関数は定義されていません。"), std::string::npos);
  EXPECT_NE(s.errors.find("two 関数は定義されていません。"), std::string::npos);
}

TEST(CompilerFunctions, ParameterTypesBetweenTheListAndTheBody) {
  Script s("f(p, n) char *p; short n; { return p[1] + n; }\nmain() { return f(\"AB\", 65536 + 3); }\n");
  EXPECT_EQ(s.Run(), 'B' + 3u);  // a short parameter reads the low bytes of its slot
}

TEST(CompilerBuiltins, TrapLinesNumberTheStubsInOrder) {
  Script s(
      "#trap\nint first(a);\n"
      "#trap\nint second(a, b);\n"
      "main() { second(7, 8); return first(5); }\n");
  EXPECT_EQ(s.Run(), 5u);
  ASSERT_EQ(TrapCalls().size(), 2u);
  EXPECT_EQ(TrapCalls()[0].number, 1);
  EXPECT_EQ(TrapCalls()[0].args[0], 7u);
  EXPECT_EQ(TrapCalls()[0].args[1], 8u);
  EXPECT_EQ(TrapCalls()[1].number, 0);
  std::vector<uint8_t> image = CompileImage("#trap\n#trap\nint second();\nmain() {}\n");
  ASSERT_GE(image.size(), 9u);
  EXPECT_EQ(std::vector<uint8_t>(image.begin() + 5, image.begin() + 9), Hex("01 0100 26"));
  Script bad("#trap\nint x;\n");
  EXPECT_EQ(bad.error, 8);
}

TEST(CompilerExtern, VariablesAreSharedByDeclarationOrder) {
  Script a("extern int a, b;\nmain() { a = 11; b = 22; }\n");
  a.Run();
  Script b("extern int b;\nmain() { return b; }\n");
  EXPECT_EQ(b.Run(), 11u);  // b takes the first word, where a lies for the first script
  Script big("extern char big[0x300000];\n");
  EXPECT_EQ(big.error, 8);  // does not fit the external data area
}

TEST(CompilerExtern, InitializedExternVariables) {
  Script a("int five() { return 5; }\nextern int n = 7; extern char *s = \"ok\"; extern int (*fp)() = five;\n"
           "main() { return n + s[1] + (*fp)(); }\n");
  EXPECT_EQ(a.Run(), 7u + 'k' + 5);
  Script later("int later();\nextern int (*fp)() = later;\nint later() { return 1; }\nmain() {}\n");
  EXPECT_EQ(later.error, 14);  // outside the program area a fix-up cannot wait for the definition
}

TEST(CompilerExtern, ExportedFunctionsAreCallableFromLaterScripts) {
  ClearExportedFunctions();
  Script a("extern int twice(x) { return x * 2; }\nmain() { return twice(1); }\n");
  EXPECT_EQ(a.Run(), 2u);
  EXPECT_EQ(ExportedFunctionCount(), 1);
  Script b("main() { int (*p)(); p = twice; return twice(21) + (*p)(1); }\n");
  EXPECT_EQ(b.Run(), 44u);
  ClearExportedFunctions();
  Script c("main() { return twice(1); }\n");
  EXPECT_FALSE(c.ok);
}

}  // namespace
