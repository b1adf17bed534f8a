// The Debug Output window: a list of text lines that scripts add with log_out.
// In the window it is a second window (F8 shows and hides it); in a headless
// run it is standard output, one UTF-8 line per entry.
#pragma once
#include <string_view>

struct DebugOutputBackend {
  void (*append)(std::string_view line_sjis);
  void (*clear)();
};

// Installs the window's backend, or nullptr for none (log_out then returns 0).
void SetDebugOutputBackend(const DebugOutputBackend* backend);
// Uses standard output as the Debug Output window.
void UseStandardOutputForDebugOutput();

bool DebugOutputExists();
void DebugOutputAppend(std::string_view line_sjis);
void DebugOutputClear();
