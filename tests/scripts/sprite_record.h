/* The sprite record as scripts see it: 144 bytes, shared by the sprite tests. */
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
