// The Debug Output window: a second window listing the lines scripts write
// with log_out, with a Clear and a Close button. It starts hidden; F8 shows
// and hides it. Window thread only, except that lines may come from any thread.
#pragma once

// Creates the window (hidden) and makes it the Debug Output sink. False when
// it cannot be created (no display, or no font to draw with).
bool CreateDebugWindow();
void DestroyDebugWindow();
bool DebugWindowExists();
void ToggleDebugWindow();
