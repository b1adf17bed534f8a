// keva-sdkgen FILE: writes the script header that declares every builtin, in
// table order, after its own trap directive. The builtin table is the one
// source of truth; this header is never written by hand.
#include <algorithm>
#include <cstdio>
#include <string>

#include "runtime/dispatch.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: keva-sdkgen FILE\n");
    return 1;
  }
  std::string text =
      "// keva.h: the builtins of the Keva engine.\n"
      "//\n"
      "// Generated from the engine's builtin table; do not edit. Include it once,\n"
      "// before the first builtin call:\n"
      "//     #include \"keva.h\"\n"
      "// A game needs no copy of it: an include that the script folder lacks is\n"
      "// read from the engine's own SDK folder. A copy in the script folder wins.\n"
      "// Each builtin is declared after a #trap line, which gives it the next\n"
      "// builtin number, so the order of the declarations must not change. The\n"
      "// comment after each declaration names its arguments.\n\n";
  for (int n = 0; n < kBuiltinCount; ++n) {
    const BuiltinEntry& e = kBuiltinTable[n];
    std::string type = e.result_type;
    std::string declaration = type + (type.back() == '*' ? "" : " ") + e.name + "();";
    declaration.resize(std::max<size_t>(declaration.size() + 1, 32), ' ');
    char number[16];
    std::snprintf(number, sizeof number, "%3d", n);
    text += "#trap\n" + declaration + "// " + number + ": " + (*e.arguments ? e.arguments : "no arguments") + "\n";
  }
  std::string temp = std::string(argv[1]) + ".tmp";
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) {
    std::perror(temp.c_str());
    return 1;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || std::rename(temp.c_str(), argv[1]) != 0) {
    std::perror(argv[1]);
    std::remove(temp.c_str());
    return 1;
  }
  return 0;
}
