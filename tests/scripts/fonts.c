// The font number belongs to the thread: font_use in one thread leaves the
// others alone, and a new thread starts with font 0.
#include "keva.h"

int thread_draw, thread_after_use, thread_done;

int worker(int arg) {
  thread_draw = gtext(1, 0, 0, 7, "A");      // font 0: draws
  font_use(40);                              // no such font for this thread only
  thread_after_use = gtext(1, 0, 0, 7, "A");
  thread_done = 1;
  return 0;
}

int main() {
  int record[12];
  int x, y, ink;
  if (galloc(1, 64, 24, 32) != 1) return 1;
  if (font_use(41) != 1) return 2;
  if (gtext(1, 0, 0, 7, "A") != 0) return 3;   // font 41 does not exist
  thd_begin(worker, 0, 0, 0);
  while (!thread_done) sleep(1);
  if (thread_draw != 1) return 4;
  if (thread_after_use != 0) return 5;
  font_use(256 + 2);                           // the low 8 bits: font 2
  if (gtext(1, 0, 0, 7, "A") != 1) return 6;
  // A record comes back as it was set; gtextf formats before drawing.
  if (font_get(2, record) != 1) return 7;
  record[8] = 20;
  record[10] = 16;
  if (font_set(3, record) != 1 || font_set(32, record) != 0) return 8;
  memset(record, 0, 48);
  if (font_get(3, record) != 1 || record[8] != 20 || record[10] != 16) return 9;
  font_use(3);
  if (gtextf(1, 0, 0, 7, "%d%s", 7, "x") != 1) return 10;
  ink = 0;
  for (y = 0; y < 24; y++)
    for (x = 0; x < 64; x++)
      if (getpixel(1, x, y)) ink++;
  if (ink < 20) return 11;
  return 0;
}
