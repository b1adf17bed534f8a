// keva_video_fixtures write DIR: writes the clips the video scripts play.
// keva_video_fixtures shot SHOT.png LEFT TOP RIGHT BOTTOM: checks that the
// screenshot shows the clip's colour inside the rectangle and black around it.
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "video_fixtures.h"

namespace {

bool Near(const uint8_t* rgb, uint32_t colour, int tolerance) {
  for (int c = 0; c < 3; ++c)
    if (std::abs(int{rgb[c]} - static_cast<int>((colour >> (16 - 8 * c)) & 0xFF)) > tolerance) return false;
  return true;
}

int CheckShot(const char* path, int left, int top, int right, int bottom) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path)) {
    std::printf("cannot read %s\n", path);
    return 2;
  }
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) return 2;
  const int w = static_cast<int>(image.width), h = static_cast<int>(image.height);
  int wrong = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const bool inside = x >= left && x < right && y >= top && y < bottom;
      const uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
      if (!Near(p, inside ? kTestVideoColour : 0, inside ? 12 : 0) && wrong++ < 5)
        std::printf("(%d, %d) is %02x%02x%02x\n", x, y, p[0], p[1], p[2]);
    }
  if (wrong) std::printf("%d pixels differ\n", wrong);
  return wrong ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && argc == 3) {
    const std::string dir = argv[2];
    return WriteTestVideo(dir + "/clip.mpg", kMpeg1Video, 10) && WriteTestVideo(dir + "/clip.avi", kMpeg4WithSound, 10) &&
                   WriteTestVideo(dir + "/long.mpg", kMpeg1Video, 30)
               ? 0
               : 1;
  }
  if (mode == "shot" && argc == 7)
    return CheckShot(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]));
  std::fprintf(stderr, "usage: keva_video_fixtures write DIR | shot SHOT.png LEFT TOP RIGHT BOTTOM\n");
  return 2;
}
