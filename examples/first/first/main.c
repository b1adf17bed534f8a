// First steps: a tour of what a script can do, written to the Debug Output
// window (standard output when the engine runs headless).
#include "keva.h"

#define PLANE 1

int worker_total;

// Runs on a script thread of its own, sharing this script's globals.
int worker(int count) {
  int i;
  for (i = 1; i <= count; i++) worker_total += i;
  return 0;
}

int main() {
  int info[6];
  int thread, i, sum;
  int font[12];        // a font record: face, size, angle, flags, weight
  char faces[8][32];   // font_list entries

  log_out("Keva: first steps");

  // Script threads: start one, wait for it.
  thread = thd_begin(worker, 100, 0, 0);
  while (worker_total != 5050) sleep(1);
  log_out("thread %d added 1..100: %d", thread, worker_total);

  // Another script file, compiled on the fly; its main() result comes back.
  log_out("called script answered %d", call("answer.c"));

  // Table trigonometry: 2048 steps per turn.
  log_out("tsin(512) = %d, tcos(0) = %d", tsin(512), tcos(0));

  // The random generator, seeded for a repeatable sequence.
  srand(4357);
  sum = 0;
  for (i = 0; i < 10; i++) sum += rand() % 6 + 1;
  log_out("ten dice after srand(4357): %d", sum);

  // A 32-bit plane in the script's memory.
  galloc(PLANE, 320, 240, 32);
  ginfo(PLANE, info);
  log_out("plane %d: %d x %d, %d bits per pixel", PLANE, info[0], info[1], info[2]);
  gfree(PLANE);

  // Text on the screen (plane 0): font slot 0 starts as the MS Gothic face at
  // 16 pixels; slot 1 gets the MS Mincho face, 24 pixels, anti-aliased
  // (flags bit 4). Colours are engine palette indexes: 0xFF white, 0x1C green.
  gclear(0, 0, 0x000000);
  gtext(0, 16, 16, 0xFF, "Keva: first steps");
  font_get(0, font);
  strcpy(font, "\x82l\x82r \x96\xbe\x92\xa9");  // the MS Mincho face
  font[8] = 24;
  font[10] = 16;
  font_set(1, font);
  font_use(1);
  gtextf(0, 16, 48, 0x1C, "\x83T\x83\x43\x83R\x83\x8d\x8f\x5c\x8c\xc2: %d", sum);  // "ten dice:" in Japanese
  font_use(0);
  update(0);
  if (font_list(faces, 8) > 0) log_out("first installed Japanese face: %s", faces[0]);

  log_out("done");
  exit();
  return 0;
}
