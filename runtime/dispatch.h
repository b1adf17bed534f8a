// The builtin dispatcher and the runtime's start and stop.
#pragma once
#include <cstdint>
#include <mutex>

#include "runtime/builtin.h"

// The builtin table: kBuiltinCount rows in number order, then an all-zero row.
extern const BuiltinEntry kBuiltinTable[kBuiltinCount + 1];

// The builtin hook: checks the number (and the argument count in debug mode),
// runs the handler under the builtin lock and stores its result in r0 of the
// context that is current afterwards.
void DispatchBuiltin(uint16_t number, ScriptContext* ctx);

// The number of argument words the caller of the builtin being served pushed,
// read from the cleanup instruction its return address points at; 0 when
// there is none (a call without arguments).
int32_t PushedArgumentCount(const ScriptContext* ctx);

// Number of script threads blocked waiting for the builtin lock right now.
int BuiltinLockWaiters();

// Called by a script thread between slices while others wait for the builtin
// lock: yields until one of them has taken it (bounded to a few milliseconds).
void HandOverBuiltinLock();

// Resets every script-visible table and installs the dispatcher. Runs
// RuntimeStop first, so it doubles as a reset. Both return 1.
int RuntimeStart();
int RuntimeStop();

// Lets a handler wait for another script thread without holding the builtin
// lock (thd_end): the lock is released for the scope's lifetime and taken
// back afterwards, and the current context is restored.
class BuiltinLockReleased {
 public:
  BuiltinLockReleased();
  ~BuiltinLockReleased();
  BuiltinLockReleased(const BuiltinLockReleased&) = delete;
  BuiltinLockReleased& operator=(const BuiltinLockReleased&) = delete;

 private:
  ScriptContext* saved_;
};
