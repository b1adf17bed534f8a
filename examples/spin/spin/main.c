// A spinning torus beside a turning textured cube, lit by a white sun, a
// blue point light and a dim ambient colour, drawn by the software 3D
// renderer into the view page.
//
// torus.bin, cube.bin and checker.bmp are written at build time by
// keva-model (see the SDK's model-format.md for the file format).
#include "keva.h"

#define W 640
#define H 480
#define FRAMES 120
#define FRAME_MS 16
#define VIEW 0
#define CHECKER 1

// Triangle types
#define FLAT 0
#define SMOOTH 1
#define GLASS 3
#define TEXTURED_SMOOTH 5

struct Material {
  int colour;
  void *texture;
  char type;
};

struct Light {
  float c0, c1, c2;  // blue, green, red
  char type;         // 0 directional, 1 point
};

float camera_pos[3];
float camera_angles[3];
float pos[3];
float angles[3];
struct Material material;
struct Light sun;
struct Light lamp;

void set_material(void *model, int number, int colour, void *texture, int type) {
  material.colour = colour;
  material.texture = texture;
  material.type = type;
  p3d_material(model, number, &material);
}

// Pixels of row y that are not the background colour.
int drawn_in_row(int y, int background) {
  int info[6];
  int *row;
  int x, n;
  ginfo(VIEW, info);
  row = info[3] + y * info[4];  // the top row, then one pitch per row
  n = 0;
  for (x = 0; x < W; x++)
    if ((row[x] & 0xFFFFFF) != background) n++;
  return n;
}

int main() {
  void *torus;
  void *cube;
  int frame, side;
  float turn;

  log_out("Keva: a spinning torus");
  galloc(VIEW, W, H, 32);
  if (!gload(CHECKER, "checker.bmp")) {
    log_out("the models are missing: build the example first");
    return 1;
  }
  p3d_init(VIEW, 400.0, 0.5, 0.0);
  torus = p3d_load("torus.bin");
  cube = p3d_load("cube.bin");
  if (!torus || !cube) {
    log_out("the models are missing: build the example first");
    return 1;
  }
  set_material(torus, 0, 0x60A0FF, 0, SMOOTH);
  for (side = 0; side < 6; side++) set_material(cube, side, 0xFFFFFF, p3d_tex(CHECKER), TEXTURED_SMOOTH);

  sun.c0 = 0.8;
  sun.c1 = 0.85;
  sun.c2 = 0.9;
  sun.type = 0;
  lamp.c0 = 0.9;
  lamp.c1 = 0.3;
  lamp.c2 = 0.1;
  lamp.type = 1;
  camera_pos[0] = 0.0;
  camera_pos[1] = 0.6;
  camera_pos[2] = -6.0;
  camera_angles[0] = 0.1;  // looking slightly down
  camera_angles[1] = 0.0;
  camera_angles[2] = 0.0;

  for (frame = 0; frame < FRAMES; frame++) {
    turn = frame * 0.05;
    gclear(VIEW, 0, 0x181020);
    p3d_clear();
    p3d_view(camera_pos, camera_angles);
    p3d_env(0.15, 0.12, 0.1);
    p3d_light(&sun, 0.5, 0.6, 0.0);
    p3d_light(&lamp, -3.0, 1.0, -2.0);

    pos[0] = -1.2;
    pos[1] = 0.0;
    pos[2] = 0.0;
    angles[0] = turn * 0.7;
    angles[1] = turn;
    angles[2] = 0.3;
    p3d_setobj(torus, pos, angles);

    pos[0] = 1.8;
    angles[0] = turn * 0.5;
    angles[1] = -turn;
    angles[2] = 0.0;
    p3d_setobj(cube, pos, angles);

    p3d_render();
    update(0);
    if (frame % 60 == 59) log_out("frame %d: %d pixels of the middle row drawn", frame + 1, drawn_in_row(H / 2, 0x181020));
    sleep(FRAME_MS);
  }
  log_out("%d frames drawn", FRAMES);
  p3d_uninit();
  exit();
  return 0;
}
