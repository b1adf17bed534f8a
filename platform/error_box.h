// The engine's error box. Every subsystem reports problems for the user here.
#pragma once
#include <cstdint>
#include <string_view>

// Shows a message box captioned "ERROR : Error" when level is at most the
// current error level. The text is formatted printf-style into 256 bytes
// (Shift_JIS). Any thread may call it; the caller waits until it is answered.
void ShowError(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Highest level that ShowError shows ([General] Error; default 1, 0 silences all).
void SetErrorLevel(int level);
int ErrorLevel();

// How boxes are shown. The default prints "ERROR : Error: <text>" in UTF-8 on
// standard error and answers OK at once, which is also the headless behaviour.
// The window backend installs its own when the main window exists.
using ErrorBoxBackend = void (*)(std::string_view caption_sjis, std::string_view text_sjis);
void SetErrorBoxBackend(ErrorBoxBackend backend);  // nullptr restores the default

// Number of boxes shown since start.
uint32_t ErrorBoxCount();

// Number of errors reported since start that make a run fail: every shown box,
// and every level-1 error (script, compiler, device) even while [General]
// Error=0 hides its box. The headless runner's exit status uses it.
uint32_t ReportedErrorCount();
