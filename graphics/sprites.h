// Sprites and hit areas: image records in 32 layers, drawn onto the active
// page with dirty rectangles, and rectangles in 32 groups that scripts test
// against each other, against rectangles and against points.
//
// Every record lives in the script arena with the byte layout scripts read
// and write directly, so nothing in a record is trusted: each walk over
// records is bounded by the pool size, every address taken from a record must
// be a record of its pool (otherwise the link is treated as absent), and a
// record that cannot be used is skipped.
#pragma once
#include <cstdint>
#include <mutex>

#include "graphics/blit_modes.h"
#include "graphics/planes.h"
#include "runtime/builtin.h"

// Flag bits of a sprite.
constexpr uint16_t kSpriteChanged = 0x0001;   // redraw at the next draw
constexpr uint16_t kSpriteAlways = 0x0002;    // redraw at every draw
constexpr uint16_t kSpriteSmooth = 0x0010;    // bilinear sampling when scaled or rotated
constexpr uint16_t kSpriteReleased = 0x2000;  // freed at the next draw
constexpr uint16_t kSpriteCovered = 0x4000;   // redraw inside its cover rectangles
constexpr uint16_t kSpriteDrawn = 0x8000;     // on the page

enum : uint8_t { kSpriteFree = 0, kSpriteHidden = 1, kSpriteShown = 2 };

struct Sprite {
  uint8_t state;  // 0 free, 1 hidden, 2 shown
  uint8_t layer;
  uint16_t flags;
  uint8_t mirror_x, mirror_y;
  uint8_t fraction_bits;  // x and y are shifted right by this many bits
  uint8_t unused7;
  int32_t priority;
  int32_t plane;
  int32_t x, y;
  int32_t pivot_x, pivot_y;
  int32_t scale_x, scale_y;  // 16.16
  int32_t drawn_scale_x, drawn_scale_y;  // composed with the parents'
  int16_t angle, drawn_angle;            // 2048 per turn
  PlaneRect source;
  BlitParams params;
  PlaneRect bounds;       // page rectangle the drawn sprite covers
  PlaneRect destination;  // unrotated rectangle on the page
  int32_t child_count;
  uint32_t children;  // array of child addresses; the word before it holds the capacity
  uint32_t parent;
  uint32_t previous, next;  // layer list
  uint32_t hit_areas;       // first hit area attached to this sprite
  uint32_t cover;           // cover rectangles of the current draw
  uint32_t unused140;
};
static_assert(sizeof(Sprite) == 144);

struct HitArea {
  int32_t group;
  int32_t mask;  // bit i: tests against group i
  PlaneRect rect;  // relative to the attached sprite's top-left, else absolute
  uint32_t sprite;
  int32_t value;
  uint32_t previous, next;  // group list; previous 0 marks a free record
  uint32_t next_of_sprite;
};
static_assert(sizeof(HitArea) == 44);

constexpr int kSpriteLayers = 32;
constexpr int kSpritePool = 4096;
constexpr int kHitGroups = 32;
constexpr int kHitPool = 1024;
constexpr int kDirtyCapacity = 2048;
constexpr int kCoverPool = 8192;

// Engine start and RuntimeStop: every sprite, hit area and dirty rectangle
// gone, the layer origins 0, the default flags 2, no background origin and
// background plane 0.
void SpritesStart();
void SpritesStop();

// The display output installs the lock of the output in use; sp_draw holds
// it while it draws onto pages. Without one a lock of the sprites' own is used.
extern std::mutex& (*g_page_drawing_lock)();

// The record at a script address, or nullptr when the address is not a record
// of the pool (layer heads and the spare record are not).
Sprite* SpriteAt(uint32_t addr);
HitArea* HitAreaAt(uint32_t addr);
uint32_t SpriteAddress(const Sprite* s);

// Operations behind the builtins (scripts' argument words already read).
uint32_t SetSprite(uint32_t layer, uint32_t state, int32_t x, int32_t y, uint32_t plane, const PlaneRect* source,
                   const BlitParams* params);
int ResetSprite(uint32_t addr);
int LinkSprite(uint32_t parent, uint32_t child);
int UnlinkSprite(uint32_t addr);
int DrawSprites(uint32_t layer_mask, PlaneRect* changed);
void SortSprites(uint32_t layer_mask, uint32_t key_flags);
int SpriteRect(uint32_t addr, PlaneRect& out);
int SpriteCount();

// Hit areas.
uint32_t SetHitArea(uint32_t group, int32_t mask, uint32_t sprite, const PlaneRect* rect, int32_t value);
int ResetHitArea(uint32_t addr);
void ClearHitGroups(uint32_t group_mask);
uint32_t CheckHitArea(uint32_t addr);
uint32_t HitRect(const PlaneRect& rect, uint32_t group_mask);
uint32_t HitPoint(int32_t x, int32_t y, uint32_t group_mask);

// The dirty-rectangle list.
void DirtyListClear();
bool DirtyListAdd(const PlaneRect& r);  // false when the list collapsed
int DirtyListCount();
PlaneRect DirtyListAt(int i);
int DirtyListCopy(Plane* dst, int32_t x, int32_t y, Plane* src, const PlaneRect* source);

uint32_t builtin_sp_flag(BuiltinArgs args);    // flags
uint32_t builtin_sp_init(BuiltinArgs args);    // layer mask
uint32_t builtin_sp_setbg(BuiltinArgs args);   // plane
uint32_t builtin_sp_getbg(BuiltinArgs args);   // -
uint32_t builtin_sp_redraw(BuiltinArgs args);  // layer mask
uint32_t builtin_sp_set(BuiltinArgs args);     // layer, state, x, y, plane, rect or 0, params or 0
uint32_t builtin_sp_reset(BuiltinArgs args);   // sprite
uint32_t builtin_sp_link(BuiltinArgs args);    // parent, child
uint32_t builtin_sp_unlink(BuiltinArgs args);  // sprite
uint32_t builtin_sp_draw(BuiltinArgs args);    // layer mask, rect or 0
uint32_t builtin_sp_bgorg(BuiltinArgs args);   // x, y
uint32_t builtin_sp_org(BuiltinArgs args);     // layer mask, x, y
uint32_t builtin_sp_sort(BuiltinArgs args);    // layer mask, key flags
uint32_t builtin_sp_rect(BuiltinArgs args);    // sprite, rect
uint32_t builtin_drt_init(BuiltinArgs args);   // -
uint32_t builtin_drt_set(BuiltinArgs args);    // rect
uint32_t builtin_drt_copy(BuiltinArgs args);   // dst, x, y, src, src rect or 0
uint32_t builtin_hit_init(BuiltinArgs args);   // group mask
uint32_t builtin_hit_set(BuiltinArgs args);    // group, mask, sprite or 0, rect or 0, value
uint32_t builtin_hit_reset(BuiltinArgs args);  // area
uint32_t builtin_hit_check(BuiltinArgs args);  // area
uint32_t builtin_hit_rect(BuiltinArgs args);   // rect, group mask
uint32_t builtin_hit_point(BuiltinArgs args);  // x, y, group mask
