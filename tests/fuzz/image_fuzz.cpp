// Any image file: BMP and JPEG through the loader games use, and the same
// bytes as a difference image applied to a small plane of each depth. Planes
// live in the arena with guard zones, so a write past a plane is reported.
#include "fuzz_support.h"
#include "graphics/image_files.h"
#include "graphics/planes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StartFuzzTarget();
  for (const char* name : {"image.bmp", "image.jpg"}) {
    const std::string path = WriteFuzzFile(name, data, size);
    if (Plane* plane = LoadPlane(path.c_str())) FreePlane(plane);
  }
  for (int bits : {8, 16, 24, 32}) {
    if (Plane* plane = CreatePlane(37, 23, bits)) {
      ApplyDifference(plane, 3, -2, data, size);
      FreePlane(plane);
    }
  }
  return 0;
}
