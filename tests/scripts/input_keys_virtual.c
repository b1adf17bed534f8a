// Keys by name reach getkey at their virtual-key codes, the side-less
// Shift too, with the toggle bit of every key pressed an odd number of
// times; the keys that type characters reach the typed-character ring.
#include "keva.h"

int main() {
  char k[256];
  int i, c, tries;

  for (tries = 0; tries < 20000; tries++) {
    if (getkey(k) != 1) return 1;
    if (k[0xDC]) break;  // Yen, the last key down
    sleep(1);
  }
  if (tries == 20000) return 2;
  if ((k[0x0D] & 0xFF) != 0x81) return 3;  // Return, pressed once
  if ((k[0xA0] & 0xFF) != 0x81) return 4;  // left Shift
  if ((k[0x10] & 0xFF) != 0x81) return 5;  // Shift
  if ((k[0x25] & 0xFF) != 0x81) return 6;  // Left
  if (k[0x14] != 1) return 7;              // Caps Lock pressed and released: toggled
  if (k[0x41] != 0) return 8;              // A pressed twice
  if (k[0x1C] || k[0x2A] || k[0xCB]) return 9;  // scan-code places stay empty
  for (i = 0; i < 256; i++) {
    if (i != 0x0D && i != 0xA0 && i != 0x10 && i != 0x25 && i != 0x14 && i != 0xDC && k[i]) return 10;
  }

  // Return, then the text: 13, "a", "b", then the two bytes of a
  // full-width A in Shift_JIS.
  if (key_get() != 13) return 11;
  if (key_get() != 'a' || key_get() != 'b') return 12;
  c = key_get();
  if (c != -126 || key_get() != 0x60) return 13;  // 0x82 0x60
  if (key_get() != 0) return 14;
  return 0;
}
