// The front end: literals, comments, macros, includes, lines, the symbol
// tables and the compile error texts.
#include <cstring>
#include <string>

#include "compiler_fixture.h"

namespace {

struct ValueCase {
  const char* source;
  uint32_t expected;
};

TEST(CompilerLiterals, NumbersAndCharacterConstants) {
  const ValueCase cases[] = {
      {"main() { return 010; }", 10},          // a leading zero is not octal
      {"main() { return 0b101; }", 5},
      {"main() { return 0x1F + 0XfF; }", 31 + 255},
      {"main() { return 4294967297; }", 1},    // 32 bits, wrapping
      {"main() { return 'A'; }", 65},
      {"main() { return '\\x41'; }", 0x41},
      {"main() { return '\\x'; }", 0},
      {"main() { return '\\101'; }", 101},     // decimal
      {"main() { return '\\0101'; }", 65},     // octal after the zero
      {"main() { return '\\0'; }", 0},
      {"main() { return '\\n' * 1000 + '\\t'; }", 10009},
      {"main() { return '\\b' + '\\f' + '\\r'; }", 8 + 12 + 13},
      {"main() { return '\\q'; }", 'q'},
      {"main() { return '\\''; }", '\''},
      {"main() { return '\\300'; }", 300 % 256},
      {"main() { return '\x82\xa0'; }", 0x82A0},  // a two-byte character, lead byte high
  };
  for (const auto& c : cases) {
    Script s(c.source);
    EXPECT_EQ(s.Run(), c.expected) << c.source;
  }
}

TEST(CompilerLiterals, FloatConstants) {
  const struct {
    const char* source;
    float expected;
  } cases[] = {
      {"main() { return 1.5; }", 1.5f},
      {"main() { return 3f; }", 3.0f},
      {"main() { return 0.25F; }", 0.25f},
      {"main() { return 12.125; }", 12.125f},
      {"main() { return -2.5; }", -2.5f},
  };
  for (const auto& c : cases) {
    Script s(c.source);
    EXPECT_EQ(s.RunFloat(), c.expected) << c.source;
  }
}

TEST(CompilerLiterals, StringEscapesAndJoining) {
  Script s(
      "main() { return \"\\101\\x41\\0101\\\"\" \"-\\t\"\n"
      "  \"x\\\ny\"; }\n");
  uint32_t at = s.Run();
  EXPECT_STREQ(reinterpret_cast<const char*>(ToHost(at)), "eAA\"-\txy");
  // the joined literal lies in the program area
  EXPECT_GE(at, s.ctx->program_base);
  EXPECT_LT(at, s.ctx->program_base + s.ctx->program_size);
}

TEST(CompilerLiterals, StringTextIsNotBoundedByTheNameBuffer) {
  // 2000 literals of 200 bytes each: more text than the name buffer holds,
  // given back statement by statement once copied into the static data.
  std::string src = "char *last;\nmain() {\n";
  for (int i = 0; i < 2000; ++i) {
    char head[16];
    std::snprintf(head, sizeof head, "%05d", i);
    src += std::string("  last = \"") + head + std::string(195, 'x') + "\";\n";
  }
  Script s(src + "  return last;\n}\n");
  const char* text = reinterpret_cast<const char*>(ToHost(s.Run()));
  EXPECT_EQ(std::string(text, 5), "01999");
  EXPECT_EQ(std::strlen(text), 200u);
  EXPECT_GE(s.ctx->program_size, 2000u * 201);  // every literal has its own copy
}

TEST(CompilerLiterals, StringErrors) {
  Script line_end("main() { return \"abc\n\"; }\n");
  EXPECT_EQ(line_end.error, 16);
  Script quote("main() { return 'ab; }\n");
  EXPECT_EQ(quote.error, 17);
}

TEST(CompilerComments, NestedBlockCommentEndsAtItsOwnMark) {
  Script s("/* outer /* inner */ still a comment */ main() { return 7; } // done\n");
  EXPECT_EQ(s.Run(), 7u);
  Script multi("/* a\n /* b \n */ c \n*/\nmain() { /* x */ return 8; }\n");
  EXPECT_EQ(multi.Run(), 8u);
}

TEST(CompilerMacros, ObjectAndFunctionLike) {
  Script s(
      "#define TEN 10\n"
      "#define ADD(a, b) ((a) + (b))\n"
      "#define MAX(a,b) ((a) > (b) ? (a) : (b))\n"
      "#define SUM3(x, y, z) \\\n"
      "  ((x) + (y) + (Z))\n"
      "main() {\n"
      "  int r;\n"
      "  r = ADD 2, TEN;\n"                       // without parentheses up to the ';'
      "  r = r + MAX(MAX(1, 30), 20);\n"          // nested uses of one macro
      "  return r + SUM3(100, 200, 300);\n"       // parameter names ignore case
      "}\n");
  EXPECT_EQ(s.Run(), 12u + 30u + 600u);
}

TEST(CompilerMacros, SplicingJoinsTextWithAParameter) {
  Script s(
      "int var1; int var2;\n"
      "#define V(n) var##n\n"
      "main() { V(1) = 5; V(2) = 7; return var1 * 10 + var2; }\n");
  EXPECT_EQ(s.Run(), 57u);
}

TEST(CompilerMacros, Errors) {
  Script twice("#define A 1\n#define A 2\nmain() { return A; }\n");
  EXPECT_EQ(twice.error, 4);
  EXPECT_EQ(twice.line, 2);
  Script keyword("#define int 1\n");
  EXPECT_EQ(keyword.error, 4);
  Script bad_param("#define F(1) 1\n");
  EXPECT_EQ(bad_param.error, 12);
  Script splice("#define F(a) a\n#define G(b) x##F\nmain() { return G(1); }\n");
  EXPECT_EQ(splice.error, 4);
  // A parameter reference ends its token: the ## after it is not a splice.
  Script joined("#define J(p, q) p##q\nmain() { int ab; ab = 3; return J(a, b); }\n");
  EXPECT_EQ(joined.error, 12);
  EXPECT_EQ(joined.line, 2);

  // Seventeen macros each referring to the next are too deep; sixteen work.
  std::string chain = "#define M0 1\n";
  for (int i = 1; i <= 16; ++i) chain += "#define M" + std::to_string(i) + " M" + std::to_string(i - 1) + "\n";
  Script deep(chain + "main() { return M16; }\n");
  EXPECT_EQ(deep.error, 7);
  Script ok(chain + "main() { return M15; }\n");
  EXPECT_EQ(ok.Run(), 1u);
}

TEST(CompilerDirectives, AsmBlocksCommentsAndErrors) {
  Script s(
      "# a comment line\n"
      "#asm\n"
      "this is not compiled ( {\n"
      "#endasm\n"
      "main() { return 3; }\n");
  EXPECT_EQ(s.Run(), 3u);
  const struct {
    const char* source;
    int error, line;
  } cases[] = {
      {"#pragma once\n", 4, 1},
      {"#endasm\n", 4, 1},
      {"#asm\n#asm\n", 4, 2},
      {"\n#include <x.h>\n", 5, 2},
      {"#include \"x.h\n", 5, 1},
      {"#include \"missing.h\"\n", 2, 1},
      {"#include \"folder\"\n", 2, 1},  // a directory is not a source
  };
  for (const auto& c : cases) {
    Script e;
    std::filesystem::create_directory(e.folder.dir / "folder");
    e.folder.Write("main.c", c.source);
    e.Compile();
    EXPECT_EQ(e.error, c.error) << c.source;
    EXPECT_EQ(e.line, c.line) << c.source;
  }
}

TEST(CompilerIncludes, EachNameOnceInAnyCaseAndLinesStayRight) {
  Script s;
  s.folder.Write("defs.h", "int counter;\n#define STEP 2\n");
  s.folder.Write("main.c",
                 "#include \"defs.h\"\n"
                 "#include \"DEFS.H\"\n"
                 "main() {\n"
                 "  counter = STEP;\n"
                 "  return counter + zz;\n"  // line 5
                 "}\n");
  s.Compile();
  EXPECT_EQ(s.error, 15);
  EXPECT_EQ(s.line, 5);
  s.folder.Write("main.c", "#include \"defs.h\"\n#include \"Defs.h\"\nmain() { counter = STEP; return counter; }\n");
  s.Compile();
  EXPECT_EQ(s.Run(), 2u);
  // a name in a folder, written with either separator, is one file
  std::filesystem::create_directory(s.folder.dir / "lib");
  s.folder.Write("lib/util.h", "int util() { return 9; }\n");
  s.folder.Write("main.c", "#include \"lib\\util.h\"\n#include \"LIB/Util.h\"\nmain() { return util(); }\n");
  s.Compile();
  EXPECT_EQ(s.Run(), 9u);
}

TEST(CompilerIncludes, SixteenthNestedIncludeIsRefused) {
  Script s;
  for (int i = 0; i < 17; ++i) {
    char name[16], text[64];
    std::snprintf(name, sizeof name, "f%d.h", i);
    std::snprintf(text, sizeof text, "#include \"f%d.h\"\n", i + 1);
    s.folder.Write(name, text);
  }
  s.folder.Write("f17.h", "\n");
  s.folder.Write("main.c", "#include \"f0.h\"\nmain() {}\n");
  s.Compile();
  EXPECT_EQ(s.error, 6);
  s.folder.Write("f14.h", "\n");  // main and fifteen includes fit
  s.Compile();
  EXPECT_TRUE(s.ok) << s.errors;
}

TEST(CompilerIncludes, IncludedNamesListIsBounded) {
  Script s;
  std::string main_source;
  for (int i = 0; i < 50; ++i) {
    std::string name = std::string(90, 'h') + std::to_string(i) + ".h";
    s.folder.Write(name, "\n");
    main_source += "#include \"" + name + "\"\n";
  }
  s.folder.Write("main.c", main_source + "main() {}\n");
  s.Compile();
  EXPECT_EQ(s.error, 6);  // the list of names read holds 4096 bytes
  EXPECT_GT(s.line, 30);
}

TEST(CompilerMacros, ParameterCountIsBounded) {
  std::string params = "p0";
  for (int i = 1; i < 64; ++i) params += ", p" + std::to_string(i);
  Script ok("#define F(" + params + ") p63\nmain() { return F(" + std::string(63, ',') + "7); }\n");
  EXPECT_EQ(ok.Run(), 7u);
  Script bad("#define F(" + params + ", p64) 1\n");
  EXPECT_EQ(bad.error, 12);
}

TEST(CompilerLines, LongestLineAndOneByteMore) {
  std::string body = "main() { return 1; }";
  std::string fits = body + std::string(4094 - body.size(), ' ') + "\n";
  Script ok(fits);
  EXPECT_EQ(ok.Run(), 1u);
  std::string too_long = body + std::string(4095 - body.size(), ' ') + "\n";
  Script bad(too_long);
  EXPECT_EQ(bad.error, 21);
}

TEST(CompilerNames, ShiftJisNamesAndStrings) {
  // 変数 as a variable name, and a string holding あ followed by a backslash byte pair
  Script s("int \x95\xcf\x90\x94;\nmain() { \x95\xcf\x90\x94 = 3; return \x95\xcf\x90\x94 + \"\x83\x5c\"[1]; }\n");
  EXPECT_EQ(s.Run(), 3u + 0x5C);  // the trail byte 0x5C is kept, not taken for an escape
}

TEST(CompilerLines, CarriageReturnsAreDropped) {
  Script s("main()\r\n{\r\n  return 4;\r\n}\r\n");
  EXPECT_EQ(s.Run(), 4u);
}

TEST(CompilerErrors, MessageAndMarkedContextLine) {
  Script s("main() {\n\treturn 1 + zz;\n}\n");
  EXPECT_FALSE(s.ok);
  std::string expected_head = (s.folder.dir / "main.c").string() + "(2) : 定義されていない文字列です。\n";
  ASSERT_GE(s.errors.size(), expected_head.size());
  EXPECT_EQ(s.errors.substr(0, expected_head.size()), expected_head);
  std::string context = s.errors.substr(expected_head.size());
  EXPECT_EQ(context.substr(0, 4), "    ");  // the tab expands to four columns
  EXPECT_NE(context.find("■"), std::string::npos);
  EXPECT_NE(context.find("return 1 + zz"), std::string::npos);
  EXPECT_FALSE(CompilerBoxes().empty());  // shown in an error box
}

TEST(CompilerErrors, MissingSemicolonIsReportedAndCompilationGoesOn) {
  Script s("main() {\n  int x;\n  x = 4\n  return x + 1;\n}\n");
  EXPECT_TRUE(s.ok);
  EXPECT_NE(s.errors.find("main.c(4) : ';' がありません"), std::string::npos) << s.errors;
  EXPECT_EQ(s.Run(), 5u);
}

TEST(CompilerErrors, ErrorTextWithPercentSignsIsNotAFormat) {
  Script s("main() { return %s%n%d; }\n");
  EXPECT_EQ(s.error, 9);
  EXPECT_NE(s.errors.find("return %■s%n%d; }"), std::string::npos) << s.errors;
}

TEST(CompilerErrors, ErrorLevelZeroKeepsNoText) {
  SetErrorLevel(0);
  Script s("main() { return zz; }\n");
  SetErrorLevel(1);
  EXPECT_FALSE(s.ok);
  EXPECT_EQ(s.error, 15);
  EXPECT_TRUE(s.errors.empty());
  EXPECT_TRUE(CompilerBoxes().empty());
}

TEST(CompilerErrors, ErrorTextStaysWithinItsBuffer) {
  std::string body = "main() {\n  int x;\n";
  for (int i = 0; i < 400; ++i) body += "  x = 1\n";  // a missing ';' on every line
  Script s(body + "  return x;\n}\n");
  EXPECT_TRUE(s.ok);
  EXPECT_LE(CompileErrorText().size(), 8191u);
  EXPECT_GT(CompileErrorText().size(), 8000u);
  ASSERT_FALSE(CompilerBoxes().empty());
  size_t shown = 0;
  for (const std::string& box : CompilerBoxes()) {
    EXPECT_LE(box.size(), 255u);
    shown += box.size();
  }
  EXPECT_EQ(shown, 2 * CompileErrorText().size());  // both passes show all of it, in pieces
}

TEST(CompilerErrors, EndOfInputInsideAFunction) {
  Script s("main() {\n  return 1;\n");
  EXPECT_EQ(s.error, 24);
  Script empty("");
  empty.folder.Write("main.c", "");
  empty.Compile();
  EXPECT_EQ(empty.error, -1);  // an empty file compiles; main is then undefined
  EXPECT_NE(empty.errors.find("main 関数は定義されていません。"), std::string::npos);
}

TEST(CompilerSymbols, LocalTableHoldsOneEntryPerDistinctName) {
  std::string fits = "main() {\n";
  for (int i = 0; i < 1024; ++i) fits += "int v" + std::to_string(i) + ";\n";
  Script ok(fits + "return 0; }\n");
  EXPECT_TRUE(ok.ok) << ok.errors.substr(0, 300);
  std::string over = "int g0;\nmain() {\n";
  for (int i = 0; i < 1024; ++i) over += "int v" + std::to_string(i) + ";\n";
  Script bad(over + "return g0; }\n");  // the global it mentions is the 1025th
  EXPECT_EQ(bad.error, 19);
}

TEST(CompilerSymbols, GlobalTableAndNameBufferLimits) {
  std::string many;
  for (int i = 0; i < 7200; ++i) many += "int g" + std::to_string(i) + ";\n";
  Script full(many);
  EXPECT_EQ(full.error, 18);
  std::string names;
  for (int i = 0; i < 70; ++i) names += "int " + std::string(4000, 'n') + std::to_string(i) + ";\n";
  Script buffer(names);
  EXPECT_EQ(buffer.error, 20);
}

}  // namespace
