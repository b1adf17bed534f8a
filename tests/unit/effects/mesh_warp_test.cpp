// The mesh-warp slots: contexts, the grid in script memory, rendering and the
// generators.
#include <gtest/gtest.h>

#include "effects_fixture.h"
#include "graphics/plane_effects.h"

namespace {

constexpr uint32_t kDst = 10, kSrc = 11;

class MeshWarpTest : public EffectsTest {
 protected:
  void SetUp() override {
    EffectsTest::SetUp();
    src_ = Make(kSrc, 32, 24, 32);
    Pattern(src_, 0x01030507);
    dst_ = Make(kDst, 32, 24, 32);
  }
  void TearDown() override {
    ResetMeshWarps();
    EffectsTest::TearDown();
  }
  uint32_t Init(uint32_t slot = 0) { return Call(builtin_ef_init, {slot, kDst, 0, kSrc, 0}); }
  Plane* src_;
  Plane* dst_;
};

TEST_F(MeshWarpTest, ContextsLiveInEightSlots) {
  const uint32_t record = Init(3);
  ASSERT_NE(record, 0u);
  MeshWarpRecord rec;
  std::memcpy(&rec, ToHost(record), sizeof rec);
  EXPECT_EQ(rec.columns, 4);
  EXPECT_EQ(rec.rows, 3);
  EXPECT_EQ(rec.source_width, 32);
  const uint32_t info = Buffer(1024);
  EXPECT_EQ(Call(builtin_ef_info, {3, info}), 1u);
  EXPECT_EQ(Word(info), 4u);
  EXPECT_EQ(Word(info + 4), 3u);
  EXPECT_EQ(Word(info + 8), rec.grid);

  for (uint32_t slot : {8u, 0xFFFFFFFFu, 2u}) {  // out of range, and empty
    EXPECT_EQ(Call(builtin_ef_copy, {slot}), 0u) << slot;
    EXPECT_EQ(Call(builtin_ef_info, {slot, info}), 0u) << slot;
    EXPECT_EQ(Call(builtin_ef_water, {slot}), 0u) << slot;
  }
  EXPECT_EQ(Call(builtin_ef_init, {8, kDst, 0, kSrc, 0}), 0u);
  EXPECT_EQ(Call(builtin_ef_init, {0, kDst, Words({0, 0, 7, 30}), kSrc, 0}), 0u);  // not one whole cell wide
  Make(20, 16, 16, 24);
  EXPECT_EQ(Call(builtin_ef_init, {0, 20, 0, kSrc, 0}), 0u);  // formats differ
  EXPECT_EQ(Call(builtin_ef_free, {3}), 1u);
  EXPECT_EQ(Call(builtin_ef_copy, {3}), 0u);
  EXPECT_EQ(Call(builtin_ef_free, {9}), 0u);
}

TEST_F(MeshWarpTest, TheRegularGridCopiesAndTheIdentityGeneratorsKeepIt) {
  ASSERT_NE(Init(), 0u);
  const std::vector<uint32_t> want = Pixels(src_);
  EXPECT_EQ(Call(builtin_ef_copy, {0}), 1u);
  EXPECT_EQ(Pixels(dst_), want);
  const struct {
    const char* name;
    BuiltinHandler h;
    std::vector<uint32_t> args;
  } cases[] = {
      {"ef_rotate at zoom 1", builtin_ef_rotate, {0, 0, 0, 65536, 0}},
      {"ef_raster without amplitude", builtin_ef_raster, {0, 100, 30, 0}},
      {"ef_water on still water", builtin_ef_water, {0}},
  };
  for (const auto& c : cases) {
    Make(kDst, 32, 24, 32);
    uint32_t at = scratch_;
    for (uint32_t w : c.args) std::memcpy(ToHost(at), &w, 4), at += 4;
    EXPECT_EQ(c.h(BuiltinArgs{scratch_}), 1u) << c.name;
    EXPECT_EQ(Pixels(PlaneAt(kDst)), want) << c.name;
  }
}

TEST_F(MeshWarpTest, ScriptsMayEditTheGridButNotEscapeIt) {
  const uint32_t record = Init();
  ASSERT_NE(record, 0u);
  MeshWarpRecord rec;
  std::memcpy(&rec, ToHost(record), sizeof rec);
  // Every point at the source's position (3, 5): the whole picture takes that pixel.
  for (int k = 0; k < 5 * 4; ++k) SetWords(rec.grid + 8 * k, {3 * 2048 * 256 / 32, 5 * 2048 * 256 / 24 + 255});
  EXPECT_EQ(Call(builtin_ef_copy, {0}), 1u);
  for (uint32_t v : Pixels(dst_)) ASSERT_EQ(v, Get(src_, 3, 5));
  // Scribbled values wrap around the source; a scribbled record changes nothing.
  uint32_t x = 12345;
  for (int k = 0; k < 5 * 4 * 2; ++k) SetWords(rec.grid + 4 * k, {x = x * 1103515245 + 12345});
  SetWords(record, {999, 999, uint32_t(-50), uint32_t(-50), 0, 0, 100000, 100000, 100000, 100000, 0, 0, 0});
  EXPECT_EQ(Call(builtin_ef_copy, {0}), 1u);
  // A plane freed or replaced by a smaller one under the context stops it.
  Make(kSrc, 8, 8, 32);
  EXPECT_EQ(Call(builtin_ef_copy, {0}), 0u);
  ReleaseSlot(kSrc);
  EXPECT_EQ(Call(builtin_ef_copy, {0}), 0u);
}

TEST_F(MeshWarpTest, GeneratorsRenderAndWaterSettles) {
  ASSERT_NE(Init(), 0u);
  const std::vector<uint32_t> plain = Pixels(src_);
  const struct {
    const char* name;
    BuiltinHandler h;
    std::vector<uint32_t> args;
  } cases[] = {
      {"ef_rotate", builtin_ef_rotate, {0, 16, 12, 80000, 300}},
      {"ef_land", builtin_ef_land, {0, 12000, 400, 100}},
      {"ef_ball", builtin_ef_ball, {0, 20, 100, 50}},
      {"ef_whirl", builtin_ef_whirl, {0, 1500}},
      {"ef_raster", builtin_ef_raster, {0, 0, 10, 4}},
      {"ef_rotate hostile", builtin_ef_rotate, {0, 0x7FFFFFFF, 0x80000000, 0x7FFFFFFF, 0x7FFFFFFF}},
      {"ef_land hostile", builtin_ef_land, {0, 0x80000000, 0x7FFFFFFF, 0x80000000}},
      {"ef_ball hostile", builtin_ef_ball, {0, 0x7FFFFFFF, 0x80000000, 7}},
      {"ef_whirl hostile", builtin_ef_whirl, {0, 0x80000000}},
      {"ef_raster hostile", builtin_ef_raster, {0, 0x7FFFFFFF, uint32_t(-1), 0x7FFFFFFF}},
  };
  for (const auto& c : cases) {
    uint32_t at = scratch_;
    for (uint32_t w : c.args) std::memcpy(ToHost(at), &w, 4), at += 4;
    EXPECT_EQ(c.h(BuiltinArgs{scratch_}), 1u) << c.name;
    if (std::string(c.name).find("hostile") == std::string::npos) {
      EXPECT_NE(Pixels(dst_), plain) << c.name;
    }
  }
  // A drop makes ripples; with time the damped water goes still again.
  EXPECT_EQ(Call(builtin_ef_blob, {0, 16, 12, 12, 400}), 1u);
  EXPECT_EQ(Call(builtin_ef_water, {0}), 1u);
  EXPECT_NE(Pixels(dst_), plain);
  for (int k = 0; k < 2000; ++k) ASSERT_EQ(Call(builtin_ef_water, {0}), 1u);
  EXPECT_EQ(Pixels(dst_), plain);
  // Random and hostile drops stay inside the height field.
  for (int32_t r : {0, 8, 1000000000, -5})
    EXPECT_EQ(Call(builtin_ef_blob, {0, uint32_t(-1), uint32_t(-1), uint32_t(r), 0x7FFFFFFF}), 1u);
  EXPECT_EQ(Call(builtin_ef_blob, {0, 0x7FFFFFFF, 0x80000000, 100, 100}), 1u);
  EXPECT_EQ(Call(builtin_ef_water, {0}), 1u);
}

TEST_F(MeshWarpTest, ResetEmptiesEverySlot) {
  for (uint32_t slot = 0; slot < 8; ++slot) ASSERT_NE(Init(slot), 0u);
  ResetMeshWarps();
  for (uint32_t slot = 0; slot < 8; ++slot) EXPECT_EQ(Call(builtin_ef_copy, {slot}), 0u);
}

}  // namespace
