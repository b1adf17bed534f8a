// frame_compare EXPECTED.png ACTUAL.png: compares two PNG pictures pixel by
// pixel (as 8-bit RGB; alpha is ignored). Exit status 0 when they are the
// same, 1 when they differ, 2 when a file cannot be read. When they differ it
// tells the sizes, how many pixels differ, the rectangle that holds them, the
// largest channel difference, the first few differing pixels with both
// colours, and writes ACTUAL.diff.png: the expected picture dimmed, with the
// differing pixels in red.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <png.h>  // after <cstdio>

namespace {

struct Picture {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgb;  // top row first
};

bool ReadPng(const std::string& path, Picture& out, std::string& error) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    error = image.message;
    return false;
  }
  image.format = PNG_FORMAT_RGB;
  out.width = image.width;
  out.height = image.height;
  out.rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr)) {
    error = image.message;
    png_image_free(&image);
    return false;
  }
  return true;
}

bool WritePng(const std::string& path, const Picture& p) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = p.width;
  image.height = p.height;
  image.format = PNG_FORMAT_RGB;
  return png_image_write_to_file(&image, path.c_str(), 0, p.rgb.data(), 0, nullptr) != 0;
}

uint32_t Colour(const uint8_t* p) { return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: frame_compare EXPECTED.png ACTUAL.png\n");
    return 2;
  }
  std::string expected_path = argv[1], actual_path = argv[2];
  Picture expected, actual;
  std::string error;
  if (!ReadPng(expected_path, expected, error)) {
    std::printf("cannot read %s: %s\n", expected_path.c_str(), error.c_str());
    return 2;
  }
  if (!ReadPng(actual_path, actual, error)) {
    std::printf("cannot read %s: %s\n", actual_path.c_str(), error.c_str());
    return 2;
  }
  if (expected.width != actual.width || expected.height != actual.height) {
    std::printf("sizes differ: expected %u x %u, got %u x %u\n", expected.width, expected.height, actual.width,
                actual.height);
    return 1;
  }
  uint64_t differing = 0;
  uint32_t left = expected.width, top = expected.height, right = 0, bottom = 0;
  int largest = 0;
  constexpr int kShown = 8;
  std::string first;
  Picture diff = expected;
  for (uint32_t y = 0; y < expected.height; ++y)
    for (uint32_t x = 0; x < expected.width; ++x) {
      size_t at = (static_cast<size_t>(y) * expected.width + x) * 3;
      const uint8_t* e = &expected.rgb[at];
      const uint8_t* a = &actual.rgb[at];
      uint8_t* d = &diff.rgb[at];
      bool same = true;
      for (int c = 0; c < 3; ++c) {
        int delta = std::abs(int{e[c]} - int{a[c]});
        if (delta) same = false;
        if (delta > largest) largest = delta;
      }
      if (same) {
        for (int c = 0; c < 3; ++c) d[c] = static_cast<uint8_t>(e[c] / 4);
        continue;
      }
      d[0] = 255;
      d[1] = d[2] = 0;
      if (differing < kShown) {
        char line[96];
        std::snprintf(line, sizeof line, "  (%u, %u): expected #%06X, got #%06X\n", x, y, Colour(e), Colour(a));
        first += line;
      }
      ++differing;
      if (x < left) left = x;
      if (y < top) top = y;
      if (x + 1 > right) right = x + 1;
      if (y + 1 > bottom) bottom = y + 1;
    }
  if (differing == 0) {
    std::printf("%s equals %s (%u x %u)\n", actual_path.c_str(), expected_path.c_str(), expected.width,
                expected.height);
    return 0;
  }
  uint64_t total = uint64_t{expected.width} * expected.height;
  std::printf("%llu of %llu pixels differ, all inside (%u, %u)-(%u, %u) (right and bottom exclusive); the largest "
              "channel difference is %d\n",
              static_cast<unsigned long long>(differing), static_cast<unsigned long long>(total), left, top, right,
              bottom, largest);
  std::printf("first differing pixels (x, y):\n%s", first.c_str());
  std::string diff_path = actual_path;
  if (diff_path.size() > 4 && diff_path.substr(diff_path.size() - 4) == ".png") diff_path.resize(diff_path.size() - 4);
  diff_path += ".diff.png";
  if (WritePng(diff_path, diff)) std::printf("differing pixels shown in red: %s\n", diff_path.c_str());
  return 1;
}
