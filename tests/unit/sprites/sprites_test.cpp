// Sprites at the level of the engine operations: how a sprite is drawn
// (which geometry routine, with which rectangles), the cover rectangles of a
// partly covered sprite, the dirty-rectangle copy between formats and the
// page lock.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "../graphics/graphics_fixture.h"
#include "graphics/blit_geometry.h"
#include "graphics/sprites.h"

namespace {

class SpriteTest : public GraphicsTest {
 protected:
  void SetUp() override {
    GraphicsTest::SetUp();
    g_graphics_settings.Width = 48;
    g_graphics_settings.Height = 40;
    g_graphics_settings.Depth = 32;
    GraphicsStart();
    SpritesStart();
    Call(builtin_sp_flag, {0});
  }
  void TearDown() override {
    SpritesStop();
    GraphicsTest::TearDown();
  }

  Plane* NewPlane(uint32_t slot, int w, int h, int bits) {
    Plane* p = CreatePlane(w, h, bits);
    SetPlaneAt(slot, p);
    return p;
  }
  Sprite* Set(uint32_t layer, int32_t x, int32_t y, uint32_t plane) {
    return SpriteAt(SetSprite(layer, kSpriteShown, x, y, plane, nullptr, nullptr));
  }
  static std::vector<uint32_t> Pixels(const Plane* p) {
    std::vector<uint32_t> v;
    for (int y = 0; y < p->height; ++y) {
      const uint8_t* row = PlaneRow(p, y);
      for (int x = 0; x < p->width; ++x) {
        uint32_t c;
        std::memcpy(&c, row + 4 * x, 4);
        v.push_back(c);
      }
    }
    return v;
  }
};

// A 6 x 4 picture of distinct opaque colours with a half-transparent column.
void Paint(Plane* p) {
  for (int y = 0; y < p->height; ++y)
    for (int x = 0; x < p->width; ++x) {
      uint32_t c = (x == 2 ? 0x80000000u : 0xFF000000u) | uint32_t(x * 40) << 16 | uint32_t(y * 60) << 8 | 0x20;
      std::memcpy(PlaneRow(p, y) + 4 * x, &c, 4);
    }
}

TEST_F(SpriteTest, DrawsThroughTheGeometryRoutineItsTransformAsksFor) {
  struct Case {
    const char* what;
    int32_t scale_x, scale_y;
    int16_t angle;
    uint8_t mirror_x, mirror_y;
    bool smooth;
    enum { kCopy, kStretch, kRotate, kRotateSmooth } expected;
  };
  const Case cases[] = {
      {"plain copy", 0x10000, 0x10000, 0, 0, 0, true, Case::kCopy},
      {"whole turn is no turn", 0x10000, 0x10000, 2048, 0, 0, true, Case::kCopy},
      {"scaled, nearest", 0x20000, 0x18000, 0, 0, 0, false, Case::kStretch},
      {"scaled, smooth", 0x20000, 0x18000, 0, 0, 0, true, Case::kRotateSmooth},
      {"mirrored x, smooth but unscaled", 0x10000, 0x10000, 0, 1, 0, true, Case::kStretch},
      {"mirrored y, scaled", 0x18000, 0x10000, 0, 0, 1, false, Case::kStretch},
      {"rotated, nearest", 0x10000, 0x10000, 300, 0, 0, false, Case::kRotate},
      {"rotated and mirrored, smooth", 0x14000, 0x10000, 700, 1, 1, true, Case::kRotateSmooth},
  };
  Plane* image = NewPlane(2, 6, 4, 32);
  Paint(image);
  Plane* page = PlaneAt(0);
  Plane* expected = NewPlane(3, page->width, page->height, 32);
  BlitParams params{};
  params.mode = 7;  // alpha
  params.level = 255;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FillRect(page, 0, 0, page->width, page->height, 0xFF102030);
    FillRect(expected, 0, 0, page->width, page->height, 0xFF102030);
    Sprite* s = SpriteAt(SetSprite(0, kSpriteShown, 20, 18, 2, nullptr, &params));
    ASSERT_NE(s, nullptr);
    s->pivot_x = 3;
    s->pivot_y = 2;
    s->scale_x = c.scale_x;
    s->scale_y = c.scale_y;
    s->angle = c.angle;
    s->mirror_x = c.mirror_x;
    s->mirror_y = c.mirror_y;
    s->flags = c.smooth ? kSpriteSmooth : 0;
    ASSERT_EQ(DrawSprites(1, nullptr), 1);
    ASSERT_TRUE(s->flags & kSpriteDrawn);
    PlaneRect d = s->destination;
    if (c.mirror_x) std::swap(d.left, d.right);
    if (c.mirror_y) std::swap(d.top, d.bottom);
    const PlaneRect whole{0, 0, 6, 4};
    switch (c.expected) {
      case Case::kCopy: {
        const PlaneRect at{s->bounds.left, s->bounds.top, s->bounds.left + 6, s->bounds.top + 4};
        StretchBlit(expected, &at, image, &whole, nullptr, &params);
        break;
      }
      case Case::kStretch: StretchBlit(expected, &d, image, &whole, nullptr, &params); break;
      case Case::kRotate: RotateBlit(expected, &d, image, &whole, nullptr, &params, c.angle, false); break;
      case Case::kRotateSmooth: RotateBlit(expected, &d, image, &whole, nullptr, &params, c.angle, true); break;
    }
    EXPECT_EQ(Pixels(page), Pixels(expected));
    ResetSprite(SpriteAddress(s));
    DrawSprites(0, nullptr);  // frees it without drawing
  }
}

// The pieces of a sprite's cover list never overlap and together are exactly
// the part of its bounds that the changes touched.
TEST_F(SpriteTest, CoverRectanglesAreDisjointAndCoverTheChangedPart) {
  NewPlane(1, 48, 40, 32);  // background
  Call(builtin_sp_setbg, {1});
  NewPlane(2, 20, 16, 32);
  NewPlane(3, 6, 6, 32);
  Sprite* under = Set(0, 10, 10, 2);  // covers (10, 10)-(30, 26)
  std::vector<Sprite*> movers;
  const int starts[][2] = {{8, 8}, {12, 9}, {20, 20}, {26, 14}, {14, 18}};
  for (const auto& at : starts) movers.push_back(Set(1, at[0], at[1], 3));
  ASSERT_EQ(DrawSprites(uint32_t(-1), nullptr), 1);
  // Each mover steps by (3, 2): old and new bounds both touch the sprite below.
  std::vector<PlaneRect> touched;
  for (Sprite* m : movers) {
    touched.push_back(m->bounds);
    m->x += 3;
    m->y += 2;
    m->flags |= kSpriteChanged;
    touched.push_back({m->bounds.left + 3, m->bounds.top + 2, m->bounds.right + 3, m->bounds.bottom + 2});
  }
  ASSERT_EQ(DrawSprites(uint32_t(-1), nullptr), 1);

  struct Cover {
    PlaneRect rect;
    uint32_t next;
  };
  std::vector<PlaneRect> pieces;
  for (uint32_t at = under->cover; at && pieces.size() < 100; at = reinterpret_cast<Cover*>(ToHost(at))->next)
    pieces.push_back(reinterpret_cast<Cover*>(ToHost(at))->rect);
  ASSERT_FALSE(pieces.empty());
  auto inside = [](const PlaneRect& r, int x, int y) { return r.left <= x && x < r.right && r.top <= y && y < r.bottom; };
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 48; ++x) {
      int hits = 0;
      for (const PlaneRect& p : pieces) hits += inside(p, x, y);
      bool wanted = false;
      for (const PlaneRect& t : touched) wanted |= inside(t, x, y) && inside(under->bounds, x, y);
      ASSERT_EQ(hits, wanted ? 1 : 0) << "at " << x << ", " << y;
    }
  EXPECT_FALSE(under->flags & kSpriteCovered);
  EXPECT_TRUE(under->flags & kSpriteDrawn);
}

TEST_F(SpriteTest, DirtyCopyConvertsIndexedSourcesAndSkipsOtherPairs) {
  Plane* indexed = NewPlane(1, 4, 4, 8);
  std::memset(PlanePixels(indexed), 0xE0, size_t(indexed->stride) * 4);  // 3-3-2 index 0xE0: red
  Plane* wide = NewPlane(2, 4, 4, 32);
  Plane* high = NewPlane(3, 4, 4, 16);
  const PlaneRect r{1, 1, 3, 2};
  DirtyListAdd(r);
  EXPECT_EQ(DirtyListCopy(wide, 0, 0, indexed, nullptr), 1);
  EXPECT_EQ(DirtyListCount(), 0);
  uint32_t c;
  std::memcpy(&c, PixelAddress(wide, 2, 1), 4);
  EXPECT_EQ(c & 0xFFFFFF, 0xFF0000u);
  std::memcpy(&c, PixelAddress(wide, 3, 1), 4);
  EXPECT_EQ(c, 0u);
  DirtyListAdd(r);
  std::memset(PlanePixels(high), 0x7F, size_t(high->stride) * 4);
  EXPECT_EQ(DirtyListCopy(wide, 0, 0, high, nullptr), 1);  // 16 into 32 bits: nothing copied
  std::memcpy(&c, PixelAddress(wide, 1, 1), 4);
  EXPECT_EQ(c & 0xFFFFFF, 0xFF0000u);
}

// After a draw that hit one of the store's limits, the page must still be
// what a full redraw of the same scene gives.
class SpriteLimitTest : public SpriteTest {
 protected:
  void SetUp() override {
    SpriteTest::SetUp();
    Plane* bg = NewPlane(1, 48, 40, 32);
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 48; ++x) {
        const uint32_t c = 0xFF000000u | uint32_t(x * 5) << 16 | uint32_t(y * 6);
        std::memcpy(PixelAddress(bg, x, y), &c, 4);
      }
    Call(builtin_sp_setbg, {1});
    FillRect(NewPlane(2, 8, 8, 32), 0, 0, 8, 8, 0xFFE0E000);
    FillRect(NewPlane(3, 8, 8, 32), 0, 0, 8, 8, 0xFF00E0E0);
    FillRect(NewPlane(4, 1, 1, 32), 0, 0, 1, 1, 0xFFFFFFFF);
  }
  void ExpectSameAsFullRedraw() {
    const std::vector<uint32_t> drawn = Pixels(PlaneAt(0));
    Call(builtin_sp_redraw, {uint32_t(-1)});
    ASSERT_EQ(DrawSprites(uint32_t(-1), nullptr), 1);
    EXPECT_EQ(drawn, Pixels(PlaneAt(0)));
  }
};

// 1025 moving points add 2050 rectangles: the list collapses into their
// union, which takes in a static sprite no single rectangle touched.
TEST_F(SpriteLimitTest, CollapsedDirtyListRedrawsWhatItsUnionRestores) {
  Set(0, 4, 4, 2);
  std::vector<Sprite*> points;
  for (int i = 0; i < 1025; ++i) points.push_back(Set(1, i == 0 ? 1 : i % 46, i == 0 ? 1 : 30 + (i / 46) % 8, 4));
  ASSERT_EQ(DrawSprites(uint32_t(-1), nullptr), 1);
  for (Sprite* p : points) {
    p->x += 1;
    p->flags |= kSpriteChanged;
  }
  ASSERT_EQ(DrawSprites(uint32_t(-1), nullptr), 1);
  ExpectSameAsFullRedraw();
}

// 2100 static sprites stacked under five moving ones need more cover pieces
// than the pool holds.
TEST_F(SpriteLimitTest, FullCoverPoolRedrawsThePageWhole) {
  for (int i = 0; i < 2100; ++i) Set(0, 10 + i % 3, 10 + i % 2, 2 + i % 2);
  std::vector<Sprite*> movers;
  for (int i = 0; i < 5; ++i) movers.push_back(Set(1, 6 + 3 * i, 8 + 2 * i, 4));
  for (Sprite* m : movers) m->scale_x = m->scale_y = 0x50000;  // 5 x 5
  ASSERT_EQ(DrawSprites(uint32_t(-1), nullptr), 1);
  for (Sprite* m : movers) {
    m->x += 2;
    m->y += 1;
    m->flags |= kSpriteChanged;
  }
  ASSERT_EQ(DrawSprites(uint32_t(-1), nullptr), 1);
  ExpectSameAsFullRedraw();
}

std::string last_error;
void KeepError(std::string_view, std::string_view text) { last_error = text; }

// sp_link refuses a child that is the parent or one of its ancestors, and a
// parent whose chain of parents never ends, with the engine's message.
TEST_F(SpriteTest, LinkRefusesCycles) {
  NewPlane(2, 4, 4, 32);
  Sprite* a = Set(0, 0, 0, 2);
  Sprite* b = Set(0, 0, 0, 2);
  Sprite* c = Set(1, 0, 0, 2);
  Sprite* d = Set(1, 0, 0, 2);
  Sprite* e = Set(1, 0, 0, 2);
  const uint32_t A = SpriteAddress(a), B = SpriteAddress(b), C = SpriteAddress(c), D = SpriteAddress(d),
                 E = SpriteAddress(e);
  ASSERT_EQ(LinkSprite(A, B), 1);
  ASSERT_EQ(LinkSprite(B, C), 1);
  d->parent = E;  // scribbled: d and e are each other's parent
  e->parent = D;
  SetErrorLevel(1);
  SetErrorBoxBackend(KeepError);
  const struct {
    const char* what;
    uint32_t parent, child;
  } cases[] = {{"itself", A, A}, {"its parent", B, A}, {"its grandparent", C, A}, {"a looping chain", D, A}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    last_error.clear();
    EXPECT_EQ(LinkSprite(k.parent, k.child), 0);
    EXPECT_EQ(last_error, "LinkSprite : \x8f\x7a\x8a\xc2\x8e\x51\x8f\xc6\x82\xb5\x82\xc4\x82\xdc\x82\xb7\x81\x42");
  }
  SetErrorBoxBackend(nullptr);
  SetErrorLevel(0);
  EXPECT_EQ(a->parent, 0u);
  EXPECT_EQ(b->child_count, 1);
  EXPECT_EQ(c->child_count, 0);
}

std::mutex test_page_lock;
int lock_requests = 0;
std::mutex& CountedLock() {
  ++lock_requests;
  return test_page_lock;
}

TEST_F(SpriteTest, DrawHoldsTheDisplayOutputLock) {
  NewPlane(2, 4, 4, 32);
  Set(0, 0, 0, 2);
  g_page_drawing_lock = CountedLock;
  lock_requests = 0;
  EXPECT_EQ(DrawSprites(1, nullptr), 1);
  EXPECT_EQ(lock_requests, 1);
  // Without an active page nothing is drawn and nothing locked.
  g_active_page = 5;
  EXPECT_EQ(DrawSprites(1, nullptr), 0);
  EXPECT_EQ(lock_requests, 1);
  g_active_page = 0;
  g_page_drawing_lock = nullptr;
}

}  // namespace
