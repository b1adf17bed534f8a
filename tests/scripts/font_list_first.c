// The font list asked for before any text is drawn is already complete: it
// holds the installed Gothic face.
#include "keva.h"

char names[32 * 64];

int main() {
  int n, i;
  n = font_list(names, 64);
  if (n < 1) return 1;
  for (i = 0; i < n; i++)
    if (strcmp(names + 32 * i, "IPAGothic") == 0) return 0;
  return 2;
}
