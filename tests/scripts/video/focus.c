// Losing the focus pauses the video with everything else: a 1.2-second clip
// that plays across two seconds without the focus is still playing after it.
#include "keva.h"

int main() {
  int waited;

  if (media_open("long.mpg") != 1) return 1;
  if (media_play() != 1) return 2;
  sleep(400);  // the focus goes at 200 ms and comes back at 2200 ms
  if (media_isplay() != 1) return 3;
  waited = 0;
  while (media_isplay() && waited < 10000) {
    sleep(20);
    waited = waited + 20;
  }
  if (media_isplay() != 0) return 4;
  return 0;
}
