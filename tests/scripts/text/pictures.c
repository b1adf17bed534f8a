// The same text on a plane of the depth the configuration names (text8.cfg,
// text16.cfg, text24.cfg, text32.cfg); the test compares the screen with the
// stored picture of that depth. The strings are Japanese, in Shift_JIS.
#include "keva.h"

#define PLAIN 0
#define SMOOTH 1
#define STYLED 2
#define TURNED 3
#define VERTICAL 4

void set_font(int slot, char *face, int size, int angle, int flags, int weight) {
  int record[12];
  memset(record, 0, 48);
  strcpy(record, face);
  record[8] = size;
  record[9] = angle;
  record[10] = flags;
  record[11] = weight;
  font_set(slot, record);
}

int main() {
  gclear(0, 0, 0xFFFFFF);
  set_font(PLAIN, "\x82l\x82r \x83S\x83V\x83\x62\x83N", 16, 0, 0, 0);                 // the MS Gothic face
  set_font(SMOOTH, "\x82l\x82r \x96\xbe\x92\xa9", 24, 0, 16, 0);               // the MS Mincho face, anti-aliased
  set_font(STYLED, "\x82l\x82r \x83S\x83V\x83\x62\x83N", 16, 0, 1 | 2 | 4 | 8, 0);    // bold, italic, underline, strike-out
  set_font(TURNED, "\x82l\x82r \x83S\x83V\x83\x62\x83N", 12, 900, 16, 0);             // upward, anti-aliased
  set_font(VERTICAL, "@\x82l\x82r \x96\xbe\x92\xa9", 14, 2700, 0, 0);            // vertical writing, downward

  font_use(PLAIN);
  gtext(0, 4, 4, 0x00, "\x83S\x83V\x83\x62\x83N\x91\xcc: \x93\xfa\x96{\x8c\xea\x82\xcc\x83\x65\x83L\x83X\x83g \x87@");
  font_use(SMOOTH);
  gtext(0, 4, 24, 0x03, "\x96\xbe\x92\xa9\x91\xcc\x82\xcc\x95\xb6\x8f\xcd\x82\xc5\x82\xb7\x81\x42");
  font_use(STYLED);
  gtextf(0, 4, 56, 0x40001CE0, "\x91\xbe\x8e\x9a\x81\x45\x8e\xce\x91\xcc\x81\x45\x89\xba\x90\xfc %d", 2026);  // opaque
  font_use(TURNED);
  gtext(0, 290, 8, 0x80, "\x8f\x63\x8f\x91\x82\xab");
  font_use(VERTICAL);
  gtext(0, 266, 4, 0x03, "\x81u\x8f\x63\x81[\x81v\x81\x42");
  font_use(SMOOTH);
  gtext(0, 4, 80, 0x80000000 | 0x1C, "\x8c\xe1\x94y\x82\xcd\x94L\x82\xc5\x82\xa0\x82\xe9");  // coverage as alpha
  update(0);
  log_out("text drawn");
  return 0;
}
