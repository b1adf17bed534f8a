#include "runtime/script_runner.h"

#include "platform/clock.h"
#include "platform/window_thread.h"
#include "runtime/dispatch.h"
#include "runtime/runtime_settings.h"
#include "runtime/script_loader.h"
#include "runtime/script_threads.h"

ScriptRun RunScriptOnThreads(const char* path, uint32_t timeout_ms) {
  ScriptRun run;
  BecomeWindowThread();
  RuntimeStart();
  ClearThreadTable();
  ScriptContext* ctx = LoadScript(path, g_runtime_settings.program_size, g_runtime_settings.stack_size);
  if (ctx && StartScriptThread(ctx, false) == 0) {
    run.loaded = true;
  } else {
    FreeContext(ctx);
    RuntimeStop();
    return run;
  }
  uint32_t start = TickCount();
  while (AnyScriptThreadAlive() && !ScriptStopRequested()) {
    if (timeout_ms && TickCount() - start >= timeout_ms) {
      run.timed_out = true;
      break;
    }
    ServeEngineMessages();
    SleepMs(1);
  }
  run.stopped = ScriptStopRequested() && !run.timed_out;
  StopAllScriptThreads();
  run.main_result = ScriptThreadResult(0, &run.main_ended);
  RuntimeStop();
  return run;
}
