// What the main window records for the input builtins: mouse buttons, their
// press and double-click counters, the wheel total, and whether input is
// enabled at all (not while the quit confirmation is up or the application
// is inactive). The window thread writes; script threads read.
#pragma once
#include <atomic>
#include <cstdint>

struct WindowInput {
  std::atomic<uint32_t> buttons{0};            // bit 0 left, bit 1 right, bit 2 middle
  std::atomic<uint32_t> presses[3]{};           // +1 on every down and double click
  std::atomic<uint32_t> double_clicks[3]{};
  std::atomic<int32_t> wheel_total{0};          // 120 per notch, positive away from the user
  std::atomic<int32_t> input_enabled{1};
};
inline WindowInput g_window_input;
