#include "runtime/debug_output_builtins.h"

#include "platform/debug_output.h"
#include "runtime/format.h"

uint32_t builtin_log_clear(BuiltinArgs) {
  if (!DebugOutputExists()) return 0;
  DebugOutputClear();
  return 1;
}

uint32_t builtin_log_out(BuiltinArgs args) {
  if (!DebugOutputExists()) return 0;
  char line[4096];
  size_t length = FormatScriptText(args.u(0), args.base + 4, line, sizeof line);
  DebugOutputAppend(std::string_view(line, length));
  return 1;
}
