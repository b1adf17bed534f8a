// Plane effects: quadrilateral mapping and rotation, smooth scaling, rotated
// tiling, wrap-around scrolling, noise, row slicing, the four-tap soften,
// mosaic, two-colour tone mapping, box blur and rising flames; and the eight
// mesh-warp slots of the ef_ builtins, whose grids of source coordinates live
// in script memory so that scripts can edit them between renderings.
//
// Every effect clips its destination to the destination plane's clip and its
// source to the source plane. Rectangle arguments are script addresses of
// (left, top, right, bottom), 0 meaning the whole plane. The random effects
// draw from their own generator, the runtime library's linear congruential
// one (one per thread, seed 1), so a script gives the same picture every run.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "graphics/planes.h"
#include "runtime/builtin.h"

// The effects' generator: 0..32767, state * 214013 + 2531011 per call, one
// state per thread, seeded with 1. SeedEffectRandom sets the calling thread's.
int EffectRandom();
void SeedEffectRandom(uint32_t seed);

// Mesh-warp context as scripts see it (ef_init returns its address): every
// field a 32-bit word. The engine keeps its own copy of the sizes and
// addresses, so a script scribbling on this record changes nothing.
struct MeshWarpRecord {
  int32_t destination, source;  // plane numbers
  int32_t destination_left, destination_top;
  int32_t source_left, source_top, source_width, source_height;
  int32_t columns, rows;  // destination width / 8 and height / 8
  uint32_t grid;          // (columns + 1) x (rows + 1) points of u, v
  uint32_t heights[2];    // ef_blob and ef_water: (columns + 3) x (rows + 3) shorts each, or 0
};
static_assert(sizeof(MeshWarpRecord) == 52);
constexpr int kMeshWarpSlots = 8;

// Frees the eight mesh-warp contexts and empties their slots.
void ResetMeshWarps();

uint32_t builtin_freemap(BuiltinArgs args);    // dst, corners or 0, src, src rect or 0, key
uint32_t builtin_rotate(BuiltinArgs args);     // dst, dst rect or 0, src, src rect or 0, angle, key
uint32_t builtin_smooth(BuiltinArgs args);     // dst, dst rect or 0, src, src rect or 0, key
uint32_t builtin_tiled(BuiltinArgs args);      // dst, dst rect or 0, src, src rect or 0, angle, zoom
uint32_t builtin_scroll(BuiltinArgs args);     // plane, rect or 0, dx, dy
uint32_t builtin_noise(BuiltinArgs args);      // plane, rect or 0, amount
uint32_t builtin_slice(BuiltinArgs args);      // plane, rect or 0, amount
uint32_t builtin_gradation(BuiltinArgs args);  // dst, x, y, src, src rect or 0
uint32_t builtin_mosaic(BuiltinArgs args);     // dst, x, y, src, src rect or 0, block width, block height
uint32_t builtin_monotone(BuiltinArgs args);   // plane, rect or 0, dark, bright
uint32_t builtin_blur(BuiltinArgs args);       // dst, x, y, src, src rect or 0, radius
uint32_t builtin_fire(BuiltinArgs args);       // plane, rect or 0

uint32_t builtin_ef_init(BuiltinArgs args);    // slot, dst, dst rect or 0, src, src rect or 0
uint32_t builtin_ef_free(BuiltinArgs args);    // slot
uint32_t builtin_ef_copy(BuiltinArgs args);    // slot
uint32_t builtin_ef_info(BuiltinArgs args);    // slot, address of 3 words
uint32_t builtin_ef_rotate(BuiltinArgs args);  // slot, cx, cy, zoom, angle
uint32_t builtin_ef_land(BuiltinArgs args);    // slot, scale, pitch, yaw
uint32_t builtin_ef_ball(BuiltinArgs args);    // slot, scale, angle 1, angle 2
uint32_t builtin_ef_whirl(BuiltinArgs args);   // slot, amount
uint32_t builtin_ef_raster(BuiltinArgs args);  // slot, phase, wavelength, amplitude
uint32_t builtin_ef_blob(BuiltinArgs args);    // slot, x, y, radius, depth
uint32_t builtin_ef_water(BuiltinArgs args);   // slot

// ---- shared by the effect files ---------------------------------------------------

namespace effect_support {

// A rectangle in 64 bits, so that no script value can overflow its arithmetic.
struct Box {
  int64_t left, top, right, bottom;
  int64_t width() const { return right - left; }
  int64_t height() const { return bottom - top; }
  bool Empty() const { return left >= right || top >= bottom; }
};
inline Box Whole(const Plane* p) { return {0, 0, p->width, p->height}; }
inline Box Intersect(const Box& a, const Box& b) {
  return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
}
// The plane's clip, never reaching past the plane.
inline Box DestClip(const Plane* p) { return Intersect({p->clip.left, p->clip.top, p->clip.right, p->clip.bottom}, Whole(p)); }
inline int32_t ReadWord(uint32_t addr) {
  int32_t v;
  std::memcpy(&v, ToHost(addr), 4);
  return v;
}
// A rectangle argument: 0 is the whole plane; reversed edges are swapped.
inline Box ReadBox(uint32_t addr, const Plane* p) {
  if (!addr) return Whole(p);
  Box b{ReadWord(addr), ReadWord(addr + 4), ReadWord(addr + 8), ReadWord(addr + 12)};
  if (b.right < b.left) std::swap(b.left, b.right);
  if (b.bottom < b.top) std::swap(b.top, b.bottom);
  return b;
}
inline bool Drawable(const Plane* p) { return p->bits == 8 || p->bits == 16 || p->bits == 24 || p->bits == 32; }

inline uint32_t LoadPixel(const uint8_t* at, int bytes) {
  uint32_t v = 0;
  std::memcpy(&v, at, size_t(bytes));
  return v;
}
inline void StorePixel(uint8_t* at, int bytes, uint32_t v) { std::memcpy(at, &v, size_t(bytes)); }
// A pixel's channels (blue, green, red, alpha; 5-bit ones for 2 bytes); the
// count of channels. JoinChannels packs them back (2 bytes: without bit 15).
inline int SplitChannels(uint32_t v, int bytes, int ch[4]) {
  if (bytes == 2) {
    ch[0] = int(v & 31), ch[1] = int((v >> 5) & 31), ch[2] = int((v >> 10) & 31), ch[3] = 0;
    return 3;
  }
  for (int k = 0; k < 4; ++k) ch[k] = int((v >> (8 * k)) & 255);
  return bytes;
}
inline uint32_t JoinChannels(const int ch[4], int bytes) {
  if (bytes == 2) return uint32_t(ch[0] | ch[1] << 5 | ch[2] << 10);
  uint32_t v = 0;
  for (int k = 0; k < bytes; ++k) v |= uint32_t(ch[k] & 255) << (8 * k);
  return v;
}

// A colour key converted for the source plane: a negative key is none; over
// 8 bits the colour's 24 bits (15 for 16-bit planes) are compared, for 8-bit
// planes the nearest index.
struct SourceKey {
  bool on;
  uint32_t value, mask;
  bool Matches(uint32_t pixel) const { return on && (pixel & mask) == value; }
  static SourceKey For(int32_t key, const Plane* src) {
    if (key < 0) return {false, 0, 0};
    const int bytes = src->bits / 8;
    const uint32_t mask = bytes == 1 ? 0xFF : bytes == 2 ? 0x7FFF : 0xFFFFFF;
    return {true, ConvertColour(uint32_t(key), bytes) & mask, mask};
  }
};

}  // namespace effect_support
