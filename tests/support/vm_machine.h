// Test support: assembles a program into a fresh context and runs it.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/error_box.h"
#include "vm/arena.h"
#include "vm/assembler.h"
#include "vm/context.h"
#include "vm/native_code.h"

// The VM tests run their programs once: code is translated to machine code
// as it first runs, so every test goes through the translator where there is
// one (the interpreter still runs the ends of slices and what it is left).
inline const bool g_translate_at_first_run = (SetTranslationThreshold(1), true);

// Records every error box instead of printing it.
inline std::vector<std::string>& ShownErrors() {
  static std::vector<std::string> errors;
  return errors;
}
inline void RecordErrorBox(std::string_view, std::string_view text) { ShownErrors().emplace_back(text); }

struct Machine {
  ScriptContext* ctx = nullptr;
  AssembledProgram program;

  // The program area holds the code followed by `spare` zero bytes. When
  // `as_thread` is set the stack starts like a thread's: a return address of
  // 0xFFFFFFFF on top, so the program's final `ret` ends the context.
  explicit Machine(const std::string& source, uint32_t stack_size = 4096, bool as_thread = true,
                   uint32_t spare = 64) {
    SetScriptStopFlag(0);
    ShownErrors().clear();
    SetErrorBoxBackend(RecordErrorBox);
    AssembledProgram measured = Assemble(source, 0);
    EXPECT_TRUE(measured.ok()) << measured.error;
    ctx = CreateContext(static_cast<uint32_t>(measured.bytes.size()) + spare, stack_size);
    EXPECT_NE(ctx, nullptr);
    if (!ctx) return;
    program = Assemble(source, ctx->program_base);
    std::memcpy(ToHost(ctx->program_base), program.bytes.data(), program.bytes.size());
    if (as_thread) {
      ctx->r[7] -= 8;
      Poke32(ctx->r[7], 0xFFFFFFFFu);
    }
  }
  ~Machine() {
    FreeContext(ctx);
    SetErrorBoxBackend(nullptr);
    SetScriptStopFlag(0);
  }
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Runs slices until the context leaves the running state; returns the count.
  int Run(int max_slices = 10000) {
    int slices = 0;
    while (ctx->state == kContextRunning && slices < max_slices && !ScriptStopRequested()) {
      RunContext(ctx);
      ++slices;
    }
    return slices;
  }

  uint32_t Label(const std::string& name) const {
    auto it = program.labels.find(name);
    EXPECT_NE(it, program.labels.end()) << name;
    return it == program.labels.end() ? 0 : it->second;
  }
  static uint32_t Peek32(uint32_t addr) {
    uint32_t v;
    std::memcpy(&v, ToHost(addr), 4);
    return v;
  }
  static void Poke32(uint32_t addr, uint32_t v) { std::memcpy(ToHost(addr), &v, 4); }
  uint32_t Stack(int32_t offset_from_top) const { return ctx->stack_base + ctx->stack_size + offset_from_top; }
};
