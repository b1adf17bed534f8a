// Compile speed of the script compiler: a generated 20,000-line script of
// structures, functions and expressions compiled the way the engine loads a
// script (a measuring pass, then the emitting pass), beside `tcc -c` on the
// same text as a C file in the same run. Prints lines per second for both and
// their ratio.
//
//   compiler_bench [REPEATS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "platform/error_box.h"
#include "platform/text_encoding.h"
#include "vm/context.h"

namespace {

constexpr int kLines = 20000;
constexpr int kStructs = 40;

// Source that is both a script and plain C.
std::string GenerateSource(int* line_count) {
  std::string s;
  int lines = 0;
  auto line = [&](const std::string& text) {
    s += text;
    s += '\n';
    ++lines;
  };
  char b[512];
  for (int i = 0; i < kStructs; ++i) {
    std::snprintf(b, sizeof b, "struct rec%d { int a; int b; short h; char c; struct rec%d *next; };", i, i);
    line(b);
    std::snprintf(b, sizeof b, "int total%d;", i);
    line(b);
  }
  int f = 0;
  // Each function is 25 lines.
  while (lines + 25 + 4 <= kLines) {
    int r = f % kStructs;
    std::snprintf(b, sizeof b, "int fn%d(int x, int y, struct rec%d *p) {", f, r);
    line(b);
    line("  struct rec" + std::to_string(r) + " local;");
    line("  int i, n, acc;");
    line("  acc = x * 3 + y / 2 - (x ^ y) + (x << 2) % 7;");
    line("  local.a = x + y * 3;");
    line("  local.b = (x - y) / 2 + p->a;");
    line("  local.h = 300; local.c = 7; local.next = p;");
    line("  n = 0;");
    line("  for (i = 0; i < 10; i++) {");
    line("    if (local.a > local.b && i != 5) local.a = local.a - i;");
    line("    else local.b += i * 2;");
    line("    n = n + (i & 1 ? i : -i);");
    line("  }");
    line("  while (n > 100 || n < -100) n = n / 2;");
    line("  switch (n & 3) {");
    line("  case 0: acc += 1; break;");
    line("  case 1: acc -= 2; break;");
    line("  default: acc = acc * 2;");
    line("  }");
    std::snprintf(b, sizeof b, "  total%d = total%d + acc;", r, r);
    line(b);
    line("  if (p->next) acc = acc + p->next->b;");
    line("  acc = acc + local.a * local.b - local.h + local.c;");
    if (f > 0) {
      std::snprintf(b, sizeof b, "  if (x > 0) acc = acc + fn%d(x - 1, y, p);", f - 1);
      line(b);
    } else {
      line("  acc = acc + 1;");
    }
    line("  return acc + n;");
    line("}");
    ++f;
  }
  line("int main() {");
  line("  struct rec0 r; r.a = 1; r.b = 2; r.next = 0;");
  while (lines < kLines - 2) line("  r.a = r.a + r.b * 2 - 1;");
  line("  return fn0(1, 2, &r);");
  line("}");
  *line_count = lines;
  return s;
}

void Quiet(std::string_view, std::string_view) {}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  int lines = 0;
  std::string source = GenerateSource(&lines);
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "keva-compiler-bench";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "bench.c", std::ios::binary) << source;
  SetScriptDirectory(dir.string() + "/");
  SetErrorBoxBackend(Quiet);
  AllocExternalArea(0x200000);

  // Script compiler: both passes per compilation.
  std::vector<uint8_t> image;
  double best = 1e30;
  for (int i = 0; i < repeats; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    if (!CompileSourceInto("bench.c", nullptr, 0x10000, 0)) {
      std::string utf8 = SjisToUtf8(CompileErrorText());
      std::fprintf(stderr, "the benchmark script does not compile:\n%s\n", utf8.c_str());
      return 1;
    }
    image.resize(CompiledCodeLength() + CompiledDataSize());
    if (!CompileSourceInto("bench.c", image.data(), 0x10000, static_cast<uint32_t>(image.size()))) return 1;
    best = std::min(best, Seconds(std::chrono::steady_clock::now() - t0));
  }
  double keva_rate = lines / best;
  std::printf("script compiler: %d lines, %zu-byte image, %.4f s for both passes, %.0f lines/s\n", lines, image.size(),
              best, keva_rate);

  // tcc -c on the same text.
  std::string object = (dir / "bench.o").string();
  std::string command = "tcc -c " + (dir / "bench.c").string() + " -o " + object + " 2>/dev/null";
  double tcc_best = 1e30;
  bool tcc_ok = std::system("tcc -v >/dev/null 2>&1") == 0;
  for (int i = 0; tcc_ok && i < repeats; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    tcc_ok = std::system(command.c_str()) == 0;
    tcc_best = std::min(tcc_best, Seconds(std::chrono::steady_clock::now() - t0));
  }
  if (tcc_ok) {
    double tcc_rate = lines / tcc_best;
    std::printf("tcc -c:          %d lines, %.4f s, %.0f lines/s\n", lines, tcc_best, tcc_rate);
    std::printf("ratio (script compiler / tcc): %.2f\n", keva_rate / tcc_rate);
  } else {
    std::printf("tcc -c: not available (install the Debian package tcc), no ratio\n");
  }
  std::filesystem::remove_all(dir);
  return 0;
}
