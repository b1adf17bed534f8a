// One frame of each mesh-warp generator, of a line fan and of polygons, laid
// out as a sheet of 64 x 48 tiles on a 256 x 96 screen; the test compares the
// screenshot with the stored reference picture.
#include "keva.h"

#define SRC 1
#define TILE 2
#define W 64
#define H 48

int points[32];
int star[10];

// The source picture: colour bands, a checkerboard corner, a triangle, lines.
int draw_source() {
  int i, x, y;
  galloc(SRC, W, H, 24);
  for (i = 0; i < H; i += 4) gfill(SRC, 0, i, W, 4, 0xFF000000 | (i * 5) << 16 | (255 - i * 5));
  for (y = 0; y < 16; y += 4)
    for (x = 0; x < 16; x += 4)
      if (((x + y) / 4) % 2) gfill(SRC, x, y, 4, 4, 0xFFFFFFFF);
  points[0] = 40; points[1] = 6;
  points[2] = 60; points[3] = 40;
  points[4] = 22; points[5] = 42;
  gpoly(SRC, points, 3, 0xFFFFE000);
  for (i = 0; i < W; i += 8) gline(SRC, i, 0, W - 1 - i, H - 1, 0xFF00FF80);
  return 0;
}

// A fresh tile warped from the source by the mesh in slot 0.
int begin_tile() {
  galloc(TILE, W, H, 24);
  if (!ef_init(0, TILE, 0, SRC, 0)) return 0;
  return 1;
}

int end_tile(int n) {
  gcopy(0, (n % 4) * W, (n / 4) * H, TILE, 0, 0);
  return 0;
}

int main() {
  int i, n, angle;

  draw_source();
  n = 0;
  if (!begin_tile() || !ef_rotate(0, 32, 24, 80000, 200)) return 1;
  end_tile(n++);
  if (!begin_tile() || !ef_land(0, 12000, 300, 100)) return 2;
  end_tile(n++);
  if (!begin_tile() || !ef_ball(0, 300, 120, 60)) return 3;
  end_tile(n++);
  if (!begin_tile() || !ef_whirl(0, 1200)) return 4;
  end_tile(n++);
  if (!begin_tile() || !ef_raster(0, 100, 12, 5)) return 5;
  end_tile(n++);
  if (!begin_tile() || !ef_blob(0, 32, 24, 20, 300)) return 6;
  for (i = 0; i < 3; i++) if (!ef_water(0)) return 7;
  end_tile(n++);

  // A fan of translucent anti-aliased lines, partly beyond the tile.
  galloc(TILE, W, H, 24);
  for (angle = 0; angle < 2048; angle += 128)
    gline(TILE, 32, 24, 32 + tcos(angle) * 40 / 65536, 24 + tsin(angle) * 40 / 65536, 0xC0FFFFFF - angle * 64);
  end_tile(n++);

  // A five-pointed star (even-odd: its pentagon stays open) over a
  // translucent square that reaches past the tile.
  galloc(TILE, W, H, 24);
  // Every second corner of a pentagon in turn: the star's outline.
  for (i = 0; i < 5; i++) {
    star[2 * i] = 32 + tsin(i * 819) * 22 / 65536;
    star[2 * i + 1] = 25 - tcos(i * 819) * 22 / 65536;
  }
  gpoly(TILE, star, 5, 0xFFFF4040);
  points[0] = 40; points[1] = 20;
  points[2] = 90; points[3] = 20;
  points[4] = 90; points[5] = 90;
  points[6] = 40; points[7] = 90;
  gpoly(TILE, points, 4, 0x804080FF);
  end_tile(n++);

  ef_free(0);
  update(0);
  log_out("%d frames drawn", n);
  return 0;
}
