// Native libraries: loading by the game's own names, calling with any number
// of words, script memory both ways, the engine record, and the slot table.
#include "keva.h"

char text[16];
int slots[256];

int main() {
  int lib, f, i, n, again;

  // a Windows name finds the library rebuilt for this system, in any case
  lib = dll_load("NATIVE\\Test_Library.DLL");
  if (lib != 0) return 1;
  if (dll_load("native\\missing.dll") != -1) return 2;
  if (dll_load("libraries.c") != -1 || dll_load("native") != -1) return 2;  // not libraries
  // an empty name is no library (and never the engine itself)
  text[0] = 0;
  if (dll_load("") != -1 || dll_load(text) != -1 || dll_load(".\\") != -1 || dll_load(".dll") != -1) return 2;

  if (dll_proc(lib, "no_such_function") != 0) return 3;
  if (dll_proc(lib, 0) != 0 || dll_proc(lib, "exported_data") != 0) return 4;
  if (dll_proc(1, "no_arguments") != 0) return 5;     // a free slot
  if (dll_proc(256, "no_arguments") != 0) return 6;
  f = dll_proc(lib, "no_arguments");
  if (f == 0) return 7;
  if (dll_proc(lib, "no_arguments") != f) return 8;   // the same function, the same number

  if (dll_call(f) != 42) return 9;                     // only a function: no arguments
  if (dll_call() != 0) return 10;                      // nothing at all
  if (dll_call(0) != 0) return 11;
  if (dll_call(12345, 1, 2) != 0) return 12;           // not a function number
  if (dll_call(dll_proc(lib, "digits3"), 1, 2, 3) != 123) return 13;
  if (dll_call(dll_proc(lib, "weighted12"), 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2) != 90) return 14;
  if (dll_call(dll_proc(lib, "negate"), 5) != -5) return 15;

  strcpy(text, "keva");
  if (dll_call(dll_proc(lib, "string_length"), text) != 4) return 16;
  if (dll_call(dll_proc(lib, "upper_case_in_place"), text) != text) return 17;
  if (strcmp(text, "KEVA") != 0) return 18;

  f = dll_proc(lib, "engine_info");
  if (dll_call(f, 0) != 0) return 19;                  // the message answers 0
  if (dll_call(f, 1) != 0) return 20;                  // nobody is stopping the scripts
  if (dll_call(f, 2) != 1) return 21;                  // active
  if (dll_call(f, 3) != 1) return 22;
  if (dll_call(f, 4) != 640 || dll_call(f, 5) != 480 || dll_call(f, 6) != 24) return 23;
  if (dll_call(f, 7) != 0) return 24;                  // a w of 0: nothing written
  if (dll_call(f, 8) != 0) return 24;                  // headless: no main window

  // unloading ends the functions' numbers; the slot is free again
  if (dll_unload(lib) != 1) return 25;
  if (dll_unload(lib) != 0) return 26;
  if (dll_unload(-1) != 0 || dll_unload(256) != 0) return 27;
  if (dll_call(f, 4) != 0) return 28;

  // 256 slots, then -1; the lowest free slot is taken
  for (i = 0; i < 256; i++) {
    slots[i] = dll_load("native/test_library.so");
    if (slots[i] != i) return 29;
  }
  if (dll_load("native/test_library.so") != -1) return 30;
  if (dll_unload(17) != 1) return 31;
  if (dll_load("native/test_library.so") != 17) return 32;
  again = dll_proc(200, "digits3");
  if (dll_call(again, 4, 5, 6) != 456) return 33;
  for (i = 0; i < 256; i++) dll_unload(i);
  return 0;
}
