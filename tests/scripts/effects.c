// The effect, line, polygon and colour builtins as scripts reach them: their
// places in the builtin table, their argument counts and their results.
#include "keva.h"

int rect[4];
int pts[6];
int info[3];

int main() {
  if (rgbtohsv(0xFF0000) != 0xFFFF) return 1;
  if (rgbtohsv(0x00FF00) >> 16 != 682) return 2;
  if (rgbtohsv(0x808080) != 0x80) return 3;
  if (hsvtorgb(rgbtohsv(0x0000FF)) != 0x0000FF) return 4;
  if (hsvtorgb(rgbtohsv(0x00FFFF)) != 0x00FFFE) return 5;  // the integer arithmetic's own answer

  galloc(1, 16, 8, 32);
  galloc(2, 16, 8, 32);
  if (gline(1, 0, 0, 9, 0, 0xFF123456) != 1) return 10;
  if (getpixel(1, 9, 0) != 0x123456 || getpixel(1, 10, 0) != 0) return 11;
  if (gline(1, -9, 0, -1, 7, 0xFF000000) != 0) return 12;
  pts[0] = 0; pts[1] = 0; pts[2] = 4; pts[3] = 0; pts[4] = 0; pts[5] = 4;
  if (gpoly(1, pts, 2, 0xFF000000) != 0) return 13;
  if (gpoly(1, pts, 3, 0xFFFFFFFF) != 1 || getpixel(1, 1, 1) != 0xFFFFFF) return 14;

  if (noise(1, 0, 0) != 1) return 20;
  if (blur(2, 0, 0, 1, 0, 0) != 1 || getpixel(2, 9, 0) != 0x123456) return 21;
  if (blur(2, 0, 0, 1, 0, 300) != 1) return 22;
  if (scroll(2, 0, 16, 0) != 1) return 23;
  rect[0] = 0; rect[1] = 3; rect[2] = 16; rect[3] = 4;
  if (fire(1, rect) != 0) return 24;  // one row
  if (monotone(1, 0, 0x000000, 0xFFFFFF) != 1) return 25;
  if (mosaic(2, 0, 0, 1, 0, 4, 4) != 1) return 26;
  if (gradation(2, 0, 0, 1, 0) != 1) return 27;
  if (slice(1, 0, 10) != 1 || tiled(2, 0, 1, 0, 100, 2) != 1 || smooth(2, 0, 1, 0, -1) != 1) return 28;
  if (rotate(2, 0, 1, 0, 512, -1) != 1 || freemap(2, 0, 1, 0, -1) != 1) return 29;

  if (ef_copy(8) != 0) return 30;
  if (!ef_init(3, 2, 0, 1, 0)) return 31;
  if (ef_info(3, info) != 1 || info[0] != 2 || info[1] != 1 || !info[2]) return 32;
  if (ef_copy(3) != 1 || getpixel(2, 9, 0) != getpixel(1, 9, 0)) return 33;
  if (ef_rotate(3, 8, 4, 65536, 100) != 1 || ef_land(3, 12000, 300, 0) != 1) return 34;
  if (ef_ball(3, 100, 0, 0) != 1 || ef_whirl(3, 500) != 1 || ef_raster(3, 0, 10, 3) != 1) return 35;
  if (ef_blob(3, -1, -1, 8, 100) != 1 || ef_water(3) != 1) return 36;
  if (ef_free(3) != 1 || ef_copy(3) != 0) return 37;
  return 0;
}
