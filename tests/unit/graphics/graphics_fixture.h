// Shared set-up for the graphics tests: the arena, a small screen, and calls
// of builtin handlers with argument words placed in script memory.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "builtin_call.h"
#include "graphics/blit_modes.h"
#include "graphics/planes.h"
#include "platform/error_box.h"
#include "runtime/builtin.h"
#include "vm/arena.h"

class GraphicsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ArenaStart());
    SetErrorLevel(0);  // no boxes on standard error
    g_graphics_settings.Width = 8;
    g_graphics_settings.Height = 4;
    g_graphics_settings.Depth = 32;
    g_graphics_settings.MultiThreading = 0;  // the threaded test turns it on for itself
    g_colour_mapping = 0;
    GraphicsStart();
    BuildInverseColourMap(g_engine_colours);
    scratch_ = ArenaAllocZeroed(4096);
    ASSERT_NE(scratch_, 0u);
  }
  void TearDown() override {
    GraphicsShutdown();
    ArenaFree(scratch_);
    SetErrorLevel(1);
  }

  // Calls a handler with the given argument words.
  uint32_t Call(BuiltinHandler h, std::initializer_list<uint32_t> words) { return CallBuiltin(h, scratch_, words); }
  // Script memory free for the test's own records (past the argument words).
  uint32_t Buffer(uint32_t offset = 0) const { return scratch_ + 256 + offset; }
  uint32_t Word(uint32_t addr) const {
    uint32_t v;
    std::memcpy(&v, ToHost(addr), 4);
    return v;
  }
  void SetWords(uint32_t addr, std::initializer_list<uint32_t> words) {
    for (uint32_t w : words) {
      std::memcpy(ToHost(addr), &w, 4);
      addr += 4;
    }
  }

  uint32_t scratch_ = 0;
};
