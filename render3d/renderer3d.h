// The software 3D renderer: triangle models loaded from a small binary file,
// placed into one scene per frame with a camera, an ambient colour and up to
// 16 lights, transformed, culled, lit, sorted by depth and drawn with a 32-bit
// depth buffer into a 24- or 32-bit plane.
//
// Model records live in the script arena (scripts get their addresses and may
// read or even edit them); the engine keeps its own copy of every array's
// address and count, so a scribbled record can make a model look wrong but
// never make the renderer reach outside the model's arrays.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/builtin.h"

// A model file as it stands on disk (little-endian): vertex count (u16), face
// count (u16), bounding radius (f32), the vertices (3 x f32 each), then per
// face three vertex indices (3 x u16), three (u, v) pairs (6 x f32) and the
// material number (u8). sdk/model-format.md describes it for game makers.
struct ModelFileVertex {
  float x, y, z;
};
struct ModelFileFace {
  uint16_t index[3];
  float uv[6];  // u0, v0, u1, v1, u2, v2: fractions of the texture's width and height
  uint8_t material;
};
struct ModelFile {
  float radius = 0;
  std::vector<ModelFileVertex> vertices;
  std::vector<ModelFileFace> faces;
};
constexpr size_t kModelHeaderBytes = 8;
constexpr size_t kModelVertexBytes = 12;
constexpr size_t kModelFaceBytes = 31;

// Parses the bytes of a model file. False, with `out` unspecified, for a file
// whose counts reach past its end or whose faces name a vertex it does not
// have. Bytes after the last face are ignored.
bool ParseModelFile(const uint8_t* data, size_t size, ModelFile& out);
// Reads a model file through the file layer and parses it; false when the
// file cannot be opened or is refused by ParseModelFile.
bool ReadModelFile(const char* path, ModelFile& out);
// The bytes of a model file (the generator tool and the tests write them).
std::vector<uint8_t> EncodeModelFile(const ModelFile& model);

// Record layouts in the script arena.
constexpr uint32_t kModelSlotCount = 512;
constexpr uint32_t kModelRecordBytes = 24;  // in use u8 @0, radius f32 @4, vertices @8, count @12, faces @16, count @20
constexpr uint32_t kVertexRecordBytes = 28;  // x y z @0, nx ny nz @12, flags u8 @24
constexpr uint32_t kFaceRecordBytes = 56;    // type @0, flags @1, indices @2, uv 16.16 @8, normal @32, colour @44, texture @48, material @52

// Frame tables.
constexpr int kLightCount = 16;
constexpr int kFrameVertexCount = 8192;
constexpr int kFrameTriangleCount = 8192;

// The type flags of the seven triangle types (0 for any other type: such
// faces are transformed but never drawn).
constexpr uint8_t kTypeFlags[7] = {0x08, 0x02, 0x68, 0x62, 0x18, 0x12, 0x13};
constexpr uint8_t kFlagNormalCoordinates = 0x01, kFlagLightVertices = 0x02, kFlagLightFace = 0x08,
                  kFlagTextured = 0x10, kFlagReversedKey = 0x20, kFlagBothSides = 0x40;

// How many triangles the current frame holds (tests and the benchmark).
int SceneTriangleCount();

// p3d_uninit: frees the depth buffer and every model. RuntimeStop runs it.
void Render3dShutdown();

uint32_t builtin_p3d_tex(BuiltinArgs args);
uint32_t builtin_p3d_init(BuiltinArgs args);
uint32_t builtin_p3d_uninit(BuiltinArgs args);
uint32_t builtin_p3d_load(BuiltinArgs args);
uint32_t builtin_p3d_free(BuiltinArgs args);
uint32_t builtin_p3d_clear(BuiltinArgs args);
uint32_t builtin_p3d_view(BuiltinArgs args);
uint32_t builtin_p3d_env(BuiltinArgs args);
uint32_t builtin_p3d_light(BuiltinArgs args);
uint32_t builtin_p3d_material(BuiltinArgs args);
uint32_t builtin_p3d_setobj(BuiltinArgs args);
uint32_t builtin_p3d_render(BuiltinArgs args);
