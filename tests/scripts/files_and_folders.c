// The file-system, file, clock and rectangle builtins through the engine:
// a folder made and searched, a stream and a compressed pack written and
// read back, the configuration file, stopwatches and rectangles.
#include "keva.h"

int main() {
  char name[64];
  char line[64];
  int find[80];
  int rect[4];
  int other[4];
  char *data;
  int f;
  int h;
  int n;

  if (file_check("ff_tree") == 1) return 1;  // left over from an earlier run
  if (dir_create("ff_tree") != 1) return 2;
  f = fopen("FF_TREE\\One.txt", "wb");
  if (f == 0) return 3;
  if (fputs("hello\n", f) < 0) return 4;
  fclose(f);
  if (fclose(f) != -1) return 5;  // closed twice
  if (pack_save("ff_tree\\two.dat", "packed packed packed", 20) != 1) return 6;

  // Both files, in order, whatever the case of the pattern.
  h = find_first("ff_tree\\*.*", find);
  if (h == -1) return 7;
  n = 0;
  do {
    strcpy(name, (char *)find + 44);
    if (strcmp(name, ".") && strcmp(name, "..")) n++;
  } while (find_next(h, find));
  find_close(h);
  if (n != 2) return 8;
  if (file_size("FF_TREE\\ONE.TXT") != 6) return 9;

  f = fopen("ff_tree\\one.txt", "rb");
  if (fgets(line, 64, f) != line || strcmp(line, "hello\n")) return 10;
  fclose(f);
  h = pack_open("ff_tree\\two.dat");
  if (h != 1 || pack_size(h) != 20) return 11;
  if (pack_read(h, line, 64) != 20 || memcmp(line, "packed packed packed", 20)) return 12;
  pack_close(h);
  data = mload("ff_tree\\two.dat", 7, 6);
  if (data == 0 || memcmp(data, "packed", 6)) return 13;
  free(data);

  file_delete("ff_tree\\one.txt");
  file_delete("ff_tree\\two.dat");
  if (dir_delete("ff_tree") != 1) return 14;

  // The configuration file, written even in a headless run.
  if (ini_seti("FilesTest", "Count", 12) == 0) return 15;
  if (ini_geti("FilesTest", "Count", 0) != 12) return 16;
  ini_gets("FilesTest", "Missing", "dflt", line, 64);
  if (strcmp(line, "dflt")) return 17;

  // A stopwatch set to 0 moves forward.
  setcount(3, 0);
  sleep(30);
  if (getcount(3) < 20) return 18;
  if (getcount(256) != 0) return 19;

  rc_set(rect, 0, 0, 10, 10);
  rc_set(other, 5, 5, 20, 20);
  if (rc_intersect(rect, rect, other) != 1 || rect[0] != 5 || rect[2] != 10) return 20;
  if (rc_in(rect, 10, 5) != 0) return 21;
  return 0;
}
