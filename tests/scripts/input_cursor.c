// cur_set, cur_setpos and cur_clip on the headless screen (the client area
// is the screen).
#include "keva.h"

int main() {
  int p[4], r[4];

  if (cur_set(2) != 0 || cur_set(-1) != 0) return 1;
  if (cur_set(0) != 1 || cur_set(1) != 1) return 2;

  if (cur_setpos(100, 50) != 1) return 3;
  getpoint(p);
  if (p[0] != 100 || p[1] != 50) return 4;

  // Confined to (200, 100)-(300, 200): positions outside are pulled in.
  r[0] = 200; r[1] = 100; r[2] = 300; r[3] = 200;
  if (cur_clip(r) != 1) return 5;
  cur_setpos(10, 10);
  getpoint(p);
  if (p[0] != 200 || p[1] != 100) return 6;
  cur_setpos(400, 400);
  getpoint(p);
  if (p[0] != 299 || p[1] != 199) return 7;

  // A rectangle wholly off the screen frees the cursor, as 0 does.
  r[0] = 700; r[1] = 500; r[2] = 800; r[3] = 600;
  if (cur_clip(r) != 1) return 8;
  cur_setpos(10, 10);
  getpoint(p);
  if (p[0] != 10 || p[1] != 10) return 9;
  r[0] = 0; r[1] = 0; r[2] = 20; r[3] = 20;
  cur_clip(r);
  if (cur_clip(0) != 1) return 10;
  cur_setpos(30, 30);
  getpoint(p);
  if (p[0] != 30 || p[1] != 30) return 11;
  if (cur_clip(0xFFFFFFF8) != 1) return 12;
  return 0;
}
