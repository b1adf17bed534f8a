// Blit geometry: which source pixel belongs to which destination pixel in a
// copy from one plane to another. Rectangles are normalised (right < left or
// bottom < top asks for a mirror on that axis), the source is bounded by the
// source plane and its attached mask plane, the destination by its clip; a
// scaled copy steps through the source with 32.32 accumulators, a rotated one
// with 16.16 coordinates from the shared sine table. The per-pixel work is the
// blit modes' routines.
#pragma once
#include <cstdint>

#include "graphics/blit_modes.h"
#include "graphics/planes.h"
#include "runtime/builtin.h"

// Scales the source rectangle into the destination rectangle (nullptr: the
// whole plane each). mask is the source slot's attached plane or nullptr; the
// alpha modes 7, 10, 11 and 12 then read the alpha from it. params nullptr
// means mode 0. 1 when a routine ran or the format pair has none; 0 when a
// plane is missing or not 8..32 bits, the mode is refused, a rectangle is
// empty or nothing is left after clipping.
int StretchBlit(Plane* dst, const PlaneRect* dst_rect, Plane* src, const PlaneRect* src_rect, Plane* mask,
                const BlitParams* params);

// The same, rotated by angle (2048 per turn) about the rectangles' centres;
// bilinear selects filtered sampling (the colour-keyed modes, the alpha
// transfer mode and the masked routines always take the nearest pixel).
int RotateBlit(Plane* dst, const PlaneRect* dst_rect, Plane* src, const PlaneRect* src_rect, Plane* mask,
               const BlitParams* params, int32_t angle, bool bilinear);

// A colour 0x..RRGGBB prepared for translucent blending at one opacity (0..255):
// the colour's share of the 24-, 16- (5-bit channels) and 8-bit results and the
// destination's share table. 32-bit destinations use the over rule: the total
// A = 255 D + a (255 - D) (0 zeroes the pixel), each channel
// (255 a c + (255 - a) D d) / A and the alpha A / 255.
struct TranslucentColour {
  int opacity;
  int blue, green, red;
  int blue8, green8, red8;
  int blue5, green5, red5;
  const uint8_t* keep;  // multiply row of 255 - opacity
};
TranslucentColour PrepareTranslucent(uint32_t colour, int opacity);
// Blends count pixels from d on (1..4 bytes per pixel) with the colour.
void BlendTranslucentSpan(uint8_t* d, int count, int bytes_per_pixel, const TranslucentColour& colour);

// Translucent fill with 0xAARRGGBB over (x, y, width, height) inside the clip.
// 1, or 0 for a missing plane or when nothing lies inside the clip.
int FillTranslucent(Plane* plane, int32_t x, int32_t y, int32_t width, int32_t height, uint32_t colour);

uint32_t builtin_gcopy(BuiltinArgs args);   // dst, x, y, src, src rect or 0, params or 0
uint32_t builtin_gblit(BuiltinArgs args);   // dst, dst rect or 0, src, src rect or 0, params or 0, angle
uint32_t builtin_gblita(BuiltinArgs args);  // the same, bilinear
uint32_t builtin_gclear(BuiltinArgs args);  // plane, rect or 0, raw pixel value
uint32_t builtin_gfill(BuiltinArgs args);   // plane, x, y, width, height, 0xAARRGGBB
