#include "runtime/script_loader.h"

#include <cstring>

#include "compiler/compiler.h"
#include "platform/text_encoding.h"

bool HasScriptExtension(const char* path) {
  if (!path) return false;
  const char* dot = nullptr;
  for (const char* p = path; *p; ++p) {
    if (IsSjisLead(static_cast<uint8_t>(*p))) {
      if (!p[1]) break;
      ++p;
      continue;
    }
    if (*p == '.') dot = p;
  }
  return dot && (dot[1] == 'c' || dot[1] == 'C') && dot[2] == '\0';
}

ScriptContext* LoadScript(const char* path, uint32_t program_size, uint32_t stack_size) {
  if (!HasScriptExtension(path)) return nullptr;
  // Path buffers hold 259 bytes; a longer path is refused rather than cut,
  // which could name a different file.
  char name[260];
  size_t length = std::strlen(path);
  if (length >= sizeof name) return nullptr;
  std::memcpy(name, path, length + 1);
  if (program_size == 0) {
    if (!CompileSource(name, 0, 0)) return nullptr;
    uint64_t needed = uint64_t{CompiledCodeLength()} + CompiledDataSize();
    if (needed > UINT32_MAX - 4) return nullptr;
    program_size = static_cast<uint32_t>(needed);
  }
  ScriptContext* ctx = CreateContext(program_size, stack_size);
  if (!ctx) return nullptr;
  if (!CompileSource(name, ctx->program_base, program_size)) {
    FreeContext(ctx);
    return nullptr;
  }
  return ctx;
}
