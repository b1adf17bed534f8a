// Test support for builtin handlers: strings, records and argument words
// placed in the script arena (freed after the test), and handlers called the
// way the dispatcher calls them.
#pragma once
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/builtin.h"
#include "vm/arena.h"

// One argument: a 32-bit word, or a double as its two words.
struct Arg {
  uint32_t lo, hi;
  bool two;
  Arg(int32_t v) : lo(static_cast<uint32_t>(v)), hi(0), two(false) {}
  Arg(uint32_t v) : lo(v), hi(0), two(false) {}
  Arg(double d) : lo(static_cast<uint32_t>(std::bit_cast<uint64_t>(d))),
                  hi(static_cast<uint32_t>(std::bit_cast<uint64_t>(d) >> 32)), two(true) {}
};

class ScriptMemoryTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ArenaStart()); }
  void TearDown() override {
    for (uint32_t b : blocks_) ArenaFree(b);
    blocks_.clear();
  }

  // A block of script memory freed after the test.
  uint32_t Block(size_t bytes, uint8_t fill = 0) {
    uint32_t b = ArenaAlloc(bytes);
    EXPECT_NE(b, 0u);
    std::memset(ToHost(b), fill, bytes);
    blocks_.push_back(b);
    return b;
  }
  // The bytes in script memory, with a terminator.
  uint32_t Str(std::string_view s) {
    uint32_t b = Block(s.size() + 1);
    std::memcpy(ToHost(b), s.data(), s.size());
    return b;
  }
  static std::string Read(uint32_t addr) { return reinterpret_cast<const char*>(ToHost(addr)); }
  static std::string Bytes(uint32_t addr, size_t n) { return std::string(reinterpret_cast<const char*>(ToHost(addr)), n); }
  static uint32_t Word(uint32_t addr) {
    uint32_t v;
    std::memcpy(&v, ToHost(addr), 4);
    return v;
  }
  static void SetWords(uint32_t addr, std::initializer_list<uint32_t> words) {
    for (uint32_t w : words) {
      std::memcpy(ToHost(addr), &w, 4);
      addr += 4;
    }
  }

  // The argument words of a call, laid out as on a script stack.
  uint32_t ArgWords(std::initializer_list<Arg> args) {
    std::vector<uint32_t> words;
    for (const Arg& a : args) {
      words.push_back(a.lo);
      if (a.two) words.push_back(a.hi);
    }
    uint32_t b = Block(4 * words.size() + 4);
    if (!words.empty()) std::memcpy(ToHost(b), words.data(), 4 * words.size());
    return b;
  }
  uint32_t Call(BuiltinHandler h, std::initializer_list<Arg> args) { return h(BuiltinArgs{ArgWords(args)}); }

  std::vector<uint32_t> blocks_;
};
