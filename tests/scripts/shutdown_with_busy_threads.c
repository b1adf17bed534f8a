/* exit() while other script threads sleep, sit paused, wait in engine
   messages and spin: the engine must end at once, with status 0. Before
   that, 1000 threads are started and ended one after another. */
#include "keva.h"

int spins;

int spinner(int arg) {
  for (;;) spins = spins + arg;
  return 0;
}

int sleeper(int arg) {
  sleep(arg);
  return 0;
}

int asker(int arg) {
  char keys[256];
  for (;;) getkey(keys);
  return 0;
}

int main() {
  int i, t;
  for (i = 0; i < 1000; i++) {
    t = thd_begin(spinner, 1, i & 1, 0);
    if (t < 0) return 10;
    if (thd_end(t) != 1) return 11;
  }
  if (thd_begin(sleeper, 60000, 0, 0) < 0) return 20;
  if (thd_begin(spinner, 1, 1, 0) < 0) return 21;  /* paused */
  if (thd_begin(spinner, 1, 0, 0) < 0) return 22;
  if (thd_begin(asker, 0, 0, 0) < 0) return 23;
  sleep(200);
  exit();
  return 30;
}
