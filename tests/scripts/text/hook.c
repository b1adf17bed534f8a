// Run with --text-hook: every string gtext and gtextf draw comes out on
// standard output as UTF-8, one line per call, a repeated string once.
#include "keva.h"

int main() {
  gtext(0, 0, 0, 7, "Hello");
  gtext(0, 0, 20, 7, "Hello");  // the same string again: not written
  gtextf(0, 0, 40, 7, "%s%d", "\x93\x9a\x82\xa6\x82\xcd", 42);  // "the answer is" in Japanese
  gtext(0, 0, 60, 7, "Hello");
  return 0;
}
