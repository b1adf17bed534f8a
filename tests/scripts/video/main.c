// Video in a headless run: the pictures are decoded in real time without a
// window, a play without repeat ends by itself, and the picture of a
// repeating play is what the screenshot shows in the rectangle given.
#include "keva.h"

int main() {
  int rect[4];
  int waited;

  if (media_open("clip.avi") != 1) return 1;
  if (media_play() != 1) return 2;
  waited = 0;
  while (media_isplay() && waited < 10000) {
    sleep(20);
    waited = waited + 20;
  }
  if (media_isplay() != 0) return 3;
  if (waited < 300) return 4;  // 0.4 seconds of video

  rect[0] = 16;
  rect[1] = 8;
  rect[2] = 80;
  rect[3] = 56;
  if (media_open("clip.mpg") != 1) return 5;
  media_repeat(1);
  if (media_size(rect) != 1) return 6;
  if (media_setvol(50) != 1) return 7;
  if (media_play() != 1) return 8;
  sleep(600);
  if (media_isplay() != 1) return 9;
  log_out("video up\n");
  return 0;  // still up for the screenshot
}
