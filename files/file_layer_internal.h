// The records behind the FastFile and ExpFile handles, for the coder and the
// tools inside this library.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "files/file_layer.h"
#include "platform/file_system.h"

struct FastFile {
  int32_t in_archive = 0;  // 0 = loose file, 1 = archive member
  HostFile handle;         // open for reading
  uint32_t base = 0;       // members: absolute offset of the member data
  uint32_t size = 0;       // members: member size in bytes
};

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

struct ExpFile {
  int32_t in_memory = 0;                       // 1 = expanded compressed file
  std::unique_ptr<uint8_t[], FreeDeleter> data;  // in_memory: the expanded bytes
  int32_t pos = 0;                             // in_memory: 0..size
  int32_t size = 0;                            // in_memory: expanded size
  FastFile* file = nullptr;                    // otherwise: the file or member
};
