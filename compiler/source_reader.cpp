// Reads a whole script source into memory through the file layer, so a
// source may be a loose file, an archive member or a compressed file.
#include "compiler/source_reader.h"

#include <cstdlib>

#include "files/file_layer.h"

namespace kc {

int ReadSourceFile(const char* path, uint8_t** text, uint32_t* length) {
  ExpFile* f = OpenExpFile(path);
  if (!f) return kSourceOpenFailed;
  int32_t size = GetExpFileSize(f);
  if (size < 0 || size > 0x7FFFFFF0) {
    CloseExpFile(f);
    return kSourceReadFailed;
  }
  auto* buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size) + 1));
  if (!buffer) {
    CloseExpFile(f);
    return kSourceNoMemory;
  }
  uint32_t got = 0;
  bool ok = size == 0 || (ReadExpFile(f, buffer, static_cast<uint32_t>(size), &got) && got == static_cast<uint32_t>(size));
  CloseExpFile(f);
  if (!ok) {
    std::free(buffer);
    return kSourceReadFailed;
  }
  buffer[size] = '\n';
  *text = buffer;
  *length = static_cast<uint32_t>(size) + 1;
  return kSourceOk;
}

void FreeSourceText(uint8_t* text) { std::free(text); }

}  // namespace kc
