// Image files through the builtins: a saved plane loads back, and a
// difference image in script memory patches it.
#include "keva.h"

int main() {
  int info[6];
  int rect[4];
  int diff[10];

  if (galloc(10, 3, 2, 24) != 1) return 1;
  gclear(10, 0, 0x123456);
  if (gsave("images_out.bmp", 10, 0) != 1) return 2;
  if (gload(11, "images_out.bmp") != 1) return 3;
  ginfo(11, info);
  if (info[0] != 3 || info[1] != 2 || info[2] != 24) return 4;
  if (getpixel(11, 2, 1) != 0x123456) return 5;

  // "DIFF", 8 bytes not read, 24 bits, changed rectangle (0, 0)-(1, 1), then
  // the stream 00 02 AA BB CC 00 01: one pixel, the end.
  diff[0] = 0x46464944;
  diff[1] = 0;
  diff[2] = 0;
  diff[3] = 24;
  diff[4] = 0;
  diff[5] = 0;
  diff[6] = 1;
  diff[7] = 1;
  diff[8] = 0xBBAA0200;
  diff[9] = 0x000100CC;
  if (dcopy(11, 1, 0, diff, rect) != 1) return 6;
  if (getpixel(11, 1, 0) != 0xCCBBAA || getpixel(11, 0, 0) != 0x123456) return 7;
  if (rect[2] != 1 || rect[3] != 1) return 8;
  diff[3] = 8;  // another format: refused
  if (dcopy(11, 1, 0, diff, 0) != 0) return 9;
  return 0;
}
