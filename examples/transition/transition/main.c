// From day to night: two scenes drawn with polygons and lines, and a scene
// transition made with the plane effects. The day whirls away under a growing
// blur, the night comes in as a coarse mosaic that sharpens, raindrops ripple
// the lake through the mesh warp, and a gauge drawn with polygons, lines and
// HSV colours counts the frames. Every frame is computed from its number, so
// the run always ends on the same picture.
#include "keva.h"

#define W 320
#define H 240
#define FRAME_MS 16
#define PHASE 30  // frames of each part of the transition

// Planes, all 32 bits
#define VIEW 0
#define DAY 1
#define NIGHT 2
#define WORK 3
#define LAKE 4  // the night's lake, warped by the water mesh

#define LAKE_TOP 168
#define SWIRL 0  // mesh slots
#define WATER 1

int points[64];
int lake_rect[4];
int sky_rect[4];

int set_rect(int *rect, int l, int t, int r, int b) {
  rect[0] = l;
  rect[1] = t;
  rect[2] = r;
  rect[3] = b;
  return rect;
}

// A regular polygon of n corners about (cx, cy), turned by angle.
int disc(int plane, int cx, int cy, int radius, int n, int angle, int colour) {
  int i;
  for (i = 0; i < n; i++) {
    points[2 * i] = cx + tcos(angle + i * 2048 / n) * radius / 65536;
    points[2 * i + 1] = cy + tsin(angle + i * 2048 / n) * radius / 65536;
  }
  return gpoly(plane, points, n, colour);
}

// Hills: a ridge of n points from the left edge to the right, closed below.
int hills(int plane, int base, int height, int phase, int colour) {
  int i;
  for (i = 0; i <= 16; i++) {
    points[2 * i] = i * W / 16;
    points[2 * i + 1] = base - (tsin(phase + i * 300) + 65536) * height / 131072;
  }
  points[34] = W;
  points[35] = H;
  points[36] = 0;
  points[37] = H;
  return gpoly(plane, points, 19, colour);
}

// The sky as bands of hue between two HSV colours.
int sky(int plane, int hsv_top, int hsv_bottom) {
  int y, v;
  for (y = 0; y < H; y += 8) {
    v = (hsv_top & 255) + ((hsv_bottom & 255) - (hsv_top & 255)) * y / H;
    gfill(plane, 0, y, W, 8, 0xFF000000 | hsvtorgb((hsv_top & 0xFFFFFF00) + v));
  }
  return 1;
}

int draw_day() {
  int angle;
  galloc(DAY, W, H, 32);
  sky(DAY, rgbtohsv(0x3070E0), rgbtohsv(0x90C0F0));
  for (angle = 0; angle < 2048; angle += 128)  // sun rays
    gline(DAY, 250, 60, 250 + tcos(angle) * 60 / 65536, 60 + tsin(angle) * 60 / 65536, 0x80FFF080);
  disc(DAY, 250, 60, 26, 24, 0, 0xFFFFE040);
  hills(DAY, 170, 70, 0, 0xFF40A040);
  hills(DAY, 200, 40, 700, 0xFF208030);
  return 1;
}

int draw_night() {
  int i, x, y;
  galloc(NIGHT, W, H, 32);
  sky(NIGHT, rgbtohsv(0x080828), rgbtohsv(0x203060));
  for (i = 0; i < 40; i++) {  // stars: small crosses at fixed places
    x = (i * 73) % W;
    y = (i * 37) % 140;
    gline(NIGHT, x - 1, y, x + 1, y, 0xC0FFFFFF);
    gline(NIGHT, x, y - 1, x, y + 1, 0xC0FFFFFF);
  }
  disc(NIGHT, 70, 50, 20, 24, 0, 0xFFF0F0D0);
  disc(NIGHT, 80, 45, 18, 24, 0, 0xFF101838);  // the dark part of the crescent
  hills(NIGHT, 160, 50, 300, 0xFF182818);
  // The lake mirrors the sky and the hills above it, squeezed and darkened.
  // (a rectangle from bottom to top asks for a mirrored copy)
  gblit(NIGHT, set_rect(lake_rect, 0, H, W, LAKE_TOP), NIGHT, set_rect(sky_rect, 0, 0, W, LAKE_TOP), 0, 0);
  gfill(NIGHT, 0, LAKE_TOP, W, H - LAKE_TOP, 0x80102040);
  for (y = LAKE_TOP + 4; y < H; y += 10)  // the moon's glitter on the lake
    gline(NIGHT, 50 + y % 7, y, 90 - y % 5, y, 0x60F0F0D0);
  return 1;
}

// The frame counter as a gauge: an outlined bar filled in the colour of its
// progress (hue from red to green).
int gauge(int frame, int total) {
  int fill;
  fill = frame * 200 / total;
  points[0] = 60;
  points[1] = 220;
  points[2] = 60 + fill;
  points[3] = 220;
  points[4] = 56 + fill;
  points[5] = 230;
  points[6] = 56;
  points[7] = 230;
  gpoly(VIEW, points, 4, 0xC0000000 | hsvtorgb(fill * 682 / 200 << 16 | 0xFFFF));
  gline(VIEW, 60, 219, 261, 219, 0xFFFFFFFF);
  gline(VIEW, 55, 231, 256, 231, 0xFFFFFFFF);
  gline(VIEW, 60, 219, 55, 231, 0xFFFFFFFF);
  gline(VIEW, 261, 219, 256, 231, 0xFFFFFFFF);
  return 1;
}

int main() {
  int frame, f, block, total;

  log_out("Keva: from day to night");
  draw_day();
  draw_night();
  galloc(VIEW, W, H, 32);  // the page on screen, in the format of the scenes
  galloc(WORK, W, H, 32);
  galloc(LAKE, W, H - LAKE_TOP, 32);
  total = 3 * PHASE;
  if (!ef_init(SWIRL, WORK, 0, DAY, 0)) return 1;
  if (!ef_init(WATER, LAKE, 0, NIGHT, set_rect(lake_rect, 0, LAKE_TOP, W, H))) return 2;

  for (frame = 0; frame < total; frame++) {
    f = frame % PHASE;
    if (frame < PHASE) {
      // The day turns into a whirl and blurs away.
      ef_whirl(SWIRL, f * f * 8);
      blur(VIEW, 0, 0, WORK, 0, f / 2);
      blur(VIEW, 0, 0, VIEW, 0, -(f / 2));
    } else if (frame < 2 * PHASE) {
      // The night comes in coarse and sharpens.
      block = 32 - f;
      if (block < 1) block = 1;
      mosaic(VIEW, 0, 0, NIGHT, 0, block, block);
    } else {
      // Raindrops ripple the lake.
      if (f % 6 == 0) ef_blob(WATER, 40 + f * 9, 24 + f % 4 * 10, 24, 300);
      ef_water(WATER);
      gcopy(VIEW, 0, 0, NIGHT, 0, 0);
      gcopy(VIEW, 0, LAKE_TOP, LAKE, 0, 0);
    }
    gauge(frame + 1, total);
    update(0);
    if (frame % PHASE == PHASE - 1) log_out("frame %d", frame + 1);
    sleep(FRAME_MS);
  }
  ef_free(SWIRL);
  ef_free(WATER);
  log_out("transition done: %d frames", total);
  exit();
  return 0;
}
