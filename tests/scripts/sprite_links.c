// Records scribbled on by a script: circular lists, children arrays pointing
// anywhere, parent chains that loop, released records still linked, planes
// out of range, wild extents. Every builtin must come back, and sp_init must
// leave a store that works again.
#include "keva.h"

#include "sprite_record.h"

struct Area {
  int group, mask;
  int rect[4];
  struct Sprite *sprite;
  int value;
  struct Area *previous, *next, *next_of_sprite;
};

int out[4];

int main() {
  struct Sprite *s[12];
  struct Area *h[3];
  int i;

  galloc(1, 64, 48, 32);
  galloc(2, 8, 8, 32);
  gclear(2, 0, 0xFF0000);
  sp_setbg(1);
  for (i = 0; i < 12; i++) s[i] = sp_set(i % 2, 2, i * 4, i * 3, 2, 0, 0);
  sp_link(s[0], s[2]);
  sp_link(s[2], s[4]);
  for (i = 0; i < 3; i++) h[i] = hit_set(i, -1, s[i], 0, i);
  if (sp_draw(-1, out) != 1) return 1;

  s[0]->next = s[0];                 // a list that loops on itself
  s[3]->next = s[1];                 // and one that loops further back
  s[2]->children = 0x12345;          // children anywhere, far too many
  s[2]->child_count = 1000000;
  s[4]->children[0] = 7;             // a child that is no record (capacity word kept)
  s[4]->child_count = 3;
  s[6]->parent = s[8];               // a parent chain that loops
  s[8]->parent = s[6];
  sp_reset(s[10]);                   // released, then linked again by hand
  s[9]->next = s[10];
  s[5]->plane = 5000;                // planes out of range
  s[7]->plane = -1;
  s[11]->x = 0x7FFFFFFF;             // extents far beyond the page
  s[11]->scale_x = 0x7FFFFFFF;
  s[11]->scale_y = -0x7FFFFFFF;
  s[11]->angle = 300;
  s[11]->bits = 200;
  s[11]->source[2] = 0x7FFFFFFF;
  s[11]->cover = 0x20000;            // a cover list anywhere
  s[11]->flags = 0x4000 | 0x8000;
  h[0]->next = h[0];                 // a hit list that loops
  h[1]->sprite = 0x30000;            // attached to no record
  h[2]->next_of_sprite = h[2];
  for (i = 0; i < 12; i++) s[i]->flags = s[i]->flags | 1;

  if (sp_draw(-1, out) != 1) return 2;
  if (sp_draw(-1, out) != 1) return 3;
  if (sp_sort(-1, 3) != 1) return 4;
  sp_rect(s[6], out);
  sp_rect(s[11], out);
  hit_point(1, 1, -1);
  hit_check(h[1]);
  hit_check(h[2]);
  hit_rect(out, -1);
  sp_redraw(-1);
  sp_unlink(s[8]);
  if (sp_draw(-1, out) != 1) return 6;
  for (i = 0; i < 12; i++) sp_reset(s[i]);
  hit_reset(h[2]);
  if (sp_draw(-1, out) != 1) return 7;

  // Start again: the store works as new.
  sp_init(-1);
  hit_init(-1);
  if (getsystem("sp_count") != 0) return 8;
  s[0] = sp_set(0, 2, 10, 10, 2, 0, 0);
  if (s[0]->next != 0 || sp_draw(-1, out) != 1 || getpixel(0, 10, 10) != 0xFF0000) return 9;
  if (getsystem("sp_count") != 1) return 10;
  // A released record that no list holds any more still returns to the pool.
  s[1] = sp_set(0, 2, 20, 10, 2, 0, 0);
  s[2] = sp_set(0, 2, 30, 10, 2, 0, 0);
  sp_reset(s[2]);
  s[1]->next = 0;
  sp_draw(-1, out);
  if (getsystem("sp_count") != 2 || s[2]->state != 0) return 11;
  // An area whose group field was changed is freed with the list that holds it.
  out[0] = 0;
  out[1] = 0;
  out[2] = 4;
  out[3] = 4;
  h[0] = hit_set(3, -1, 0, out, 0);
  h[0]->group = 9;
  hit_init(8);
  if (h[0]->previous != 0 || hit_point(1, 1, -1) != 0) return 12;
  return 0;
}
