// Model shapes for the 3D renderer: a torus and a textured cube, built as
// model files. The keva-model tool writes them; the benchmark and the tests
// build them in memory.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "render3d/renderer3d.h"

namespace model_shapes {

// Appends a face whose corners run so that the renderer sees its front from
// the side `outward` points to.
inline void AddFace(ModelFile& m, uint16_t a, uint16_t b, uint16_t c, const float uv[6], float ox, float oy, float oz,
                    uint8_t material) {
  const ModelFileVertex& p0 = m.vertices[a];
  const ModelFileVertex& p1 = m.vertices[b];
  const ModelFileVertex& p2 = m.vertices[c];
  // The renderer's face normal: (p1 - p0) x (p2 - p1).
  const float ux = p1.x - p0.x, uy = p1.y - p0.y, uz = p1.z - p0.z;
  const float vx = p2.x - p1.x, vy = p2.y - p1.y, vz = p2.z - p1.z;
  const float nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
  ModelFileFace f{{a, b, c}, {uv[0], uv[1], uv[2], uv[3], uv[4], uv[5]}, material};
  if (nx * ox + ny * oy + nz * oz < 0) {
    std::swap(f.index[1], f.index[2]);
    std::swap(f.uv[2], f.uv[4]);
    std::swap(f.uv[3], f.uv[5]);
  }
  m.faces.push_back(f);
}

inline void SetRadius(ModelFile& m) {
  float r = 0;
  for (const auto& v : m.vertices) r = std::max(r, std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z));
  m.radius = r;
}

// A torus around the y axis: `rings` steps around the axis, `sides` steps
// around the tube; 2 x rings x sides triangles, material 0. The texture
// coordinates wrap once around each direction.
inline ModelFile Torus(int rings, int sides, float major_radius, float minor_radius) {
  ModelFile m;
  rings = std::clamp(rings, 3, 255);
  sides = std::clamp(sides, 3, 255);
  const double turn = 2 * std::numbers::pi;
  for (int i = 0; i < rings; ++i)
    for (int j = 0; j < sides; ++j) {
      const double a = turn * i / rings, b = turn * j / sides;
      const double r = major_radius + minor_radius * std::cos(b);
      m.vertices.push_back({static_cast<float>(r * std::cos(a)), static_cast<float>(minor_radius * std::sin(b)),
                            static_cast<float>(r * std::sin(a))});
    }
  auto at = [&](int i, int j) { return static_cast<uint16_t>((i % rings) * sides + (j % sides)); };
  for (int i = 0; i < rings; ++i)
    for (int j = 0; j < sides; ++j) {
      const float u0 = float(i) / rings, u1 = float(i + 1) / rings, v0 = float(j) / sides, v1 = float(j + 1) / sides;
      // Outward: from the tube's centre line to the quad's corner.
      const double a = turn * (i + 0.5) / rings, b = turn * (j + 0.5) / sides;
      const float ox = static_cast<float>(std::cos(b) * std::cos(a)), oy = static_cast<float>(std::sin(b)),
                  oz = static_cast<float>(std::cos(b) * std::sin(a));
      const float uv1[6] = {u0, v0, u1, v0, u1, v1}, uv2[6] = {u0, v0, u1, v1, u0, v1};
      AddFace(m, at(i, j), at(i + 1, j), at(i + 1, j + 1), uv1, ox, oy, oz, 0);
      AddFace(m, at(i, j), at(i + 1, j + 1), at(i, j + 1), uv2, ox, oy, oz, 0);
    }
  SetRadius(m);
  return m;
}

// A cube of the given half edge centred on the origin: 8 vertices, 12
// triangles, each side's texture spanning the whole texture; side k has
// material k (0..5: +x, -x, +y, -y, +z, -z).
inline ModelFile Cube(float half) {
  ModelFile m;
  for (int i = 0; i < 8; ++i) m.vertices.push_back({i & 1 ? half : -half, i & 2 ? half : -half, i & 4 ? half : -half});
  struct Side {
    int axis, sign;
  };
  const Side sides[6] = {{0, 1}, {0, -1}, {1, 1}, {1, -1}, {2, 1}, {2, -1}};
  for (int k = 0; k < 6; ++k) {
    const int axis = sides[k].axis, bit = 1 << axis, fixed = sides[k].sign > 0 ? bit : 0;
    const int u_bit = axis == 0 ? 2 : 1, v_bit = axis == 2 ? 2 : 4;
    const uint16_t c00 = static_cast<uint16_t>(fixed), c10 = static_cast<uint16_t>(fixed | u_bit),
                   c11 = static_cast<uint16_t>(fixed | u_bit | v_bit), c01 = static_cast<uint16_t>(fixed | v_bit);
    const float o[3] = {axis == 0 ? float(sides[k].sign) : 0, axis == 1 ? float(sides[k].sign) : 0,
                        axis == 2 ? float(sides[k].sign) : 0};
    const float uv1[6] = {0, 0, 1, 0, 1, 1}, uv2[6] = {0, 0, 1, 1, 0, 1};
    AddFace(m, c00, c10, c11, uv1, o[0], o[1], o[2], static_cast<uint8_t>(k));
    AddFace(m, c00, c11, c01, uv2, o[0], o[1], o[2], static_cast<uint8_t>(k));
  }
  SetRadius(m);
  return m;
}

}  // namespace model_shapes
