// getjoy: range and dead zone of raw axis positions from
// input_joysticks.input, and the numbers that name no joystick.
#include "keva.h"

int main() {
  int j[3], tries;

  j[0] = j[1] = j[2] = 7;
  if (getjoy(4, j) != 0 || j[0] || j[1] || j[2]) return 1;
  j[0] = 7;
  if (getjoy(-1, j) != 0 || j[0]) return 2;
  if (getjoy(0, 0) != 0 || getjoy(0, 0xFFFFFFF8) != 0) return 3;

  // Joystick 2 moves last; by then all three hold their positions.
  for (tries = 0; tries < 20000; tries++) {
    if (getjoy(2, j) == 1 && j[0] == 500) break;
    sleep(1);
  }
  if (tries == 20000) return 4;
  if (j[1] != -500 || j[2] != 0) return 5;
  // At the ends of travel: -1000 and 1000; the buttons as bits.
  if (getjoy(0, j) != 1 || j[0] != 1000 || j[1] != -1000 || j[2] != 0x80000009) return 6;
  // Anywhere in the inner half of either side of the centre: 0.
  if (getjoy(1, j) != 1 || j[0] != 0 || j[1] != 0) return 7;
  // Joystick 3 was attached and taken away again.
  j[0] = 7;
  if (getjoy(3, j) != 0 || j[0]) return 8;
  return 0;
}
