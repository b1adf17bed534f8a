/* Keva native library interface.
 *
 * A native library (a shared object, .so) that scripts load with dll_load
 * and call with dll_call. Every function a script calls takes 32-bit integer
 * arguments and returns a 32-bit integer:
 *
 *     uint32_t my_function(uint32_t a, uint32_t b);
 *
 * Script pointers are 32-bit addresses in the engine's script memory, not
 * pointers of the library's process: turn one into a pointer with
 * keva_host_pointer before touching it. A function runs on the calling
 * script's thread while the builtin lock is held, so it must not call back
 * into builtins; it may send engine messages. The engine exports the three
 * functions below; build the library with unresolved references allowed
 * (the default for shared objects) and they bind when dll_load opens it.
 */
#ifndef KEVA_LIBRARY_H
#define KEVA_LIBRARY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Engine message 1234: keva_send_message(KEVA_MESSAGE_ENGINE_INFO,
 * (uintptr_t)&info, 0) fills the record and returns 0; a w of 0 writes
 * nothing. */
#define KEVA_MESSAGE_ENGINE_INFO 1234

/* What the engine tells a library about itself, in this order. */
typedef struct KevaEngineInfo {
  volatile const uint32_t* stop_flag;  /* nonzero once the scripts are being stopped */
  volatile const int32_t* active;      /* 1 while the application is active */
  void* program;                       /* the engine program, a handle for dlsym */
  void* main_window;                   /* the main window (an SDL_Window), or 0 when there is none */
  uint32_t width, height, depth;       /* [Screen] Width, Height, Depth */
} KevaEngineInfo;

/* Sends an engine message to the main window and returns its result once the
 * window thread has run it (messages 1124 to 1234, as the script builtins
 * send them). Any thread may call it. */
uint32_t keva_send_message(uint32_t number, uintptr_t w, uintptr_t l);

/* The pointer to a script address (0 gives 0). */
void* keva_host_pointer(uint32_t address);

/* The script address of a pointer into script memory, or 0 for a pointer
 * outside it. */
uint32_t keva_script_address(const void* pointer);

#ifdef __cplusplus
}
#endif

#endif
