// Played with --audio-out: a tone at volume 50, panned right and an octave
// up, then silence, then an Ogg stream; the recording is checked for level,
// pan and pitch.
#include "../keva.h"

int main() {
  if (snd_load(0, "../tone.wav") != 1) return 1;
  snd_setvol(0, 50);
  snd_setpan(0, 50);
  snd_setfreq(0, 44100);
  if (snd_play(0, 1) != 1) return 2;
  sleep(400);
  snd_stop(0);
  sleep(300);
  if (snd_loads(1, "../music.ogg") != 1) return 3;
  if (snd_play(1, 0) != 1) return 4;
  sleep(400);
  snd_free(-1);
  sleep(100);
  return 0;
}
