#define SQ(x) ((x) * (x))
#define CAT(a, b) a##b
struct point { int x, y; char tag[4]; };
static int table[5] = { 1, -2, 3, 'a', 0x7f };
float scale = 1.5;
int walk(struct point* p, int n) {
  int i, sum = 0;
  for (i = 0; i < n; i++) {
    switch (p[i].x & 3) {
      case 0: sum += SQ(p[i].y); break;
      case 1: sum -= p[i].y; continue;
      default: sum ^= table[i % 5];
    }
  }
  return sum > 0 ? sum : -sum;
}
int main() {
  struct point pts[3];
  int value;
  char* s;
  value = 3;
  s = "\x82\xa0text";
  pts[0].x = 1; pts[1].x = 2; pts[2].x = 4;
  while (value--) pts[value].y = value * 7;
  do { scale = scale * 2.0; } while (scale < 100.0);
  return walk(pts, 3) + (int)scale + s[0];
}
