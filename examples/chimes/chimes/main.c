// Wind chimes over a breeze: a streaming Ogg loop (the breeze, looping from
// its second second on), one chime sound played at five pitches across the
// stereo field, the last of them with an echo, and a deep bell (a Microsoft
// ADPCM file) with reverb at the end. Each note lights its bar on screen.
//
// The sounds come from files: breeze.ogg, chime.wav (PCM) and bell.wav
// (ADPCM), drawn at build time.
#include "keva.h"

#define W 320
#define H 240
#define NOTES 5
#define BREEZE 0
#define BELL 6

// The pentatonic pitches of the chime (recorded at 22050 Hz: A5).
int pitch[NOTES] = {22050, 24750, 27781, 33037, 37081};
int pan[NOTES] = {-80, -40, 0, 40, 80};
int colour[NOTES] = {0xE05050, 0xE0B050, 0x80E050, 0x50B0E0, 0xB050E0};
// The order the wind strikes them in.
int song[12] = {0, 2, 4, 3, 1, 2, 0, 4, 3, 2, 1, 0};

int echo[5];
int reverb[4];

void Bars(int lit) {
  int i;
  gfill(0, 0, 0, W, H, 0x101828);
  for (i = 0; i < NOTES; i++) {
    if (i == lit) {
      gfill(0, 20 + i * 60, 40, 40, 160, colour[i]);
    } else {
      gfill(0, 20 + i * 60, 120, 40, 80, 0x303848);
    }
  }
  update(0);
}

int main() {
  char text[256];
  int i, note, played;

  galloc(0, W, H, 32);
  vpage(0);
  apage(0);

  if (snd_loads(BREEZE, "breeze.ogg") != 1) return 1;
  if (snd_gettext(BREEZE, text) == 1) log_out("breeze: %s", text);
  snd_setloop(BREEZE, 1000);
  snd_setvol(BREEZE, 70);
  snd_play(BREEZE, 1);

  for (i = 0; i < NOTES; i++) {
    if (snd_load(1 + i, "chime.wav") != 1) return 2;
    snd_setfreq(1 + i, pitch[i]);
    snd_setpan(1 + i, pan[i]);
  }
  // The highest chime rings on: echo 50 % wet, 40 % feedback, 180 and 240 ms.
  *(float*)&echo[0] = 50.0;
  *(float*)&echo[1] = 40.0;
  *(float*)&echo[2] = 180.0;
  *(float*)&echo[3] = 240.0;
  echo[4] = 1;
  snd_setecho(NOTES, echo);

  played = 0;
  for (i = 0; i < 12; i++) {
    note = song[i];
    snd_play(1 + note, 0);
    played++;
    Bars(note);
    sleep(350);
  }
  Bars(-1);

  // The bell, with a long reverb.
  if (snd_load(BELL, "bell.wav") != 1) return 3;
  *(float*)&reverb[0] = 0.0;
  *(float*)&reverb[1] = -4.0;
  *(float*)&reverb[2] = 2500.0;
  *(float*)&reverb[3] = 0.2;
  snd_setreverb(BELL, reverb);
  snd_play(BELL, 0);
  log_out("%d notes played, the breeze at %d ms of %d", played, snd_getpos(BREEZE), snd_getlen(BREEZE));
  while (snd_isplay(BELL)) sleep(50);
  snd_free(-1);
  log_out("done");
  return 0;
}
