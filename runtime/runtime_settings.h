// Settings the runtime reads. The host fills them from the configuration at
// start-up; until then they hold their defaults.
#pragma once
#include <atomic>
#include <cstdint>

struct RuntimeSettings {
  uint32_t program_size = 0;       // [Script] ProgramSize: 0 = exactly what each script needs
  uint32_t stack_size = 262144;    // [Script] StackSize
  int32_t debug_mode = 0;          // [General] DebugMode: argument-count check
  int32_t global_focus = 0;        // [Option] GlobalFocus (system variable global_focus)
  int32_t global_sound = 0;        // [Option] GlobalSound (system variable global_sound)
  int32_t smoothing = 1;           // [Screen] Smoothing (system variable smoothing)
  int32_t confirmation = 1;        // [Option] Confirmation: ask before closing
};
inline RuntimeSettings g_runtime_settings;

// 1 while the application is active (the host keeps it); script threads yield
// with Sleep(0) while it is set and Sleep(1) while it is not.
inline std::atomic<int32_t> g_application_active{1};

// What the host does for the runtime. Each hook has a do-nothing default, so
// the runtime also runs with no window at all (tests, the headless runner).
struct RuntimeHostHooks {
  // A context failed or called exit: close the main window without asking.
  void (*close_main_window)() = nullptr;
  // Whether the display is full screen, and the switch (engine message 1224).
  int32_t (*is_full_screen)() = nullptr;
  int32_t (*set_full_screen)(int32_t on) = nullptr;
  // Desktop size and depth for the width, height and depth system variables.
  int32_t (*desktop_width)() = nullptr;
  int32_t (*desktop_height)() = nullptr;
  int32_t (*desktop_depth)() = nullptr;
};
inline RuntimeHostHooks g_runtime_host_hooks;
