#include "render3d/renderer3d.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <numbers>
#include <unordered_map>

#include "files/file_layer.h"
#include "graphics/planes.h"
#include "runtime/math_builtins.h"
#include "runtime/script_text.h"

#ifdef _OPENMP
#include <omp.h>
#endif

namespace {

// ---------------------------------------------------------------------------
// Small helpers

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
float LeFloat(const uint8_t* p) {
  uint32_t v = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  return std::bit_cast<float>(v);
}
void PutLe16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void PutFloat(std::vector<uint8_t>& out, float f) {
  const uint32_t v = std::bit_cast<uint32_t>(f);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Truncation to a 32-bit integer that saturates instead of going undefined
// (NaN gives 0): scripts can write any float into a record.
int32_t TruncToInt(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}
int32_t RoundToInt(double v) { return TruncToInt(std::floor(v + 0.5)); }

template <typename T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <typename T>
void Store(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// Sine and cosine from the 2048-step table; angles are radians, rounded to
// the nearest table step.
struct SinCos {
  float s, c;
};
SinCos TableSinCos(float radians) {
  double steps = static_cast<double>(radians) * (2048.0 / (2 * std::numbers::pi));
  if (!std::isfinite(steps)) steps = 0;
  const int32_t step = static_cast<int32_t>(std::llround(std::fmod(steps, 2048.0)));
  return {TableSin(step) / 65536.0f, TableCos(step) / 65536.0f};
}

struct Vec3 {
  float x, y, z;
};
struct Mat3 {
  float m[3][3];
};

Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
float Dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// The row vector v times M.
Vec3 Times(Vec3 v, const Mat3& M) {
  return {v.x * M.m[0][0] + v.y * M.m[1][0] + v.z * M.m[2][0], v.x * M.m[0][1] + v.y * M.m[1][1] + v.z * M.m[2][1],
          v.x * M.m[0][2] + v.y * M.m[1][2] + v.z * M.m[2][2]};
}
Mat3 Times(const Mat3& A, const Mat3& B) {
  Mat3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = A.m[i][0] * B.m[0][j] + A.m[i][1] * B.m[1][j] + A.m[i][2] * B.m[2][j];
  return r;
}
Mat3 Transposed(const Mat3& A) {
  Mat3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = A.m[j][i];
  return r;
}

// R(a, b, c).
Mat3 Rotation(float a, float b, float c) {
  const auto [sa, ca] = TableSinCos(a);
  const auto [sb, cb] = TableSinCos(b);
  const auto [sc, cc] = TableSinCos(c);
  return Mat3{{{sb * sa * sc + ca * cc, sc * cb, sb * sc * ca - sa * cc},
               {sb * sa * cc - sc * ca, cb * cc, sa * sc + sb * ca * cc},
               {sa * cb, -sb, ca * cb}}};
}

Vec3 ReadVec3(uint32_t addr) {
  const uint8_t* p = ToHost(addr);
  return {Load<float>(p), Load<float>(p + 4), Load<float>(p + 8)};
}

// ---------------------------------------------------------------------------
// State

// The engine's own copy of a model record's arrays.
struct ModelSlot {
  bool used = false;
  uint32_t vertices = 0, faces = 0;
  uint32_t vertex_count = 0, face_count = 0;
};

struct Light {
  uint8_t type;
  float colour[3];
  Vec3 v;  // direction or position, camera space
};

struct FrameVertex {
  int32_t x, y;  // screen position
  int32_t key;   // z * 65536, or kBehind
  float inverse_depth;
  Vec3 camera;  // camera-space position (kept when a point light exists)
  uint8_t lit[3];
  int32_t u, v;  // environment coordinates
};
constexpr int32_t kBehind = -999999;

struct SceneTriangle {
  uint16_t index[3];
  int32_t key;
  uint8_t type;
  uint32_t colour;
  uint8_t flat[3];
  uint32_t texture;
  int32_t uv[6];
};

// Screen positions are kept within this reach so that the edge arithmetic
// never overflows, whatever a script puts into its vertices.
constexpr int32_t kCoordinateLimit = 1 << 20;

struct Scene {
  uint32_t target = 0;  // plane number
  int32_t width = 0, height = 0;
  float focal = 0, near_distance = 0;
  std::vector<int32_t> depth;
  Vec3 camera_position{0, 0, 0};
  Mat3 camera{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  float ambient[3] = {0, 0, 0};
  Light lights[kLightCount];
  int light_count = 0;
  uint32_t light_flags = 0;
  std::vector<FrameVertex> vertices;   // capacity kFrameVertexCount
  std::vector<SceneTriangle> triangles;  // capacity kFrameTriangleCount
  uint32_t records = 0;  // VM address of the 512 model records
  ModelSlot slots[kModelSlotCount];
};

Scene& S() {
  static Scene scene;
  return scene;
}

// The slot of a model record address, or -1.
int SlotOf(uint32_t model) {
  Scene& s = S();
  if (!s.records || model < s.records) return -1;
  const uint32_t offset = model - s.records;
  if (offset % kModelRecordBytes || offset / kModelRecordBytes >= kModelSlotCount) return -1;
  const int slot = static_cast<int>(offset / kModelRecordBytes);
  return s.slots[slot].used ? slot : -1;
}

void FreeSlot(int slot) {
  Scene& s = S();
  ModelSlot& m = s.slots[slot];
  ArenaFree(m.vertices);
  ArenaFree(m.faces);
  m = ModelSlot{};
  std::memset(ToHost(s.records + slot * kModelRecordBytes), 0, kModelRecordBytes);
}

// Lighting of a camera-space normal at a camera-space position.
void LightColour(const Scene& s, Vec3 n, Vec3 p, uint8_t out[3]) {
  float c[3] = {s.ambient[0], s.ambient[1], s.ambient[2]};
  for (int i = 0; i < s.light_count; ++i) {
    const ::Light& l = s.lights[i];
    float k;
    if (l.type == 0) {
      k = Dot(n, l.v);
    } else if (l.type == 1) {
      const Vec3 d = p - l.v;
      const float len = std::sqrt(Dot(d, d));
      if (!(len > 0)) continue;
      k = Dot(n, d) / len;
    } else {
      continue;
    }
    if (k < 0)
      for (int j = 0; j < 3; ++j) c[j] -= k * l.colour[j];
  }
  for (int j = 0; j < 3; ++j) out[j] = c[j] > 1.0f ? 255 : c[j] > 0 ? static_cast<uint8_t>(std::lround(c[j] * 255)) : 0;
}

// Rebuilds every vertex's flags from the faces that use it.
void RebuildVertexFlags(const ModelSlot& m) {
  uint8_t* vertices = ToHost(m.vertices);
  const uint8_t* faces = ToHost(m.faces);
  for (uint32_t v = 0; v < m.vertex_count; ++v) vertices[v * kVertexRecordBytes + 24] = 0;
  for (uint32_t f = 0; f < m.face_count; ++f) {
    const uint8_t* face = faces + f * kFaceRecordBytes;
    for (int k = 0; k < 3; ++k) {
      const uint16_t i = Load<uint16_t>(face + 2 + 2 * k);
      if (i < m.vertex_count) vertices[i * kVertexRecordBytes + 24] |= face[1];
    }
  }
}

// ---------------------------------------------------------------------------
// Rasterisers

// A linear function of the screen, sampled at pixel centres.
struct Gradient {
  double at0, dx, dy;  // value at vertex 0, change per pixel right and down
};

struct Texture {
  const Plane* plane = nullptr;
  int32_t width = 0, height = 0, bytes = 0;
  const uint8_t* top = nullptr;  // row 0
  ptrdiff_t pitch = 0;           // from one row to the next one down
};

struct PreparedTriangle {
  int32_t x[3], y[3];
  int type;
  Gradient depth, lit[3], u, v;
  uint8_t colour[3];  // the colour bytes, blue first
  uint8_t flat_pixel[3];  // types 0 and 2: the finished colour
  uint8_t flat_lit[3];
  Texture texture;
};

int64_t FloorDiv(int64_t a, int64_t b) {  // b > 0
  int64_t q = a / b;
  if ((a % b) != 0 && a < 0) --q;
  return q;
}

uint8_t Clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

Gradient MakeGradient(const PreparedTriangle& t, double a0, double a1, double a2) {
  const double x10 = t.x[1] - t.x[0], y10 = t.y[1] - t.y[0];
  const double x20 = t.x[2] - t.x[0], y20 = t.y[2] - t.y[0];
  const double area = x10 * y20 - x20 * y10;
  return {a0, ((a1 - a0) * y20 - (a2 - a0) * y10) / area, ((a2 - a0) * x10 - (a1 - a0) * x20) / area};
}

// Fixed point with 16 fraction bits of a gradient at the centre of pixel (x, y).
int64_t FixedAt(const PreparedTriangle& t, const Gradient& g, int32_t x, int32_t y) {
  const double v = g.at0 + g.dx * (x + 0.5 - t.x[0]) + g.dy * (y + 0.5 - t.y[0]);
  const double f = v * 65536.0;
  if (!(f == f)) return 0;
  return static_cast<int64_t>(std::clamp(f, -9.0e18, 9.0e18));
}
int64_t FixedStep(const Gradient& g) {
  const double f = g.dx * 65536.0;
  if (!(f == f)) return 0;
  return static_cast<int64_t>(std::clamp(f, -9.0e18, 9.0e18));
}

struct Target {
  Plane* plane;
  int32_t* depth;
  int32_t width;
  int bytes;  // 3 or 4
};

// Draws the rows [row_begin, row_end) of one triangle (vertices in counter-
// clockwise screen order, i.e. positive area). kSmooth: lit colour per vertex;
// kTextured: a texel darkened by the lit colour; kAdd: added with saturation.
template <bool kSmooth, bool kTextured, bool kAdd>
void Rasterise(const PreparedTriangle& t, const Target& target, int32_t row_begin, int32_t row_end) {
  const PlaneRect& clip = target.plane->clip;
  int32_t top = std::min({t.y[0], t.y[1], t.y[2]}), bottom = std::max({t.y[0], t.y[1], t.y[2]});
  top = std::max({top, clip.top, row_begin, 0});
  bottom = std::min({bottom, clip.bottom - 1, row_end - 1, target.plane->height - 1});
  const int32_t left_limit = std::max(clip.left, 0);
  const int32_t right_limit = std::min(clip.right, target.plane->width) - 1;
  if (top > bottom || left_limit > right_limit) return;

  // Edge a -> b holds the pixel centre (x + 0.5, y + 0.5) when
  // (bx - ax)(2y + 1 - 2ay) - (by - ay)(2x + 1 - 2ax) > 0; an edge that two
  // triangles share counts for exactly one of them.
  int64_t edge_dx[3], edge_dy[3], bias[3];
  for (int e = 0; e < 3; ++e) {
    const int a = e, b = (e + 1) % 3;
    edge_dx[e] = int64_t{t.x[b]} - t.x[a];
    edge_dy[e] = int64_t{t.y[b]} - t.y[a];
    bias[e] = (edge_dy[e] > 0 || (edge_dy[e] == 0 && edge_dx[e] < 0)) ? 1 : 0;
  }

  const int64_t depth_step = FixedStep(t.depth);
  int64_t lit_step[3] = {0, 0, 0}, u_step = 0, v_step = 0;
  if constexpr (kSmooth)
    for (int k = 0; k < 3; ++k) lit_step[k] = FixedStep(t.lit[k]);
  if constexpr (kTextured) {
    u_step = FixedStep(t.u);
    v_step = FixedStep(t.v);
  }
  const int bytes = target.bytes;

  for (int32_t y = top; y <= bottom; ++y) {
    int64_t x_first = left_limit, x_last = right_limit;
    for (int e = 0; e < 3; ++e) {
      const int a = e;
      const int64_t k = edge_dx[e] * (2 * int64_t{y} + 1 - 2 * int64_t{t.y[a]}) + edge_dy[e] * (2 * int64_t{t.x[a]} - 1) + bias[e];
      // Inside: k - 2 * dy * x > 0.
      if (edge_dy[e] > 0) {
        x_last = std::min(x_last, FloorDiv(k - 1, 2 * edge_dy[e]));
      } else if (edge_dy[e] < 0) {
        x_first = std::max(x_first, FloorDiv(-k, -2 * edge_dy[e]) + 1);
      } else if (k <= 0) {
        x_last = x_first - 1;
      }
    }
    if (x_first > x_last) continue;
    const int32_t x0 = static_cast<int32_t>(x_first), x1 = static_cast<int32_t>(x_last);

    int64_t depth = FixedAt(t, t.depth, x0, y);
    int64_t lit[3] = {0, 0, 0}, u = 0, v = 0;
    if constexpr (kSmooth)
      for (int k = 0; k < 3; ++k) lit[k] = FixedAt(t, t.lit[k], x0, y);
    if constexpr (kTextured) {
      u = FixedAt(t, t.u, x0, y);
      v = FixedAt(t, t.v, x0, y);
    }
    int32_t* depth_row = target.depth + static_cast<size_t>(y) * target.width;
    uint8_t* row = PlaneRow(target.plane, y);
    for (int32_t x = x0; x <= x1; ++x) {
      const int64_t z = depth >> 16;
      // At least 1: a triangle far enough for 65536 / z to be below one still
      // passes a cleared depth buffer.
      const int32_t z32 = z > INT32_MAX ? INT32_MAX : z < 1 ? 1 : static_cast<int32_t>(z);
      if (z32 > depth_row[x]) {
        depth_row[x] = z32;
        uint8_t c[3];
        uint8_t shade[3];
        if constexpr (kSmooth) {
          for (int k = 0; k < 3; ++k) shade[k] = Clamp255(static_cast<int>(lit[k] >> 16));
        } else {
          for (int k = 0; k < 3; ++k) shade[k] = t.flat_lit[k];
        }
        if constexpr (kTextured) {
          // Coordinates wrap: only the fraction of the 16.16 value counts.
          const uint32_t fu = static_cast<uint32_t>(u >> 16) & 0xFFFF, fv = static_cast<uint32_t>(v >> 16) & 0xFFFF;
          const int32_t tx = static_cast<int32_t>((uint64_t{fu} * t.texture.width) >> 16);
          const int32_t ty = static_cast<int32_t>((uint64_t{fv} * t.texture.height) >> 16);
          const uint8_t* texel = t.texture.top + ty * t.texture.pitch + tx * t.texture.bytes;
          for (int k = 0; k < 3; ++k) c[k] = static_cast<uint8_t>((texel[k] * (shade[k] + 1)) >> 8);
        } else if constexpr (kSmooth) {
          for (int k = 0; k < 3; ++k) c[k] = Clamp255(t.colour[k] + shade[k] - 255);
        } else {
          for (int k = 0; k < 3; ++k) c[k] = t.flat_pixel[k];
        }
        uint8_t* px = row + x * bytes;
        if constexpr (kAdd) {
          for (int k = 0; k < 3; ++k) px[k] = static_cast<uint8_t>(std::min(255, px[k] + c[k]));
        } else {
          for (int k = 0; k < 3; ++k) px[k] = c[k];
        }
        if (bytes == 4) px[3] = 255;
      }
      depth += depth_step;
      if constexpr (kSmooth)
        for (int k = 0; k < 3; ++k) lit[k] += lit_step[k];
      if constexpr (kTextured) {
        u += u_step;
        v += v_step;
      }
    }
  }
}

using Rasteriser = void (*)(const PreparedTriangle&, const Target&, int32_t, int32_t);
constexpr Rasteriser kRasterisers[7] = {
    Rasterise<false, false, false>, Rasterise<true, false, false>, Rasterise<false, false, true>,
    Rasterise<true, false, true>,   Rasterise<false, true, false>, Rasterise<true, true, false>,
    Rasterise<true, true, false>,
};

// The plane whose image header is at `texture`, usable as a texture (24 or
// 32 bits, not empty), or none.
Texture FindTexture(uint32_t texture, std::unordered_map<uint32_t, const Plane*>& planes) {
  if (planes.empty()) {
    for (uint32_t n = 0; n < kPlaneCount; ++n)
      if (const Plane* p = PlaneAt(n)) planes.emplace(p->header, p);
    planes.emplace(0, nullptr);
  }
  const auto it = planes.find(texture);
  const Plane* p = it == planes.end() ? nullptr : it->second;
  if (!p || (p->bits != 24 && p->bits != 32) || p->width <= 0 || p->height <= 0) return {};
  return {p, p->width, p->height, p->bits / 8, PlaneRow(p, 0), -static_cast<ptrdiff_t>(p->stride)};
}

}  // namespace

// ---------------------------------------------------------------------------
// Model files

bool ParseModelFile(const uint8_t* data, size_t size, ModelFile& out) {
  if (!data || size < kModelHeaderBytes) return false;
  const uint32_t vertex_count = Le16(data), face_count = Le16(data + 2);
  if (size < kModelHeaderBytes + vertex_count * kModelVertexBytes + face_count * kModelFaceBytes) return false;
  out.radius = LeFloat(data + 4);
  out.vertices.resize(vertex_count);
  out.faces.resize(face_count);
  const uint8_t* p = data + kModelHeaderBytes;
  for (auto& v : out.vertices) {
    v = {LeFloat(p), LeFloat(p + 4), LeFloat(p + 8)};
    p += kModelVertexBytes;
  }
  for (auto& f : out.faces) {
    for (int k = 0; k < 3; ++k) {
      f.index[k] = Le16(p + 2 * k);
      if (f.index[k] >= vertex_count) return false;
    }
    for (int k = 0; k < 6; ++k) f.uv[k] = LeFloat(p + 6 + 4 * k);
    f.material = p[30];
    p += kModelFaceBytes;
  }
  return true;
}

bool ReadModelFile(const char* path, ModelFile& out) {
  ExpFile* f = OpenExpFile(path);
  if (!f) return false;
  const int32_t size = GetExpFileSize(f);
  const int32_t start = SeekExpFile(f, 0, 1);  // current position: a member starts where it starts
  bool ok = false;
  if (size >= 0 && start >= 0 && size >= start) {
    // Nothing past the largest model the counts can describe is read.
    constexpr size_t kLargestModel = kModelHeaderBytes + 65535 * (kModelVertexBytes + kModelFaceBytes);
    std::vector<uint8_t> bytes(std::min(static_cast<size_t>(size - start), kLargestModel));
    uint32_t read = 0;
    if (bytes.empty() || (ReadExpFile(f, bytes.data(), static_cast<uint32_t>(bytes.size()), &read) && read == bytes.size()))
      ok = ParseModelFile(bytes.data(), bytes.size(), out);
  }
  CloseExpFile(f);
  return ok;
}

std::vector<uint8_t> EncodeModelFile(const ModelFile& model) {
  std::vector<uint8_t> out;
  PutLe16(out, static_cast<uint16_t>(model.vertices.size()));
  PutLe16(out, static_cast<uint16_t>(model.faces.size()));
  PutFloat(out, model.radius);
  for (const auto& v : model.vertices) {
    PutFloat(out, v.x);
    PutFloat(out, v.y);
    PutFloat(out, v.z);
  }
  for (const auto& f : model.faces) {
    for (uint16_t i : f.index) PutLe16(out, i);
    for (float uv : f.uv) PutFloat(out, uv);
    out.push_back(f.material);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Builtins

int SceneTriangleCount() { return static_cast<int>(S().triangles.size()); }

void Render3dShutdown() {
  Scene& s = S();
  if (s.records) {
    for (uint32_t i = 0; i < kModelSlotCount; ++i)
      if (s.slots[i].used) FreeSlot(static_cast<int>(i));
    ArenaFree(s.records);
    s.records = 0;
  }
  s.depth = {};
  s.vertices = {};
  s.triangles = {};
  s.width = s.height = 0;
  s.light_count = 0;
  s.light_flags = 0;
}

uint32_t builtin_p3d_tex(BuiltinArgs args) {
  const Plane* p = PlaneAt(args.u(0));
  return p ? p->header : 0;
}

uint32_t builtin_p3d_init(BuiltinArgs args) {
  Render3dShutdown();
  Scene& s = S();
  s.target = args.u(0);
  const Plane* p = PlaneAt(s.target);
  s.width = p ? p->width : 0;
  s.height = p ? p->height : 0;
  s.focal = args.f(1);
  s.near_distance = args.f(2);
  try {
    s.depth.assign(static_cast<size_t>(s.width) * s.height, 0);
    s.vertices.reserve(kFrameVertexCount);
    s.triangles.reserve(kFrameTriangleCount);
  } catch (const std::bad_alloc&) {
    Render3dShutdown();
    return 0;
  }
  return 1;
}

uint32_t builtin_p3d_uninit(BuiltinArgs) {
  Render3dShutdown();
  return 1;
}

uint32_t builtin_p3d_load(BuiltinArgs args) {
  Scene& s = S();
  std::string path;
  if (!ScriptPath(args.u(0), path)) return 0;
  if (!s.records && !(s.records = ArenaAllocZeroed(kModelSlotCount * kModelRecordBytes))) return 0;
  int slot = -1;
  for (uint32_t i = 0; i < kModelSlotCount && slot < 0; ++i)
    if (!s.slots[i].used) slot = static_cast<int>(i);
  if (slot < 0) return 0;
  ModelFile file;
  if (!ReadModelFile(path.c_str(), file)) return 0;

  const uint32_t vcount = static_cast<uint32_t>(file.vertices.size()), fcount = static_cast<uint32_t>(file.faces.size());
  const uint32_t vertices = ArenaAllocZeroed(vcount * kVertexRecordBytes);
  const uint32_t faces = ArenaAllocZeroed(fcount * kFaceRecordBytes);
  if (!vertices || !faces) {
    ArenaFree(vertices);
    ArenaFree(faces);
    return 0;
  }
  uint8_t* vp = ToHost(vertices);
  uint8_t* fp = ToHost(faces);
  // Vertex normals: the plain average of the normals of the faces that use
  // the vertex; a vertex that no face uses keeps the zero normal.
  std::vector<Vec3> normal_sum(vcount, Vec3{0, 0, 0});
  std::vector<uint32_t> uses(vcount, 0);
  for (uint32_t f = 0; f < fcount; ++f) {
    const ModelFileFace& face = file.faces[f];
    const ModelFileVertex& p0 = file.vertices[face.index[0]];
    const ModelFileVertex& p1 = file.vertices[face.index[1]];
    const ModelFileVertex& p2 = file.vertices[face.index[2]];
    Vec3 n{(p2.z - p1.z) * (p1.y - p0.y) - (p2.y - p1.y) * (p1.z - p0.z),
           (p1.z - p0.z) * (p2.x - p1.x) - (p2.z - p1.z) * (p1.x - p0.x),
           (p2.y - p1.y) * (p1.x - p0.x) - (p1.y - p0.y) * (p2.x - p1.x)};
    const float len = std::sqrt(Dot(n, n));
    n = len > 0 ? Vec3{n.x / len, n.y / len, n.z / len} : Vec3{0, 0, 0};  // a degenerate face has no normal
    uint8_t* r = fp + f * kFaceRecordBytes;
    for (int k = 0; k < 3; ++k) Store<uint16_t>(r + 2 + 2 * k, face.index[k]);
    for (int k = 0; k < 6; ++k) Store<int32_t>(r + 8 + 4 * k, TruncToInt(static_cast<double>(face.uv[k]) * 65536.0));
    Store<float>(r + 32, n.x);
    Store<float>(r + 36, n.y);
    Store<float>(r + 40, n.z);
    r[52] = face.material;
    for (int k = 0; k < 3; ++k) {
      const uint16_t i = face.index[k];
      if (k > 0 && (i == face.index[0] || (k == 2 && i == face.index[1]))) continue;  // a face counts once
      normal_sum[i] = normal_sum[i] + n;
      ++uses[i];
    }
  }
  for (uint32_t v = 0; v < vcount; ++v) {
    uint8_t* r = vp + v * kVertexRecordBytes;
    Store<float>(r, file.vertices[v].x);
    Store<float>(r + 4, file.vertices[v].y);
    Store<float>(r + 8, file.vertices[v].z);
    const float d = uses[v] ? static_cast<float>(uses[v]) : 1.0f;
    Store<float>(r + 12, normal_sum[v].x / d);
    Store<float>(r + 16, normal_sum[v].y / d);
    Store<float>(r + 20, normal_sum[v].z / d);
  }

  s.slots[slot] = {true, vertices, faces, vcount, fcount};
  const uint32_t record = s.records + slot * kModelRecordBytes;
  uint8_t* r = ToHost(record);
  r[0] = 1;
  Store<float>(r + 4, file.radius);
  Store<uint32_t>(r + 8, vertices);
  Store<uint32_t>(r + 12, vcount);
  Store<uint32_t>(r + 16, faces);
  Store<uint32_t>(r + 20, fcount);
  return record;
}

uint32_t builtin_p3d_free(BuiltinArgs args) {
  const int slot = SlotOf(args.u(0));
  if (slot < 0) return 0;
  FreeSlot(slot);
  return 1;
}

uint32_t builtin_p3d_clear(BuiltinArgs) {
  Scene& s = S();
  std::fill(s.depth.begin(), s.depth.end(), 0);
  s.light_count = 0;
  s.light_flags = 0;
  s.triangles.clear();
  s.vertices.clear();
  return 1;
}

uint32_t builtin_p3d_view(BuiltinArgs args) {
  Scene& s = S();
  if (!args.u(0) || !args.u(1)) return 0;
  s.camera_position = ReadVec3(args.u(0));
  const Vec3 a = ReadVec3(args.u(1));
  s.camera = Transposed(Rotation(a.y, a.x, a.z));
  return 1;
}

uint32_t builtin_p3d_env(BuiltinArgs args) {
  Scene& s = S();
  for (int k = 0; k < 3; ++k) s.ambient[k] = args.f(k);
  return 1;
}

uint32_t builtin_p3d_light(BuiltinArgs args) {
  Scene& s = S();
  if (!args.u(0) || s.light_count >= kLightCount) return 0;
  const uint8_t* record = args.ptr(0);
  ::Light& l = s.lights[s.light_count++];
  for (int k = 0; k < 3; ++k) l.colour[k] = Load<float>(record + 4 * k);
  l.type = record[12];
  const float a = args.f(1), b = args.f(2), c = args.f(3);
  if (l.type == 0) {
    const auto [sa, ca] = TableSinCos(a);
    const auto [sb, cb] = TableSinCos(b);
    l.v = Times(Vec3{sa * cb, -sb, cb * ca}, s.camera);
    s.light_flags |= 1;
  } else if (l.type == 1) {
    l.v = Times(Vec3{a, b, c} - s.camera_position, s.camera);
    s.light_flags |= 3;
  } else {
    l.v = {0, 0, 0};
  }
  return 1;
}

uint32_t builtin_p3d_material(BuiltinArgs args) {
  const int slot = SlotOf(args.u(0));
  if (slot < 0 || !args.u(2)) return 0;
  const ModelSlot& m = S().slots[slot];
  const uint8_t material = static_cast<uint8_t>(args.u(1));
  const uint8_t* record = args.ptr(2);
  const uint32_t colour = Load<uint32_t>(record), texture = Load<uint32_t>(record + 4);
  const uint8_t type = record[8];
  const uint8_t flags = type < 7 ? kTypeFlags[type] : 0;
  uint8_t* faces = ToHost(m.faces);
  for (uint32_t f = 0; f < m.face_count; ++f) {
    uint8_t* r = faces + f * kFaceRecordBytes;
    if (r[52] != material) continue;
    r[0] = type;
    r[1] = flags;
    Store<uint32_t>(r + 44, colour);
    Store<uint32_t>(r + 48, texture);
  }
  RebuildVertexFlags(m);
  return 1;
}

uint32_t builtin_p3d_setobj(BuiltinArgs args) {
  Scene& s = S();
  const int slot = SlotOf(args.u(0));
  if (slot < 0 || !args.u(1) || !args.u(2)) return 0;
  const ModelSlot& m = s.slots[slot];

  const Vec3 position = ReadVec3(args.u(1)), angles = ReadVec3(args.u(2));
  const Mat3 M = Times(Rotation(angles.y, angles.x, angles.z), s.camera);
  const Vec3 centre = Times(position - s.camera_position, s.camera);

  // Whole-object rejection by the bounding sphere.
  const float r = Load<float>(ToHost(s.records + slot * kModelRecordBytes + 4));
  const float f = s.focal, half_w = s.width / 2.0f, half_h = s.height / 2.0f;
  if (f * (centre.x + r) < -half_w * centre.z || half_w * centre.z < f * (centre.x - r) ||
      f * (centre.y + r) < -half_h * centre.z || f * (centre.y - r) > half_h * centre.z)
    return 1;
  if (s.vertices.size() + m.vertex_count > kFrameVertexCount) return 0;  // the frame's vertex table is full

  const bool point_light = (s.light_flags & 2) != 0;
  const size_t first = s.vertices.size();
  const uint8_t* vertices = ToHost(m.vertices);
  for (uint32_t i = 0; i < m.vertex_count; ++i) {
    const uint8_t* rec = vertices + i * kVertexRecordBytes;
    const Vec3 v{Load<float>(rec), Load<float>(rec + 4), Load<float>(rec + 8)};
    FrameVertex t{};
    const Vec3 q = Times(v, M) + centre;
    // A vertex at or behind the eye is dropped whatever the near distance.
    if (!(q.z >= s.near_distance) || !(q.z > 0)) {
      t.key = kBehind;
      s.vertices.push_back(t);
      continue;
    }
    const float sc = f / q.z;
    t.x = static_cast<int32_t>(std::clamp<int64_t>(int64_t{TruncToInt(q.x * sc)} + s.width / 2, -kCoordinateLimit, kCoordinateLimit));
    t.y = static_cast<int32_t>(std::clamp<int64_t>(s.height / 2 - int64_t{TruncToInt(q.y * sc)}, -kCoordinateLimit, kCoordinateLimit));
    t.key = TruncToInt(static_cast<double>(q.z) * 65536.0);
    if (t.key == kBehind) ++t.key;
    t.inverse_depth = 65536.0f / q.z;
    if (point_light) t.camera = q;
    const uint8_t flags = rec[24];
    if (flags & (kFlagLightVertices | kFlagNormalCoordinates)) {
      const Vec3 n = Times(Vec3{Load<float>(rec + 12), Load<float>(rec + 16), Load<float>(rec + 20)}, M);
      if (flags & kFlagLightVertices) LightColour(s, n, q, t.lit);
      if (flags & kFlagNormalCoordinates) {
        t.u = RoundToInt(32768.0 - n.x * 32767.0);
        t.v = RoundToInt(32768.0 - n.y * 32767.0);
      }
    }
    s.vertices.push_back(t);
  }

  const uint8_t* faces = ToHost(m.faces);
  bool refused = false;
  for (uint32_t fi = 0; fi < m.face_count; ++fi) {
    const uint8_t* rec = faces + fi * kFaceRecordBytes;
    uint16_t index[3];
    bool bad = false;
    for (int k = 0; k < 3; ++k) {
      index[k] = Load<uint16_t>(rec + 2 + 2 * k);
      bad |= index[k] >= m.vertex_count;  // an edited record names no vertex of the model
    }
    if (bad) continue;
    const FrameVertex* t[3];
    for (int k = 0; k < 3; ++k) t[k] = &s.vertices[first + index[k]];
    if (t[0]->key == kBehind || t[1]->key == kBehind || t[2]->key == kBehind) continue;
    const uint8_t flags = rec[1];
    if (!(flags & kFlagBothSides)) {
      const int64_t cross = (int64_t{t[2]->y} - t[1]->y) * (int64_t{t[1]->x} - t[0]->x) -
                            (int64_t{t[1]->y} - t[0]->y) * (int64_t{t[2]->x} - t[1]->x);
      if (cross < 0) continue;
    }
    bool right = false, below = false, left = false, above = false;
    for (const FrameVertex* v : t) {
      right |= v->x > 0;
      below |= v->y > 0;
      left |= v->x < s.width;
      above |= v->y < s.height;
    }
    if (!(right && below && left && above)) continue;
    if (s.triangles.size() >= kFrameTriangleCount) {
      refused = true;  // the frame's triangle table is full
      break;
    }
    SceneTriangle tri{};
    for (int k = 0; k < 3; ++k) tri.index[k] = static_cast<uint16_t>(first + index[k]);
    const int64_t sum = int64_t{t[0]->key} + t[1]->key + t[2]->key;
    const int64_t key = (flags & kFlagReversedKey) ? 0x7FFFFFFF - sum : sum;
    tri.key = static_cast<int32_t>(std::clamp<int64_t>(key, INT32_MIN, INT32_MAX));
    tri.type = rec[0];
    tri.colour = Load<uint32_t>(rec + 44);
    if (flags & kFlagLightFace) {
      const Vec3 n = Times(Vec3{Load<float>(rec + 32), Load<float>(rec + 36), Load<float>(rec + 40)}, M);
      Vec3 p{0, 0, 0};
      if (point_light) {
        const Vec3 sum3 = t[0]->camera + t[1]->camera + t[2]->camera;
        p = {sum3.x / 3, sum3.y / 3, sum3.z / 3};
      }
      LightColour(s, n, p, tri.flat);
    }
    if (flags & kFlagTextured) {
      tri.texture = Load<uint32_t>(rec + 48);
      if (flags & kFlagNormalCoordinates) {
        for (int k = 0; k < 3; ++k) {
          tri.uv[2 * k] = t[k]->u;
          tri.uv[2 * k + 1] = t[k]->v;
        }
      } else {
        for (int k = 0; k < 6; ++k) tri.uv[k] = Load<int32_t>(rec + 8 + 4 * k);
      }
    }
    s.triangles.push_back(tri);
  }
  return refused ? 0 : 1;
}

uint32_t builtin_p3d_render(BuiltinArgs) {
  Scene& s = S();
  Plane* plane = PlaneAt(s.target);
  // The target must still be the plane the depth buffer was made for.
  if (!plane || plane->width != s.width || plane->height != s.height || (plane->bits != 24 && plane->bits != 32) ||
      s.depth.size() != static_cast<size_t>(s.width) * s.height)
    return 0;

  std::sort(s.triangles.begin(), s.triangles.end(),
            [](const SceneTriangle& a, const SceneTriangle& b) { return a.key < b.key; });

  std::vector<PreparedTriangle> prepared;
  prepared.reserve(s.triangles.size());
  std::unordered_map<uint32_t, const Plane*> texture_planes;
  int64_t pixel_work = 0;
  for (const SceneTriangle& tri : s.triangles) {
    if (tri.type > 6) continue;
    PreparedTriangle p{};
    p.type = tri.type;
    int order[3] = {0, 1, 2};
    const FrameVertex* v[3] = {&s.vertices[tri.index[0]], &s.vertices[tri.index[1]], &s.vertices[tri.index[2]]};
    const int64_t area = (int64_t{v[1]->x} - v[0]->x) * (int64_t{v[2]->y} - v[0]->y) -
                         (int64_t{v[2]->x} - v[0]->x) * (int64_t{v[1]->y} - v[0]->y);
    if (area == 0) continue;
    if (area < 0) std::swap(order[1], order[2]);  // a two-sided face seen from behind
    for (int k = 0; k < 3; ++k) {
      p.x[k] = v[order[k]]->x;
      p.y[k] = v[order[k]]->y;
    }
    auto gradient = [&](auto value) {
      return MakeGradient(p, value(order[0]), value(order[1]), value(order[2]));
    };
    p.depth = gradient([&](int k) { return static_cast<double>(v[k]->inverse_depth); });
    for (int c = 0; c < 3; ++c) {
      p.colour[c] = static_cast<uint8_t>(tri.colour >> (8 * c));
      p.flat_lit[c] = tri.flat[c];
      p.flat_pixel[c] = Clamp255(p.colour[c] + tri.flat[c] - 255);
    }
    if (kTypeFlags[tri.type] & kFlagLightVertices)
      for (int c = 0; c < 3; ++c) p.lit[c] = gradient([&](int k) { return static_cast<double>(v[k]->lit[c]); });
    if (kTypeFlags[tri.type] & kFlagTextured) {
      p.texture = FindTexture(tri.texture, texture_planes);
      if (!p.texture.plane) continue;  // no usable texture: the triangle is skipped
      p.u = gradient([&](int k) { return static_cast<double>(tri.uv[2 * k]); });
      p.v = gradient([&](int k) { return static_cast<double>(tri.uv[2 * k + 1]); });
    }
    // Pixels the triangle may cover: half its box within the plane.
    const int64_t box_w = std::clamp(std::max({p.x[0], p.x[1], p.x[2]}), 0, s.width) - std::clamp(std::min({p.x[0], p.x[1], p.x[2]}), 0, s.width);
    const int64_t box_h = std::clamp(std::max({p.y[0], p.y[1], p.y[2]}), 0, s.height) - std::clamp(std::min({p.y[0], p.y[1], p.y[2]}), 0, s.height);
    pixel_work += box_w * box_h / 2;
    prepared.push_back(p);
  }

  const Target target{plane, s.depth.data(), s.width, plane->bits / 8};
  const int32_t height = s.height;
  // Rows are split over threads for a large frame with enough to draw.
  const bool parallel = g_graphics_settings.MultiThreading != 0 && int64_t{s.width} * height >= 320 * 240 &&
                        pixel_work >= 32768;
  int bands = 1;
#ifdef _OPENMP
  if (parallel) bands = std::min(height, 2 * omp_get_max_threads());
#endif
  // Each band of rows walks the whole list in order, so every pixel still sees
  // the triangles near to far and the translucent ones last.
#pragma omp parallel for schedule(dynamic, 1) if (parallel)
  for (int band = 0; band < bands; ++band) {
    const int32_t begin = static_cast<int32_t>(int64_t{height} * band / bands);
    const int32_t end = static_cast<int32_t>(int64_t{height} * (band + 1) / bands);
    for (const PreparedTriangle& p : prepared) kRasterisers[p.type](p, target, begin, end);
  }
  return 1;
}
