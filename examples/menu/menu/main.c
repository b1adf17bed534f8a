// A title menu of sprite buttons: three buttons with hit areas, a pointer
// sprite above them that follows the mouse, a lamp on each button (a child
// sprite) that lights while the pointer is over it, and a check mark that a
// left click leaves on the chosen button. hit_point finds the button under
// the pointer. The menu ends a few frames after the choice (or after a
// minute without one); its test plays back menu.input.
#include "keva.h"

#define W 160
#define H 120
#define FRAMES 3600     // a minute at most
#define AFTER_CHOICE 10  // frames shown after the click

// Planes
#define BG 1      // the backdrop the sprites are drawn over
#define SHEET 2   // cells: button, lit button, lamp off, lamp on, check, pointer

// Cells of the sheet: left, top, right, bottom
#define BUTTON 0, 0, 64, 20
#define BUTTON_LIT 0, 20, 64, 40
#define LAMP_OFF 64, 0, 72, 8
#define LAMP_ON 64, 8, 72, 16
#define CHECK 64, 16, 74, 26
#define POINTER 80, 0, 88, 11

// Layers and hit groups
#define BUTTONS 0
#define MARKS 1
#define TOP 31
#define MENU_GROUP 0

#define CHANGED 1
#define SMOOTH 0x10

struct Sprite {
  unsigned char state, layer;
  unsigned short flags;
  char mirror_x, mirror_y, bits, unused;
  int priority, plane, x, y, pivot_x, pivot_y, scale_x, scale_y, drawn_scale_x, drawn_scale_y;
  short angle, drawn_angle;
  int source[4];
  char params[12];
  int bounds[4];
  int dest[4];
  int child_count;
  int *children;
  struct Sprite *parent, *previous, *next;
  int hit_areas, cover, unused2;
};

struct Area {
  int group, mask;
  int rect[4];
  struct Sprite *sprite;
  int value;
  int previous, next, next_of_sprite;
};

struct Params {
  char mode, mask, level, amount;
  int key, tint;
};

struct Params alpha;
int r[4];
int changed[4];
struct Sprite *buttons[3], *lamps[3], *pointer, *check;

int *rect(int left, int top, int right, int bottom) {
  r[0] = left;
  r[1] = top;
  r[2] = right;
  r[3] = bottom;
  return r;
}

void set_source(struct Sprite *s, int left, int top, int right, int bottom) {
  s->source[0] = left;
  s->source[1] = top;
  s->source[2] = right;
  s->source[3] = bottom;
  s->flags = s->flags | CHANGED;
}

void draw_backdrop() {
  int y;
  galloc(BG, W, H, 32);
  for (y = 0; y < H; y += 4) gclear(BG, rect(0, y, W, y + 4), 0xFF102040 + (y / 4) * 0x020301);
  gfill(BG, 8, 8, W - 16, H - 16, 0x40FFFFFF);
}

void draw_sheet() {
  int i;
  galloc(SHEET, 96, 40, 32);
  // Buttons: a frame and a face, plain and lit.
  gclear(SHEET, rect(0, 0, 64, 20), 0xFF303848);
  gclear(SHEET, rect(1, 1, 63, 19), 0xFF5870A0);
  gclear(SHEET, rect(0, 20, 64, 40), 0xFF303848);
  gclear(SHEET, rect(1, 21, 63, 39), 0xFFF0C050);
  // Lamps.
  gclear(SHEET, rect(64, 0, 72, 8), 0xFF202020);
  gclear(SHEET, rect(65, 1, 71, 7), 0xFF404040);
  gclear(SHEET, rect(64, 8, 72, 16), 0xFF602000);
  gclear(SHEET, rect(65, 9, 71, 15), 0xFFFF8020);
  // A check mark: a short and a long stroke, half-transparent edges.
  for (i = 0; i < 4; i++) gclear(SHEET, rect(64 + i, 20 + i, 66 + i, 22 + i), 0xFF20C040);
  for (i = 0; i < 6; i++) gclear(SHEET, rect(68 + i, 22 - i, 70 + i, 24 - i), 0xFF20C040);
  // The pointer: an arrow, one row wider each line, with a dark outline.
  for (i = 0; i < 8; i++) gclear(SHEET, rect(80, i, 81 + i, i + 1), 0xFF000000);
  for (i = 1; i < 7; i++) gclear(SHEET, rect(81, i, 80 + i, i + 1), 0xFFFFFFFF);
  gclear(SHEET, rect(80, 8, 84, 11), 0xFF000000);
  gclear(SHEET, rect(81, 8, 83, 10), 0xFFFFFFFF);
}

int main() {
  int i, frame, over, lit, chosen, left;
  int point[4];  // x, y, wheel, button flags
  struct Area *area;

  draw_backdrop();
  draw_sheet();
  alpha.mode = 7;
  alpha.level = 255;

  sp_init(-1);
  sp_flag(0);  // sprites are redrawn when they change, not at every draw
  sp_setbg(BG);
  sp_org(1 << BUTTONS | 1 << MARKS, -48, -16);  // the menu's layers are placed as one block
  for (i = 0; i < 3; i++) {
    buttons[i] = sp_set(BUTTONS, 2, 0, i * 28, SHEET, rect(BUTTON), 0);
    lamps[i] = sp_set(BUTTONS, 2, 52, 6, SHEET, rect(LAMP_OFF), 0);
    sp_link(buttons[i], lamps[i]);
    // The area is relative to the button, so it follows it; its value names the entry.
    hit_set(MENU_GROUP, 1 << MENU_GROUP, buttons[i], 0, i + 1);
  }
  pointer = sp_set(TOP, 1, 0, 0, SHEET, rect(POINTER), &alpha);  // hidden until the mouse is seen
  check = 0;
  lit = 0;
  chosen = 0;
  left = AFTER_CHOICE;

  for (frame = 0; frame < FRAMES && left > 0; frame++) {
    getpoint(point);
    if (point[0] >= 0 && point[1] >= 0) {
      pointer->state = 2;
      pointer->x = point[0];
      pointer->y = point[1];
      pointer->flags = pointer->flags | CHANGED;
    }
    // The entry under the pointer's tip (hit areas ignore layer origins, so
    // the tip is moved into the menu's own coordinates).
    area = pointer->state == 2 ? hit_point(pointer->x - 48, pointer->y - 16, 1 << MENU_GROUP) : 0;
    over = area ? area->value : 0;
    if (over != lit) {
      if (lit) {
        set_source(buttons[lit - 1], BUTTON);
        set_source(lamps[lit - 1], LAMP_OFF);
      }
      if (over) {
        set_source(buttons[over - 1], BUTTON_LIT);
        set_source(lamps[over - 1], LAMP_ON);
      }
      lit = over;
    }
    // A left press chooses the entry under the pointer: the check mark is
    // the chosen button's child and tilts as it lands.
    if (!chosen && over && (point[3] & 0x10000)) {
      chosen = over;
      check = sp_set(MARKS, 2, 12, 10, SHEET, rect(CHECK), &alpha);
      check->pivot_x = 5;
      check->pivot_y = 5;
      check->angle = -96;
      check->scale_x = 0x18000;
      check->scale_y = 0x18000;
      check->flags = check->flags | SMOOTH;
      sp_link(buttons[chosen - 1], check);
    }
    if (chosen) left--;
    sp_draw(-1, changed);
    update(changed);
    sleep(16);
  }
  log_out("chosen entry %d", chosen);
  return 0;
}
