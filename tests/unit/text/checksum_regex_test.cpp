// Checksums and regular expressions.
#include "runtime/checksum_builtins.h"
#include "runtime/memory_builtins.h"
#include "runtime/regex_builtins.h"
#include "text_fixture.h"

namespace {

// Oniguruma's results as scripts see them.
constexpr int32_t kMismatch = -1;
constexpr int32_t kInvalidArgument = -30;

using ChecksumTest = TextTest;

TEST_F(ChecksumTest, CheckValues) {
  uint32_t digits = Str("123456789");
  EXPECT_EQ(Call(builtin_hash32, {Str("abc")}), 0x024A0126u);
  EXPECT_EQ(Call(builtin_hash32, {Str("")}), 0u);
  EXPECT_EQ(Call(builtin_hash32, {0}), 0u);
  EXPECT_EQ(Call(builtin_crc16, {digits, 9}), 0xFFFFD64Eu);
  EXPECT_EQ(Call(builtin_crc16, {digits, 0}), 0xFFFF0000u);
  EXPECT_EQ(Call(builtin_crc16, {digits, -1}), 0xFFFF0000u);
  EXPECT_EQ(Call(builtin_crc32, {digits, 9}), 0xFC891918u);
  EXPECT_EQ(Call(builtin_crc32, {digits, 0}), 0u);
  EXPECT_EQ(Call(builtin_crc32, {digits, -9}), 0u);
  // A block crossing 4 GiB counts as empty.
  EXPECT_EQ(Call(builtin_crc32, {0xFFFFFFF0u, 32}), 0u);
}

TEST_F(ChecksumTest, Hash32ReducesLongInputLikeBytewiseSums) {
  std::string text(100000, '\xff');
  for (size_t i = 0; i < text.size(); i += 7) text[i] = static_cast<char>('a' + i % 26);
  uint32_t a = 0, b = 0;
  for (unsigned char c : text) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  EXPECT_EQ(Call(builtin_hash32, {Str(text)}), b << 16 | a);
}

class RegexTest : public TextTest {
 protected:
  void TearDown() override {
    RegexCleanUp();
    TextTest::TearDown();
  }
  uint32_t Compile(std::string_view pattern) { return Call(builtin_reg_new, {Str(pattern)}); }
  int32_t Search(uint32_t reg, uint32_t text, uint32_t len, uint32_t start, uint32_t range, uint32_t region) {
    return static_cast<int32_t>(Call(builtin_reg_search, {reg, text, len, start, range, region}));
  }
  int32_t Match(uint32_t reg, uint32_t text, uint32_t len, uint32_t at, uint32_t region) {
    return static_cast<int32_t>(Call(builtin_reg_match, {reg, text, len, at, region}));
  }
  // Group k of a region as (begin, end), read the way scripts read it.
  std::pair<int32_t, int32_t> Group(uint32_t region, uint32_t k) {
    return {static_cast<int32_t>(Word(Word(region + 8) + 4 * k)), static_cast<int32_t>(Word(Word(region + 12) + 4 * k))};
  }
};

TEST_F(RegexTest, CompileRefusesBadPatterns) {
  EXPECT_EQ(Compile("a(b"), 0u);
  EXPECT_EQ(Compile("("), 0u);
  EXPECT_EQ(Call(builtin_reg_new, {0}), 0u);
  uint32_t reg = Compile("a+");
  EXPECT_NE(reg, 0u);
  EXPECT_EQ(Call(builtin_reg_free, {reg}), 1u);
  EXPECT_EQ(Call(builtin_reg_free, {reg}), 1u);  // a second free is harmless
  EXPECT_EQ(Search(reg, Str("aa"), 2, 0, 2, 0), kInvalidArgument);
}

TEST_F(RegexTest, SearchFillsTheRegionInScriptMemory) {
  uint32_t reg = Compile("a(b+)(x)?c");
  uint32_t region = Call(builtin_match_new, {});
  ASSERT_NE(region, 0u);
  EXPECT_EQ(Word(region + 4), 0u);  // a new region is empty
  uint32_t text = Str("xxabbbc");
  EXPECT_EQ(Search(reg, text, 7, 0, 7, region), 2);
  EXPECT_EQ(Word(region + 4), 3u);
  EXPECT_GE(Word(region), 3u);
  EXPECT_EQ(Group(region, 0), std::pair(2, 7));
  EXPECT_EQ(Group(region, 1), std::pair(3, 6));
  EXPECT_EQ(Group(region, 2), std::pair(-1, -1));
  // A failed search leaves every group unset.
  EXPECT_EQ(Search(reg, Str("nothing"), 7, 0, 7, region), kMismatch);
  EXPECT_EQ(Group(region, 0), std::pair(-1, -1));
  // The engine's arrays are used even when a script overwrote the pointers.
  Search(reg, text, 7, 0, 7, region);
  uint32_t beg = Word(region + 8);
  std::memset(ToHost(region + 8), 0xAB, 8);
  EXPECT_EQ(Search(reg, text, 7, 0, 7, region), 2);
  EXPECT_EQ(Word(region + 8), beg);
  EXPECT_EQ(Call(builtin_match_clear, {region}), 1u);
  EXPECT_EQ(Group(region, 1), std::pair(-1, -1));
  EXPECT_EQ(Call(builtin_match_free, {region}), 1u);
  EXPECT_FALSE(ArenaIsBlock(region));
  EXPECT_EQ(Call(builtin_match_clear, {0}), 0u);
  EXPECT_EQ(Call(builtin_match_free, {0}), 1u);
}

TEST_F(RegexTest, OffsetsAreLimitedToTheText) {
  uint32_t end_reg = Compile("$");
  uint32_t a_reg = Compile("a");
  uint32_t text = Str("abca");
  EXPECT_EQ(Search(end_reg, text, 4, 100, 100, 0), 4);    // a start beyond the text starts at its end
  EXPECT_EQ(Search(a_reg, text, 4, 100, 100, 0), kMismatch);
  EXPECT_EQ(Search(a_reg, text, 4, 0xFFFFFFFFu, 0, 0), 3);  // a negative start too; backward to 0
  EXPECT_EQ(Search(a_reg, text, 4, 1, 4, 0), 3);
  EXPECT_EQ(Search(a_reg, text, 4, 2, 0, 0), 0);            // range below start searches backward
  EXPECT_EQ(Search(a_reg, text, 3, 1, 3, 0), kMismatch);  // the length ends the text
  EXPECT_EQ(Search(a_reg, text, static_cast<uint32_t>(-1), 0, 4, 0), kInvalidArgument);
  EXPECT_EQ(Search(a_reg, 0xFFFFFFF0u, 32, 0, 32, 0), kInvalidArgument);
  EXPECT_EQ(Search(a_reg, text, 4, 0, 4, Str("not a region")), kInvalidArgument);
}

TEST_F(RegexTest, MatchIsAnchoredAtTheOffset) {
  uint32_t reg = Compile("ab+");
  uint32_t region = Call(builtin_match_new, {});
  uint32_t text = Str("xabbz");
  EXPECT_EQ(Match(reg, text, 5, 1, region), 3);
  EXPECT_EQ(Group(region, 0), std::pair(1, 4));
  EXPECT_EQ(Match(reg, text, 5, 0, region), kMismatch);
  EXPECT_EQ(Match(reg, text, 5, 99, 0), kMismatch);
}

TEST_F(RegexTest, TextIsShiftJis) {
  // ア is 0x83 0x41: its trail byte is "A", which must not match alone.
  uint32_t text = Str("\x83\x41" "A");
  EXPECT_EQ(Search(Compile("A"), text, 3, 0, 3, 0), 2);
  EXPECT_EQ(Search(Compile("\x83\x41"), text, 3, 0, 3, 0), 0);
  uint32_t region = Call(builtin_match_new, {});
  EXPECT_EQ(Match(Compile("."), text, 3, 0, region), 2);  // one character, two bytes
  EXPECT_EQ(Search(Compile("[\x82\xa0-\x82\xf1]+"), Str("ab\x82\xa0\x82\xa2"), 6, 0, 6, region), 2);
  EXPECT_EQ(Group(region, 0), std::pair(2, 6));
}

TEST_F(RegexTest, FreeAndReallocRespectRegionBlocks) {
  uint32_t reg = Compile("(a)");
  uint32_t region = Call(builtin_match_new, {});
  ASSERT_EQ(Search(reg, Str("a"), 1, 0, 1, region), 0);
  uint32_t beg = Word(region + 8);
  ASSERT_TRUE(ArenaIsBlock(beg));
  EXPECT_EQ(Call(builtin_realloc, {region, 100}), 0u);
  EXPECT_EQ(Call(builtin_realloc, {beg, 100}), 0u);
  EXPECT_EQ(Call(builtin_free, {beg}), 1u);
  EXPECT_TRUE(ArenaIsBlock(beg));  // still the region's
  EXPECT_EQ(Call(builtin_free, {region}), 1u);  // released like match_free
  EXPECT_FALSE(ArenaIsBlock(region));
  EXPECT_FALSE(ArenaIsBlock(beg));
  EXPECT_EQ(Search(reg, Str("a"), 1, 0, 1, region), kInvalidArgument);
}

TEST_F(RegexTest, CleanUpForgetsPatternsAndRegions) {
  uint32_t reg = Compile("x");
  uint32_t region = Call(builtin_match_new, {});
  RegexCleanUp();
  EXPECT_FALSE(ArenaIsBlock(region));
  EXPECT_EQ(Search(reg, Str("x"), 1, 0, 1, 0), kInvalidArgument);
  // The library starts again on the next use.
  uint32_t again = Compile("x+");
  EXPECT_NE(again, 0u);
  EXPECT_EQ(Search(again, Str("axx"), 3, 0, 3, 0), 1);
}

}  // namespace
