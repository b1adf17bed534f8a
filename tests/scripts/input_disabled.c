// While the application is inactive (input_disabled.input takes the focus
// away; GlobalFocus keeps the scripts running) every input builtin reports
// nothing; back in front, keys held before are forgotten.
#include "keva.h"

int main() {
  char k[256];
  int p[4], m[4], j[3], i, tries;

  for (tries = 0; tries < 20000; tries++) {
    getkey(k);
    if ((k[0x41] & 0x80) && getjoy(0, j) == 1) break;  // A, and the joystick
    sleep(1);
  }
  if (tries == 20000) return 1;

  for (tries = 0; tries < 20000; tries++) {
    for (i = 0; i < 256; i++) k[i] = 0x55;
    if (getkey(k) == 0) break;
    sleep(1);
  }
  if (tries == 20000) return 2;
  for (i = 0; i < 256; i++) {
    if (k[i]) return 3;
  }
  if (getpoint(p) != 1 || p[0] != -1 || p[1] != -1 || p[2] || p[3]) return 4;
  m[0] = m[3] = j[0] = j[2] = 9;
  if (getmouse(m) != 0 || m[0] || m[3]) return 5;
  if (getjoy(0, j) != 0 || j[0] || j[2]) return 6;

  // Back: the button held across the switch still is (the mouse record
  // keeps it) and A is forgotten; the press went by while the getpoint above
  // reported nothing, and is not reported now.
  for (tries = 0; tries < 20000; tries++) {
    if (getkey(k) == 1) break;
    sleep(1);
  }
  if (tries == 20000) return 7;
  if (k[0x41] & 0x80) return 8;
  getpoint(p);
  if (p[0] != 5 || p[1] != 6 || p[3] != 1) return 9;
  return 0;
}
