// Keys by name reach getkey at their scan codes ([System] DirectInput 1 in
// input_keys_scan.cfg), and getmouse reports relative movement.
#include "keva.h"

int main() {
  char k[256];
  int m[4], i, dx, dy, tries;

  for (tries = 0; tries < 20000; tries++) {
    if (getkey(k) != 1) return 1;
    if (k[0x7D]) break;  // Yen, the last key down
    sleep(1);
  }
  if (tries == 20000) return 2;
  if ((k[0x1C] & 0xFF) != 0x80) return 3;  // Return
  if ((k[0x2A] & 0xFF) != 0x80) return 4;  // left Shift
  if ((k[0xCB] & 0xFF) != 0x80) return 5;  // Left, an extended key
  if ((k[0x73] & 0xFF) != 0x80) return 6;  // Ro
  for (i = 0; i < 256; i++) {
    if (i != 0x1C && i != 0x2A && i != 0xCB && i != 0x73 && i != 0x7D && k[i]) return 7;
  }

  // Two moves after the first: 5 right and 3 up in all; the wheel in 120s.
  dx = dy = 0;
  for (tries = 0; tries < 20000; tries++) {
    if (getmouse(m) != 1) return 8;
    dx += m[0];
    dy += m[1];
    if (m[2] && m[2] != 120 && m[2] != -240) return 9;
    if (dx == 5 && dy == -3) break;
    sleep(1);
  }
  if (tries == 20000) return 10;
  return 0;
}
