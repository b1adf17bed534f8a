// A native library the script tests load with dll_load.
#include <cstdint>
#include <cstring>

#include "sdk/keva_library.h"

extern "C" {

uint32_t exported_data = 5;  // not a function: dll_proc refuses it

uint32_t no_arguments(void) { return 42; }

/* The first word is the first argument. */
uint32_t digits3(uint32_t a, uint32_t b, uint32_t c) { return a * 100 + b * 10 + c; }

// Twelve words: six travel in registers, the rest on the stack.
uint32_t weighted12(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5, uint32_t a6, uint32_t a7,
                    uint32_t a8, uint32_t a9, uint32_t a10, uint32_t a11, uint32_t a12) {
  return a1 * 1 + a2 * 2 + a3 * 3 + a4 * 4 + a5 * 5 + a6 * 6 + a7 * 7 + a8 * 8 + a9 * 9 + a10 * 10 + a11 * 11 +
         a12 * 12;
}

int32_t negate(int32_t v) { return -v; }

/* Script memory through the engine's pointer conversion, both ways. */
uint32_t string_length(uint32_t address) {
  const char* s = static_cast<const char*>(keva_host_pointer(address));
  return s ? static_cast<uint32_t>(std::strlen(s)) : 0xFFFFFFFFu;
}
uint32_t upper_case_in_place(uint32_t address) {
  char* s = static_cast<char*>(keva_host_pointer(address));
  for (char* p = s; *p; ++p) {
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  }
  return keva_script_address(s);
}

/* The engine record of message 1234, one field at a time: 0 the message's
 * result, 1 the stop flag, 2 the active flag, 3 whether the program handle is
 * set, 4 to 6 the screen's width, height and depth; 7 what a w of 0 returns; 8
 * whether the main window handle is set. */
uint32_t engine_info(uint32_t field) {
  KevaEngineInfo info;
  std::memset(&info, 0xEE, sizeof info);
  if (field == 7) return keva_send_message(KEVA_MESSAGE_ENGINE_INFO, 0, 0);
  uint32_t result = keva_send_message(KEVA_MESSAGE_ENGINE_INFO, reinterpret_cast<uintptr_t>(&info), 0);
  switch (field) {
    case 0: return result;
    case 1: return *info.stop_flag;
    case 2: return static_cast<uint32_t>(*info.active);
    case 3: return info.program != nullptr && reinterpret_cast<uintptr_t>(info.program) != 0xEEEEEEEEEEEEEEEEull;
    case 4: return info.width;
    case 5: return info.height;
    case 6: return info.depth;
    case 8: return info.main_window != nullptr;
    default: return 0xFFFFFFFFu;
  }
}

}  // extern "C"
