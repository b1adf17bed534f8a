// What the fuzz targets share: a private scratch folder, input written to a
// file in it (the loaders read files, as games give them), error boxes
// silenced, and the arena's guard zones switched on before the first block
// (address-sanitizer builds).
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/error_box.h"
#include "vm/arena.h"

inline const std::string& FuzzFolder() {
  static const std::string folder = [] {
    char name[] = "/tmp/keva-fuzz-XXXXXX";
    if (!mkdtemp(name)) std::abort();
    return std::string(name);
  }();
  return folder;
}

// Writes the input to FuzzFolder()/name and returns the path.
inline std::string WriteFuzzFile(std::string_view name, const uint8_t* data, size_t size) {
  std::string path = FuzzFolder() + "/" + std::string(name);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  return path;
}

inline void QuietErrorBox(std::string_view, std::string_view) {}

// Once per process, before any input. Targets that run script code pass
// false: scripts may touch any arena byte, guard zones included.
inline void StartFuzzTarget(bool guard_zones = true) {
  static const bool started = [guard_zones] {
    ArenaUseGuardZones(guard_zones);
    SetErrorBoxBackend(QuietErrorBox);
    return ArenaStart();
  }();
  if (!started) std::abort();
}
