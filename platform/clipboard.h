// The desktop clipboard. Window thread only, with the window system up.
#pragma once
#include <string_view>

// Puts UTF-8 text on the clipboard; false when there is no clipboard.
bool SetClipboardText(std::string_view utf8);
