// Whole-program speed as players and script authors see it: the workloads in
// bench/scripts run by the headless engine as processes (so through the real
// script thread loop, start-up included), beside the same work in Lua 5.4,
// and keva-cc beside `tcc -c` on the same generated 20,000-line script. The
// runs are interleaved round by round so load on the machine hits both sides
// alike; each figure is the median of the rounds.
//
//   script_bench [ROUNDS [ENGINE [KEVA_CC]]]
//
// ENGINE and KEVA_CC default to this build's programs; naming another build's
// compares two versions of the engine against the same references.
// Lines: start-up (a trivial script), fib(30) and a 50-million-iteration loop
// with start-up subtracted, the cost of one builtin call (a loop calling abs
// minus the same loop without the call), one update of the window-painted
// output ([System] Direct3D 0) beside one of the scaled output, and the
// compile. A reference that is not installed is skipped with a message.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "process_timing.h"

namespace {

namespace fs = std::filesystem;

bool Installed(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::string engine = argc > 2 ? argv[2] : KEVA_ENGINE;
  std::string compiler = argc > 3 ? argv[3] : KEVA_CC;
  fs::path dir = fs::temp_directory_path() / ("keva_script_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);
  fs::copy(KEVA_BENCH_SCRIPTS, dir, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  fs::copy_file(KEVA_SDK_HEADER, dir / "keva.h", fs::copy_options::overwrite_existing);
  std::string d = dir.string() + "/";
  bool have_lua = Installed("lua5.4");
  bool have_tcc = Installed("tcc");
  bool have_python = TimeProcess({"python3", d + "gen_big.py", "830"}, d + "big.c") >= 0;
  if (!have_lua) std::printf("lua5.4 is not installed: the script lines run without their reference\n");
  if (!have_tcc) std::printf("tcc is not installed: the compile line runs without its reference\n");
  if (!have_python) std::printf("python3 is not installed: no compile line\n");

  struct Job {
    std::string name;
    std::vector<std::string> argv;
    bool enabled;
  };
  std::vector<Job> jobs;
  for (const char* w : {"empty", "fib", "loop", "calls", "calls_base"}) {
    jobs.push_back({std::string("keva ") + w, {engine, "--headless", d + w + ".c"}, true});
    jobs.push_back({std::string("lua ") + w, {"lua5.4", d + w + ".lua"}, have_lua});
  }
  // The same engine with the translator off (through env, so its start-up is
  // measured through env too).
  for (const char* w : {"empty", "fib", "loop", "calls", "calls_base"})
    jobs.push_back({std::string("interpreted ") + w, {"env", "KEVA_INTERPRET=1", engine, "--headless", d + w + ".c"}, true});
  // 2000 calls of update each, configured by the .cfg beside the script.
  for (const char* w : {"update_painted", "update_scaled"})
    jobs.push_back({std::string("keva ") + w, {engine, "--headless", d + w + ".c"}, true});
  jobs.push_back({"keva-cc big", {compiler, d + "big.c"}, have_python});
  jobs.push_back({"tcc big", {"tcc", "-c", d + "big.c", "-o", d + "big.o"}, have_python && have_tcc});

  std::map<std::string, std::vector<double>> times;
  for (int r = 0; r < rounds; ++r) {
    for (const Job& job : jobs) {
      if (!job.enabled) continue;
      double t = TimeProcess(job.argv);
      if (t >= 0) times[job.name].push_back(t);
    }
  }
  auto median = [&](const std::string& name) { return Median(times[name]); };
  auto ms = [](double s) { return s * 1e3; };

  std::printf("%d rounds, medians; lua5.4 and tcc are the references (ratio = keva / reference)\n", rounds);
  double keva_start = median("keva empty"), lua_start = median("lua empty");
  std::printf("%-28s keva %9.2f ms", "start-up (trivial script)", ms(keva_start));
  if (have_lua) std::printf("   lua %9.2f ms   ratio %6.2f", ms(lua_start), keva_start / lua_start);
  std::printf("\n");
  for (const char* w : {"fib", "loop"}) {
    double k = median(std::string("keva ") + w) - keva_start;
    std::printf("%-28s keva %9.2f ms", (std::string(w) + " (start-up subtracted)").c_str(), ms(k));
    if (have_lua) {
      double l = median(std::string("lua ") + w) - lua_start;
      std::printf("   lua %9.2f ms   ratio %6.2f", ms(l), k / l);
    }
    std::printf("\n");
  }
  constexpr double kCalls = 5e6;
  double k_call = (median("keva calls") - median("keva calls_base")) / kCalls;
  std::printf("%-28s keva %9.1f ns", "one builtin call (abs)", k_call * 1e9);
  if (have_lua) {
    double l_call = (median("lua calls") - median("lua calls_base")) / kCalls;
    std::printf("   lua %9.1f ns   ratio %6.2f", l_call * 1e9, k_call / l_call);
  }
  std::printf("\n");
  // The translator's gain: the same workloads with the interpreter only.
  double interpreted_start = median("interpreted empty");
  for (const char* w : {"fib", "loop"}) {
    double i = median(std::string("interpreted ") + w) - interpreted_start;
    double k = median(std::string("keva ") + w) - keva_start;
    std::printf("%-28s interp %7.2f ms   native %7.2f ms   ratio %6.2f\n",
                (std::string(w) + ", interpreter only").c_str(), ms(i), ms(k), i / k);
  }
  double i_call = (median("interpreted calls") - median("interpreted calls_base")) / kCalls;
  std::printf("%-28s interp %7.1f ns   native %7.1f ns   ratio %6.2f\n", "builtin call, interpreter only",
              i_call * 1e9, k_call * 1e9, i_call / k_call);
  constexpr double kUpdates = 2000;
  double painted = (median("keva update_painted") - keva_start) / kUpdates;
  double scaled = (median("keva update_scaled") - keva_start) / kUpdates;
  std::printf("%-28s painted %6.1f us   scaled %6.1f us   ratio %6.2f\n", "update, 640 x 480", painted * 1e6,
              scaled * 1e6, painted / scaled);
  if (have_python) {
    double k = median("keva-cc big");
    std::printf("%-28s keva-cc %6.2f ms", "compile 20,000 lines", ms(k));
    if (have_tcc) std::printf("   tcc -c %6.2f ms   ratio %6.2f", ms(median("tcc big")), k / median("tcc big"));
    std::printf("\n");
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
