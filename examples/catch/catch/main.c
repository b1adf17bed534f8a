// Catch the stars: move the basket with the mouse, the arrow keys or a
// joystick; a left click drops a star at once; Enter tells the score and
// Escape ends the game. The game runs until Escape or 600 frames.
#include "keva.h"

#define W 640
#define H 480
#define VIEW 0
#define BASKET_W 80
#define BASKET_Y 440
#define STARS 6
#define FRAMES 600

int star_x[STARS], star_y[STARS], star_speed[STARS];
int basket_x = (W - BASKET_W) / 2;
int caught, missed;
int told_mouse, told_keys, told_joystick, told_click;

int drop(int i) {
  star_x[i] = 8 + rand() % (W - 24);
  star_y[i] = -(rand() % 120);
  star_speed[i] = 4 + rand() % 5;
  return 0;
}

int steer(int frame) {
  char keys[256];
  int point[4], joy[3];
  static int last_x = -1;

  // The mouse: the basket follows the pointer when it moves.
  getpoint(point);
  if (point[0] >= 0 && point[0] != last_x) {
    basket_x = point[0] - BASKET_W / 2;
    last_x = point[0];
    if (!told_mouse) log_out("the basket follows the mouse");
    told_mouse = 1;
  }
  if (point[3] & 0x10000) {  // a left click since the last frame
    drop(frame % STARS);
    star_y[frame % STARS] = 0;
    if (!told_click) log_out("a click drops a star");
    told_click = 1;
  }
  // The keyboard: Left and Right (virtual keys 0x25 and 0x27).
  if (getkey(keys) == 1) {
    if (keys[0x25] & 0x80) basket_x -= 8;
    if (keys[0x27] & 0x80) basket_x += 8;
    if ((keys[0x25] | keys[0x27]) & 0x80 && !told_keys) {
      log_out("the arrow keys move the basket");
      told_keys = 1;
    }
  }
  // A joystick, when there is one: its x axis runs from -1000 to 1000.
  if (getjoy(0, joy) == 1 && joy[0]) {
    basket_x += joy[0] / 125;
    if (!told_joystick) log_out("the joystick moves the basket");
    told_joystick = 1;
  }
  if (basket_x < 0) basket_x = 0;
  if (basket_x > W - BASKET_W) basket_x = W - BASKET_W;
  return 0;
}

int fall() {
  int i;
  for (i = 0; i < STARS; i++) {
    star_y[i] += star_speed[i];
    if (star_y[i] + 8 >= BASKET_Y && star_y[i] < BASKET_Y + 8 && star_x[i] + 8 > basket_x &&
        star_x[i] < basket_x + BASKET_W) {
      caught++;
      drop(i);
    } else if (star_y[i] > H) {
      missed++;
      drop(i);
    }
  }
  return 0;
}

int draw() {
  int i;
  gfill(VIEW, 0, 0, W, H, 0xFF101830);
  for (i = 0; i < STARS; i++) {
    if (star_y[i] >= 0) gfill(VIEW, star_x[i], star_y[i], 8, 8, 0xFFFFE070);
  }
  gfill(VIEW, basket_x, BASKET_Y, BASKET_W, 12, 0xFFC07030);
  gfill(VIEW, 0, 0, caught * 4 % W, 4, 0xFF70E0FF);  // the score as a bar
  return update(0);
}

int main() {
  int frame, i, c;

  log_out("Keva: catch the stars");
  galloc(VIEW, W, H, 32);
  srand(7);
  for (i = 0; i < STARS; i++) drop(i);
  key_init();
  for (frame = 0; frame < FRAMES; frame++) {
    steer(frame);
    fall();
    draw();
    c = key_get();
    if (c == 13) log_out("score: %d caught, %d missed", caught, missed);
    if (c == 27) break;
    sleep(16);
  }
  log_out("game over: %d caught, %d missed", caught, missed);
  exit();
  return 0;
}
