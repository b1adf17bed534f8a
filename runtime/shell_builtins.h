// Message boxes, the window caption, opening files with the desktop, starting
// programs and the desktop wallpaper.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "runtime/builtin.h"

// A command line split into arguments the way the Windows C runtime splits
// it: blanks separate outside quotes; 2n backslashes before a quote give n
// and the quote opens or closes a quoted part, 2n+1 give n and a literal
// quote; "" inside a quoted part is a literal quote; other backslashes are
// plain. The program name (the first argument) ends at its closing quote or
// at the first blank, with no backslash rules.
std::vector<std::string> SplitCommandLine(std::string_view line);

uint32_t builtin_mbox(BuiltinArgs args);
uint32_t builtin_caption(BuiltinArgs args);
uint32_t builtin_shell(BuiltinArgs args);
uint32_t builtin_exec(BuiltinArgs args);
uint32_t builtin_wallpaper(BuiltinArgs args);
