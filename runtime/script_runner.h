// Running a script on real script threads without a window: the runtime is
// started, the script loaded and run on thread 0, and the call returns when
// no script thread is left, when the scripts stopped (a failure or exit), or
// at the timeout. Used by tests and by the headless runner.
#pragma once
#include <cstdint>

struct ScriptRun {
  bool loaded = false;          // the main script compiled and its thread started
  bool main_ended = false;      // the main script returned from main
  uint32_t main_result = 0;     // ... with this result
  bool stopped = false;         // a context failed or called exit
  bool timed_out = false;
};

// timeout_ms 0 waits without limit.
ScriptRun RunScriptOnThreads(const char* path, uint32_t timeout_ms);
