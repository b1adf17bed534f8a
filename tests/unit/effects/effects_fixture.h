// Planes made to order and read back pixel by pixel, for the effect tests.
#pragma once
#include <cstring>
#include <vector>

#include "../graphics/graphics_fixture.h"

class EffectsTest : public GraphicsTest {
 protected:
  Plane* Make(uint32_t slot, int w, int h, int bits) {
    Plane* p = CreatePlane(w, h, bits);
    EXPECT_NE(p, nullptr);
    SetPlaneAt(slot, p);
    return p;
  }
  // Fills a plane with distinct pixel values (x + 16 y + 1, times a spread).
  static void Pattern(Plane* p, uint32_t spread = 0x010305) {
    for (int y = 0; y < p->height; ++y)
      for (int x = 0; x < p->width; ++x) Put(p, x, y, (uint32_t(x + 16 * y + 1) * spread) & 0xFFFFFF);
  }
  static uint32_t Get(const Plane* p, int x, int y) {
    uint32_t v = 0;
    std::memcpy(&v, PixelAddress(p, x, y), p->bits / 8);
    return v;
  }
  static void Put(Plane* p, int x, int y, uint32_t v) { std::memcpy(PixelAddress(p, x, y), &v, p->bits / 8); }
  static std::vector<uint32_t> Pixels(const Plane* p) {
    std::vector<uint32_t> v;
    for (int y = 0; y < p->height; ++y)
      for (int x = 0; x < p->width; ++x) v.push_back(Get(p, x, y));
    return v;
  }
  // A rectangle or word array in script memory; each call takes a new place.
  uint32_t Words(std::initializer_list<int32_t> words) {
    const uint32_t at = Buffer(next_);
    next_ = (next_ + uint32_t(words.size()) * 4 + 15) / 16 * 16 % 2048;
    uint32_t a = at;
    for (int32_t w : words) {
      std::memcpy(ToHost(a), &w, 4);
      a += 4;
    }
    return at;
  }
  uint32_t next_ = 0;
};
