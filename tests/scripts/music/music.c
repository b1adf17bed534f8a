// Played with --audio-out: a MIDI tune, then track 2 of the disc in CD/
// (track 1 is the data track); the recording is checked for both.
#include "../keva.h"

int main() {
  if (midi_play(0) != 1) return 1;  // nothing loaded yet: succeeds, plays nothing
  if (midi_isplay() != 0) return 2;
  if (midi_load("tune.mid") != 1) return 3;
  if (midi_play(0) != 1) return 4;
  sleep(300);
  if (midi_isplay() != 1) return 5;
  if (midi_getpos() < 100) return 6;
  sleep(600);
  midi_stop(0);
  midi_free();
  sleep(600);
  if (cd_getlen(2) != 0) return 7;  // half a second
  if (cd_play(1, 0) != 0) return 8;
  if (cd_play(2, 0) != 1) return 9;
  sleep(200);
  if (cd_isplay() != 1) return 10;
  sleep(600);
  if (cd_isplay() != 0) return 11;  // the track ended and repeat mode 0 stops
  return 0;
}
