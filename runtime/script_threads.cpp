#include "runtime/script_threads.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/window_thread.h"
#include "runtime/dispatch.h"
#include "runtime/runtime_settings.h"
#include "runtime/script_loader.h"

namespace {

struct ScriptThread {
  std::thread thread;  // joinable while the slot is taken (the slot's "handle")
  uint32_t generation = 0;
  std::atomic<uint32_t> run_flag{0};
  std::atomic<int32_t> pause_count{0};
  std::atomic<uint32_t> wake_time{0};
  std::array<ScriptContext*, kContextStackDepth> contexts{};
  int32_t top = -1;
  std::atomic<bool> finished{false};
  std::atomic<bool> winding_down{false};  // out of its scripts, only its contexts left to free
  bool ended_normally = false;
  uint32_t result = 0;
  // A thread created suspended waits here before its first pass.
  std::mutex gate_lock;
  std::condition_variable gate;
  int os_suspend_count = 0;
};

// Never destroyed: when something ends the process with exit() while script
// threads run (the display connection breaks, a native library exits), their
// slots must not be torn down under them, and a joinable std::thread must not
// be destroyed (that aborts the process).
std::array<ScriptThread, kScriptThreadSlots>& table = *new std::array<ScriptThread, kScriptThreadSlots>;
std::mutex table_lock;  // creation, reaping and joining of slot threads
std::atomic<int> running_threads{0};
// Threads in their grace before freeing their contexts wait here, so that
// StopAllScriptThreads ends the grace at once.
std::mutex grace_lock;
std::condition_variable grace_end;

bool ValidSlot(int64_t n) { return n >= 0 && n < kScriptThreadSlots; }

// The thread font number of each slot; the last entry serves calls made
// outside any script thread.
std::array<uint8_t, kScriptThreadSlots + 1> font_numbers{};
size_t FontNumberEntry() {
  const ScriptContext* ctx = CurrentContext();
  return ctx && ValidSlot(ctx->thread_slot) ? ctx->thread_slot : kScriptThreadSlots;
}

bool HasHandle(int n) {
  std::lock_guard lock(table_lock);
  return table[n].thread.joinable();
}

// A slot the builtins may act on: the stop flag is clear, the number is valid
// and a thread occupies the slot.
bool UsableSlot(int64_t n) { return !ScriptStopRequested() && ValidSlot(n) && HasHandle(static_cast<int>(n)); }

void ResumeFully(ScriptThread& t) {
  std::lock_guard lock(t.gate_lock);
  t.os_suspend_count = 0;
  t.gate.notify_all();
}

void LowerPriority() {
  // Script threads run a little below the window thread.
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), getpriority(PRIO_PROCESS, 0) + 1);
}

// Decides when a running script thread gives up the processor between
// slices. A yield costs a system call and often a microsecond or more, so the
// thread yields only when another script thread waits for the builtin lock,
// or when it has run for a time slice without yielding; the scheduler shares
// the processors among compute-bound threads in any case.
class YieldPacer {
 public:
  void AfterSlice() {
    if (BuiltinLockWaiters() > 0) {
      HandOverBuiltinLock();
      Restart();
      return;
    }
    // The clock is read every few slices only: a slice is at most 255
    // instructions, or one builtin call.
    if (++slices_ < kSlicesPerClockCheck) return;
    slices_ = 0;
    if (std::chrono::steady_clock::now() >= next_yield_) Yield();
  }

 private:
  static constexpr int kSlicesPerClockCheck = 16;
  static constexpr std::chrono::microseconds kTimeSlice{1000};

  void Yield() {
    SleepMs(0);
    Restart();
  }

  void Restart() {
    slices_ = 0;
    next_yield_ = std::chrono::steady_clock::now() + kTimeSlice;
  }

  int slices_ = 0;
  std::chrono::steady_clock::time_point next_yield_ = std::chrono::steady_clock::now() + kTimeSlice;
};

// The window thread waits for threads to end between its messages: an empty
// call posted to it ends the wait at once.
void RunNothing(uintptr_t) {}
void WakeWindowThread() { PostToWindowThread(RunNothing, 0); }

void ScriptThreadProc(int slot) {
  ScriptThread& t = table[slot];
  {
    std::unique_lock lock(t.gate_lock);
    t.gate.wait(lock, [&] { return t.os_suspend_count <= 0; });
  }
  if (t.top < 0 || !t.contexts[t.top]) {
    t.finished = true;
    return;
  }
  running_threads.fetch_add(1);
  LowerPriority();
  SleepMs(0);
  YieldPacer pacer;
  while (!ScriptStopRequested() && t.run_flag.load(std::memory_order_relaxed)) {
    ScriptContext* c = t.contexts[t.top];
    if (c->state == kContextRunning) {
      uint32_t wake = t.wake_time.load(std::memory_order_relaxed);
      if (wake != 0) {
        if (static_cast<int32_t>(wake - TickCount()) > 0) {
          SleepMs(1);
          continue;
        }
        t.wake_time.store(0, std::memory_order_relaxed);
      }
      if (t.pause_count.load(std::memory_order_relaxed) > 0) {
        SleepMs(1);  // a paused thread waits without taking the processor
        continue;
      }
      RunContext(c);
      if (!g_application_active.load(std::memory_order_relaxed)) SleepMs(1);
      else pacer.AfterSlice();
    } else if (c->state == kContextEnded) {
      if (t.top == 0) {
        t.result = c->r[0];
        t.ended_normally = true;
        break;
      }
      // A script entered with `call` ended: its result becomes the caller's.
      uint32_t result = c->r[0];
      FreeContext(c);
      t.contexts[t.top--] = nullptr;
      t.contexts[t.top]->r[0] = result;
    } else {
      break;  // failed: handled below
    }
  }
  // A failed context (runtime error, dispatch error, exit) ends everything and
  // closes the main window without asking. A runtime error has set the stop
  // flag already, which ends the loop before it looks at the context again,
  // so the failure is taken up here.
  if (t.top >= 0 && t.contexts[t.top]->state == kContextFailed) {
    g_runtime_settings.confirmation = 0;
    SetScriptStopFlag(1);
    if (g_runtime_host_hooks.close_main_window) g_runtime_host_hooks.close_main_window();
  }
  // A short grace before the contexts go; an engine that is stopping every
  // thread (and so frees them anyway) does not wait for it.
  t.winding_down = true;
  WakeWindowThread();  // a headless run may end now
  {
    std::unique_lock hold(grace_lock);
    grace_end.wait_for(hold, std::chrono::milliseconds(5), [] { return ScriptStopRequested(); });
  }
  for (; t.top >= 0; --t.top) {
    FreeContext(t.contexts[t.top]);
    t.contexts[t.top] = nullptr;
  }
  running_threads.fetch_sub(1);
  t.finished = true;
  WakeWindowThread();  // StopAllScriptThreads may be waiting for it
}

void ResetSlot(ScriptThread& t) {
  t.run_flag = 0;
  t.pause_count = 0;
  t.wake_time = 0;
  t.contexts.fill(nullptr);
  t.top = -1;
  t.finished = false;
  t.winding_down = false;
  t.os_suspend_count = 0;
}

ScriptThread* CallerSlot() {
  ScriptContext* c = CurrentContext();
  if (!c || !UsableSlot(c->thread_slot)) return nullptr;
  return &table[c->thread_slot];
}

}  // namespace

void ClearThreadTable() {
  std::lock_guard lock(table_lock);
  for (ScriptThread& t : table) {
    if (t.thread.joinable()) {
      if (t.finished) t.thread.join();
      else t.thread.detach();  // never happens when the host keeps to the order
    }
    ResetSlot(t);
    t.ended_normally = false;
    t.result = 0;
  }
  font_numbers.fill(0);
  SetScriptStopFlag(0);
}

int StartScriptThread(ScriptContext* ctx, bool start_suspended) {
  if (ScriptStopRequested() || !ctx) return -1;
  std::lock_guard lock(table_lock);
  for (ScriptThread& t : table) {
    if (t.thread.joinable() && t.finished) t.thread.join();
  }
  for (int n = 0; n < kScriptThreadSlots; ++n) {
    ScriptThread& t = table[n];
    if (t.thread.joinable()) continue;
    ResetSlot(t);
    ctx->thread_slot = static_cast<uint32_t>(n);
    t.contexts[0] = ctx;
    t.top = 0;
    t.run_flag = 1;
    t.ended_normally = false;
    t.result = 0;
    t.os_suspend_count = start_suspended ? 1 : 0;
    try {
      t.thread = std::thread(ScriptThreadProc, n);
    } catch (...) {
      ResetSlot(t);
      return -1;
    }
    ++t.generation;
    return n;
  }
  return -1;
}

void ResumeScriptThread(int slot) {
  if (ValidSlot(slot)) ResumeFully(table[slot]);
}

void StopAllScriptThreads() {
  {
    std::lock_guard hold(grace_lock);
    SetScriptStopFlag(1);
  }
  grace_end.notify_all();
  // Give the threads up to half a second to wind down by themselves.
  for (uint32_t start = TickCount(); running_threads.load() > 0 && TickCount() - start < 500;) {
    if (ServeEngineMessages() == 0) WaitForEngineMessages(1);
  }
  {
    std::lock_guard lock(table_lock);
    for (ScriptThread& t : table) {
      if (t.thread.joinable()) ResumeFully(t);
    }
  }
  // Wait without holding the table lock: a thread on its way out of a builtin
  // (thd_end, thd_begin) may still need it.
  for (;;) {
    bool all = true;
    {
      std::lock_guard lock(table_lock);
      for (ScriptThread& t : table) all = all && (!t.thread.joinable() || t.finished);
    }
    if (all) break;
    if (ServeEngineMessages() == 0) WaitForEngineMessages(1);
  }
  std::lock_guard lock(table_lock);
  for (ScriptThread& t : table) {
    if (t.thread.joinable()) {
      ResumeFully(t);  // one started since the check above sees the stop flag at once
      t.thread.join();
    }
    ResetSlot(t);
  }
  SetScriptStopFlag(0);
}

int RunningScriptThreads() { return running_threads.load(); }

bool AnyScriptThreadAlive() {
  std::lock_guard lock(table_lock);
  for (ScriptThread& t : table) {
    if (t.thread.joinable() && !t.finished && !t.winding_down) return true;
  }
  return false;
}

uint32_t ScriptThreadResult(int slot, bool* ended) {
  if (!ValidSlot(slot)) {
    if (ended) *ended = false;
    return 0;
  }
  if (ended) *ended = table[slot].ended_normally;
  return table[slot].result;
}

const ScriptContext* ScriptThreadTopContext(int slot) {
  if (!ValidSlot(slot) || table[slot].top < 0) return nullptr;
  return table[slot].contexts[table[slot].top];
}

int ScriptThreadDepth(int slot) { return ValidSlot(slot) ? table[slot].top + 1 : 0; }

void PauseAllScriptThreads() {
  for (int n = 0; n < kScriptThreadSlots; ++n) {
    if (UsableSlot(n)) table[n].pause_count.fetch_add(1);
  }
}

void ResumeAllScriptThreads() {
  for (int n = 0; n < kScriptThreadSlots; ++n) {
    if (!UsableSlot(n)) continue;
    int32_t count = table[n].pause_count.load();
    while (count > 0 && !table[n].pause_count.compare_exchange_weak(count, count - 1)) {
    }
  }
}

// --- Control builtins ---------------------------------------------------------

uint32_t builtin_jump(BuiltinArgs args) {
  ScriptContext* next = LoadScript(args.str(0), g_runtime_settings.program_size, g_runtime_settings.stack_size);
  if (!next) return 0;
  ScriptThread* t = CallerSlot();
  if (!t) {
    FreeContext(next);
    return 0;
  }
  next->thread_slot = CurrentContext()->thread_slot;
  FreeContext(t->contexts[t->top]);
  t->contexts[t->top] = next;
  SetCurrentContext(next);
  return 1;
}

uint32_t builtin_call(BuiltinArgs args) {
  ScriptContext* next = LoadScript(args.str(0), g_runtime_settings.program_size, g_runtime_settings.stack_size);
  if (!next) return 0;
  ScriptThread* t = CallerSlot();
  if (!t || t->top + 1 >= kContextStackDepth) {
    FreeContext(next);
    return 0;
  }
  next->thread_slot = CurrentContext()->thread_slot;
  t->contexts[++t->top] = next;
  return 1;  // replaced by the called script's result when it ends
}

uint32_t builtin_exit(BuiltinArgs) {
  CurrentContext()->state = kContextFailed;
  return 0;
}

uint32_t builtin_setjmp(BuiltinArgs args) {
  ScriptContext* c = CurrentContext();
  uint32_t buffer = args.u(0);
  if (!InArena(buffer, sizeof(ScriptContext))) return 0;
  ScriptContext saved = *c;
  std::memcpy(&saved.pc, ToHost(c->r[7]), 4);  // the return address into the caller
  saved.r[0] = ValidSlot(c->thread_slot) ? static_cast<uint32_t>(table[c->thread_slot].top) : 0;
  saved.r[7] = c->r[7] + 4;
  std::memcpy(ToHost(buffer), &saved, sizeof saved);
  return 0;
}

uint32_t builtin_longjmp(BuiltinArgs args) {
  ScriptContext* c = CurrentContext();
  uint32_t buffer = args.u(0);
  uint32_t value = args.u(1);
  if (!InArena(buffer, sizeof(ScriptContext)) || !ValidSlot(c->thread_slot)) return 0;
  ScriptContext saved;
  std::memcpy(&saved, ToHost(buffer), sizeof saved);
  if (saved.thread_slot != c->thread_slot) return 0;
  ScriptThread& t = table[c->thread_slot];
  int32_t d = static_cast<int32_t>(saved.r[0]);
  if (d < 0 || t.top < d) return 0;
  ScriptContext* target = t.contexts[d];
  if (target->program_base != saved.program_base || target->stack_base != saved.stack_base ||
      target->r[7] > saved.r[7])
    return 0;
  while (t.top > d) {
    FreeContext(t.contexts[t.top]);
    t.contexts[t.top--] = nullptr;
  }
  // The record comes back whole, except the fields that describe the areas:
  // those stay the engine's, so a forged buffer cannot misdescribe them.
  saved.shared_count = target->shared_count;
  saved.program_size = target->program_size;
  saved.stack_size = target->stack_size;
  *target = saved;
  SetCurrentContext(target);
  return value ? value : 1;
}

uint32_t builtin_thd_begin(BuiltinArgs args) {
  uint32_t function = args.u(0);
  uint32_t argument = args.u(1);
  bool paused = args.u(2) != 0;
  int32_t stack_size = args.i(3);
  if (stack_size > 0 && stack_size < 1024) stack_size = 1024;
  if (ScriptStopRequested()) return static_cast<uint32_t>(-1);
  ScriptContext* clone = CloneContext(CurrentContext(), stack_size);
  if (!clone) return static_cast<uint32_t>(-1);
  clone->r[7] -= 8;
  clone->pc = function;
  uint32_t all_ones = 0xFFFFFFFFu;
  std::memcpy(ToHost(clone->r[7]), &all_ones, 4);
  std::memcpy(ToHost(clone->r[7] + 4), &argument, 4);
  int n = StartScriptThread(clone, true);
  if (n < 0) {
    FreeContext(clone);
    return static_cast<uint32_t>(-1);
  }
  table[n].pause_count = paused ? 1 : 0;
  ResumeFully(table[n]);
  font_numbers[n] = 0;
  return static_cast<uint32_t>(n);
}

uint8_t ThreadFontNumber() { return font_numbers[FontNumberEntry()]; }
void SetThreadFontNumber(uint8_t number) { font_numbers[FontNumberEntry()] = number; }

uint32_t builtin_thd_end(BuiltinArgs args) {
  int32_t n = args.i(0);
  if (!UsableSlot(n)) return 0;
  // Waiting for our own thread would never end.
  if (!CurrentContext() || !ValidSlot(CurrentContext()->thread_slot) ||
      static_cast<int64_t>(CurrentContext()->thread_slot) == n)
    return 0;
  ScriptThread& t = table[n];
  uint32_t generation;
  {
    std::lock_guard lock(table_lock);
    generation = t.generation;
  }
  t.run_flag = 0;
  ResumeFully(t);
  ScriptThread& own = table[CurrentContext()->thread_slot];
  {
    // The target may be waiting for the builtin lock; let it have it. Stop
    // waiting when we are being ended ourselves, so two threads ending each
    // other both finish.
    BuiltinLockReleased unlocked;
    while (!t.finished && own.run_flag.load() && !ScriptStopRequested()) SleepMs(1);
  }
  std::lock_guard lock(table_lock);
  // A target still on its way out (we stopped waiting) is reaped later.
  if (t.generation == generation && t.thread.joinable() && t.finished) {
    t.thread.join();
    ResetSlot(t);
  }
  return 1;
}

uint32_t builtin_thd_suspend(BuiltinArgs args) {
  int32_t n = args.i(0);
  if (!UsableSlot(n)) return static_cast<uint32_t>(-1);
  return static_cast<uint32_t>(table[n].pause_count.fetch_add(1) + 1);
}

uint32_t builtin_thd_resume(BuiltinArgs args) {
  int32_t n = args.i(0);
  if (!UsableSlot(n)) return static_cast<uint32_t>(-1);
  int32_t count = table[n].pause_count.load();
  do {
    if (count <= 0) return 0;
  } while (!table[n].pause_count.compare_exchange_weak(count, count - 1));
  return static_cast<uint32_t>(count - 1);
}

uint32_t builtin_sleep(BuiltinArgs args) {
  ScriptThread* t = CallerSlot();
  if (!t) return 0;
  t->wake_time = TickCount() + args.u(0);
  return 1;
}
