// The formatter and the number parsers against the outputs of the Windows C
// runtime that scripts were written for.
#include <cmath>
#include <limits>

#include "runtime/format.h"
#include "text_fixture.h"

namespace {

class FormatTest : public TextTest {
 protected:
  std::string Format(const char* format, std::initializer_list<Arg> args, size_t capacity = 512) {
    std::string out(capacity + 8, '\x7f');
    size_t n = FormatScriptText(Str(format), ArgWords(args), out.data(), capacity);
    EXPECT_LT(n, capacity);
    EXPECT_EQ(out[n], '\0');
    return out.substr(0, n);
  }
};

struct FormatCase {
  const char* format;
  std::vector<Arg> args;
  const char* expected;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << '"' << c.format << '"'; }

class FormatCases : public FormatTest, public testing::WithParamInterface<FormatCase> {};

TEST_P(FormatCases, MatchTheWindowsRuntime) {
  const FormatCase& c = GetParam();
  std::vector<uint32_t> words;
  for (const Arg& a : c.args) {
    words.push_back(a.lo);
    if (a.two) words.push_back(a.hi);
  }
  uint32_t block = Block(4 * words.size() + 4);
  if (!words.empty()) std::memcpy(ToHost(block), words.data(), 4 * words.size());
  char out[1024];
  size_t n = FormatScriptText(Str(c.format), block, out, sizeof out);
  EXPECT_EQ(std::string(out, n), c.expected);
}

const double kInf = std::numeric_limits<double>::infinity();
double Bits(uint64_t b) { return std::bit_cast<double>(b); }

INSTANTIATE_TEST_SUITE_P(Integers, FormatCases, testing::Values(
    FormatCase{"%d,%d", {1, 2}, "1,2"},
    FormatCase{"%i|%5d|%-5d|%05d", {7, 42, 42, 42}, "7|   42|42   |00042"},
    FormatCase{"%+d %+d % d", {42, -42, 42}, "+42 -42  42"},
    FormatCase{"%.3d|%08.3d|%.0d|", {7, 7, 0}, "007|     007||"},
    FormatCase{"%d %u", {INT32_MIN, -1}, "-2147483648 4294967295"},
    FormatCase{"%+u % x", {5, 255}, "5 ff"},
    FormatCase{"%x %X %#x %#X %#x", {255, 255, 255, 255, 0}, "ff FF 0xff 0XFF 0"},
    FormatCase{"%o %#o %#o", {8, 8, 0}, "10 010 0"},
    FormatCase{"%#08x|%-#8x|", {255, 255}, "0x0000ff|0xff    |"},
    FormatCase{"%hd %hd %hu %hx", {0x12345678, 0xFFFF, 0x1FFFF, 0x12345}, "22136 -1 65535 2345"},
    FormatCase{"%ld %lu %Id", {-3, 3u, 9}, "-3 3 9"},
    FormatCase{"%I64d %lld %I64x", {-1, -1, 0, 1, 0xFFFFFFFFu, 0xF}, "-1 4294967296 fffffffff"},
    FormatCase{"%I32d %d", {-5, 6}, "-5 6"},
    FormatCase{"%p|%10p|%.2p", {0xABCDu, 0x1F, 0x12345678}, "0000ABCD|  0000001F|12345678"},
    FormatCase{"%*d|%-*d|%*d|", {5, 42, 4, 1, -4, 2}, "   42|1   |2   |"},
    FormatCase{"%.*d|%.*d", {3, 7, -1, 7}, "007|7"}));

INSTANTIATE_TEST_SUITE_P(CharactersAndStrings, FormatCases, testing::Values(
    FormatCase{"%c%c%3c|%-3c|", {'o', 'k', 'A', 'B'}, "ok  A|B  |"},
    // The zero flag pads characters and strings with zeros too.
    FormatCase{"%03c|%05s|%-05s|", {'A', 0u, 0u}, "00A|(null)|(null)|"},
    FormatCase{"%s|%.3s|%8s|%-8s|", {0u, 0u, 0u, 0u}, "(null)|(nu|  (null)|(null)  |"},
    FormatCase{"%%|%y|%5%|100%", {}, "%|y|%|100"},
    FormatCase{"%lc%C|%hC", {'w', 0x3042, 'z'}, "w|z"}));

INSTANTIATE_TEST_SUITE_P(Floats, FormatCases, testing::Values(
    FormatCase{"%f %.2f %.0f", {1.5, 3.14159, 2.0}, "1.500000 3.14 2"},
    // Rounding is half up on the 17 significant digits the runtime keeps.
    FormatCase{"%.0f %.0f %.1f %.2f", {0.5, 2.5, 0.25, 1.005}, "1 3 0.3 1.00"},
    FormatCase{"%.20f", {0.1}, "0.10000000000000001000"},
    FormatCase{"%f %f %.3f", {-0.0, 1e20, 0.0005}, "-0.000000 100000000000000000000.000000 0.001"},
    FormatCase{"%.2f %.1f %.0f", {0.004, 0.96, 0.4}, "0.00 1.0 0"},
    FormatCase{"%e|%E|%.2e", {1234.5, 1234.5, 0.0}, "1.234500e+003|1.234500E+003|0.00e+000"},
    FormatCase{"%e %e %.0e", {1e-10, 1e100, 12345.0}, "1.000000e-010 1.000000e+100 1e+004"},
    FormatCase{"%.3e %e", {9.9996, 5e-324}, "1.000e+001 4.940656e-324"},
    FormatCase{"%g %g %g %g", {1e6, 100000.0, 0.0001, 0.00001}, "1e+006 100000 0.0001 1e-005"},
    FormatCase{"%g %G %g %.3g %.0g", {1.5, 1e-10, 0.0, 3.14159, 2.5}, "1.5 1E-010 0 3.14 3"},
    FormatCase{"%g %g %g", {999999.5, 123456789.0, 0.000123456}, "1e+006 1.23457e+008 0.000123456"},
    FormatCase{"%#g|%#.3g|%#g", {1.5, 1.0, 123456.0}, "1.50000|1.00|123456"},
    FormatCase{"%10.3f|%010.3f|%-10.2f|", {-1.5, -1.5, 2.0}, "    -1.500|-00001.500|2.00      |"},
    FormatCase{"%+f|% f|%+e", {1.0, 1.0, -2.0}, "+1.000000| 1.000000|-2.000000e+000"},
    FormatCase{"%#.0f|%#.0e|%Lf", {1.0, 3.0, 0.5}, "1.|3.e+000|0.500000"}));

INSTANTIATE_TEST_SUITE_P(SpecialValues, FormatCases, testing::Values(
    FormatCase{"%f|%f|%e|%g", {kInf, -kInf, kInf, kInf}, "1.#INF00|-1.#INF00|1.#INF00e+000|1.#INF"},
    // The special texts go through the digit rounding like digits do.
    FormatCase{"%.0f|%.1f|%.2f|%.3f|%.4f", {kInf, kInf, kInf, kInf, kInf}, "1|1.$|1.#J|1.#IO|1.#INF"},
    FormatCase{"%f|%f|%f", {Bits(0xFFF8000000000000), Bits(0x7FF8000000000000), Bits(0x7FF0000000000001)},
               "-1.#IND00|1.#QNAN0|1.#SNAN0"},
    FormatCase{"%10.2f|", {-kInf}, "     -1.#J|"}));

TEST_F(FormatTest, EveryConversionTakesItsWordsInOrder) {
  // A float passed as one word to %f takes the next word too, as on Windows.
  EXPECT_EQ(Format("%d %f %d", {1, 2.5, 3}), "1 2.500000 3");
  EXPECT_EQ(Format("%s=%d", {Str("key"), 9}), "key=9");
  EXPECT_EQ(Format("%s|%.2s|%5s|%-5s|%05s", {Str("abc"), Str("abc"), Str("abc"), Str("abc"), Str("ab")}),
            "abc|ab|  abc|abc  |000ab");
  uint32_t wide = Block(8);
  std::memcpy(ToHost(wide), u"ok\x3042", 8);
  EXPECT_EQ(Format("%S|%ls|%.1S", {wide, wide, wide}), "ok|ok|o");
}

TEST_F(FormatTest, PercentNStoresTheCountSoFar) {
  uint32_t count = Block(8, 0xEE);
  EXPECT_EQ(Format("ab%ncd%hn", {count, count + 4}), "abcd");
  EXPECT_EQ(Word(count), 2u);
  EXPECT_EQ(Word(count + 4), 0xEEEE0004u);
  // A count pointer at the top of the address space is ignored.
  EXPECT_EQ(Format("x%ny", {0xFFFFFFFEu}), "xy");
}

TEST_F(FormatTest, OutputIsCutAtTheCapacity) {
  EXPECT_EQ(Format("%d-%s", {123456, Str("tail")}, 5), "1234");
  EXPECT_EQ(Format("%20d", {1}, 4), "   ");
  char untouched = 'x';
  EXPECT_EQ(FormatScriptText(Str("abc"), 0, &untouched, 0), 0u);
  EXPECT_EQ(untouched, 'x');
  // A huge width is cut as well, without writing past the buffer.
  EXPECT_EQ(Format("%*d", {1000000000, 5}, 8).size(), 7u);
}

TEST_F(FormatTest, SprintfWritesIntoScriptMemory) {
  uint32_t buf = Block(16, 'x');
  EXPECT_EQ(Call(builtin_sprintf, {buf, Str("%d,%d"), 1, 2}), 3u);
  EXPECT_EQ(Bytes(buf, 4), std::string("1,2\0", 4));
  // Near the top of the address space the text stops below 4 GiB.
  EXPECT_EQ(Call(builtin_sprintf, {0xFFFFFFFCu, Str("%s"), Str("overflowing")}), 3u);
  EXPECT_EQ(Bytes(0xFFFFFFFC, 4), std::string("ove\0", 4));
}

TEST_F(FormatTest, FtoaWritesSixDecimals) {
  uint32_t buf = Block(64);
  for (auto [value, text] : {std::pair{1.5f, "1.500000"}, {-3.0f, "-3.000000"}, {0.1f, "0.100000"},
                             {1e10f, "10000000000.000000"}}) {
    EXPECT_EQ(Call(builtin_ftoa, {buf, std::bit_cast<uint32_t>(value)}), 1u);
    EXPECT_EQ(Read(buf), text);
  }
}

struct LongCase {
  const char* text;
  int32_t base;
  uint32_t strtol_value;
  uint32_t strtoul_value;
  uint32_t end;
};

TEST_F(FormatTest, StrtolAndStrtoulFollowTheRuntime) {
  const LongCase cases[] = {
      {"123", 10, 123, 123, 3},
      {"  -42x", 10, static_cast<uint32_t>(-42), static_cast<uint32_t>(-42), 5},
      {"\t+7", 10, 7, 7, 3},
      {"0x1A", 16, 26, 26, 4},
      {"0X1a", 0, 26, 26, 4},
      {"017", 0, 15, 15, 3},
      {"09", 0, 0, 0, 1},
      {"0x", 16, 0, 0, 0},  // no digits after the prefix: nothing was read
      {"zz", 36, 1295, 1295, 2},
      {"abc", 10, 0, 0, 0},
      {"12", 1, 0, 0, 0},
      {"12", 37, 0, 0, 0},
      {"-12", -1, 0, 0, 0},
      {"2147483647", 10, 0x7FFFFFFF, 0x7FFFFFFF, 10},
      {"2147483648", 10, 0x7FFFFFFF, 0x80000000, 10},
      {"-2147483648", 10, 0x80000000, 0x80000000, 11},
      {"-2147483649", 10, 0x80000000, 0x7FFFFFFF, 11},
      {"4294967295", 10, 0x7FFFFFFF, 0xFFFFFFFF, 10},
      {"99999999999z", 10, 0x7FFFFFFF, 0xFFFFFFFF, 11},
      {"-1", 10, 0xFFFFFFFF, 0xFFFFFFFF, 2},
      {"-99999999999", 10, 0x80000000, 1, 12},  // the clamped value is negated
  };
  uint32_t end = Block(4);
  for (const LongCase& c : cases) {
    uint32_t s = Str(c.text);
    EXPECT_EQ(Call(builtin_strtol, {s, end, c.base}), c.strtol_value) << c.text;
    EXPECT_EQ(Word(end), s + c.end) << c.text;
    EXPECT_EQ(Call(builtin_strtoul, {s, end, c.base}), c.strtoul_value) << c.text;
    EXPECT_EQ(Word(end), s + c.end) << c.text;
  }
  EXPECT_EQ(Call(builtin_strtol, {Str("55"), 0u, 10}), 55u);  // no end address
}

TEST_F(FormatTest, StrtofParsesDecimalNumbers) {
  const struct {
    const char* text;
    float value;
    uint32_t end;
  } cases[] = {
      {"1.5", 1.5f, 3},     {"  -2.5e2x", -250.0f, 8}, {".5", 0.5f, 2},     {"1.", 1.0f, 2},
      {"1e", 1.0f, 1},      {"1e+", 1.0f, 1},          {"e5", 0.0f, 0},     {".", 0.0f, 0},
      {"1d2", 100.0f, 3},   {"0x10", 0.0f, 1},         {"inf", 0.0f, 0},    {"3.4028236e38", INFINITY, 12},
      {"1e400", INFINITY, 5}, {"-1e400", -INFINITY, 6}, {"1e-400", 0.0f, 6}, {"0.1", 0.1f, 3},
  };
  uint32_t end = Block(4);
  for (const auto& c : cases) {
    uint32_t s = Str(c.text);
    EXPECT_EQ(Call(builtin_strtof, {s, end}), std::bit_cast<uint32_t>(c.value)) << c.text;
    EXPECT_EQ(Word(end), s + c.end) << c.text;
  }
  // Very long mantissas keep their magnitude.
  std::string digits = "1" + std::string(1500, '0') + ".25e-1495";
  uint32_t s = Str(digits);
  EXPECT_EQ(Call(builtin_strtof, {s, end}), std::bit_cast<uint32_t>(1e5f));
  EXPECT_EQ(Word(end), s + digits.size());
}

}  // namespace
