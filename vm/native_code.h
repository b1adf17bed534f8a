// Native code: script code translated block by block to x86-64 machine code,
// run in place of the interpreter where the host can.
//
// Code that has not run often is left to the interpreter. A block is a
// straight run of instructions from one entry address up to an
// unconditional transfer (jmp, call, ret) or an instruction the translator
// leaves to the interpreter (trap, fmod, illegal opcodes, code near the top
// of the address space). Conditional jumps leave the block when taken. The
// machine code keeps r0 to r7 in host registers and behaves instruction for
// instruction like the interpreter: a slice still runs at most 255
// instructions, the stop flag is seen at every transfer, and anything out of
// the ordinary (a runtime error, the end of the context, a store into
// translated code) hands that one instruction to the interpreter.
//
// Code is bytes in script memory, so a block is only run while its bytes are
// as they were translated: a script store into translated bytes, a builtin
// call, and a program area created or freed all mark every block for a fresh
// check of its bytes before it runs again. Every script thread keeps a cache
// of its own, so threads never wait on each other's translations.
#pragma once
#include <atomic>
#include <cstdint>

#include "vm/context.h"

// True when this build and host can run native code (x86-64, and the first
// code buffer could be mapped).
bool NativeCodeSupported();

// Process-wide switch, read at the start of every slice. On by default where
// supported, unless the environment variable KEVA_INTERPRET is set to a
// non-empty value other than "0".
void SetNativeCodeEnabled(bool on);
bool NativeCodeEnabled();

// Code is translated once runs have started at its address this many times
// (8 by default); 1 translates everything as it first runs (tests use it).
void SetTranslationThreshold(int runs);

// Bytes of script memory may have been rewritten outside script stores (a
// builtin, the loader, a host routine): every block checks its bytes again
// before it next runs. Cheap; any thread may call it.
void NoteCodeMayHaveChanged();

// One byte per 16 bytes of script memory, nonzero where translated code
// lies within 3 bytes after the 16 (a 4-byte store starting there may meet
// it); null until the first block is translated.
inline std::atomic<uint8_t*> g_code_map{nullptr};

// A store of `bytes` at addr hit a marked granule: if it met translated
// code, every block checks its bytes before it next runs.
void NoteStoreNearCode(uint32_t addr, uint32_t bytes = 4);

// The bytes [addr, addr + bytes) are no longer code (a program area freed):
// translations made from them are dropped, so stores there are plain stores.
void ForgetCode(uint32_t addr, uint32_t bytes);

// One slice through native code: RunContext's path while native code is
// enabled.
int RunNativeSlice(ScriptContext* ctx);

// The interpreter's slice with `budget` left: it runs at most budget - 1
// instructions, and ends after a trap. RunContext is RunInterpretedSlice(ctx,
// 256) when native code is off.
int RunInterpretedSlice(ScriptContext* ctx, int budget);
