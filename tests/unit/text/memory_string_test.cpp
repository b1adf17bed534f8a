// Memory and string builtins, with Shift_JIS text where it matters.
#include "runtime/memory_builtins.h"
#include "runtime/string_builtins.h"
#include "text_fixture.h"

namespace {

// Shift_JIS characters used below.
constexpr const char* kA = "\x82\xa0";    // あ
constexpr const char* kI = "\x82\xa2";    // い
constexpr const char* kKa = "\x83\x41";   // ア: its trail byte is "A"
constexpr const char* kHyo = "\x95\x5c";  // 表: its trail byte is "\"
constexpr const char* kComma = "\x81\x41";  // 、

std::string S(std::initializer_list<const char*> parts) {
  std::string s;
  for (const char* p : parts) s += p;
  return s;
}

using MemoryTest = TextTest;

TEST_F(MemoryTest, BlocksAreAllocatedResizedAndFreed) {
  uint32_t a = Call(builtin_malloc, {16});
  ASSERT_NE(a, 0u);
  std::memcpy(ToHost(a), "0123456789abcdef", 16);
  uint32_t b = Call(builtin_realloc, {a, 100000});
  ASSERT_NE(b, 0u);
  EXPECT_EQ(Bytes(b, 16), "0123456789abcdef");
  EXPECT_EQ(Call(builtin_free, {b}), 1u);
  EXPECT_FALSE(ArenaIsBlock(b));
  // free of 0 or of something that is no block changes nothing and gives 1.
  EXPECT_EQ(Call(builtin_free, {0}), 1u);
  EXPECT_EQ(Call(builtin_free, {b + 8}), 1u);
  // realloc of 0 allocates; of a non-block it fails.
  uint32_t c = Call(builtin_realloc, {0, 8});
  EXPECT_TRUE(ArenaIsBlock(c));
  EXPECT_EQ(Call(builtin_realloc, {c + 4, 8}), 0u);
  EXPECT_EQ(Call(builtin_free, {c}), 1u);
  EXPECT_EQ(Call(builtin_malloc, {0xFFFFFFFFu}), 0u);  // more than the arena holds
}

TEST_F(MemoryTest, CopyMoveSetCompareAndSwap) {
  uint32_t a = Str("abcdefgh");
  uint32_t b = Block(16, 'x');
  EXPECT_EQ(Call(builtin_memcpy, {b, a, 4}), 1u);  // 1, not the destination
  EXPECT_EQ(Bytes(b, 6), "abcdxx");
  EXPECT_EQ(Call(builtin_memmove, {a + 2, a, 5}), 1u);
  EXPECT_EQ(Read(a), "ababcdeh");
  EXPECT_EQ(Call(builtin_memmove, {a, a + 2, 5}), 1u);
  EXPECT_EQ(Read(a), "abcdedeh");
  EXPECT_EQ(Call(builtin_memset, {b, 0x141, 3}), 1u);  // the low byte of the value
  EXPECT_EQ(Bytes(b, 4), "AAAd");

  uint32_t one = Str("\x01z"), ff = Str("\xff" "a");
  EXPECT_EQ(Call(builtin_memcmp, {one, ff, 2}), static_cast<uint32_t>(-1));
  EXPECT_EQ(Call(builtin_memcmp, {ff, one, 2}), 1u);
  EXPECT_EQ(Call(builtin_memcmp, {one, ff, 0}), 0u);
  EXPECT_EQ(Call(builtin_memcmp, {Str("same"), Str("same"), 4}), 0u);

  uint32_t x = Str("1234"), y = Str("abcd");
  EXPECT_EQ(Call(builtin_memswap, {x, y, 3}), 1u);
  EXPECT_EQ(Read(x), "abc4");
  EXPECT_EQ(Read(y), "123d");
  EXPECT_EQ(Call(builtin_memswap, {x, y, 0}), 1u);
  EXPECT_EQ(Call(builtin_memswap, {x, y, -5}), 1u);
  EXPECT_EQ(Read(x), "abc4");
}

TEST_F(MemoryTest, HostileCountsAreRefusedUntouched) {
  uint32_t a = Str("keep");
  EXPECT_EQ(Call(builtin_memset, {a, 0, -1}), 0u);
  EXPECT_EQ(Call(builtin_memcpy, {a, 0u, -4}), 0u);
  EXPECT_EQ(Call(builtin_memcpy, {0xFFFFFFF0u, a, 32}), 0u);  // would cross 4 GiB
  EXPECT_EQ(Call(builtin_memmove, {a, 0xFFFFFFF0u, 32}), 0u);
  EXPECT_EQ(Call(builtin_memset, {0xFFFFFFF0u, 0, 17}), 0u);
  EXPECT_EQ(Call(builtin_memcmp, {a, 0xFFFFFFF0u, 17}), 0u);
  EXPECT_EQ(Call(builtin_memswap, {a, 0xFFFFFFF0u, 17}), 0u);
  EXPECT_EQ(Read(a), "keep");
  EXPECT_EQ(Call(builtin_memset, {0xFFFFFFF0u, 'q', 16}), 1u);  // up to the last byte is fine
  EXPECT_EQ(*ToHost(0xFFFFFFFF), 'q');
}

using StringTest = TextTest;

TEST_F(StringTest, LengthsCountBytesAndCharacters) {
  uint32_t s = Str(S({"ab", kA}));
  EXPECT_EQ(Call(builtin_strlen, {s}), 4u);
  EXPECT_EQ(Call(builtin_strclen, {s}), 3u);
  EXPECT_EQ(Call(builtin_strclen, {Str("a\x82")}), 1u);  // a lead byte before the terminator is not counted
  EXPECT_EQ(Call(builtin_strclen, {Str("")}), 0u);
  // A string running into the end of the reservation stops there.
  std::memset(ToHost(0xFFFFFFF0), 'z', 16);
  std::memset(ToHost(0) + (uint64_t{1} << 32), 'z', kArenaReservedLow);
  EXPECT_EQ(Call(builtin_strlen, {0xFFFFFFF0u}), 16u + kArenaReservedLow);
  EXPECT_EQ(Call(builtin_strstr, {0xFFFFFFF0u, Str("zz")}), 0xFFFFFFF0u);
  EXPECT_EQ(Call(builtin_strstr, {0xFFFFFFF0u, Str("zq")}), 0u);
  EXPECT_EQ(Call(builtin_strstr, {Str("azz"), 0xFFFFFFF0u}), 0u);
  std::memset(ToHost(0) + (uint64_t{1} << 32), 0, kArenaReservedLow);
}

TEST_F(StringTest, CopyAndAppend) {
  uint32_t dst = Block(32, 'x');
  EXPECT_EQ(Call(builtin_strcpy, {dst, Str("abc")}), dst);
  EXPECT_EQ(Read(dst), "abc");
  EXPECT_EQ(Call(builtin_strcat, {dst, Str(kA)}), dst);
  EXPECT_EQ(Read(dst), S({"abc", kA}));
  // A destination that would cross 4 GiB is refused before anything is written.
  std::memset(ToHost(0xFFFFFFFC), 'x', 4);
  EXPECT_EQ(Call(builtin_strcpy, {0xFFFFFFFCu, Str("abcd")}), 0u);
  EXPECT_EQ(Bytes(0xFFFFFFFC, 4), "xxxx");
  EXPECT_EQ(Call(builtin_strcpy, {0xFFFFFFFCu, Str("abc")}), 0xFFFFFFFCu);
  EXPECT_EQ(Call(builtin_strcat, {0xFFFFFFFCu, Str("d")}), 0u);
}

TEST_F(StringTest, StrncpyNeverSplitsACharacter) {
  const struct {
    std::string src;
    int32_t n;
    std::string expected;  // the bytes of the 8-byte destination afterwards
  } cases[] = {
      {"abc", 5, std::string("abc\0\0xxx", 8)},           // the rest of n is zero-filled
      {"abcdef", 3, "abcxxxxx"},                          // n bytes first: no terminator
      {S({"a", kA}), 2, std::string("a\0xxxxxx", 8)},     // the character does not fit
      {S({"a", kA}), 3, S({"a", kA}) + "xxxxx"},
      {"a\x82", 4, std::string("a\0\0\0xxxx", 8)},        // no trail byte
      {"abc", 0, "xxxxxxxx"},
      {"abc", -3, "xxxxxxxx"},
  };
  for (const auto& c : cases) {
    uint32_t dst = Block(8, 'x');
    EXPECT_EQ(Call(builtin_strncpy, {dst, Str(c.src), c.n}), dst) << c.src << " " << c.n;
    EXPECT_EQ(Bytes(dst, 8), c.expected) << c.src << " " << c.n;
  }
  EXPECT_EQ(Call(builtin_strncpy, {0xFFFFFFFEu, Str("a"), 4}), 0u);
}

TEST_F(StringTest, ComparisonIsByCharacterCodes) {
  auto cmp = [&](BuiltinHandler h, std::string a, std::string b) {
    return static_cast<int32_t>(Call(h, {Str(a), Str(b)}));
  };
  EXPECT_EQ(cmp(builtin_strcmp, "abc", "abd"), -1);
  EXPECT_EQ(cmp(builtin_strcmp, "abd", "abc"), 1);
  EXPECT_EQ(cmp(builtin_strcmp, "abc", "abc"), 0);
  EXPECT_EQ(cmp(builtin_strcmp, "ab", "abc"), -1);
  // A double-byte character (0x82A0) sorts after a half-width one (0xB1),
  // although its first byte is smaller.
  EXPECT_EQ(cmp(builtin_strcmp, kA, "\xb1"), 1);
  EXPECT_EQ(cmp(builtin_strcmpi, "HeLLo", "hello"), 0);
  EXPECT_EQ(cmp(builtin_strcmpi, "\x82\x60", "\x82\x81"), 0);  // full-width A and a
  EXPECT_EQ(cmp(builtin_strcmpi, "A", "_"), 1);  // single bytes compare in lower case
  EXPECT_EQ(cmp(builtin_strcmpi, "abc", "ABD"), -1);
  EXPECT_EQ(cmp(builtin_strcmpi, kKa, "\x83\x61"), -1);  // ア is not folded with its trail byte
}

TEST_F(StringTest, CaseMappingCoversFullWidthLetters) {
  // A, z, full-width A and z, Greek alpha, Cyrillic ya and o, and ア, whose
  // trail byte is an ASCII letter that must stay.
  std::string mixed = S({"Az", "\x82\x60", "\x82\x9a", "\x83\x9f", "\x84\x60", "\x84\x80", kKa});
  uint32_t s = Str(mixed);
  EXPECT_EQ(Call(builtin_strlwr, {s}), s);
  EXPECT_EQ(Read(s), S({"az", "\x82\x81", "\x82\x9a", "\x83\xbf", "\x84\x91", "\x84\x80", kKa}));
  EXPECT_EQ(Call(builtin_strupr, {s}), s);
  EXPECT_EQ(Read(s), S({"AZ", "\x82\x60", "\x82\x79", "\x83\x9f", "\x84\x60", "\x84\x4f", kKa}));
  EXPECT_EQ(Call(builtin_strlwr, {0}), 0u);
  EXPECT_EQ(Call(builtin_strupr, {0}), 0u);
}

TEST_F(StringTest, StrchrFindsTheLastOccurrence) {
  uint32_t s = Str("a.b.c");
  EXPECT_EQ(Call(builtin_strchr, {s, '.'}), s + 3);
  EXPECT_EQ(Call(builtin_strchr, {s, 'z'}), 0u);
  EXPECT_EQ(Call(builtin_strchr, {s, 0}), s + 5);
  uint32_t j = Str(S({kA, "x", kA, kHyo}));
  EXPECT_EQ(Call(builtin_strchr, {j, 0x82A0}), j + 3);
  EXPECT_EQ(Call(builtin_strchr, {j, '\\'}), 0u);  // only a trail byte
  EXPECT_EQ(Call(builtin_strchr, {j, 0x955C}), j + 5);
  uint32_t k = Str("\xb1x\xb1");
  EXPECT_EQ(Call(builtin_strchr, {k, static_cast<int32_t>(static_cast<signed char>('\xb1'))}), k + 2);
}

TEST_F(StringTest, StrstrNeverMatchesFromATrailByte) {
  uint32_t s = Str(S({kA, kI}));
  EXPECT_EQ(Call(builtin_strstr, {s, Str("\xa0\x82")}), 0u);
  EXPECT_EQ(Call(builtin_strstr, {s, Str(kI)}), s + 2);
  uint32_t t = Str(S({kKa, "A", kKa}));
  EXPECT_EQ(Call(builtin_strstr, {t, Str("A")}), t + 2);
  EXPECT_EQ(Call(builtin_strstr, {t, Str(S({"A", kKa}))}), t + 2);
  // Trail bytes in the lead range: "\x81\x81\x81\x81" is two characters.
  uint32_t leads = Str("\x81\x81\x81\x81x");
  EXPECT_EQ(Call(builtin_strstr, {leads, Str("\x81x")}), 0u);
  EXPECT_EQ(Call(builtin_strstr, {leads, Str("\x81\x81x")}), leads + 2);
  uint32_t plain = Str("xxabxab");
  EXPECT_EQ(Call(builtin_strstr, {plain, Str("ab")}), plain + 2);
  EXPECT_EQ(Call(builtin_strstr, {plain, Str("")}), plain);
  EXPECT_EQ(Call(builtin_strstr, {plain, Str("abc")}), 0u);
}

TEST_F(StringTest, SpansAndBreaksUseWholeCharacters) {
  uint32_t s = Str(S({"ab", kKa, "c"}));
  EXPECT_EQ(Call(builtin_strcspn, {s, Str("A")}), 5u);  // the trail byte of ア is no "A"
  EXPECT_EQ(Call(builtin_strcspn, {s, Str(S({"c", kKa}))}), 2u);
  EXPECT_EQ(Call(builtin_strspn, {s, Str(S({"ba", kKa}))}), 4u);
  EXPECT_EQ(Call(builtin_strspn, {s, Str("ab\x83")}), 2u);  // a lone lead byte in the set is no character
  EXPECT_EQ(Call(builtin_strpbrk, {s, Str("cA")}), s + 4);
  EXPECT_EQ(Call(builtin_strpbrk, {s, Str("z")}), 0u);
}

TEST_F(StringTest, StrtokSplitsInPlace) {
  uint32_t s = Str("a,b;;c");
  uint32_t delim = Str(",;");
  EXPECT_EQ(Call(builtin_strtok, {s, delim}), s);
  EXPECT_EQ(Read(s), "a");
  uint32_t b = Call(builtin_strtok, {0, delim});
  EXPECT_EQ(Read(b), "b");
  uint32_t c = Call(builtin_strtok, {0, delim});
  EXPECT_EQ(Read(c), "c");
  EXPECT_EQ(Call(builtin_strtok, {0, delim}), 0u);
  EXPECT_EQ(Call(builtin_strtok, {0, delim}), 0u);
  EXPECT_EQ(Call(builtin_strtok, {Str(",;,"), delim}), 0u);

  // Double-byte delimiters end a token with both bytes zeroed; a trail byte
  // equal to a delimiter does not.
  uint32_t j = Str(S({"x", kComma, kKa, "A", "y"}));
  uint32_t jdelim = Str(S({kComma, "A"}));
  EXPECT_EQ(Read(Call(builtin_strtok, {j, jdelim})), "x");
  EXPECT_EQ(Bytes(j + 1, 2), std::string("\0\0", 2));
  EXPECT_EQ(Read(Call(builtin_strtok, {0, jdelim})), kKa);
  EXPECT_EQ(Read(Call(builtin_strtok, {0, jdelim})), "y");
}

TEST_F(StringTest, StrtokKeepsOnePositionPerScriptThread) {
  ScriptContext first{}, second{};
  first.thread_slot = 0;
  second.thread_slot = 1;
  uint32_t delim = Str(" ");
  SetCurrentContext(&first);
  uint32_t s1 = Str("a b");
  Call(builtin_strtok, {s1, delim});
  SetCurrentContext(&second);
  uint32_t s2 = Str("x y");
  Call(builtin_strtok, {s2, delim});
  SetCurrentContext(&first);
  EXPECT_EQ(Read(Call(builtin_strtok, {0, delim})), "b");
  SetCurrentContext(&second);
  EXPECT_EQ(Read(Call(builtin_strtok, {0, delim})), "y");
  ResetStringTokens();
  EXPECT_EQ(Call(builtin_strtok, {0, delim}), 0u);
  SetCurrentContext(nullptr);
}

TEST_F(StringTest, DuplicatesAreNewBlocks) {
  uint32_t d = Call(builtin_strdup, {Str(S({"ab", kA}))});
  ASSERT_TRUE(ArenaIsBlock(d));
  EXPECT_EQ(Read(d), S({"ab", kA}));
  uint32_t n = Call(builtin_strndup, {Str("abcde"), 3});
  ASSERT_TRUE(ArenaIsBlock(n));
  EXPECT_EQ(Read(n), "abc");
  uint32_t whole = Call(builtin_strndup, {Str("ab"), 10});
  EXPECT_EQ(Read(whole), "ab");
  uint32_t cut = Call(builtin_strndup, {Str(kA), 1});  // bytes: a character may be cut
  EXPECT_EQ(Read(cut), "\x82");
  for (uint32_t b : {d, n, whole, cut}) EXPECT_EQ(Call(builtin_free, {b}), 1u);
}

TEST_F(StringTest, SplitpathFindsTheFourParts) {
  const struct {
    std::string path, drive, dir, name, ext;
  } cases[] = {
      {"C:\\dir\\sub\\file.txt", "C:", "\\dir\\sub\\", "file", ".txt"},
      {"file", "", "", "file", ""},
      {"dir.d/name", "", "dir.d/", "name", ""},
      {"a/b.c.d", "", "a/", "b.c", ".d"},
      {".hidden", "", "", "", ".hidden"},
      {"D:", "D:", "", "", ""},
      {S({kHyo, "x.c"}), "", "", S({kHyo, "x"}), ".c"},  // 表's trail byte is no separator
      {S({"d\\", kHyo, "\\n"}), "", S({"d\\", kHyo, "\\"}), "n", ""},
  };
  for (const auto& c : cases) {
    uint32_t drive = Block(8, 'x'), dir = Block(300, 'x'), name = Block(300, 'x'), ext = Block(300, 'x');
    EXPECT_EQ(Call(builtin_splitpath, {Str(c.path), drive, dir, name, ext}), 1u);
    EXPECT_EQ(Read(drive), c.drive) << c.path;
    EXPECT_EQ(Read(dir), c.dir) << c.path;
    EXPECT_EQ(Read(name), c.name) << c.path;
    EXPECT_EQ(Read(ext), c.ext) << c.path;
  }
  // Absent outputs are skipped; long parts are cut to 255 bytes on a character boundary.
  uint32_t name = Block(300, 'x');
  std::string long_name = "a";
  for (int k = 0; k < 130; ++k) long_name += kA;
  EXPECT_EQ(Call(builtin_splitpath, {Str("x/" + long_name + ".e"), 0u, 0u, name, 0u}), 1u);
  EXPECT_EQ(Read(name).size(), 255u);
  EXPECT_EQ(Read(name), long_name.substr(0, 255));
}

TEST_F(StringTest, MakepathJoinsTheParts) {
  const struct {
    const char *drive, *dir, *name, *ext, *expected;
  } cases[] = {
      {"C", "\\dir", "name", "txt", "C:\\dir\\name.txt"},
      {"Cxyz", "dir/", "name", ".txt", "C:dir/name.txt"},
      {nullptr, "dir\\", "name", nullptr, "dir\\name"},
      {"", "", "name", "", "name"},
      {nullptr, nullptr, nullptr, "e", ".e"},
      {nullptr, "\x95\x5c", "n", nullptr, "\x95\x5c\\n"},  // ends in 表, not in a separator
  };
  for (const auto& c : cases) {
    auto part = [&](const char* s) { return s ? Str(s) : 0u; };
    uint32_t path = Block(300, 'x');
    EXPECT_EQ(Call(builtin_makepath, {path, part(c.drive), part(c.dir), part(c.name), part(c.ext)}), 1u);
    EXPECT_EQ(Read(path), c.expected);
  }
  EXPECT_EQ(Call(builtin_makepath, {0xFFFFFFFEu, 0u, 0u, Str("long"), 0u}), 0u);
}

}  // namespace
