// Fonts are set up by the first text a script draws: two threads that draw
// their first text at the same moment get the same pixels as a later
// drawing, and the font list asked for before any text is already complete.
#include "keva.h"

int done[2];

int drawer(int plane) {
  done[plane - 1] = gtext(plane, 2, 2, 7, "Keva 123") + 1;
  return 0;
}

int same_pixels(int a, int b) {
  int x, y;
  for (y = 0; y < 24; y++)
    for (x = 0; x < 96; x++)
      if (getpixel(a, x, y) != getpixel(b, x, y)) return 0;
  return 1;
}

int main() {
  int p, t0, t1, x, y, ink;
  for (p = 1; p <= 3; p++)
    if (galloc(p, 96, 24, 32) != 1) return 1;
  t0 = thd_begin(drawer, 1, 1, 0);
  t1 = thd_begin(drawer, 2, 1, 0);
  if (t0 < 0 || t1 < 0) return 2;
  thd_resume(t0);
  thd_resume(t1);
  while (!done[0] || !done[1]) sleep(1);
  if (done[0] != 2 || done[1] != 2) return 3;
  if (gtext(3, 2, 2, 7, "Keva 123") != 1) return 4;
  ink = 0;
  for (y = 0; y < 24; y++)
    for (x = 0; x < 96; x++)
      if (getpixel(3, x, y)) ink++;
  if (ink < 30) return 5;
  if (!same_pixels(1, 3) || !same_pixels(2, 3)) return 6;
  return 0;
}
