// Script contexts: one running compiled script each, and the process-wide
// state the interpreter shares (the external data area, the builtin hook and
// the script stop flag).
#pragma once
#include <atomic>
#include <cstdint>

// One running program. The record is exactly 64 bytes in this field order:
// setjmp copies it into script memory and longjmp copies it back.
struct ScriptContext {
  uint32_t thread_slot;       // ScriptThread slot running this context (thread table only)
  uint8_t state;              // kContextRunning, kContextEnded, kContextFailed
  uint8_t zero_flag;          // Z
  uint8_t less_flag;          // L: signed less
  uint8_t below_flag;         // B: unsigned less
  uint32_t pc;                // address of the next instruction byte
  uint32_t shared_count;      // address of the shared count word after the program area
  uint32_t program_base;
  uint32_t stack_base;
  uint32_t program_size;      // without the shared count
  uint32_t stack_size;
  uint32_t r[8];              // r6 frame pointer, r7 stack pointer
};
static_assert(sizeof(ScriptContext) == 64);

enum : uint8_t { kContextRunning = 0, kContextEnded = 1, kContextFailed = 2 };

// Runtime error codes and the texts they show (Shift_JIS).
enum RuntimeError : int {
  kErrorDivideByZero = 0,
  kErrorProgramOverrun = 1,   // call through a zero register
  kErrorStackOverrun = 2,
  kErrorIllegalInstruction = 3,
};
const char* RuntimeErrorText(int code);

// Allocates a context with a zero-filled program area of program_size + 4
// bytes (the shared count, set to 1, follows the program) and a zero-filled
// stack. pc = program base, r7 = stack top. nullptr when any allocation fails.
ScriptContext* CreateContext(uint32_t program_size, uint32_t stack_size);

// A context sharing parent's program area, with its own stack of stack_size
// bytes (the parent's size when stack_size <= 0).
ScriptContext* CloneContext(const ScriptContext* parent, int32_t stack_size);

// Releases the context and its stack; the program area goes with its last user.
void FreeContext(ScriptContext* ctx);

// Runs one slice: at most 255 instructions, ending right after a trap. Always
// returns 1; the outcome is in ctx->state.
int RunContext(ScriptContext* ctx);

// Shows the runtime error's text, fails the context and stops all scripts.
void RaiseRuntimeError(ScriptContext* ctx, int code);

// Called by trap with the builtin number. It finds the arguments at r7 + 4
// upward and stores the result in r0; it may change any field of ctx.
using BuiltinHook = void (*)(uint16_t number, ScriptContext* ctx);
void SetBuiltinHook(BuiltinHook hook);  // nullptr restores the do-nothing hook
BuiltinHook CurrentBuiltinHook();

// The 16-bit word that starts the argument cleanup instruction `add r7, $4n`
// placed right after a call with arguments.
constexpr uint16_t kArgumentCleanupWord = 30523;

// The process-wide external data area for `extern` variables.
bool AllocExternalArea(uint32_t bytes);  // frees any previous area; 0 bytes is no area
void FreeExternalArea();
uint32_t ExternalAreaAddress();          // 0 when there is none
uint32_t ExternalAreaSize();

// The script stop flag: while nonzero no script executes. Any thread may set it.
inline std::atomic<uint32_t> g_script_stop_flag{0};
inline bool ScriptStopRequested() { return g_script_stop_flag.load(std::memory_order_relaxed) != 0; }
inline void SetScriptStopFlag(uint32_t value) { g_script_stop_flag.store(value, std::memory_order_relaxed); }
