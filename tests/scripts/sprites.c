// Sprites, dirty rectangles and hit areas through the builtins, checked on
// the pixels of a 64 x 48 page and on the records' own fields.
#include "keva.h"

#include "sprite_record.h"

struct Area {
  int group, mask;
  int rect[4];
  struct Sprite *sprite;
  int value;
  int previous, next, next_of_sprite;
};

#define BG 1
#define RED 2
#define GREEN 3
#define SPARE 4
#define SAVED 5
#define BLUE_BG 0x000080
#define WHITE 0xFFFFFF

int r[4];
int out[4];

int *rect(int left, int top, int right, int bottom) {
  r[0] = left;
  r[1] = top;
  r[2] = right;
  r[3] = bottom;
  return r;
}

int same(int *a, int left, int top, int right, int bottom) {
  return a[0] == left && a[1] == top && a[2] == right && a[3] == bottom;
}

int main() {
  struct Sprite *a, *b, *c, *p, *q, *k;
  struct Area *h1, *h2, *h3, *h4;
  int i;

  galloc(BG, 64, 48, 32);
  gclear(BG, 0, BLUE_BG);
  galloc(RED, 8, 8, 32);
  gclear(RED, 0, 0xFF0000);
  galloc(GREEN, 8, 8, 32);
  gclear(GREEN, 0, 0x00FF00);

  // Layer 32, a plane above 1023, a missing plane without a rectangle: the spare record.
  a = sp_set(32, 2, 0, 0, RED, 0, 0);
  if (a == 0 || a != sp_set(0, 2, 0, 0, 1024, 0, 0) || a != sp_set(0, 2, 0, 0, 900, 0, 0)) return 1;
  if (getsystem("sp_count") != 0) return 2;

  // Static sprites: only a change sets them redrawing (new sprites start with bit 1).
  if (sp_flag(0) != 2 || sp_flag(0) != 0) return 57;
  if (sp_setbg(BG) != 0 || sp_getbg() != BG) return 3;
  a = sp_set(0, 2, 10, 10, RED, 0, 0);
  if (a->flags != 0x10 || a->scale_x != 0x10000 || !same(a->source, 0, 0, 8, 8)) return 4;
  if (getsystem("sp_count") != 1) return 5;
  if (sp_draw(-1, out) != 1 || !same(out, 0, 0, 64, 48)) return 6;
  if (getpixel(0, 0, 0) != BLUE_BG || getpixel(0, 10, 10) != 0xFF0000 || getpixel(0, 17, 17) != 0xFF0000) return 7;
  if (!(a->flags & 0x8000) || !same(a->bounds, 10, 10, 18, 18)) return 8;

  // Moved with bit 0: the old place comes back from the background.
  a->x = 30;
  a->flags = a->flags | 1;
  sp_draw(-1, out);
  if (getpixel(0, 10, 10) != BLUE_BG || getpixel(0, 30, 10) != 0xFF0000) return 9;
  if (!same(out, 10, 10, 38, 18)) return 10;
  // Moved without bit 0: nothing happens.
  a->x = 40;
  sp_draw(-1, out);
  if (getpixel(0, 30, 10) != 0xFF0000 || out[2] != 0) return 11;
  a->x = 30;

  // Hidden: erased at the next draw, no longer drawn.
  a->state = 1;
  sp_draw(-1, out);
  if (getpixel(0, 30, 10) != BLUE_BG || (a->flags & 0x8000) || !same(out, 30, 10, 38, 18)) return 12;
  sp_reset(a);
  sp_draw(-1, 0);
  if (a->state != 0 || getsystem("sp_count") != 0) return 13;

  // A sprite under a moving one is redrawn only in its cover rectangles: a
  // mark put on the page inside it, away from the moving one, survives.
  b = sp_set(0, 2, 20, 20, GREEN, 0, 0);
  c = sp_set(0, 2, 24, 24, RED, 0, 0);
  sp_draw(-1, 0);
  if (getpixel(0, 25, 25) != 0xFF0000 || getpixel(0, 21, 21) != 0x00FF00) return 14;
  gclear(0, rect(20, 20, 21, 21), WHITE);
  c->x = 40;
  c->flags = c->flags | 1;
  sp_draw(-1, 0);
  if (getpixel(0, 25, 25) != 0x00FF00 || getpixel(0, 30, 30) != BLUE_BG || getpixel(0, 41, 25) != 0xFF0000) return 15;
  if (getpixel(0, 20, 20) != WHITE) return 16;
  if (b->flags & 0x4001) return 17;
  // sp_redraw redraws everything drawn, the background included.
  sp_redraw(-1);
  sp_draw(-1, 0);
  if (getpixel(0, 20, 20) != 0x00FF00) return 18;
  sp_init(-1);
  sp_setbg(BG);
  sp_draw(-1, 0);
  if (getpixel(0, 21, 21) != BLUE_BG) return 19;

  // Default flags 2: redrawn at every draw.
  sp_flag(2);
  a = sp_set(1, 2, 4, 4, RED, 0, 0);
  sp_draw(-1, 0);
  gclear(0, rect(5, 5, 6, 6), WHITE);
  sp_draw(-1, 0);
  if (getpixel(0, 5, 5) != 0xFF0000) return 20;
  // A layer the draw does not select is left alone.
  gclear(0, rect(5, 5, 6, 6), WHITE);
  sp_draw(1, 0);
  if (getpixel(0, 5, 5) != WHITE) return 21;
  sp_init(-1);

  // A child at (10, 0) of a parent turned a quarter: 10 pixels above the
  // parent's pivot; at scale 2 twice that, and twice the size.
  sp_flag(0);
  p = sp_set(0, 2, 30, 30, RED, 0, 0);
  p->pivot_x = 4;
  p->pivot_y = 4;
  p->angle = 512;
  k = sp_set(0, 2, 10, 0, GREEN, rect(0, 0, 2, 2), 0);
  k->pivot_x = 1;
  k->pivot_y = 1;
  if (sp_link(p, k) != 1 || k->parent != p || p->child_count != 1 || p->children[0] != k) return 22;
  if (p->next != k) return 23;
  if (sp_rect(k, out) != 1 || !same(out, 29, 19, 31, 21)) return 24;
  p->scale_x = 0x20000;
  p->scale_y = 0x20000;
  if (sp_rect(k, out) != 1 || !same(out, 28, 8, 32, 12)) return 25;
  p->flags = 1;
  sp_draw(-1, 0);
  if (k->drawn_scale_x != 0x20000 || k->drawn_angle != 512) return 26;
  if (getpixel(0, 29, 9) != 0x00FF00 || getpixel(0, 30, 30) != 0xFF0000) return 27;
  // Turned about its pivot (its top-left corner): the centre swings to (14, 6).
  q = sp_set(3, 2, 10, 10, RED, 0, 0);
  q->angle = 512;
  if (sp_rect(q, out) != 1 || !same(out, 10, 2, 18, 10)) return 58;
  q->bits = 1;  // fraction bits halve the position
  if (sp_rect(q, out) != 1 || !same(out, 5, -3, 13, 5)) return 59;
  sp_reset(q);
  if (sp_unlink(k) != 1 || k->parent != 0 || p->child_count != 0) return 29;
  sp_link(p, k);
  // Releasing the parent releases the child; the next draw frees both.
  sp_reset(p);
  if (!(k->flags & 0x2000) || k->state != 1 || p->children != 0) return 30;
  sp_draw(-1, 0);
  if (getsystem("sp_count") != 0 || getpixel(0, 29, 9) != BLUE_BG) return 31;

  // Sorting by absolute y keeps equal keys in order; by priority as well.
  a = sp_set(2, 2, 0, 30, RED, 0, 0);
  b = sp_set(2, 2, 0, 10, RED, 0, 0);
  c = sp_set(2, 2, 0, 20, RED, 0, 0);
  p = sp_set(2, 2, 0, 10, RED, 0, 0);
  sp_sort(4, 1);
  if (b->next != p || p->next != c || c->next != a || a->next != 0) return 32;
  a->priority = 1;
  b->priority = 3;
  c->priority = 2;
  p->priority = 0;
  sp_sort(4, 2);
  if (p->next != a || a->next != c || c->next != b) return 33;
  // A child's key adds its ancestors' y: 10 + 15 sorts after 20, before 30.
  q = sp_set(3, 2, 0, 15, RED, 0, 0);
  k = sp_set(2, 2, 0, 10, RED, 0, 0);
  sp_link(q, k);  // the parent is in another layer, so the child keeps its place
  sp_sort(4, 1);
  if (c->next != k || k->next != a) return 60;
  sp_init(12);
  sp_draw(-1, 0);
  if (getsystem("sp_count") != 0) return 34;

  // Hit areas: first by group, then in list order; touching edges miss.
  h1 = hit_set(1, 1, 0, rect(0, 0, 10, 10), 11);
  h2 = hit_set(2, 1, 0, rect(5, 5, 15, 15), 12);
  h3 = hit_set(1, 1, 0, rect(4, 4, 10, 10), 13);
  if (!h1 || !h2 || !h3 || hit_set(32, 0, 0, 0, 0) != 0) return 35;
  if (hit_point(6, 6, 6) != h1 || hit_point(6, 6, 4) != h2 || hit_point(12, 12, 2) != 0) return 36;
  if (hit_point(10, 10, 6) != h2 || hit_rect(rect(10, 0, 20, 5), 6) != 0) return 37;
  if (hit_rect(rect(7, 7, 9, 9), 2) != h1) return 38;
  // The mask says which groups an area tests against; 0 hides it.
  h4 = hit_set(3, 4, 0, rect(9, 9, 11, 11), 14);
  if (hit_check(h4) != h2) return 39;
  h4->mask = 2;
  if (hit_check(h4) != h1) return 40;
  h1->mask = 0;
  if (hit_check(h4) != h3 || hit_point(1, 1, 2) != 0) return 41;
  h4->mask = 0;
  if (hit_check(h4) != 0) return 42;
  if (hit_reset(h3) != 1 || h3->previous != 0 || hit_point(6, 6, 2) != 0) return 43;
  // Attached: offset by the sprite's position less its pivot; a hidden sprite's area is not hit.
  a = sp_set(0, 2, 40, 30, RED, 0, 0);
  a->pivot_x = 4;
  h3 = hit_set(5, 1, a, 0, 15);
  if (h3->rect[2] != 8 || a->hit_areas != h3) return 44;
  if (hit_point(36, 30, 32) != h3 || hit_point(35, 30, 32) != 0 || hit_point(43, 37, 32) != h3) return 45;
  a->state = 1;
  if (hit_point(36, 30, 32) != 0) return 46;
  a->state = 2;
  sp_reset(a);
  if (h3->previous != 0 || hit_point(36, 30, 32) != 0) return 47;
  hit_init(-1);
  if (hit_point(12, 12, -1) != 0) return 48;
  sp_draw(-1, 0);

  // The dirty list: the 2049th rectangle collapses it into their union.
  galloc(SPARE, 64, 48, 32);
  gclear(SPARE, 0, WHITE);
  galloc(SAVED, 64, 48, 32);
  drt_init();
  for (i = 0; i < 2047; i++) drt_set(rect(0, 0, 1, 1));
  if (drt_set(rect(2, 2, 3, 3)) != 1) return 49;
  if (drt_set(rect(40, 40, 41, 41)) != 0) return 50;
  if (drt_copy(SAVED, 0, 0, SPARE, 0) != 1) return 51;
  if (getpixel(SAVED, 20, 20) != WHITE || getpixel(SAVED, 41, 41) != 0 || getpixel(SAVED, 40, 40) != WHITE) return 52;
  // Overlapping rectangles, a source offset and a destination position.
  gclear(SAVED, 0, 0);
  gclear(SPARE, rect(10, 10, 20, 20), 0x123456);
  drt_set(rect(0, 0, 4, 4));
  drt_set(rect(2, 2, 6, 6));
  if (drt_copy(SAVED, 1, 1, SPARE, rect(8, 8, 64, 48)) != 1) return 53;
  if (getpixel(SAVED, 2, 2) != WHITE || getpixel(SAVED, 3, 3) != 0x123456 || getpixel(SAVED, 5, 5) != 0x123456) return 54;
  if (getpixel(SAVED, 0, 5) != 0 || getpixel(SAVED, 6, 6) != 0 || getpixel(SAVED, 0, 0) != 0) return 55;
  drt_set(rect(0, 0, 4, 4));
  if (drt_copy(SAVED, 100, 0, SPARE, 0) != 0) return 56;
  return 0;
}
