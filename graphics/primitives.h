// Lines, polygons and colour conversion: an anti-aliased translucent line, a
// filled translucent polygon, and the packed HSV form scripts keep colours in.
// Both primitives take 0xAARRGGBB, the top byte being the opacity, and blend
// each pixel exactly as the translucent fill does.
#pragma once
#include <cstdint>

#include "graphics/planes.h"
#include "runtime/builtin.h"

// Draws the line from (x0, y0) to (x1, y1), both ends included, after
// clipping the ends to the plane's extent. 1 when drawn (or nothing of the
// format to draw on), 0 for a missing plane or a line wholly outside.
int DrawLine(Plane* plane, int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint32_t colour);

// Fills the polygon of count points (x, y pairs) inside the plane's clip.
// Vertex rule: a pixel (x, y) is filled when its top-left corner lies inside
// the polygon under the even-odd rule, an edge counting on the scan lines
// from its upper end (included) to its lower end (excluded) and a span from
// its left crossing (included) to its right crossing (excluded); so polygons
// that share an edge never blend a pixel twice, and the rectangle (0, 0),
// (w, 0), (w, h), (0, h) fills exactly w x h pixels. Horizontal edges add no
// crossing.
// Longer point lists are refused: a self-crossing polygon of that many edges
// would hold the engine for seconds.
constexpr int32_t kMaxPolygonPoints = 16384;
void FillPolygon(Plane* plane, const int32_t* points, int32_t count, uint32_t colour);

// Packed HSV: hue (0..2047, 2048 per turn) << 16 | saturation << 8 | value.
uint32_t RgbToHsv(uint32_t rgb);
uint32_t HsvToRgb(uint32_t hsv);

uint32_t builtin_gline(BuiltinArgs args);     // plane, x0, y0, x1, y1, 0xAARRGGBB
uint32_t builtin_gpoly(BuiltinArgs args);     // plane, points, count, 0xAARRGGBB
uint32_t builtin_rgbtohsv(BuiltinArgs args);  // 0x00RRGGBB
uint32_t builtin_hsvtorgb(BuiltinArgs args);  // packed HSV
