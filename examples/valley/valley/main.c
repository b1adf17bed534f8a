// A valley at dusk: a windmill turns on the hill, a balloon rises, birds
// cross the sky, the sun glows, the lake mirrors it all, and night falls.
//
// The pictures come from files: valley.jpg (the landscape), sprites.bmp
// (a 32-bit sheet with alpha and colour-keyed cells) and logo.bmp (8-bit
// lettering). The scene runs a fixed number of frames; every frame is
// computed from its number alone, so the last one is always the same.
#include "keva.h"

#define W 640
#define H 480
#define FRAMES 180
#define FRAME_MS 16
#define WATERLINE 330  // first screen row of the lake
#define KEY 0xFF00FF   // colour key of the keyed cells

// Planes
#define VIEW 0    // 32 bits: the page on screen
#define LAND 1    // 24 bits: the landscape as loaded, 320 x 240
#define SHEET 2   // 32 bits: the sprite sheet
#define LOGO 3    // 8 bits: lettering coverage on a grey ramp
#define BG 4      // 32 bits: the landscape scaled to the screen, trees planted
#define WATER 5   // 16 bits: the mirrored band above the lake
#define DUSK 6    // 24 bits: the evening light, multiplied over the scene
#define STRIP 7   // 24 bits: 1 x 3 pixels the evening light is stretched from

// Blit modes
#define COPY 0
#define SRC_KEY 1
#define BLEND 3
#define ALPHA 7
#define ADD 13
#define MULTIPLY 15
#define STENCIL 24

// Cells of the sprite sheet: left, top, width, height
#define CLOUD 0, 0, 128, 64
#define BALLOON 128, 0, 48, 64
#define SAILS 176, 0, 80, 80
#define GLOW 0, 80, 64, 64
#define RAYS 64, 80, 64, 64
#define TOWER 128, 80, 32, 56
#define BIRD_UP 160, 80, 16, 10
#define BIRD_DOWN 176, 80, 16, 10
#define TREE 192, 80, 32, 48

#define STARS 28
#define BIRDS 5

struct Params {
  char mode;
  char mask;
  char level;
  char amount;
  int key;
  int tint;
};

struct Params params;
int dst[4];
int src[4];
int star_x[STARS], star_y[STARS], star_phase[STARS], star_speed[STARS];

struct Params *blit_mode(int mode, int level, int amount, int key, int tint) {
  params.mode = mode;
  params.mask = 0;
  params.level = level;
  params.amount = amount;
  params.key = key;
  params.tint = tint;
  return &params;
}

int *dst_rect(int left, int top, int width, int height) {
  dst[0] = left;
  dst[1] = top;
  dst[2] = left + width;
  dst[3] = top + height;
  return dst;
}

int *cell(int left, int top, int width, int height) {
  src[0] = left;
  src[1] = top;
  src[2] = left + width;
  src[3] = top + height;
  return src;
}

// v * tsin(angle) / 65536, rounded toward minus infinity.
int wave(int v, int angle) { return (v * tsin(angle)) >> 16; }

int describe(int plane, char *what) {
  int info[6];
  ginfo(plane, info);
  log_out("%s: %d x %d, %d bits per pixel", what, info[0], info[1], info[2]);
  return info[2];
}

int load_pictures() {
  if (!gload(LAND, "valley.jpg")) return 0;
  if (!gload(SHEET, "sprites.bmp")) return 0;
  if (!gload(LOGO, "logo.bmp")) return 0;
  describe(LAND, "valley.jpg");
  describe(SHEET, "sprites.bmp");
  describe(LOGO, "logo.bmp");
  return 1;
}

int plant_tree(int x, int bottom, int size) {
  // size in percent of the cell; nearest sampling keeps the key exact.
  int w = 32 * size / 100, h = 48 * size / 100;
  return gblit(BG, dst_rect(x - w / 2, bottom - h, w, h), SHEET, cell(TREE), blit_mode(SRC_KEY, 0, 0, KEY, 0), 0);
}

// The background: the landscape stretched to the screen with bilinear
// sampling onto an opaque page, then trees planted along the hills.
int build_background() {
  galloc(BG, W, H, 32);
  gclear(BG, 0, 0xFF000000);  // opaque black: alpha blits over it keep their soft edges
  gblita(BG, 0, LAND, 0, 0, 0);
  plant_tree(470, 300, 60);
  plant_tree(592, 312, 65);
  plant_tree(110, 280, 85);
  plant_tree(137, 263, 100);
  plant_tree(236, 266, 90);
  plant_tree(502, 294, 75);
  plant_tree(556, 298, 80);
  return 1;
}

// The evening light: three colours stretched over the screen.
int build_dusk() {
  galloc(STRIP, 1, 3, 24);
  gclear(STRIP, cell(0, 0, 1, 1), 0x9088C0);  // dark blue above
  gclear(STRIP, cell(0, 1, 1, 1), 0xF0A070);  // warm at the horizon
  gclear(STRIP, cell(0, 2, 1, 1), 0x605880);  // the lake in shadow
  galloc(DUSK, W, H, 24);
  return gblita(DUSK, 0, STRIP, 0, 0, 0);
}

int place_stars() {
  int i;
  for (i = 0; i < STARS; i++) {
    star_x[i] = rand() % W;
    star_y[i] = 6 + rand() % 150;
    star_phase[i] = rand() % 2048;
    star_speed[i] = 24 + rand() % 40;
  }
  return STARS;
}

int draw_stars(int frame) {
  int i, level, size;
  int night = frame * 255 / FRAMES;  // the stars come out as the light goes
  for (i = 0; i < STARS; i++) {
    level = (night * (160 + wave(95, star_phase[i] + frame * star_speed[i]))) >> 8;
    if (level <= 0) continue;
    size = 5 + (i & 3);
    gblit(VIEW, dst_rect(star_x[i] - size / 2, star_y[i] - size / 2, size, size), SHEET, cell(GLOW),
          blit_mode(ADD, level, 0, 0, 0), 0);
  }
  return 1;
}

int draw_sun(int frame) {
  int x = 500, y = 118 + frame / 6;
  int r = 150 + wave(8, frame * 20);
  gblita(VIEW, dst_rect(x - r, y - r, 2 * r, 2 * r), SHEET, cell(RAYS), blit_mode(ADD, 140, 0, 0, 0), frame * 3);
  gblita(VIEW, dst_rect(x - 72, y - 72, 144, 144), SHEET, cell(GLOW), blit_mode(ADD, 255, 0, 0, 0), 0);
  return 1;
}

int draw_cloud(int frame, int x0, int y, int w, int h, int speed, int level) {
  int x = (x0 + frame * speed / 4) % (W + w) - w;
  return gblita(VIEW, dst_rect(x, y, w, h), SHEET, cell(CLOUD), blit_mode(ALPHA, level, 0, 0, 0), 0);
}

int draw_windmill(int frame) {
  gcopy(VIEW, 164, 194, SHEET, cell(TOWER), blit_mode(SRC_KEY, 0, 0, KEY, 0));
  return gblita(VIEW, dst_rect(180 - 44, 203 - 44, 88, 88), SHEET, cell(SAILS), blit_mode(ALPHA, 255, 0, 0, 0),
                -frame * 11);
}

// The balloon rises toward the viewer: it grows, and it sways on its ropes.
int draw_balloon(int frame) {
  int w = 30 + frame * 24 / FRAMES;
  int h = w * 4 / 3;
  int x = 420 - frame * 2 / 3 + wave(6, frame * 9);
  int y = 290 - frame;
  return gblita(VIEW, dst_rect(x - w / 2, y - h / 2, w, h), SHEET, cell(BALLOON), blit_mode(ALPHA, 255, 0, 0, 0),
                wave(36, frame * 18));
}

// A flock from the right; the nearer birds are drawn twice as large.
int draw_birds(int frame) {
  int i, x, y, scale, up;
  for (i = 0; i < BIRDS; i++) {
    scale = i < 2 ? 2 : 1;
    x = W + 30 + i * 37 - frame * (3 + (i & 1));
    y = 150 + i * 17 + wave(10, frame * 40 + i * 300);
    up = ((frame + i * 3) / 5) & 1;
    if (up)
      gblit(VIEW, dst_rect(x, y, 16 * scale, 10 * scale), SHEET, cell(BIRD_UP), blit_mode(SRC_KEY, 0, 0, KEY, 0), 0);
    else
      gblit(VIEW, dst_rect(x, y, 16 * scale, 10 * scale), SHEET, cell(BIRD_DOWN), blit_mode(SRC_KEY, 0, 0, KEY, 0),
            0);
  }
  return 1;
}

// The band above the waterline, mirrored into the 16-bit plane, blended
// back over the lake in strips that ripple sideways.
int draw_reflection(int frame) {
  int k, shift;
  // A source rectangle with bottom above top mirrors vertically.
  src[0] = 0;
  src[1] = WATERLINE;
  src[2] = W;
  src[3] = WATERLINE - (H - WATERLINE);
  gblit(WATER, 0, VIEW, src, 0, 0);
  for (k = 0; k < 15; k++) {
    shift = wave(2 + k / 3, frame * 50 + k * 260);
    gcopy(VIEW, shift, WATERLINE + k * 10, WATER, cell(0, k * 10, W, 10), blit_mode(BLEND, 150 - k * 7, 0, 0, 0));
  }
  return 1;
}

int draw_title(int frame) {
  int t = frame - (FRAMES - 60);
  int level;
  if (t < 0) return 0;
  level = t * 255 / 59;
  if (level < 1) level = 1;
  gfill(VIEW, 0, 416, W, 64, (level * 150 / 255) << 24);
  gcopy(VIEW, 226, 422, LOGO, 0, blit_mode(STENCIL, level, 0, 0, 0x201008));
  gcopy(VIEW, 224, 420, LOGO, 0, blit_mode(STENCIL, level, 0, 0, 0xFFD47A));
  return 1;
}

int draw_frame(int frame) {
  int dusk;
  gcopy(VIEW, 0, 0, BG, 0, 0);
  draw_stars(frame);
  draw_sun(frame);
  draw_cloud(frame, 60, 40, 192, 72, 3, 230);
  draw_cloud(frame, 420, 92, 150, 50, 5, 200);
  draw_cloud(frame, 700, 12, 120, 40, 2, 160);
  draw_windmill(frame);
  draw_balloon(frame);
  draw_birds(frame);
  draw_reflection(frame);
  dusk = 1 + frame * 200 / FRAMES;
  gcopy(VIEW, 0, 0, DUSK, 0, blit_mode(MULTIPLY, dusk, 0, 0, 0));
  draw_title(frame);
  if (frame < 32) gfill(VIEW, 0, 0, W, H, (255 - frame * 8) << 24);  // fade in from black
  return update(0);
}

int main() {
  int frame;

  log_out("Keva: a valley at dusk");
  if (!load_pictures()) {
    log_out("the pictures are missing: build the example first");
    return 1;
  }
  galloc(VIEW, W, H, 32);
  galloc(WATER, W, H - WATERLINE, 16);
  build_background();
  build_dusk();
  describe(VIEW, "view page");
  describe(WATER, "reflection");
  srand(2026);
  place_stars();

  for (frame = 0; frame < FRAMES; frame++) {
    draw_frame(frame);
    if (frame % 60 == 59) log_out("frame %d", frame + 1);
    sleep(FRAME_MS);
  }
  log_out("%d frames drawn", FRAMES);
  exit();
  return 0;
}
