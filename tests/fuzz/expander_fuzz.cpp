// Any compressed file: OpenExpFile expands it into memory or refuses it;
// declared lengths are never believed beyond what the data can produce.
#include "files/file_layer.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StartFuzzTarget();
  const std::string path = WriteFuzzFile("packed.dat", data, size);
  if (ExpFile* f = OpenExpFile(path.c_str())) {
    uint8_t buffer[4096];
    uint32_t read = 0;
    while (ReadExpFile(f, buffer, sizeof buffer, &read) && read == sizeof buffer) {
    }
    CloseExpFile(f);
  }
  return 0;
}
