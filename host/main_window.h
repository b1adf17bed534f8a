// The main window's behaviour: closing with the confirmation, keeping the
// aspect ratio, full screen, pausing while inactive, and recording the mouse
// and typed text for the input builtins.
#pragma once
#include <cstdint>

// Opens the main window from the settings; false when it cannot be created.
bool OpenMainWindow();

// Switches between window (0) and full screen (nonzero); 1 on success.
int32_t SetFullScreen(int32_t mode);

// The application became active or inactive: pause or resume (unless
// [Option] GlobalFocus), and input follows. Window thread.
void ApplicationActivated(bool active);

// Pausing while the application is inactive, and resuming.
void PauseEngine();
void ResumeEngine();

// Asks to close the main window, from any thread: after a failed script the
// window closes without the confirmation (the thread cleared it).
void RequestMainWindowClose();

// Closes the main window without the confirmation, from any thread (the
// engine is ended from outside): open boxes are answered and the engine
// shuts down in order as after a confirmed close.
void CloseMainWindowNow();

// From another instance of the same game (any thread): bring the window up.
void RaiseMainWindowSoon();

// Whether the display was in full screen when the window closed.
bool FullScreenAtClose();
