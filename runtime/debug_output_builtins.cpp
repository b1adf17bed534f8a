#include "runtime/debug_output_builtins.h"

#include "platform/debug_output.h"

uint32_t builtin_log_clear(BuiltinArgs) {
  if (!DebugOutputExists()) return 0;
  DebugOutputClear();
  return 1;
}
