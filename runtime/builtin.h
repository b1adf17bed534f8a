// What every builtin handler sees: the argument words on the calling
// script's stack, and the context it was called from.
#pragma once
#include <bit>
#include <cstdint>
#include <cstring>

#include "vm/arena.h"
#include "vm/context.h"

// The argument words of one builtin call. Argument 1 (index 0) is the word at
// r7 + 4 of the caller; each further argument follows 4 bytes higher. Pointer
// arguments are VM addresses; ptr() turns one into a host pointer, which is
// always safe to touch for the reach of the arena.
struct BuiltinArgs {
  uint32_t base;  // VM address of argument 1

  uint32_t u(int index) const {
    uint32_t v;
    std::memcpy(&v, ToHost(base + 4 * static_cast<uint32_t>(index)), 4);
    return v;
  }
  int32_t i(int index) const { return static_cast<int32_t>(u(index)); }
  float f(int index) const { return std::bit_cast<float>(u(index)); }
  uint8_t* ptr(int index) const { return ToHost(u(index)); }
  char* str(int index) const { return reinterpret_cast<char*>(ToHost(u(index))); }
};

// A handler returns the builtin's 32-bit result, which becomes r0 of the
// caller. Float results travel as their single-precision bit pattern.
using BuiltinHandler = uint32_t (*)(BuiltinArgs args);
inline uint32_t FloatResult(float f) { return std::bit_cast<uint32_t>(f); }

struct BuiltinEntry {
  const char* name;
  BuiltinHandler handler;
  int32_t argument_count;  // -1: any number
  // For the script header: the C type scripts declare the result with, and
  // the argument names (documentation only; calls are never checked by type).
  const char* result_type;
  const char* arguments;
};

constexpr int kBuiltinCount = 317;

// The context whose builtin call is being served (set by the dispatcher, and
// by the control builtins that replace the running context). Read and written
// only under the builtin lock, i.e. from inside handlers.
inline ScriptContext* g_current_context = nullptr;
inline ScriptContext* CurrentContext() { return g_current_context; }
inline void SetCurrentContext(ScriptContext* ctx) { g_current_context = ctx; }
