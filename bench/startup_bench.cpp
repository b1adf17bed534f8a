// Start-up as a player sees it: a trivial headless game (main returns at once,
// a minimal configuration beside it) timed as a whole process, from spawn to
// exit, beside baseline processes timed the same way in the same rounds:
// /bin/true (a process and nothing else) and `lua5.4 -e ''` (another
// interpreter's start-up, skipped when not installed). `keva --version` shows
// what loading the program alone costs (dynamic linking and static set-up).
// Runs are interleaved round by round so load on the machine hits every line
// alike; each figure is the median of the rounds.
//
//   startup_bench [ROUNDS [ENGINE...]]
//
// ENGINE defaults to this build's keva; naming several (another build's
// first) compares them in the same rounds.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "process_timing.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  std::vector<std::string> engines(argv + std::min(argc, 2), argv + argc);
  if (engines.empty()) engines.push_back(KEVA_ENGINE);
  fs::path dir = fs::temp_directory_path() / ("keva_startup_bench_" + std::to_string(getpid()));
  fs::create_directories(dir / "game");
  std::ofstream(dir / "game.cfg") << "[Screen]\nWidth=640\nHeight=480\n[System]\nDirectSound=1\n";
  std::ofstream(dir / "game" / "main.c") << "int main() { return 0; }\n";

  struct Line {
    std::string name;
    std::vector<std::string> argv;
    std::vector<double> times;
    bool usable;
  };
  std::vector<Line> lines = {
      {"/bin/true", {"/bin/true"}, {}, true},
      {"lua5.4 -e ''", {"lua5.4", "-e", ""}, {}, true},
  };
  for (const std::string& engine : engines) {
    std::string tag = engines.size() > 1 ? " [" + engine + "]" : "";
    lines.push_back({"keva, trivial headless game" + tag, {engine, "--headless", (dir / "game.cfg").string()}, {}, true});
    lines.push_back({"keva --version (loading only)" + tag, {engine, "--version"}, {}, true});
  }
  for (int r = 0; r < rounds; ++r) {
    for (Line& line : lines) {
      if (!line.usable) continue;
      bool ok = false;
      double t = TimeProcess(line.argv, "/dev/null", &ok);
      if (t < 0 || !ok) {
        line.usable = false;  // not installed, or failing: reported below
        continue;
      }
      line.times.push_back(t);
    }
  }
  std::error_code ec;
  fs::remove_all(dir, ec);

  const double base = lines[0].usable ? Median(lines[0].times) : 0;
  const double lua = lines[1].usable ? Median(lines[1].times) : 0;
  std::printf("%d rounds, medians of whole processes (spawn to exit); ratios to /bin/true and to lua5.4\n", rounds);
  for (const Line& line : lines) {
    if (!line.usable) {
      std::printf("%-58s did not run (not installed, or it failed)\n", line.name.c_str());
      continue;
    }
    double t = Median(line.times);
    std::printf("%-58s %8.2f ms", line.name.c_str(), t * 1e3);
    if (base > 0) std::printf("   x true %6.1f", t / base);
    if (lua > 0) std::printf("   x lua %6.1f", t / lua);
    std::printf("\n");
  }
  return 0;
}
