// The ending, run by main.c with call(): the dawn, the end title and the
// credits, until Enter, a click or five seconds.
#include "keva.h"

#define W 1280
#define H 720
#define VIEW 0
#define PICTURE 2
#define SHADE 13
#define BLEND 3
#define INK 0xFF  // white, blended into the page

int rect[4];
char blend[12];
int point[4];

int main() {
  int c;
  gload(PICTURE, "data\\dawn.bmp");
  rect[0] = 0;
  rect[1] = 0;
  rect[2] = W;
  rect[3] = H;
  gblit(VIEW, rect, PICTURE, 0, 0, 0);
  // A band of night blue, half blended over the dawn.
  gfill(SHADE, 0, 0, 1, 1, 0xFF102040);
  blend[0] = BLEND;
  blend[2] = 0x80;
  rect[1] = 240;
  rect[3] = 460;
  gblit(VIEW, rect, SHADE, 0, blend, 0);
  font_use(3);
  gtext(VIEW, 544, 260, INK, "‚¨‚í‚è");
  font_use(2);
  gtext(VIEW, 580, 380, INK, "The End");
  gtext(VIEW, 388, 416, INK, "Keva example game: the lantern festival");
  update(0);
  setcount(2, 0);
  getpoint(point);
  while (getcount(2) < 5000) {
    c = key_get();
    getpoint(point);
    if (c == 13 || c == 27 || (point[3] & 0x10000)) break;
    sleep(16);
  }
  return 0;
}
