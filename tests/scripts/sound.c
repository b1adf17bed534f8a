// Sound slots in a headless run: the mixer runs in real time, so sounds
// advance, report their positions and end by themselves.
#include "keva.h"

int main() {
  char text[256];
  int pos;

  if (snd_load(0, "tone.wav") != 1) return 1;
  if (snd_loads(1, "music.ogg") != 1) return 2;
  if (snd_getlen(0) != 1000 || snd_getlen(1) != 1000) return 3;
  if (snd_gettext(1, text) != 1 || strcmp(text, "ab") != 0) return 4;
  if (snd_gettext(0, text) != 0) return 5;
  if (snd_play(0, 0) != 1 || snd_play(1, 1) != 1) return 6;
  sleep(300);
  pos = snd_getpos(0);
  if (pos < 200 || pos > 700) return 7;
  pos = snd_getpos(1);
  if (pos < 200 || pos > 700) return 8;
  // The static tone ends by itself; the repeating stream goes on.
  sleep(1200);
  if (snd_isplay(0) != 0) return 9;
  if (snd_isplay(1) != 1) return 10;
  if (snd_getpos(0) != 0) return 11;
  snd_free(-1);
  if (snd_isplay(1) != 0 || snd_getlen(1) != 0) return 12;
  if (snd_load(64, "tone.wav") != 0 || snd_load(2, "missing.wav") != 0) return 13;
  return 0;
}
