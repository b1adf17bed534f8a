// keva: runs a game.
#include <cstdio>
#include <cstring>

#include "host/self_check.h"

namespace {

void Usage(std::FILE* to) {
  std::fputs(
      "usage: keva --self-check\n"
      "  --self-check   run a small hand-assembled program on the script VM and print its result\n"
      "  --help         show this help\n",
      to);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--self-check") == 0) return RunVmSelfCheck();
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    Usage(stdout);
    return 0;
  }
  Usage(stderr);
  return 2;
}
