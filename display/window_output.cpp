// The window-painted output's full screen: a real display mode change to the
// smallest listed mode that holds the screen, with the view centred on it.
#include <algorithm>

#include "display/display_output.h"
#include "platform/window.h"

namespace {

// Both touched on the window thread only.
struct WindowOutput {
  bool started = false;  // there is a display to switch
  DisplayModeSize chosen{0, 0};
  bool full_screen = false;
  int32_t saved_x = 0, saved_y = 0;  // the window's place before full screen
} state;

}  // namespace

DisplayModeSize ChooseFullScreenMode(const std::vector<DisplayModeSize>& modes, int32_t width, int32_t height) {
  DisplayModeSize chosen{0, 0};
  for (const DisplayModeSize& m : modes) {
    if (m.w < width || m.h < height) continue;
    if (chosen.w == 0 || (m.w < chosen.w && m.h < chosen.h)) chosen = m;
  }
  return chosen;
}

OutputRect ViewRectangle(bool full_screen, DisplayModeSize mode, int32_t width, int32_t height) {
  if (!full_screen) return {0, 0, width, height};
  return {(mode.w - width) / 2, (mode.h - height) / 2, width, height};
}

int StartWindowOutput() {
  state = WindowOutput{};
  if (!MainWindowExists()) return 0;  // headless: full screen is unavailable
  state.started = true;
  state.chosen = ChooseFullScreenMode(DisplayModes(), g_display_settings.width, g_display_settings.height);
  return 1;
}

void StopWindowOutput() { state = WindowOutput{}; }

bool WindowOutputFullScreen() { return state.full_screen; }

int32_t SetFullScreenWindowOutput(int32_t mode) {
  if (!state.started) return 0;
  const bool on = mode != 0;
  if (on == state.full_screen) return 1;
  const int32_t w = g_display_settings.width, h = g_display_settings.height;
  if (on) {
    MainWindowPosition(state.saved_x, state.saved_y);
    if (state.chosen.w > 0 && EnterExclusiveFullScreen(state.chosen.w, state.chosen.h)) {
      state.full_screen = true;
      PlaceView(ViewRectangle(true, state.chosen, w, h));
      return 1;
    }
  }
  // Leaving, or no mode to enter: the window as it was, the view at its corner.
  LeaveFullScreenTo(state.saved_x, state.saved_y, w, h);
  state.full_screen = false;
  PlaceView(ViewRectangle(false, state.chosen, w, h));
  return 1;
}
