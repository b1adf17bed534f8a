// The 3D renderer: model files (sound and hostile), the records scripts see,
// culling and rejection, lighting, depth order, the frame tables' limits,
// and every triangle type drawn into a small plane and compared with stored
// reference images (KEVA_UPDATE_REFERENCES=1 rewrites them).
#include <bit>
#include <cmath>
#include <random>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "../files/temp_dir.h"
#include "../graphics/graphics_fixture.h"
#include "graphics/image_files.h"
#include "model_shapes.h"
#include "render3d/renderer3d.h"

namespace {

uint32_t F(float f) { return std::bit_cast<uint32_t>(f); }

constexpr uint32_t kTarget = 5;  // plane number of the render target
constexpr int kWidth = 32, kHeight = 24;

class Render3dTest : public GraphicsTest {
 protected:
  void SetUp() override {
    GraphicsTest::SetUp();
    Plane* p = CreatePlane(kWidth, kHeight, 32);
    ASSERT_NE(p, nullptr);
    SetPlaneAt(kTarget, p);
    ASSERT_EQ(Call(builtin_p3d_init, {kTarget, F(32), F(0.5f), F(0)}), 1u);
  }
  void TearDown() override {
    Render3dShutdown();
    GraphicsTest::TearDown();
  }

  // Writes a model file and loads it; the record address or 0.
  uint32_t Load(const std::vector<uint8_t>& bytes) {
    return LoadPath(dir_.Write("model.bin", std::string(bytes.begin(), bytes.end())));
  }
  uint32_t LoadPath(const std::string& path) {
    const uint32_t text = Buffer(2048);
    std::memcpy(ToHost(text), path.c_str(), path.size() + 1);
    return Call(builtin_p3d_load, {text});
  }
  uint32_t Load(const ModelFile& m) { return Load(EncodeModelFile(m)); }

  // Material record: colour, texture, type.
  uint32_t Material(uint32_t model, uint8_t number, uint32_t colour, uint32_t texture, uint8_t type) {
    const uint32_t rec = Buffer(512);
    SetWords(rec, {colour, texture, type});
    return Call(builtin_p3d_material, {model, number, rec});
  }
  // Starts a frame: camera at the origin looking along +z, the ambient colour.
  void Frame(float ambient = 1.0f) {
    Call(builtin_p3d_clear, {});
    SetWords(Buffer(600), {F(0), F(0), F(0), F(0), F(0), F(0)});
    ASSERT_EQ(Call(builtin_p3d_view, {Buffer(600), Buffer(612)}), 1u);
    Call(builtin_p3d_env, {F(ambient), F(ambient), F(ambient)});
  }
  uint32_t Light(float c0, float c1, float c2, uint8_t type, float a, float b, float c) {
    const uint32_t rec = Buffer(640);
    SetWords(rec, {F(c0), F(c1), F(c2), type});
    return Call(builtin_p3d_light, {rec, F(a), F(b), F(c)});
  }
  uint32_t Place(uint32_t model, float x, float y, float z, float ax = 0, float ay = 0, float az = 0) {
    SetWords(Buffer(700), {F(x), F(y), F(z), F(ax), F(ay), F(az)});
    return Call(builtin_p3d_setobj, {model, Buffer(700), Buffer(712)});
  }
  uint32_t Pixel(int x, int y) const {
    uint32_t v;
    std::memcpy(&v, PixelAddress(PlaneAt(kTarget), x, y), 4);
    return v & 0xFFFFFF;
  }

  TempDir dir_;
};

// A square of half edge h in the plane z = 0 facing the camera (two faces,
// material 0), or the back of it.
ModelFile Square(float h, bool facing = true) {
  ModelFile m;
  m.vertices = {{-h, -h, 0}, {-h, h, 0}, {h, h, 0}, {h, -h, 0}};
  const float uv[6] = {0, 1, 0, 0, 1, 0}, uv2[6] = {0, 1, 1, 0, 1, 1};
  model_shapes::AddFace(m, 0, 1, 2, uv, 0, 0, facing ? -1.f : 1.f, 0);
  model_shapes::AddFace(m, 0, 2, 3, uv2, 0, 0, facing ? -1.f : 1.f, 0);
  model_shapes::SetRadius(m);
  return m;
}

TEST(ModelFileTest, HostileFilesAreRefused) {
  ModelFile triangle;
  triangle.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  triangle.faces = {{{0, 1, 2}, {0, 0, 1, 0, 0, 1}, 3}};
  const std::vector<uint8_t> good = EncodeModelFile(triangle);
  ASSERT_EQ(good.size(), kModelHeaderBytes + 3 * kModelVertexBytes + kModelFaceBytes);

  std::vector<uint8_t> bad_index = good;
  bad_index[kModelHeaderBytes + 3 * kModelVertexBytes + 2] = 3;  // the second index names vertex 3 of 3
  std::vector<uint8_t> huge_counts = good;
  huge_counts[0] = huge_counts[1] = huge_counts[2] = huge_counts[3] = 0xFF;
  std::vector<uint8_t> trailing = good;
  trailing.push_back(0xEE);
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    bool accepted;
  } cases[] = {
      {"sound", good, true},
      {"bytes after the last face", trailing, true},
      {"no faces and no vertices", {0, 0, 0, 0, 0, 0, 0, 0}, true},
      {"empty", {}, false},
      {"header cut short", {1, 0, 1, 0, 0}, false},
      {"last face cut short", std::vector<uint8_t>(good.begin(), good.end() - 1), false},
      {"counts past the end", huge_counts, false},
      {"index out of range", bad_index, false},
  };
  for (const auto& c : cases) {
    ModelFile out;
    EXPECT_EQ(ParseModelFile(c.bytes.data(), c.bytes.size(), out), c.accepted) << c.what;
  }
  ModelFile out;
  ASSERT_TRUE(ParseModelFile(good.data(), good.size(), out));
  EXPECT_EQ(out.faces[0].material, 3);
  EXPECT_FLOAT_EQ(out.faces[0].uv[2], 1.0f);
}

TEST_F(Render3dTest, LoadRefusesHostileAndMissingFiles) {
  std::vector<uint8_t> bytes = EncodeModelFile(Square(1));
  bytes[kModelHeaderBytes + 4 * kModelVertexBytes] = 200;  // index 200 of 4 vertices
  EXPECT_EQ(Load(bytes), 0u);
  EXPECT_EQ(Load(std::vector<uint8_t>{4, 0, 2, 0}), 0u);
  const uint32_t missing = Buffer(2048);
  std::memcpy(ToHost(missing), "/nonexistent/model.bin", 23);
  EXPECT_EQ(Call(builtin_p3d_load, {missing}), 0u);
  EXPECT_EQ(Call(builtin_p3d_load, {0}), 0u);
}

TEST_F(Render3dTest, RecordsHoldNormalsAndFixedPointCoordinates) {
  ModelFile m;
  m.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {5, 5, 5}};  // vertex 3 is used by no face
  m.faces = {{{0, 2, 1}, {0.5f, 0.25f, 1, 0, -1.5f, 2}, 7}};
  m.radius = 2;
  const uint32_t model = Load(m);
  ASSERT_NE(model, 0u);
  EXPECT_EQ(ToHost(model)[0], 1);
  EXPECT_EQ(Word(model + 12), 4u);
  EXPECT_EQ(Word(model + 20), 1u);
  const uint32_t face = Word(model + 16), vertices = Word(model + 8);
  auto f = [&](uint32_t addr) { return std::bit_cast<float>(Word(addr)); };
  EXPECT_EQ(static_cast<int32_t>(Word(face + 8)), 32768);
  EXPECT_EQ(static_cast<int32_t>(Word(face + 12)), 16384);
  EXPECT_EQ(static_cast<int32_t>(Word(face + 24)), -98304);
  EXPECT_EQ(ToHost(face)[52], 7);
  // (p1 - p0) x (p2 - p1) for (0,0,0), (0,1,0), (1,0,0): -z, unit length.
  EXPECT_FLOAT_EQ(f(face + 40), -1.0f);
  for (uint32_t v = 0; v < 3; ++v) EXPECT_FLOAT_EQ(f(vertices + v * kVertexRecordBytes + 20), -1.0f) << v;
  for (uint32_t k = 0; k < 3; ++k) EXPECT_EQ(f(vertices + 3 * kVertexRecordBytes + 12 + 4 * k), 0.0f);

  // The material sets type, flags, colour and texture, and the vertex flags.
  ASSERT_EQ(Material(model, 7, 0x123456, 0, 5), 1u);
  EXPECT_EQ(ToHost(face)[0], 5);
  EXPECT_EQ(ToHost(face)[1], 0x12);
  EXPECT_EQ(Word(face + 44), 0x123456u);
  EXPECT_EQ(ToHost(vertices)[24], 0x12);
  EXPECT_EQ(ToHost(vertices + 3 * kVertexRecordBytes)[24], 0);

  EXPECT_EQ(Call(builtin_p3d_free, {model}), 1u);
  EXPECT_EQ(Call(builtin_p3d_free, {model}), 0u);
  EXPECT_EQ(Call(builtin_p3d_free, {model + 4}), 0u);
}

TEST_F(Render3dTest, ModelSlotsRunOut) {
  const std::vector<uint8_t> bytes = EncodeModelFile(Square(1));
  const std::string path = dir_.Write("square.bin", std::string(bytes.begin(), bytes.end()));
  uint32_t last = 0;
  for (uint32_t i = 0; i < kModelSlotCount; ++i) ASSERT_NE(last = LoadPath(path), 0u) << i;
  EXPECT_EQ(LoadPath(path), 0u);
  Call(builtin_p3d_free, {last});
  EXPECT_EQ(LoadPath(path), last);
}

TEST_F(Render3dTest, BackFacesAreDroppedUnlessTheTypeDrawsBothSides) {
  const uint32_t front = Load(Square(1, true)), back = Load(Square(1, false));
  for (uint8_t type = 0; type < 7; ++type) {
    Material(front, 0, 0xFFFFFF, 0, type);
    Material(back, 0, 0xFFFFFF, 0, type);
    Frame();
    ASSERT_EQ(Place(front, 0, 0, 4), 1u);
    EXPECT_EQ(SceneTriangleCount(), 2) << int(type);
    ASSERT_EQ(Place(back, 0, 0, 4), 1u);
    EXPECT_EQ(SceneTriangleCount(), type == 2 || type == 3 ? 4 : 2) << int(type);
  }
}

TEST_F(Render3dTest, ObjectsOutsideTheViewOrBehindTheNearDistanceAddNothing) {
  const uint32_t model = Load(Square(1));
  Material(model, 0, 0xFFFFFF, 0, 0);
  const struct {
    float x, y, z;
    int triangles;
  } cases[] = {
      {0, 0, 4, 2},      // in view
      {-40, 0, 4, 0},    // sphere left of the view
      {40, 0, 4, 0},     // right
      {0, 40, 4, 0},     // above
      {0, -40, 4, 0},    // below
      {0, 0, 0.2f, 0},   // nearer than the near distance
      {0, 0, -4, 0},     // behind the camera
  };
  for (const auto& c : cases) {
    Frame();
    EXPECT_EQ(Place(model, c.x, c.y, c.z), 1u);
    EXPECT_EQ(SceneTriangleCount(), c.triangles) << c.x << " " << c.y << " " << c.z;
  }
}

TEST_F(Render3dTest, FarTrianglesStillPassTheClearedDepthBuffer) {
  // Focal length large enough for a square at that depth to cover pixels.
  Call(builtin_p3d_init, {kTarget, F(3.0e6f), F(0.5f), F(0)});
  const uint32_t again = Load(Square(1));
  Material(again, 0, 0x00FF00, 0, 0);
  Frame();
  ASSERT_EQ(Place(again, 0, 0, 100000), 1u);  // 65536 / z is below 1
  ASSERT_EQ(Call(builtin_p3d_render, {}), 1u);
  EXPECT_EQ(Pixel(kWidth / 2, kHeight / 2), 0x00FF00u);
}

TEST_F(Render3dTest, LightsAddTheirColourToFacesTurnedTowardsThem) {
  const uint32_t model = Load(Square(4));
  Material(model, 0, 0xFFFFFF, 0, 0);
  const struct {
    const char* what;
    uint8_t type;
    float a, b, c;
    uint32_t pixel;
  } cases[] = {
      // Angles 0, 0: direction (0, 0, 1), straight into the face.
      {"directional", 0, 0, 0, 0, 0x6640FF},  // bytes blue 1.0, green 0.25, red 0.4
      {"directional from behind", 0, 3.14159265f, 0, 0, 0x000000},
      {"point light far in front", 1, 0, 0, -1000, 0x6640FF},
      {"type 2 lights nothing", 2, 0, 0, 0, 0x000000},
  };
  for (const auto& c : cases) {
    Frame(0.0f);
    ASSERT_EQ(Light(1.0f, 0.25f, 0.4f, c.type, c.a, c.b, c.c), 1u);
    ASSERT_EQ(Place(model, 0, 0, 4), 1u);
    Call(builtin_p3d_render, {});
    EXPECT_EQ(Pixel(kWidth / 2, kHeight / 2), c.pixel) << c.what;
  }
}

TEST_F(Render3dTest, TheSeventeenthLightIsRefused) {
  Frame();
  for (int i = 0; i < kLightCount; ++i) ASSERT_EQ(Light(1, 1, 1, 2, 0, 0, 0), 1u) << i;
  EXPECT_EQ(Light(1, 1, 1, 0, 0, 0, 0), 0u);
  Frame();
  EXPECT_EQ(Light(1, 1, 1, 0, 0, 0, 0), 1u);
}

TEST_F(Render3dTest, FrameTablesRefuseWhatDoesNotFit) {
  // 8193 copies of one two-sided face.
  ModelFile many;
  many.vertices = {{-1, -1, 0}, {-1, 1, 0}, {1, 1, 0}};
  many.faces.assign(kFrameTriangleCount + 1, ModelFileFace{{0, 1, 2}, {}, 0});
  many.radius = 2;
  const uint32_t model = Load(many);
  ASSERT_NE(model, 0u);
  Material(model, 0, 0xFFFFFF, 0, 2);
  Frame();
  EXPECT_EQ(Place(model, 0, 0, 4), 0u);
  EXPECT_EQ(SceneTriangleCount(), kFrameTriangleCount);

  ModelFile wide;
  wide.vertices.assign(kFrameVertexCount / 2 + 1, ModelFileVertex{0, 0, 0});
  const uint32_t big = Load(wide);
  ASSERT_NE(big, 0u);
  Frame();
  EXPECT_EQ(Place(big, 0, 0, 4), 1u);
  EXPECT_EQ(Place(big, 0, 0, 4), 0u);
}

TEST_F(Render3dTest, EditedRecordsAndUnusableTexturesAreSkipped) {
  const uint32_t model = Load(Square(4));
  Plane* eight = CreatePlane(4, 4, 8);
  ASSERT_NE(eight, nullptr);
  SetPlaneAt(9, eight);
  const uint32_t texture = Call(builtin_p3d_tex, {9});
  EXPECT_EQ(texture, eight->header);
  EXPECT_EQ(Call(builtin_p3d_tex, {700}), 0u);
  const uint32_t faces = Word(model + 16);

  const struct {
    const char* what;
    uint32_t texture;
    uint8_t type;
    uint16_t index;
  } cases[] = {
      {"8-bit texture", texture, 4, 0},
      {"no texture", 0, 5, 0},
      {"wild texture", 0x12345678, 6, 0},
      {"unknown type", 0, 9, 0},
      {"index edited past the vertices", 0, 0, 60000},
  };
  for (const auto& c : cases) {
    Material(model, 0, 0xFFFFFF, c.texture, c.type);
    for (uint32_t f = 0; f < 2; ++f)
      if (c.index) std::memcpy(ToHost(faces + f * kFaceRecordBytes + 2), &c.index, 2);
    FillRect(PlaneAt(kTarget), 0, 0, kWidth, kHeight, 0);
    Frame();
    Place(model, 0, 0, 4);
    EXPECT_EQ(Call(builtin_p3d_render, {}), 1u) << c.what;
    EXPECT_EQ(Pixel(kWidth / 2, kHeight / 2), 0u) << c.what;
  }
}

// Scripts can write anything into the model records: wild indices, types,
// flags, texture addresses and coordinates, NaN and huge vertex positions.
TEST_F(Render3dTest, ScribbledRecordsNeverReachOutside) {
  const uint32_t model = Load(model_shapes::Torus(8, 6, 1.0f, 0.4f));
  ASSERT_NE(model, 0u);
  const uint32_t faces = Word(model + 16), vertices = Word(model + 8);
  const uint32_t face_count = Word(model + 20), vertex_count = Word(model + 12);
  Plane* texture = CreatePlane(4, 4, 32);
  SetPlaneAt(11, texture);
  const float wild[] = {0.0f, 1e30f, -1e30f, std::numeric_limits<float>::infinity(),
                        std::numeric_limits<float>::quiet_NaN(), 1e-30f, 3.0f};
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    for (uint32_t f = 0; f < face_count; ++f) {
      uint8_t* r = ToHost(faces + f * kFaceRecordBytes);
      for (uint32_t b = 0; b < kFaceRecordBytes; ++b)
        if (rng() % 8 == 0) r[b] = static_cast<uint8_t>(rng());
      if (rng() % 2) std::memcpy(r + 48, &texture->header, 4);
      if (rng() % 2) r[0] = static_cast<uint8_t>(rng() % 7), r[1] = kTypeFlags[r[0]] | (rng() % 2 ? 0x40 : 0);
    }
    for (uint32_t v = 0; v < vertex_count; ++v)
      if (rng() % 4 == 0) std::memcpy(ToHost(vertices + v * kVertexRecordBytes + 4 * (rng() % 7)), &wild[rng() % 7], 4);
    Frame(0.5f);
    Light(1, 1, 1, 1, 0, 0, 1);
    Place(model, 0, 0, 3, 0.1f * round, 0.2f, 0);
    Call(builtin_p3d_render, {});
  }
  SUCCEED();
}

// Turning the camera and the world by the same angle shows the same picture:
// the camera matrix undoes an object's rotation.
TEST_F(Render3dTest, TurningCameraAndObjectTogetherChangesNothing) {
  const uint32_t cube = Load(model_shapes::Cube(1));
  for (uint8_t side = 0; side < 6; ++side) Material(cube, side, 0x202020u * (side + 2), 0, 0);
  std::vector<uint32_t> pictures[2];
  const float a = 0.5f;
  for (int turned = 0; turned < 2; ++turned) {
    Call(builtin_p3d_clear, {});
    SetWords(Buffer(600), {F(0), F(0), F(0), F(0), F(turned ? a : 0), F(0)});
    Call(builtin_p3d_view, {Buffer(600), Buffer(612)});
    Call(builtin_p3d_env, {F(0.1f), F(0.1f), F(0.1f)});
    Light(0.9f, 0.9f, 0.9f, 0, turned ? 0.2f + a : 0.2f, 0.4f, 0);
    FillRect(PlaneAt(kTarget), 0, 0, kWidth, kHeight, 0);
    // The cube at (0, 0, 4) seen by the still camera; turned, both move by a about y.
    if (turned)
      Place(cube, 4 * std::sin(a), 0, 4 * std::cos(a), 0, 0.4f + a, 0);
    else
      Place(cube, 0, 0, 4, 0, 0.4f, 0);
    Call(builtin_p3d_render, {});
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) pictures[turned].push_back(Pixel(x, y));
  }
  int differing = 0, drawn = 0;
  for (size_t i = 0; i < pictures[0].size(); ++i) {
    differing += pictures[0][i] != pictures[1][i];
    drawn += pictures[0][i] != 0;
  }
  EXPECT_GT(drawn, 100);
  EXPECT_LE(differing, 8);  // the table's steps may move an edge pixel
}

TEST_F(Render3dTest, IntersectingModelsMeetWhereTheirDepthsCross) {
  // A red square at depth 8, and a blue one turned about the vertical axis so
  // that its left edge is nearer than the red one and its right edge farther.
  const uint32_t flat = Load(Square(4)), turned = Load(Square(4));
  Material(flat, 0, 0xFF0000, 0, 0);
  Material(turned, 0, 0x0000FF, 0, 0);
  for (bool turned_first : {true, false}) {
    Frame();
    if (turned_first) Place(turned, 0, 0, 8, 0, -0.6f, 0);
    Place(flat, 0, 0, 8);
    if (!turned_first) Place(turned, 0, 0, 8, 0, -0.6f, 0);
    FillRect(PlaneAt(kTarget), 0, 0, kWidth, kHeight, 0);
    ASSERT_EQ(Call(builtin_p3d_render, {}), 1u);
    EXPECT_EQ(Pixel(kWidth / 2 - 6, kHeight / 2), 0x0000FFu);
    EXPECT_EQ(Pixel(kWidth / 2 + 6, kHeight / 2), 0xFF0000u);
  }
}

TEST_F(Render3dTest, TranslucentTrianglesAreAddedAfterOpaqueOnes) {
  const uint32_t opaque = Load(Square(4)), glass = Load(Square(4));
  Material(opaque, 0, 0x402010, 0, 0);
  Material(glass, 0, 0x20F0F0, 0, 2);
  const struct {
    float glass_z;
    uint32_t centre;
  } cases[] = {
      {6, 0x60FFFF},  // in front: added with saturation, though listed first
      {12, 0x402010},  // behind: hidden by the depth test
  };
  for (const auto& c : cases) {
    Frame();
    Place(glass, 0, 0, c.glass_z);
    Place(opaque, 0, 0, 10);
    FillRect(PlaneAt(kTarget), 0, 0, kWidth, kHeight, 0);
    Call(builtin_p3d_render, {});
    EXPECT_EQ(Pixel(kWidth / 2, kHeight / 2), c.centre) << c.glass_z;
  }
}

// Every triangle type on a turned, lit cube, compared with a stored image.
TEST_F(Render3dTest, EachTypeMatchesItsReferenceImage) {
  Plane* checker = CreatePlane(8, 8, 32);
  ASSERT_NE(checker, nullptr);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      const uint32_t colour = ((x / 2 + y / 2) & 1) ? 0xFFFF4040 : 0xFF40C0FF;
      std::memcpy(PixelAddress(checker, x, y), &colour, 4);
    }
  SetPlaneAt(10, checker);
  const uint32_t texture = Call(builtin_p3d_tex, {10});
  const uint32_t cube = Load(model_shapes::Cube(1));
  ASSERT_NE(cube, 0u);
  for (int type = 0; type < 7; ++type) {
    for (uint8_t side = 0; side < 6; ++side)
      Material(cube, side, side & 1 ? 0xFFC080 : 0x80C0FF, texture, static_cast<uint8_t>(type));
    FillRect(PlaneAt(kTarget), 0, 0, kWidth, kHeight, 0xFF202020);
    Frame(0.2f);
    Light(0.9f, 0.8f, 0.7f, 0, 0.4f, -0.5f, 0);
    Light(0.0f, 0.3f, 0.6f, 1, -3, 2, 0);
    ASSERT_EQ(Place(cube, 0, 0, 5, 0.5f, 0.7f, 0.2f), 1u);
    ASSERT_EQ(Call(builtin_p3d_render, {}), 1u);

    const std::string name = std::string(KEVA_RENDER3D_REFERENCES) + "/type" + std::to_string(type) + ".bmp";
    if (std::getenv("KEVA_UPDATE_REFERENCES")) {
      ASSERT_EQ(SavePlane(name.c_str(), PlaneAt(kTarget), nullptr), 1);
      continue;
    }
    Plane* reference = ReadBmpFile(name.c_str());
    ASSERT_NE(reference, nullptr) << name;
    int differing = 0;
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        const uint8_t* r = PixelAddress(reference, x, y);
        const uint32_t want = r[0] | r[1] << 8 | r[2] << 16;
        differing += Pixel(x, y) != want;
      }
    EXPECT_EQ(differing, 0) << "type " << type;
    FreePlane(reference);
  }
}

// Rows split over threads give the same picture as one thread.
TEST_F(Render3dTest, ThreadedRowsDrawTheSamePicture) {
  Plane* big = CreatePlane(400, 300, 32);
  ASSERT_NE(big, nullptr);
  SetPlaneAt(kTarget, big);
  Call(builtin_p3d_init, {kTarget, F(300), F(0.5f), F(0)});
  const uint32_t torus = Load(model_shapes::Torus(24, 12, 1.0f, 0.4f));
  const uint32_t glass = Load(model_shapes::Cube(0.7f));
  Material(torus, 0, 0xFFC080, 0, 1);
  for (uint8_t side = 0; side < 6; ++side) Material(glass, side, 0x4060A0, 0, 3);
  std::vector<uint8_t> pictures[2];
  for (int threads = 0; threads < 2; ++threads) {
    g_graphics_settings.MultiThreading = threads;
    FillRect(big, 0, 0, 400, 300, 0);
    Frame(0.3f);
    Light(0.8f, 0.8f, 0.8f, 0, 0.5f, 0.4f, 0);
    Place(torus, -0.3f, 0, 4, 0.6f, 0.3f, 0);
    Place(glass, 0.6f, 0.2f, 3.5f, 0.2f, 0.5f, 0);
    ASSERT_EQ(Call(builtin_p3d_render, {}), 1u);
    pictures[threads].assign(PlanePixels(big), PlanePixels(big) + size_t(big->stride) * 300);
  }
  g_graphics_settings.MultiThreading = 0;
  EXPECT_EQ(pictures[0], pictures[1]);
  size_t drawn = 0;
  for (size_t i = 0; i < pictures[0].size(); i += 4) drawn += pictures[0][i + 3] == 255;
  EXPECT_GT(drawn, 20000u);  // enough to be split
}

}  // namespace
