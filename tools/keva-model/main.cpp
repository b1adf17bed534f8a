// keva-model: writes model files for the 3D renderer (a torus or a textured
// cube) and a checker texture to go with them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "model_shapes.h"

namespace {

int Usage(FILE* out) {
  std::fputs(
      "Usage: keva-model torus OUTPUT [RINGS SIDES [MAJOR MINOR]]\n"
      "       keva-model cube OUTPUT [HALF-EDGE]\n"
      "       keva-model checker OUTPUT.bmp [SIZE [SQUARES]]\n"
      "Writes a model file for the p3d_ builtins: a torus around the y axis\n"
      "(2 x RINGS x SIDES triangles, material 0; defaults 50 20 1.0 0.4), or a\n"
      "cube of 12 triangles whose side k has material k (0..5: +x -x +y -y +z -z)\n"
      "and carries the whole texture. checker writes a 24-bit BMP checker board\n"
      "to use as a texture (default 64 pixels, 8 squares).\n"
      "The model format is described in the SDK's model-format.md.\n"
      "  --help, --version\n"
      "      show this help, or the version\n",
      out);
  return out == stdout ? 0 : 2;
}

bool WriteFile(const char* path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

void Put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

std::vector<uint8_t> CheckerBmp(int size, int squares) {
  const uint32_t stride = (static_cast<uint32_t>(size) * 3 + 3) & ~3u;
  std::vector<uint8_t> b;
  b.push_back('B');
  b.push_back('M');
  Put32(b, 54 + stride * size);
  Put32(b, 0);
  Put32(b, 54);
  Put32(b, 40);
  Put32(b, size);
  Put32(b, size);
  Put16(b, 1);
  Put16(b, 24);
  for (int i = 0; i < 6; ++i) Put32(b, 0);
  const int cell = std::max(1, size / squares);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const bool light = ((x / cell) + (y / cell)) % 2 == 0;
      b.push_back(light ? 240 : 40);   // blue
      b.push_back(light ? 200 : 90);   // green
      b.push_back(light ? 60 : 200);   // red
    }
    for (uint32_t pad = size * 3; pad < stride; ++pad) b.push_back(0);
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) return Usage(stdout);
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::printf("keva-model %s\n", KEVA_VERSION);
    return 0;
  }
  if (argc < 3) return Usage(stderr);
  const std::string what = argv[1];
  auto number = [&](int i, double fallback) { return argc > i ? std::atof(argv[i]) : fallback; };
  std::vector<uint8_t> bytes;
  if (what == "torus") {
    const int rings = static_cast<int>(number(3, 50)), sides = static_cast<int>(number(4, 20));
    if (2 * rings * sides > 65535 || rings < 3 || sides < 3) {
      std::fputs("keva-model: RINGS and SIDES must be 3 or more, with 2 x RINGS x SIDES below 65536\n", stderr);
      return 2;
    }
    bytes = EncodeModelFile(model_shapes::Torus(rings, sides, static_cast<float>(number(5, 1.0)),
                                                static_cast<float>(number(6, 0.4))));
  } else if (what == "cube") {
    bytes = EncodeModelFile(model_shapes::Cube(static_cast<float>(number(3, 1.0))));
  } else if (what == "checker") {
    const int size = static_cast<int>(number(3, 64)), squares = static_cast<int>(number(4, 8));
    if (size < 1 || size > 4096 || squares < 1) {
      std::fputs("keva-model: SIZE must be 1 to 4096, SQUARES 1 or more\n", stderr);
      return 2;
    }
    bytes = CheckerBmp(size, squares);
  } else {
    return Usage(stderr);
  }
  if (!WriteFile(argv[2], bytes)) {
    std::fprintf(stderr, "keva-model: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
