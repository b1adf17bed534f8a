// The mouse through getpoint and getmouse, driven by input_pointer.input: a
// click, a double click and two wheel notches, each seen once by every
// script thread, however the calls fall between the events.
#include "keva.h"

int seen[4];       // what the second thread saw: presses, double clicks, wheel, calls
int second_done;

int count_point(int rec) {
  getpoint(rec);
  return 0;
}

int second_thread(int arg) {
  int p[4];
  getpoint(p);  // this thread's first call: everything since the start
  seen[0] = p[3] & 0x10000;
  seen[1] = p[3] & 0x1000000;
  seen[2] = p[2];
  getpoint(p);  // nothing new since
  seen[3] = p[3] & 0x1010000 | p[2];
  second_done = 1;
  return 0;
}

int main() {
  int p[4], m[4];
  int presses, doubles, wheel, calls, keys[64];

  // The pointer is nowhere before the first move.
  getpoint(p);
  presses = doubles = 0;
  wheel = p[2];
  if (p[3] & 0x10000) presses++;
  if (p[3] & 0x1000000) doubles++;
  // Until the right button is held at the end of the file.
  for (calls = 0; calls < 20000; calls++) {
    getpoint(p);
    if (p[3] & 0x10000) presses++;
    if (p[3] & 0x1000000) doubles++;
    wheel += p[2];
    if (p[3] & 2) break;
    sleep(1);
  }
  if (calls == 20000) return 1;
  // Three presses of the left button (two clicks, the second one a double
  // click) and one of the right; each call sees what came since the last.
  if (presses < 1 || presses > 4) return 2;
  if (doubles != 1) return 3;
  if (wheel != 240) return 4;
  if (p[0] != 50 || p[1] != 60) return 5;
  if ((p[3] & 7) != 2) return 6;
  getpoint(p);
  if (p[3] & 0x1070000 || p[2]) return 7;

  // A second thread sees it all once more.
  if (thd_begin(second_thread, 0, 0, 0) < 0) return 8;
  while (!second_done) sleep(1);
  if (!seen[0] || !seen[1] || seen[2] != 240) return 9;
  if (seen[3]) return 10;

  // getmouse without scan codes: buttons only; getkey has the buttons'
  // virtual keys.
  if (getmouse(m) != 1) return 11;
  if (m[0] || m[1] || m[2] || m[3] != 2) return 12;
  if (getkey(keys) != 1 || (keys[0] & 0xFFFFFF) != 0x800000) return 13;  // index 2: right button

  // A null record is refused where a record is needed.
  if (getpoint(0) != 1) return 14;
  if (getmouse(0) != 0 || getkey(0) != 0) return 15;
  if (getkey(0xFFFFFF80) != 0 || getmouse(0xFFFFFFF8) != 0 || getpoint(0xFFFFFFF8) != 0) return 16;
  return 0;
}
