// Reads a whole script source into memory. Sources are read through the
// plain file system until the engine's file layer can serve them; the layer
// then takes over here, and with it archive members and compressed files.
#include "compiler/source_reader.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kc {

int ReadSourceFile(const char* path, uint8_t** text, uint32_t* length) {
  std::string native(path);
  for (char& c : native)
    if (c == '\\') c = '/';
  std::FILE* f = std::fopen(native.c_str(), "rb");
  if (!f) return kSourceOpenFailed;
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  if (size < 0 || size > 0x7FFFFFF0L || std::fseek(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    return kSourceReadFailed;
  }
  auto* buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size) + 1));
  if (!buffer) {
    std::fclose(f);
    return kSourceNoMemory;
  }
  size_t got = size ? std::fread(buffer, 1, static_cast<size_t>(size), f) : 0;
  std::fclose(f);
  if (got != static_cast<size_t>(size)) {
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
