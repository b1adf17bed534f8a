// Compressed-file throughput: the engine's LZW coder writing and expanding
// 10 MB of mixed game-like data, next to gzip -1 and gzip -d run as child
// processes on the same data in the same run. Also the cost of opening an
// archive member next to a loose file, and of opening many members of a big
// archive with and without the kept index.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "files/archive.h"
#include "files/compressed.h"
#include "files/file_layer.h"
#include "platform/file_system.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kDataSize = 10 * 1024 * 1024;

// 10 MB in the proportions of a small game folder: bitmaps with gradients and
// flat areas, 16-bit PCM sound, Shift_JIS script text and already-compressed
// data (JPEG, Ogg) that does not shrink.
std::string GameLikeData() {
  std::mt19937 rng(12345);
  std::string out;
  out.reserve(kDataSize);
  const char* lines[] = {
      "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD\x81\x41\x90\xA2\x8A\x45\x81\x42\r\n",  // こんにちは、世界。
      "gload(3, \"bg\\\\title.bmp\");\r\n", "sp_set(spr, 120, 80, 0);\r\n", "snd_play(1, 0);\r\n",
      "if (key & 16) { wait(16); }\r\n"};
  while (out.size() < kDataSize) {
    switch (out.size() / (256 * 1024) % 6) {
      case 0:
      case 1: {  // 24-bit bitmap rows: gradients, flat bands and an ordered dither
        int y = static_cast<int>(out.size() / 1920);
        for (int x = 0; x < 640; ++x) {
          int band = (x / 40) % 3;
          int dither = (x + y) % 2;
          out += static_cast<char>(band == 0 ? 40 : x / 3 + dither);
          out += static_cast<char>(band == 1 ? 200 : x / 2);
          out += static_cast<char>(y % 256);
        }
        break;
      }
      case 2:
      case 3: {  // 16-bit PCM: two tones and noise
        for (int i = 0; i < 2048; ++i) {
          double t = static_cast<double>(out.size() + i) / 44100.0;
          auto s = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * t) + 3000 * std::sin(2 * M_PI * 660 * t) +
                                        static_cast<int>(rng() % 512) - 256);
          out += static_cast<char>(s & 0xFF);
          out += static_cast<char>(s >> 8);
        }
        break;
      }
      case 4:  // script text
        out += lines[rng() % 5];
        break;
      default:  // already compressed
        for (int i = 0; i < 4096; ++i) out += static_cast<char>(rng());
        break;
    }
  }
  out.resize(kDataSize);
  return out;
}

struct Workspace {
  fs::path dir;
  std::string data;
  std::string raw, kev, gz;  // the data, compressed by us, by gzip
  Workspace() {
    std::string tmpl = (fs::temp_directory_path() / "keva-files-bench-XXXXXX").string();
    dir = mkdtemp(tmpl.data());
    data = GameLikeData();
    raw = (dir / "data.raw").string();
    kev = (dir / "data.kev").string();
    gz = (dir / "data.gz").string();
    std::ofstream(raw, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    WriteCompressedFile(kev.c_str(), data.data(), static_cast<uint32_t>(data.size()));
    Run("gzip -1 -c '" + raw + "' > '" + gz + "'");
  }
  ~Workspace() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  static bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }
  double Ratio(const std::string& path) const {
    return static_cast<double>(fs::file_size(path)) / static_cast<double>(data.size());
  }
};

Workspace& Work() {
  static Workspace w;
  return w;
}

void BM_KevaCompress(benchmark::State& state) {
  Workspace& w = Work();
  std::string out = (w.dir / "out.kev").string();
  for (auto _ : state) {
    if (!WriteCompressedFile(out.c_str(), w.data.data(), static_cast<uint32_t>(w.data.size()))) {
      state.SkipWithError("WriteCompressedFile failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.data.size()));
  state.counters["ratio"] = w.Ratio(w.kev);
}

void BM_KevaExpand(benchmark::State& state) {
  Workspace& w = Work();
  for (auto _ : state) {
    ExpFile* e = OpenExpFile(w.kev.c_str());
    if (!e || GetExpFileSize(e) != static_cast<int32_t>(w.data.size())) {
      state.SkipWithError("OpenExpFile failed");
      break;
    }
    CloseExpFile(e);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.data.size()));
}

void BM_GzipCompress(benchmark::State& state) {
  Workspace& w = Work();
  std::string command = "gzip -1 -c '" + w.raw + "' > '" + (w.dir / "out.gz").string() + "'";
  for (auto _ : state) {
    if (!Workspace::Run(command)) {
      state.SkipWithError("gzip -1 failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.data.size()));
  state.counters["ratio"] = w.Ratio(w.gz);
}

void BM_GzipExpand(benchmark::State& state) {
  Workspace& w = Work();
  std::string command = "gzip -d -c '" + w.gz + "' > '" + (w.dir / "out.raw").string() + "'";
  for (auto _ : state) {
    if (!Workspace::Run(command)) {
      state.SkipWithError("gzip -d failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.data.size()));
}

// Opening one of 1000 archive members against opening a loose file.
void BM_OpenArchiveMember(benchmark::State& state) {
  Workspace& w = Work();
  std::string archive = (w.dir / "pack.bin").string();
  std::vector<std::string> names;
  for (int i = 0; i < 1000; ++i) names.push_back("img\\cg" + std::to_string(i) + ".bmp");
  HostFile out = CreateHostFileForWrite(archive);
  std::string error;
  WriteArchive(out, names, 1, [](size_t, HostFile& f, std::string&) { return f.Write("data", 4); }, error);
  out.Close();
  std::string path = (w.dir / "pack\\img\\cg500.bmp").string();
  for (auto _ : state) {
    FastFile* f = OpenFastFile(path.c_str());
    if (!f) {
      state.SkipWithError("member not found");
      break;
    }
    CloseFastFile(f);
  }
}

// Opening 10,000 different members of a 5,000-member archive by name (each
// member twice, in a scattered order): state.range(0) 0 reads and searches the
// table on every open, 1 keeps the archive's index.
void BM_OpenManyMembers(benchmark::State& state) {
  Workspace& w = Work();
  std::string archive = (w.dir / "big.bin").string();
  static bool written = false;
  constexpr int kMembers = 5000;
  if (!written) {
    std::vector<std::string> names;
    for (int i = 0; i < kMembers; ++i) names.push_back("cg\\ev" + std::to_string(i) + "_" + std::to_string(i % 7) + ".bmp");
    HostFile out = CreateHostFileForWrite(archive);
    std::string error;
    WriteArchive(out, names, 1, [](size_t, HostFile& f, std::string&) { return f.Write("data", 4); }, error);
    out.Close();
    // an archive a game ships is old: its index may be kept at once
    fs::last_write_time(archive, fs::file_time_type::clock::now() - std::chrono::hours(24));
    written = true;
  }
  // scripts name members relative to the game folder, the working directory
  std::vector<std::string> paths;
  for (int n = 0; n < 2 * kMembers; ++n) {
    int i = static_cast<int>((uint64_t{static_cast<uint64_t>(n)} * 2654435761u) % kMembers);
    paths.push_back("big\\CG\\EV" + std::to_string(i) + "_" + std::to_string(i % 7) + ".BMP");
  }
  const fs::path cwd = fs::current_path();
  fs::current_path(w.dir);
  SetArchiveIndexCaching(state.range(0) != 0);
  for (auto _ : state) {
    for (const std::string& path : paths) {
      FastFile* f = OpenFastFile(path.c_str());
      if (!f) {
        state.SkipWithError("member not found");
        break;
      }
      CloseFastFile(f);
    }
  }
  SetArchiveIndexCaching(true);
  fs::current_path(cwd);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * paths.size()));
}

void BM_OpenLooseFile(benchmark::State& state) {
  Workspace& w = Work();
  for (auto _ : state) {
    FastFile* f = OpenFastFile(w.raw.c_str());
    if (!f) {
      state.SkipWithError("open failed");
      break;
    }
    CloseFastFile(f);
  }
}

BENCHMARK(BM_KevaCompress)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GzipCompress)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_KevaExpand)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GzipExpand)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpenLooseFile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenArchiveMember)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenManyMembers)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
