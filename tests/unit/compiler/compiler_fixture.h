// Test support: writes script sources into a fresh folder, compiles them the
// way the engine loads a script (measure, then compile into a new context)
// and runs the result on the VM.
#pragma once
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "platform/error_box.h"
#include "platform/text_encoding.h"
#include "vm/arena.h"
#include "vm/context.h"

// Every builtin call a script makes: its number and first four argument words.
struct TrapCall {
  int number;
  uint32_t args[4];
};
inline std::vector<TrapCall>& TrapCalls() {
  static std::vector<TrapCall> calls;
  return calls;
}
inline void RecordTrap(uint16_t number, ScriptContext* ctx) {
  TrapCall c{number, {}};
  std::memcpy(c.args, ToHost(ctx->r[7] + 4), sizeof c.args);
  TrapCalls().push_back(c);
  ctx->r[0] = c.args[0];  // builtins in tests hand back their first argument
}
inline std::vector<std::string>& CompilerBoxes() {
  static std::vector<std::string> boxes;
  return boxes;
}
inline void RecordBox(std::string_view, std::string_view text) { CompilerBoxes().emplace_back(text); }

struct ScriptFolder {
  std::filesystem::path dir;
  ScriptFolder() {
    char tmpl[] = "/tmp/keva-compiler-XXXXXX";
    dir = mkdtemp(tmpl);
    SetScriptDirectory(dir.string() + "/");
  }
  ~ScriptFolder() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    SetScriptDirectory("");
  }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(dir / name, std::ios::binary) << text;
  }
};

struct Script {
  ScriptFolder folder;
  ScriptContext* ctx = nullptr;
  bool ok = false;
  int error = -1;
  int line = 0;
  std::string errors;  // the compiler's text in UTF-8

  explicit Script(const std::string& main_source = "") {
    if (ExternalAreaSize() == 0) AllocExternalArea(0x200000);
    SetErrorBoxBackend(RecordBox);
    SetBuiltinHook(RecordTrap);
    SetScriptStopFlag(0);
    CompilerBoxes().clear();
    TrapCalls().clear();
    if (!main_source.empty()) {
      folder.Write("main.c", main_source);
      Compile();
    }
  }
  ~Script() {
    FreeContext(ctx);
    SetBuiltinHook(nullptr);
    SetErrorBoxBackend(nullptr);
    SetScriptStopFlag(0);
  }
  Script(const Script&) = delete;
  Script& operator=(const Script&) = delete;

  bool Compile(const char* name = "main.c", uint32_t stack = 65536) {
    FreeContext(ctx);
    ctx = nullptr;
    ok = false;
    if (CompileSource(name, 0, 0)) {
      uint32_t size = CompiledCodeLength() + CompiledDataSize();
      ctx = CreateContext(size, stack);
      ok = ctx && CompileSource(name, ctx->program_base, size);
    }
    error = CompileErrorNumber();
    line = CompileErrorLine();
    errors = SjisToUtf8(CompileErrorText());
    return ok;
  }

  // Runs main to its end; returns r0 (main's result).
  uint32_t Run(int max_slices = 100000) {
    EXPECT_TRUE(ok) << errors;
    if (!ok) return 0xDEADBEEF;
    int slices = 0;
    while (ctx->state == kContextRunning && slices++ < max_slices && !ScriptStopRequested()) RunContext(ctx);
    EXPECT_EQ(ctx->state, kContextEnded);
    return ctx->r[0];
  }
  int32_t RunInt() { return static_cast<int32_t>(Run()); }
  float RunFloat() {
    uint32_t v = Run();
    float f;
    std::memcpy(&f, &v, 4);
    return f;
  }
};

// Compiles `source` (as main.c) into a host image at `base` and returns the
// image; empty when it does not compile.
inline std::vector<uint8_t> CompileImage(const std::string& source, uint32_t base = 0x10000) {
  Script s;
  s.folder.Write("main.c", source);
  if (!CompileSourceInto("main.c", nullptr, base, 0)) return {};
  std::vector<uint8_t> image(CompiledCodeLength() + CompiledDataSize());
  if (!CompileSourceInto("main.c", image.data(), base, static_cast<uint32_t>(image.size()))) return {};
  return image;
}

// Bytes from hex text ("22 00000000 ..."; spaces are ignored).
inline std::vector<uint8_t> Hex(std::string_view text) {
  std::vector<uint8_t> out;
  int half = -1;
  for (char c : text) {
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (v < 0) continue;
    if (half < 0) {
      half = v;
    } else {
      out.push_back(static_cast<uint8_t>(half * 16 + v));
      half = -1;
    }
  }
  return out;
}

// Little-endian 32-bit word as hex text, for building expected code.
inline std::string Word(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%02x%02x%02x%02x", v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF, v >> 24);
  return b;
}
