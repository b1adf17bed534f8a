// Script threads, calls of other scripts, setjmp and longjmp.
#include "keva.h"

extern int shared_buffer[16];
int total;
int jumps;

int add(int x) {
  total += x;
  return 0;
}

int deep(int n) {
  if (n == 0) longjmp(shared_buffer, 42);
  return deep(n - 1) + 1;
}

int main() {
  int a, b, r;

  // call hands back the called script's result
  if (call("called\\seven.c") != 7) return 1;

  // threads share the program's globals and run to their end
  a = thd_begin(add, 5, 0, 0);
  b = thd_begin(add, 6, 1, 0);
  if (a < 0 || b < 0 || a == b) return 3;
  while (total != 5) sleep(1);     // a runs; b was started paused
  sleep(20);
  if (total != 5) return 4;        // b still has not run
  if (thd_resume(b) != 0) return 5;
  while (total != 11) sleep(1);
  if (thd_suspend(32) != -1) return 6;

  // longjmp out of a recursion, and out of a called script
  r = setjmp(shared_buffer);
  jumps++;
  if (r == 0) deep(10);
  if (r == 42) {
    if (jumps != 2) return 7;
    r = setjmp(shared_buffer);
    if (r == 0) call("called\\thrower.c");
    if (r != 9) return 8;
  } else if (r != 9) {
    return 9;
  }
  return 0;
}
