// A small sprite scene whose last frame is compared with a stored picture:
// a moved static sprite with its old place restored from a shifted
// background, a hidden one erased, a child of a rotated and scaled parent
// drawn smooth, a stack ordered by priority, a sprite partly covered by a
// moving one and redrawn in its cover rectangles, an alpha sprite mirrored.
#include "keva.h"

#include "sprite_record.h"

struct Params {
  char mode, mask, level, amount;
  int key, tint;
};

#define BG 1
#define CELLS 2
#define CORNERS 3

int r[4];
struct Params alpha;

int *rect(int left, int top, int right, int bottom) {
  r[0] = left;
  r[1] = top;
  r[2] = right;
  r[3] = bottom;
  return r;
}

int main() {
  struct Sprite *moved, *hidden, *parent, *child, *stack[3], *under, *over, *ghost;
  int i, frame;

  // The background: a ramp stretched from four corners, wider than the page.
  galloc(CORNERS, 2, 2, 32);
  gclear(CORNERS, rect(0, 0, 1, 1), 0xFF203040);
  gclear(CORNERS, rect(1, 0, 2, 1), 0xFF406080);
  gclear(CORNERS, rect(0, 1, 1, 2), 0xFF102010);
  gclear(CORNERS, rect(1, 1, 2, 2), 0xFF604020);
  galloc(BG, 80, 56, 32);
  gblita(BG, 0, CORNERS, 0, 0, 0);
  // Cells: 8 x 8 squares with a frame, and a half-transparent one.
  galloc(CELLS, 48, 8, 32);
  gclear(CELLS, rect(0, 0, 8, 8), 0xFFE04040);
  gclear(CELLS, rect(1, 1, 7, 7), 0xFFF0C040);
  gclear(CELLS, rect(8, 0, 16, 8), 0xFF40C040);
  gclear(CELLS, rect(16, 0, 24, 8), 0xFF4060E0);
  gclear(CELLS, rect(24, 0, 32, 8), 0xFFFFFFFF);
  gclear(CELLS, rect(24, 0, 26, 8), 0xFF000000);
  gclear(CELLS, rect(32, 0, 40, 8), 0x80FF00FF);
  gclear(CELLS, rect(40, 0, 48, 4), 0xFF00FFFF);
  alpha.mode = 7;
  alpha.level = 255;

  sp_flag(0);
  sp_setbg(BG);
  sp_bgorg(8, 4);
  moved = sp_set(0, 2, 2, 2, CELLS, rect(0, 0, 8, 8), 0);
  hidden = sp_set(0, 2, 14, 2, CELLS, rect(8, 0, 16, 8), 0);
  parent = sp_set(1, 2, 40, 12, CELLS, rect(16, 0, 24, 8), 0);
  parent->pivot_x = 4;
  parent->pivot_y = 4;
  child = sp_set(1, 2, 9, 0, CELLS, rect(24, 0, 32, 8), 0);
  child->pivot_x = 4;
  child->pivot_y = 4;
  sp_link(parent, child);
  for (i = 0; i < 3; i++) {
    stack[i] = sp_set(2, 2, 4 + i * 3, 28 + i * 3, CELLS, rect(i * 8, 0, i * 8 + 8, 8), 0);
    stack[i]->priority = 2 - i;
  }
  under = sp_set(3, 2, 30, 30, CELLS, rect(0, 0, 8, 8), 0);
  over = sp_set(4, 2, 34, 34, CELLS, rect(16, 0, 24, 8), 0);
  ghost = sp_set(5, 2, 50, 34, CELLS, rect(32, 0, 48, 8), &alpha);
  ghost->mirror_x = 1;
  sp_draw(-1, 0);
  update(0);

  for (frame = 1; frame <= 4; frame++) {
    moved->x = moved->x + 1;
    moved->flags = moved->flags | 1;
    parent->angle = frame * 64;
    parent->scale_x = 0x10000 + frame * 0x2000;
    parent->scale_y = parent->scale_x;
    parent->flags = parent->flags | 1 | 0x10;
    child->flags = child->flags | 0x10;
    over->x = over->x + 2;
    over->flags = over->flags | 1;
    if (frame == 2) hidden->state = 1;
    sp_draw(-1, r);
    update(r);
  }
  sp_sort(4, 2);
  sp_redraw(4);
  sp_draw(-1, r);
  update(r);
  log_out("sprite picture drawn");
  return 0;
}
