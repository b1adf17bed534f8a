// log_clear and log_out: lines for the Debug Output window.
#pragma once
#include "runtime/builtin.h"

uint32_t builtin_log_clear(BuiltinArgs args);  // 1, or 0 without a Debug Output window
// format, arguments...: adds one line (at most 4095 bytes); 1, or 0 without a
// Debug Output window.
uint32_t builtin_log_out(BuiltinArgs args);
