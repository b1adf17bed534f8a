#include "vm/context.h"

#include <cstring>
#include <new>

#include "platform/error_box.h"
#include "vm/arena.h"
#include "vm/native_code.h"

namespace {

void IgnoreBuiltin(uint16_t, ScriptContext*) {}

std::atomic<BuiltinHook> builtin_hook{IgnoreBuiltin};

uint32_t external_area = 0;
uint32_t external_size = 0;

// The shared count follows the program, so it is often unaligned.
uint32_t SharedCount(const ScriptContext* ctx) {
  uint32_t count;
  std::memcpy(&count, ToHost(ctx->shared_count), 4);
  return count;
}
void SetSharedCount(const ScriptContext* ctx, uint32_t count) { std::memcpy(ToHost(ctx->shared_count), &count, 4); }

}  // namespace

const char* RuntimeErrorText(int code) {
  static const char* const texts[] = {
      "\x82\x4f\x82\xc5\x8f\x9c\x8e\x5a\x82\xb5\x82\xdc\x82\xb5\x82\xbd",  // ０で除算しました
      "\x83\x76\x83\x8d\x83\x4f\x83\x89\x83\x80\x97\xcc\x88\xe6\x82\xf0\x83\x49\x81\x5b\x83\x6f"
      "\x81\x5b\x82\xb5\x82\xdc\x82\xb5\x82\xbd",  // プログラム領域をオーバーしました
      "\x83\x58\x83\x5e\x83\x62\x83\x4e\x97\xcc\x88\xe6\x82\xf0\x83\x49\x81\x5b\x83\x6f\x81\x5b"
      "\x82\xb5\x82\xdc\x82\xb5\x82\xbd",  // スタック領域をオーバーしました
      "\x95\x73\x90\xb3\x82\xc8\x96\xbd\x97\xdf\x83\x52\x81\x5b\x83\x68\x82\xaa\x8c\xbb\x82\xea"
      "\x82\xdc\x82\xb5\x82\xbd",  // 不正な命令コードが現れました
  };
  return (code >= 0 && code < 4) ? texts[code] : texts[kErrorIllegalInstruction];
}

void RaiseRuntimeError(ScriptContext* ctx, int code) {
  ShowError(1, "%s", RuntimeErrorText(code));
  ctx->state = kContextFailed;
  SetScriptStopFlag(1);
}

ScriptContext* CreateContext(uint32_t program_size, uint32_t stack_size) {
  if (program_size > UINT32_MAX - 4) return nullptr;
  auto* ctx = new (std::nothrow) ScriptContext{};
  if (!ctx) return nullptr;
  uint32_t program = ArenaAllocZeroed(uint64_t{program_size} + 4);
  uint32_t stack = program ? ArenaAllocZeroed(stack_size) : 0;
  if (!stack) {
    ArenaFree(program);
    delete ctx;
    return nullptr;
  }
  ctx->program_base = program;
  ctx->program_size = program_size;
  ctx->shared_count = program + program_size;
  ctx->stack_base = stack;
  ctx->stack_size = stack_size;
  ctx->pc = program;
  ctx->r[7] = stack + stack_size;
  SetSharedCount(ctx, 1);
  NoteCodeMayHaveChanged();  // the area may hold translated code of an earlier program
  return ctx;
}

ScriptContext* CloneContext(const ScriptContext* parent, int32_t stack_size) {
  if (!parent) return nullptr;
  uint32_t size = stack_size > 0 ? static_cast<uint32_t>(stack_size) : parent->stack_size;
  auto* ctx = new (std::nothrow) ScriptContext{};
  if (!ctx) return nullptr;
  uint32_t stack = ArenaAllocZeroed(size);
  if (!stack) {
    delete ctx;
    return nullptr;
  }
  ctx->program_base = parent->program_base;
  ctx->program_size = parent->program_size;
  ctx->shared_count = parent->shared_count;
  ctx->stack_base = stack;
  ctx->stack_size = size;
  ctx->pc = ctx->program_base;
  ctx->r[7] = stack + size;
  SetSharedCount(ctx, SharedCount(ctx) + 1);
  return ctx;
}

void FreeContext(ScriptContext* ctx) {
  if (!ctx) return;
  // The count lives in script memory; a program area already released is
  // refused by the arena, so a scribbled count cannot free it twice.
  uint32_t count = SharedCount(ctx) - 1;
  SetSharedCount(ctx, count);
  if (static_cast<int32_t>(count) <= 0) {
    ForgetCode(ctx->program_base, ctx->program_size + 4);
    ArenaFree(ctx->program_base);
  }
  ArenaFree(ctx->stack_base);
  delete ctx;
}

void SetBuiltinHook(BuiltinHook hook) { builtin_hook.store(hook ? hook : IgnoreBuiltin); }
BuiltinHook CurrentBuiltinHook() { return builtin_hook.load(std::memory_order_relaxed); }

bool AllocExternalArea(uint32_t bytes) {
  FreeExternalArea();
  if (bytes == 0) return true;
  external_area = ArenaAllocZeroed(bytes);
  if (!external_area) return false;
  external_size = bytes;
  return true;
}

void FreeExternalArea() {
  if (external_area) ArenaFree(external_area);
  external_area = 0;
  external_size = 0;
}

uint32_t ExternalAreaAddress() { return external_area; }
uint32_t ExternalAreaSize() { return external_size; }
