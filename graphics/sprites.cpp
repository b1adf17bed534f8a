#include "graphics/sprites.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "graphics/blit_geometry.h"
#include "platform/error_box.h"
#include "runtime/math_builtins.h"
#include "runtime/runtime_settings.h"

std::mutex& (*g_page_drawing_lock)() = nullptr;

namespace {

// One arena block each: the sprite store (32 layer heads, the pool, the spare
// record), the hit store (32 group heads, the pool) and the cover rectangles.
struct CoverRect {
  PlaneRect rect;
  uint32_t next;
};
static_assert(sizeof(CoverRect) == 20);

constexpr uint32_t kSpriteSize = sizeof(Sprite);
constexpr uint32_t kHitSize = sizeof(HitArea);

uint32_t sprite_store = 0;
uint32_t hit_store = 0;
uint32_t cover_store = 0;

int32_t layer_origin_x[kSpriteLayers], layer_origin_y[kSpriteLayers];
uint16_t default_flags = kSpriteAlways;
int32_t background_plane = 0;
int32_t background_x = 0, background_y = 0;

PlaneRect dirty[kDirtyCapacity];
int dirty_count = 0;
PlaneRect update_rect{0, 0, 0, 0};
int cover_used = 0;
bool cover_overflow = false;  // a cover piece found no room in this draw

// Children arrays the engine allocated, per pool record: a record's own field
// may point anywhere, but only these blocks are ever resized or freed.
uint32_t children_block[kSpritePool];
uint32_t children_capacity[kSpritePool];

// Per-walk marks against records met twice (lists or hierarchies made circular).
uint32_t mark[kSpritePool];
uint32_t mark_generation = 0;
uint32_t NewMarks() {
  if (++mark_generation == 0) {
    std::memset(mark, 0, sizeof mark);
    mark_generation = 1;
  }
  return mark_generation;
}

std::mutex own_page_lock;

// ---- rectangles ----------------------------------------------------------------

bool Empty(const PlaneRect& r) { return r.left >= r.right || r.top >= r.bottom; }
bool Meets(const PlaneRect& a, const PlaneRect& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}
PlaneRect Intersection(const PlaneRect& a, const PlaneRect& b) {
  return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
}
void Unite(PlaneRect& region, const PlaneRect& r) {
  if (Empty(r)) return;
  if (Empty(region)) {
    region = r;
    return;
  }
  region = {std::min(region.left, r.left), std::min(region.top, r.top), std::max(region.right, r.right),
            std::max(region.bottom, r.bottom)};
}
PlaneRect Normalised(PlaneRect r) {
  if (r.right < r.left) std::swap(r.left, r.right);
  if (r.bottom < r.top) std::swap(r.top, r.bottom);
  return r;
}
PlaneRect WholePlane(const Plane* p) { return {0, 0, p->width, p->height}; }
bool SameRect(const PlaneRect& a, const PlaneRect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

PlaneRect ReadRect(uint32_t addr) {
  PlaneRect r;
  std::memcpy(&r, ToHost(addr), sizeof r);
  return r;
}

// Positions are kept inside this range so that later sums never overflow.
constexpr int64_t kCoordinateLimit = int64_t{1} << 30;
int64_t Clamp(int64_t v, int64_t limit) { return std::clamp(v, -limit, limit); }
int32_t Coordinate(int64_t v) { return static_cast<int32_t>(Clamp(v, kCoordinateLimit)); }

// ---- the stores ------------------------------------------------------------------

uint32_t HeadAddress(int layer) { return sprite_store + static_cast<uint32_t>(layer) * kSpriteSize; }
uint32_t PoolAddress(int i) { return sprite_store + static_cast<uint32_t>(kSpriteLayers + i) * kSpriteSize; }
uint32_t SpareAddress() { return PoolAddress(kSpritePool); }
Sprite* Record(uint32_t addr) { return reinterpret_cast<Sprite*>(ToHost(addr)); }

int PoolIndex(uint32_t addr) {
  if (!sprite_store || addr < PoolAddress(0)) return -1;
  uint32_t off = addr - PoolAddress(0);
  if (off % kSpriteSize || off / kSpriteSize >= kSpritePool) return -1;
  return static_cast<int>(off / kSpriteSize);
}
int HeadIndex(uint32_t addr) {
  if (!sprite_store || addr < sprite_store) return -1;
  uint32_t off = addr - sprite_store;
  if (off % kSpriteSize || off / kSpriteSize >= kSpriteLayers) return -1;
  return static_cast<int>(off / kSpriteSize);
}
// A layer list node: a head or a pool record.
bool IsListNode(uint32_t addr) { return PoolIndex(addr) >= 0 || HeadIndex(addr) >= 0; }

uint32_t HitHeadAddress(int group) { return hit_store + static_cast<uint32_t>(group) * kHitSize; }
uint32_t HitPoolAddress(int i) { return hit_store + static_cast<uint32_t>(kHitGroups + i) * kHitSize; }
HitArea* HitRecord(uint32_t addr) { return reinterpret_cast<HitArea*>(ToHost(addr)); }
int HitPoolIndex(uint32_t addr) {
  if (!hit_store || addr < HitPoolAddress(0)) return -1;
  uint32_t off = addr - HitPoolAddress(0);
  if (off % kHitSize || off / kHitSize >= kHitPool) return -1;
  return static_cast<int>(off / kHitSize);
}
bool IsHitNode(uint32_t addr) {
  if (HitPoolIndex(addr) >= 0) return true;
  if (!hit_store || addr < hit_store) return false;
  uint32_t off = addr - hit_store;
  return off % kHitSize == 0 && off / kHitSize < kHitGroups;
}

CoverRect* CoverAt(uint32_t addr) {
  if (!cover_store || addr < cover_store) return nullptr;
  uint32_t off = addr - cover_store;
  if (off % sizeof(CoverRect) || off / sizeof(CoverRect) >= static_cast<uint32_t>(cover_used)) return nullptr;
  return reinterpret_cast<CoverRect*>(ToHost(addr));
}

bool EnsureStores() {
  if (!sprite_store) sprite_store = ArenaAllocZeroed((kSpriteLayers + kSpritePool + 1) * size_t{kSpriteSize});
  if (!hit_store) hit_store = ArenaAllocZeroed((kHitGroups + kHitPool) * size_t{kHitSize});
  if (!cover_store) cover_store = ArenaAllocZeroed(kCoverPool * sizeof(CoverRect));
  return sprite_store && hit_store && cover_store;
}

// ---- layer lists -------------------------------------------------------------------

// The records of a layer's list in order: the walk stops at a link that is not
// a pool record, at a record met before in this collection and after the pool
// size. Marks are those of the caller's walk (records already taken elsewhere
// are left out as well).
void CollectLayer(int layer, uint32_t marks, std::vector<uint32_t>& out) {
  uint32_t at = Record(HeadAddress(layer))->next;
  for (int steps = 0; steps < kSpritePool; ++steps) {
    int i = PoolIndex(at);
    if (i < 0 || mark[i] == marks) return;
    mark[i] = marks;
    out.push_back(at);
    at = Record(at)->next;
  }
}

// Takes a record out of whatever list holds it. The neighbours are trusted
// only when they point back at it; otherwise the lists are searched for the
// record that links to it.
void UnlinkFromLayer(uint32_t addr) {
  Sprite* s = Record(addr);
  const uint32_t prev = s->previous, next = s->next;
  bool done = false;
  if (IsListNode(prev) && Record(prev)->next == addr) {
    Record(prev)->next = IsListNode(next) ? next : 0;
    done = true;
  }
  // A record whose back link is gone (free, or scribbled on) is looked for in
  // the lists only when it still claims a place in one.
  if (!done && prev) {
    for (int layer = 0; layer < kSpriteLayers && !done; ++layer) {
      uint32_t at = HeadAddress(layer);
      for (int steps = 0; steps <= kSpritePool && IsListNode(at); ++steps) {
        Sprite* r = Record(at);
        if (r->next == addr) {
          r->next = IsListNode(next) ? next : 0;
          done = true;
          break;
        }
        at = r->next;
      }
    }
  }
  if (PoolIndex(next) >= 0 && Record(next)->previous == addr) Record(next)->previous = prev;
  s->previous = s->next = 0;
}

// The last record of a layer's list (the head when it is empty).
uint32_t LayerTail(int layer) {
  uint32_t tail = HeadAddress(layer);
  uint32_t marks = NewMarks();
  for (int steps = 0; steps < kSpritePool; ++steps) {
    uint32_t next = Record(tail)->next;
    int i = PoolIndex(next);
    if (i < 0 || mark[i] == marks) break;
    mark[i] = marks;
    tail = next;
  }
  return tail;
}

void InsertAfter(uint32_t after, uint32_t addr) {
  Sprite* a = Record(after);
  Sprite* s = Record(addr);
  uint32_t next = PoolIndex(a->next) >= 0 ? a->next : 0;
  s->previous = after;
  s->next = next;
  a->next = addr;
  if (next) Record(next)->previous = addr;
}

// ---- children --------------------------------------------------------------------

int ChildCount(const Sprite* s) { return std::clamp(s->child_count, 0, kSpritePool); }
// Child i as the record says, or 0 when that word is not a pool record.
uint32_t ChildAt(const Sprite* s, int i) {
  uint32_t word;
  std::memcpy(&word, ToHost(s->children + 4 * static_cast<uint32_t>(i)), 4);
  return PoolIndex(word) >= 0 ? word : 0;
}

// Points the record at the array the engine keeps for it, in case a script
// redirected its field, and keeps the count within the capacity.
void RepairChildren(int index) {
  Sprite* s = Record(PoolAddress(index));
  const uint32_t block = children_block[index];
  s->children = block ? block + 4 : 0;
  s->child_count = std::clamp(s->child_count, 0, static_cast<int32_t>(children_capacity[index]));
  if (block) std::memcpy(ToHost(block), &children_capacity[index], 4);
}

void FreeChildren(int index) {
  if (children_block[index]) ArenaFree(children_block[index]);
  children_block[index] = 0;
  children_capacity[index] = 0;
  Sprite* s = Record(PoolAddress(index));
  s->children = 0;
  s->child_count = 0;
}

bool AppendChild(uint32_t parent, uint32_t child) {
  const int index = PoolIndex(parent);
  RepairChildren(index);
  Sprite* p = Record(parent);
  uint32_t capacity = children_capacity[index];
  if (static_cast<uint32_t>(p->child_count) >= capacity) {
    uint32_t grown = capacity ? capacity * 2 : 8;
    uint32_t block = ArenaRealloc(children_block[index], 4 + size_t{grown} * 4);
    if (!block) return false;
    children_block[index] = block;
    children_capacity[index] = grown;
    RepairChildren(index);
  }
  std::memcpy(ToHost(p->children + 4 * static_cast<uint32_t>(p->child_count)), &child, 4);
  ++p->child_count;
  return true;
}

// Removes a record from its parent's children and clears its parent field.
void DetachFromParent(uint32_t addr) {
  Sprite* s = Record(addr);
  const int parent_index = PoolIndex(s->parent);
  s->parent = 0;
  if (parent_index < 0) return;
  RepairChildren(parent_index);
  Sprite* p = Record(PoolAddress(parent_index));
  if (!p->children) return;
  uint32_t* words = reinterpret_cast<uint32_t*>(ToHost(p->children));
  for (int i = 0; i < p->child_count; ++i) {
    uint32_t w;
    std::memcpy(&w, words + i, 4);
    if (w != addr) continue;
    std::memmove(words + i, words + i + 1, 4 * static_cast<size_t>(p->child_count - i - 1));
    --p->child_count;
    return;
  }
}

// ---- transforms ------------------------------------------------------------------

int32_t Shifted(int32_t v, uint8_t bits) { return v >> std::min<int>(bits, 31); }

struct Placement {
  bool ok = false;
  int32_t scale_x = 0x10000, scale_y = 0x10000, angle = 0;
  PlaneRect destination{}, bounds{};
};

// Composes the sprite's transform with its ancestors' and places it on the
// page. A parent chain that does not end within the pool size is refused.
Placement Place(uint32_t addr) {
  Placement out;
  uint32_t chain[kSpritePool + 1];
  int n = 0;
  chain[n++] = addr;
  for (uint32_t at = Record(addr)->parent; PoolIndex(at) >= 0; at = Record(at)->parent) {
    if (n > kSpritePool) return out;
    chain[n++] = at;
  }
  constexpr int64_t kPositionLimit = int64_t{1} << 46;  // 16.16
  const Sprite* top = Record(chain[n - 1]);
  const int layer = top->layer < kSpriteLayers ? top->layer : -1;
  int64_t px = (int64_t{Shifted(top->x, top->fraction_bits)} - (layer >= 0 ? layer_origin_x[layer] : 0)) * 65536;
  int64_t py = (int64_t{Shifted(top->y, top->fraction_bits)} - (layer >= 0 ? layer_origin_y[layer] : 0)) * 65536;
  int64_t sx = top->scale_x, sy = top->scale_y;
  int32_t angle = top->angle;
  for (int k = n - 2; k >= 0; --k) {
    const Sprite* c = Record(chain[k]);
    const int64_t f = Clamp((int64_t{Shifted(c->x, c->fraction_bits)} * sx) >> 16, int64_t{1} << 40);
    const int64_t m = Clamp((int64_t{Shifted(c->y, c->fraction_bits)} * sy) >> 16, int64_t{1} << 40);
    const int64_t cs = TableCos(angle), sn = TableSin(angle);
    px = Clamp(px + f * cs + m * sn, kPositionLimit);
    py = Clamp(py + m * cs - f * sn, kPositionLimit);
    if (c->scale_x != 0x10000) sx = Clamp(int64_t{c->scale_x} * sx / 65536, INT32_MAX);
    if (c->scale_y != 0x10000) sy = Clamp(int64_t{c->scale_y} * sy / 65536, INT32_MAX);
    angle = static_cast<int16_t>(angle + c->angle);
  }
  const Sprite* s = Record(addr);
  constexpr int64_t kSizeLimit = int64_t{1} << 20;
  const int64_t w = std::min(std::abs(int64_t{s->source.right} - s->source.left), kSizeLimit);
  const int64_t h = std::min(std::abs(int64_t{s->source.bottom} - s->source.top), kSizeLimit);
  const int64_t cs = TableCos(angle), sn = TableSin(angle);
  const int64_t f = ((w - 2 * Clamp(s->pivot_x, kSizeLimit)) * sx) >> 17;
  const int64_t l = ((h - 2 * Clamp(s->pivot_y, kSizeLimit)) * sy) >> 17;
  const int64_t cx = (px + f * cs + l * sn) >> 16;
  const int64_t cy = (py + l * cs - f * sn) >> 16;
  const int64_t W = Clamp((w * sx) >> 16, kCoordinateLimit), H = Clamp((h * sy) >> 16, kCoordinateLimit);
  const int64_t left = cx - W / 2, top_edge = cy - H / 2;
  out.destination = {Coordinate(left), Coordinate(top_edge), Coordinate(left + W), Coordinate(top_edge + H)};
  if ((angle & 2047) == 0) {
    out.bounds = out.destination;
  } else {
    const int64_t bw = (std::abs(H * sn) + std::abs(W * cs) + 0x8000) >> 16;
    const int64_t bh = (std::abs(H * cs) + std::abs(W * sn) + 0x8000) >> 16;
    const int64_t bl = cx - bw / 2, bt = cy - bh / 2;
    out.bounds = {Coordinate(bl), Coordinate(bt), Coordinate(bl + bw), Coordinate(bt + bh)};
  }
  out.scale_x = static_cast<int32_t>(sx);
  out.scale_y = static_cast<int32_t>(sy);
  out.angle = angle;
  out.ok = true;
  return out;
}

bool Recompute(uint32_t addr) {
  Placement p = Place(addr);
  if (!p.ok) return false;
  Sprite* s = Record(addr);
  s->drawn_scale_x = p.scale_x;
  s->drawn_scale_y = p.scale_y;
  s->drawn_angle = static_cast<int16_t>(p.angle);
  s->destination = p.destination;
  s->bounds = p.bounds;
  return true;
}

// ---- drawing one sprite ----------------------------------------------------------

void DrawOne(Plane* page, const Sprite* s) {
  const int32_t plane_number = s->plane;
  Plane* src = PlaneAt(static_cast<uint32_t>(plane_number));
  if (!src) return;
  Plane* mask = AttachedPlaneAt(static_cast<uint32_t>(plane_number));
  const PlaneRect source = s->source;
  const BlitParams params = s->params;
  const int32_t angle = s->drawn_angle;
  const bool rotated = (angle & 2047) != 0;
  const bool scaled = s->drawn_scale_x != 0x10000 || s->drawn_scale_y != 0x10000;
  if (!rotated && !scaled && !s->mirror_x && !s->mirror_y) {
    const int64_t left = s->bounds.left, top = s->bounds.top;
    const int64_t right = left + (int64_t{source.right} - source.left);
    const int64_t bottom = top + (int64_t{source.bottom} - source.top);
    if (std::abs(right) > INT32_MAX || std::abs(bottom) > INT32_MAX) return;
    const PlaneRect d{s->bounds.left, s->bounds.top, static_cast<int32_t>(right), static_cast<int32_t>(bottom)};
    StretchBlit(page, &d, src, &source, mask, &params);
    return;
  }
  PlaneRect d = s->destination;
  if (s->mirror_x) std::swap(d.left, d.right);
  if (s->mirror_y) std::swap(d.top, d.bottom);
  const int64_t pixels = std::abs(int64_t{source.right} - source.left) * std::abs(int64_t{source.bottom} - source.top);
  if ((s->flags & kSpriteSmooth) && pixels > 1 && (scaled || rotated))
    RotateBlit(page, &d, src, &source, mask, &params, angle, true);
  else if (rotated)
    RotateBlit(page, &d, src, &source, mask, &params, angle, false);
  else
    StretchBlit(page, &d, src, &source, mask, &params);
}

// ---- the draw ----------------------------------------------------------------------

struct DrawPass {
  PlaneRect clip;
  std::vector<uint32_t> layers[kSpriteLayers];
  uint32_t selected;
  std::vector<uint8_t> refused;  // per pool index: its transform could not be composed
  std::vector<uint8_t> listed;   // per pool index: found in a layer list
  Plane* background;             // restores the dirty region, or nullptr
  // The sprites changes can cover: shown, drawn and unchanged, in the
  // selected layers. Collecting changes never adds to them.
  std::vector<Sprite*> coverable;
  std::vector<PlaneRect> coverable_bounds;
};

bool Selected(uint32_t mask, int layer) { return (mask >> layer) & 1; }

// Adds r to the sprite's cover rectangles, cut so that they never overlap.
void AddCover(Sprite* s, const PlaneRect& r) {
  PlaneRect pieces[64];
  int count = 0;
  pieces[count++] = r;
  uint32_t at = s->cover;
  for (int steps = 0; steps < kCoverPool && count; ++steps) {
    CoverRect* c = CoverAt(at);
    if (!c) break;
    const PlaneRect e = c->rect;
    PlaneRect next[64];
    int kept = 0;
    for (int i = 0; i < count; ++i) {
      const PlaneRect& p = pieces[i];
      if (!Meets(p, e)) {
        if (kept < 64) next[kept++] = p;
        else cover_overflow = true;
        continue;
      }
      // Up to four pieces of p outside e: above, below, left, right.
      const PlaneRect parts[4] = {{p.left, p.top, p.right, std::max(p.top, e.top)},
                                  {p.left, std::min(p.bottom, e.bottom), p.right, p.bottom},
                                  {p.left, std::max(p.top, e.top), std::max(p.left, e.left), std::min(p.bottom, e.bottom)},
                                  {std::min(p.right, e.right), std::max(p.top, e.top), p.right, std::min(p.bottom, e.bottom)}};
      for (const PlaneRect& q : parts) {
        if (Empty(q)) continue;
        if (kept < 64) next[kept++] = q;
        else cover_overflow = true;
      }
    }
    std::copy(next, next + kept, pieces);
    count = kept;
    at = c->next;
  }
  if (count > kCoverPool - cover_used) cover_overflow = true;
  for (int i = 0; i < count && cover_used < kCoverPool; ++i) {
    CoverRect* c = reinterpret_cast<CoverRect*>(ToHost(cover_store)) + cover_used;
    c->rect = pieces[i];
    c->next = s->cover;
    s->cover = cover_store + static_cast<uint32_t>(cover_used) * sizeof(CoverRect);
    ++cover_used;
  }
  s->flags |= kSpriteCovered;
}

// Every shown, drawn, unchanged sprite of the selected layers that meets r
// is to be redrawn inside r.
bool Coverable(const Sprite* s) {
  return s->state == kSpriteShown && (s->flags & kSpriteDrawn) && !(s->flags & (kSpriteChanged | kSpriteAlways));
}

void Cover(DrawPass& pass, const PlaneRect& r) {
  // Once pieces were dropped with a background, the whole page is redrawn anyway.
  if (Empty(r) || (cover_overflow && pass.background)) return;
  for (size_t i = 0; i < pass.coverable.size(); ++i) {
    const PlaneRect& b = pass.coverable_bounds[i];
    if (Meets(b, r)) AddCover(pass.coverable[i], Intersection(b, r));
  }
}

void CoverAndAdd(DrawPass& pass, const PlaneRect& r) {
  Cover(pass, r);
  const PlaneRect visible = Intersection(r, pass.clip);
  // A collapsed list restores its whole union from the background: what lies
  // there is redrawn.
  if (!Empty(visible) && !DirtyListAdd(visible) && pass.background) Cover(pass, DirtyListAt(0));
}

// Children of changed parents are changed as well.
void MarkChangedChildren(uint32_t top, uint32_t marks) {
  uint32_t stack[kSpritePool];
  int depth = 0;
  stack[depth++] = top;
  mark[PoolIndex(top)] = marks;
  while (depth) {
    const Sprite* s = Record(stack[--depth]);
    const bool changed = s->flags & (kSpriteChanged | kSpriteAlways);
    const int count = ChildCount(s);
    for (int i = 0; i < count; ++i) {
      uint32_t child = ChildAt(s, i);
      int index = PoolIndex(child);
      if (index < 0 || mark[index] == marks) continue;
      mark[index] = marks;
      if (changed) Record(child)->flags |= kSpriteChanged;
      if (depth < kSpritePool) stack[depth++] = child;
    }
  }
}

void FreeRecord(uint32_t addr) {
  const int index = PoolIndex(addr);
  UnlinkFromLayer(addr);
  DetachFromParent(addr);
  FreeChildren(index);
  std::memset(Record(addr), 0, sizeof(Sprite));
}

void CollectChanges(DrawPass& pass, int layer) {
  for (uint32_t addr : pass.layers[layer]) {
    Sprite* s = Record(addr);
    const int index = PoolIndex(addr);
    if (s->state == kSpriteShown && !(s->flags & kSpriteDrawn)) {
      if (!Recompute(addr)) {
        pass.refused[index] = 1;
        continue;
      }
      if (Meets(s->bounds, pass.clip)) {
        s->flags |= kSpriteChanged;
        CoverAndAdd(pass, s->bounds);
      }
    } else if (s->state == kSpriteShown && (s->flags & (kSpriteChanged | kSpriteAlways))) {
      const PlaneRect old = s->bounds;
      if (!Recompute(addr)) {
        pass.refused[index] = 1;
        CoverAndAdd(pass, old);
        Unite(update_rect, old);
        continue;
      }
      if (!SameRect(old, s->bounds)) {
        CoverAndAdd(pass, old);
        Unite(update_rect, old);
      }
      CoverAndAdd(pass, s->bounds);
    } else if (s->state == kSpriteHidden && (s->flags & kSpriteDrawn)) {
      s->flags &= static_cast<uint16_t>(~(kSpriteChanged | kSpriteCovered | kSpriteDrawn));
      CoverAndAdd(pass, s->bounds);
      Unite(update_rect, s->bounds);
    }
  }
}

void DrawLayer(DrawPass& pass, Plane* page, int layer) {
  const bool selected = Selected(pass.selected, layer);
  for (uint32_t addr : pass.layers[layer]) {
    Sprite* s = Record(addr);
    if (s->flags & kSpriteReleased) {
      FreeRecord(addr);
      continue;
    }
    if (!selected) continue;
    if (s->state == kSpriteShown) {
      if (pass.refused[PoolIndex(addr)]) {
        s->flags &= static_cast<uint16_t>(~(kSpriteChanged | kSpriteCovered | kSpriteDrawn));
      } else if (s->flags & (kSpriteChanged | kSpriteAlways)) {
        s->flags &= static_cast<uint16_t>(~(kSpriteChanged | kSpriteCovered | kSpriteDrawn));
        const PlaneRect visible = Intersection(s->bounds, pass.clip);
        if (!Empty(visible)) {
          DrawOne(page, s);
          Unite(update_rect, visible);
          s->flags |= kSpriteDrawn;
        }
      } else if (s->flags & kSpriteCovered) {
        const PlaneRect saved = page->clip;
        uint32_t at = s->cover;
        for (int steps = 0; steps < kCoverPool; ++steps) {
          const CoverRect* c = CoverAt(at);
          if (!c) break;
          const PlaneRect piece = Intersection(c->rect, pass.clip);
          if (!Empty(piece)) {
            page->clip = piece;
            DrawOne(page, s);
            Unite(update_rect, piece);
          }
          at = c->next;
        }
        page->clip = saved;
        s->flags &= static_cast<uint16_t>(~(kSpriteChanged | kSpriteCovered));
      }
    } else if (s->state == kSpriteHidden && (s->flags & kSpriteDrawn)) {
      Unite(update_rect, s->bounds);
      s->flags &= static_cast<uint16_t>(~(kSpriteChanged | kSpriteCovered | kSpriteDrawn));
    }
  }
}

// ---- dirty-rectangle copy ----------------------------------------------------------

void CopySpan(Plane* dst, int32_t y, int32_t left, int32_t right, const Plane* src, int32_t dx, int32_t dy) {
  const int db = dst->bits / 8, sb = src->bits / 8;
  uint8_t* d = PlaneRow(dst, y) + static_cast<ptrdiff_t>(left) * db;
  const uint8_t* s = PlaneRow(src, y + dy) + static_cast<ptrdiff_t>(left + dx) * sb;
  const int n = right - left;
  if (db == sb) {
    std::memmove(d, s, static_cast<size_t>(n) * db);  // the two may be one plane
    return;
  }
  const uint32_t* table = PlaneColourTable(src);
  for (int i = 0; i < n; ++i, d += db) {
    const uint32_t c = table[s[i]];
    d[0] = static_cast<uint8_t>(c);
    d[1] = static_cast<uint8_t>(c >> 8);
    d[2] = static_cast<uint8_t>(c >> 16);
  }
}

}  // namespace

// ---- the dirty-rectangle list ------------------------------------------------------

void DirtyListClear() { dirty_count = 0; }

bool DirtyListAdd(const PlaneRect& given) {
  const PlaneRect r = Normalised(given);
  if (dirty_count < kDirtyCapacity) {
    dirty[dirty_count++] = r;
    return true;
  }
  PlaneRect all = r;
  for (int i = 0; i < dirty_count; ++i) Unite(all, dirty[i]);
  dirty[0] = all;
  dirty_count = 1;
  return false;
}

int DirtyListCount() { return dirty_count; }
PlaneRect DirtyListAt(int i) { return i >= 0 && i < dirty_count ? dirty[i] : PlaneRect{0, 0, 0, 0}; }

int DirtyListCopy(Plane* dst, int32_t x, int32_t y, Plane* src, const PlaneRect* source) {
  if (!dst || !src) {
    DirtyListClear();
    return 0;
  }
  const PlaneRect s = source ? Normalised(*source) : WholePlane(src);
  // The area on the destination, clipped by its clip and by the source plane.
  const int64_t shift_x = int64_t{s.left} - x, shift_y = int64_t{s.top} - y;  // source = destination + shift
  int64_t left = std::max<int64_t>(x, std::max(dst->clip.left, 0));
  int64_t top = std::max<int64_t>(y, std::max(dst->clip.top, 0));
  int64_t right = std::min<int64_t>(int64_t{x} + (int64_t{s.right} - s.left), std::min(dst->clip.right, dst->width));
  int64_t bottom = std::min<int64_t>(int64_t{y} + (int64_t{s.bottom} - s.top), std::min(dst->clip.bottom, dst->height));
  left = std::max(left, -shift_x);
  top = std::max(top, -shift_y);
  right = std::min(right, src->width - shift_x);
  bottom = std::min(bottom, src->height - shift_y);
  if (left >= right || top >= bottom) {
    DirtyListClear();
    return 0;
  }
  if (dirty_count == 0) return 1;
  const PlaneRect area{static_cast<int32_t>(left), static_cast<int32_t>(top), static_cast<int32_t>(right),
                       static_cast<int32_t>(bottom)};
  const int db = dst->bits / 8, sb = src->bits / 8;
  const bool copies = dst->bits >= 8 && src->bits >= 8 && (db == sb || (sb == 1 && db >= 3 && PlaneColourTable(src)));
  if (!copies) {
    DirtyListClear();
    return 1;
  }
  const int32_t dx = static_cast<int32_t>(shift_x), dy = static_cast<int32_t>(shift_y);
  std::vector<PlaneRect> rects;
  rects.reserve(dirty_count);
  for (int i = 0; i < dirty_count; ++i) {
    const PlaneRect r = Intersection(dirty[i], area);
    if (Empty(r)) continue;
    if (SameRect(r, area)) {
      rects.assign(1, area);
      break;
    }
    rects.push_back(r);
  }
  DirtyListClear();
  if (rects.empty()) return 1;
  // Bands between consecutive edges: the rectangles across a band are the
  // same on each of its rows, so its spans are merged once and each covered
  // pixel is copied once.
  std::vector<int32_t> edges;
  edges.reserve(rects.size() * 2);
  for (const PlaneRect& r : rects) {
    edges.push_back(r.top);
    edges.push_back(r.bottom);
  }
  std::sort(edges.begin(), edges.end());
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
  std::sort(rects.begin(), rects.end(), [](const PlaneRect& a, const PlaneRect& b) { return a.top < b.top; });
  std::vector<PlaneRect> active;  // ordered by left edge
  size_t next = 0;
  for (size_t e = 0; e + 1 < edges.size(); ++e) {
    const int32_t y0 = edges[e], y1 = edges[e + 1];
    std::erase_if(active, [y0](const PlaneRect& r) { return r.bottom <= y0; });
    for (; next < rects.size() && rects[next].top <= y0; ++next) {
      auto at = std::upper_bound(active.begin(), active.end(), rects[next].left,
                                 [](int32_t l, const PlaneRect& r) { return l < r.left; });
      active.insert(at, rects[next]);
    }
    int32_t span_left = 0, span_right = 0;
    bool open = false;
    auto flush = [&] {
      for (int32_t row = y0; row < y1; ++row) CopySpan(dst, row, span_left, span_right, src, dx, dy);
    };
    for (const PlaneRect& r : active) {
      if (open && r.left <= span_right) {
        span_right = std::max(span_right, r.right);
        continue;
      }
      if (open) flush();
      span_left = r.left;
      span_right = r.right;
      open = true;
    }
    if (open) flush();
  }
  return 1;
}

// ---- stores and sprites --------------------------------------------------------

Sprite* SpriteAt(uint32_t addr) { return PoolIndex(addr) >= 0 ? Record(addr) : nullptr; }
HitArea* HitAreaAt(uint32_t addr) { return HitPoolIndex(addr) >= 0 ? HitRecord(addr) : nullptr; }
uint32_t SpriteAddress(const Sprite* s) { return ToVm(s); }

namespace {

void ClearSpriteStore() {
  for (int i = 0; i < kSpritePool; ++i) FreeChildren(i);
  std::memset(ToHost(sprite_store), 0, (kSpriteLayers + kSpritePool + 1) * size_t{kSpriteSize});
  std::memset(ToHost(hit_store), 0, (kHitGroups + kHitPool) * size_t{kHitSize});
  std::memset(layer_origin_x, 0, sizeof layer_origin_x);
  std::memset(layer_origin_y, 0, sizeof layer_origin_y);
  DirtyListClear();
  cover_used = 0;
}

}  // namespace

void SpritesStart() {
  // New stores come zeroed, and nothing has used them: clearing them again
  // would only touch every page of them.
  const bool fresh = !sprite_store && !hit_store;
  if (!EnsureStores()) return;
  if (!fresh) ClearSpriteStore();
  default_flags = kSpriteAlways;
  background_plane = 0;
  background_x = background_y = 0;
  update_rect = {0, 0, 0, 0};
}

void SpritesStop() {
  if (sprite_store) ClearSpriteStore();
  update_rect = {0, 0, 0, 0};
}

int SpriteCount() {
  if (!sprite_store) return 0;
  int n = 0;
  for (int i = 0; i < kSpritePool; ++i) n += Record(PoolAddress(i))->state != kSpriteFree;
  return n;
}

uint32_t SetSprite(uint32_t layer, uint32_t state, int32_t x, int32_t y, uint32_t plane_number,
                   const PlaneRect* source, const BlitParams* params) {
  if (!EnsureStores()) return 0;
  const uint32_t spare = SpareAddress();
  std::memset(Record(spare), 0, sizeof(Sprite));
  if (layer >= kSpriteLayers || plane_number >= kPlaneCount) return spare;
  const Plane* plane = PlaneAt(plane_number);
  if (!source && !plane) return spare;
  int index = -1;
  for (int i = 0; i < kSpritePool; ++i) {
    if (Record(PoolAddress(i))->state == kSpriteFree) {
      index = i;
      break;
    }
  }
  if (index < 0) return spare;
  const uint32_t addr = PoolAddress(index);
  // A record whose state a script zeroed may still hang in a list or a family.
  UnlinkFromLayer(addr);
  DetachFromParent(addr);
  FreeChildren(index);
  Sprite* s = Record(addr);
  std::memset(s, 0, sizeof *s);
  s->state = static_cast<uint8_t>(state);
  s->layer = static_cast<uint8_t>(layer);
  s->flags = default_flags;
  if (g_runtime_settings.smoothing) s->flags |= kSpriteSmooth;
  s->x = x;
  s->y = y;
  s->plane = static_cast<int32_t>(plane_number);
  s->source = source ? *source : WholePlane(plane);
  if (params) s->params = *params;
  s->scale_x = s->scale_y = 0x10000;
  s->drawn_scale_x = s->drawn_scale_y = 0x10000;
  InsertAfter(LayerTail(static_cast<int>(layer)), addr);
  return addr;
}

namespace {

void FreeHitArea(uint32_t addr);

void ReleaseOne(uint32_t addr) {
  Sprite* s = Record(addr);
  s->flags |= kSpriteReleased;
  s->state = kSpriteHidden;
  uint32_t at = s->hit_areas;
  s->hit_areas = 0;
  for (int steps = 0; steps < kHitPool; ++steps) {
    HitArea* h = HitAreaAt(at);
    if (!h) break;
    const uint32_t next = h->next_of_sprite;
    if (h->sprite == addr) FreeHitArea(at);
    at = next;
  }
}

}  // namespace

int ResetSprite(uint32_t addr) {
  if (PoolIndex(addr) < 0) return 0;
  if (Record(addr)->state == kSpriteFree) return 1;  // nothing to release
  DetachFromParent(addr);
  // The family below it, children released last first, each array freed.
  const uint32_t marks = NewMarks();
  std::vector<uint32_t> pending{addr};
  mark[PoolIndex(addr)] = marks;
  while (!pending.empty()) {
    const uint32_t at = pending.back();
    pending.pop_back();
    const int index = PoolIndex(at);
    Sprite* s = Record(at);
    for (int i = ChildCount(s) - 1; i >= 0; --i) {
      const uint32_t child = ChildAt(s, i);
      const int c = PoolIndex(child);
      if (c < 0 || mark[c] == marks) continue;
      mark[c] = marks;
      Record(child)->parent = 0;
      pending.insert(pending.begin(), child);
    }
    FreeChildren(index);
    ReleaseOne(at);
  }
  return 1;
}

int LinkSprite(uint32_t parent, uint32_t child) {
  if (PoolIndex(parent) < 0 || PoolIndex(child) < 0) return 0;
  if (Record(parent)->state == kSpriteFree || Record(child)->state == kSpriteFree) return 0;
  // Refused when the child is the parent or one of its ancestors (a chain that
  // never ends counts as one that loops).
  bool cycle = child == parent;
  uint32_t at = Record(parent)->parent;
  for (int steps = 0; !cycle && PoolIndex(at) >= 0; ++steps) {
    if (at == child || steps >= kSpritePool) cycle = true;
    at = Record(at)->parent;
  }
  if (cycle) {
    // "LinkSprite : 循環参照してます。"
    ShowError(1, "LinkSprite : \x8f\x7a\x8a\xc2\x8e\x51\x8f\xc6\x82\xb5\x82\xc4\x82\xdc\x82\xb7\x81\x42");
    return 0;
  }
  DetachFromParent(child);
  if (!AppendChild(parent, child)) {
    // "LinkSprite : メモリの確保に失敗しました。"
    ShowError(1, "LinkSprite : \x83\x81\x83\x82\x83\x8a\x82\xcc\x8a\x6d\x95\xdb\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc"
                 "\x82\xb5\x82\xbd\x81\x42");
    return 0;
  }
  Record(child)->parent = parent;
  if (Record(child)->layer == Record(parent)->layer) {
    UnlinkFromLayer(child);
    InsertAfter(parent, child);
  }
  return 1;
}

int UnlinkSprite(uint32_t addr) {
  if (PoolIndex(addr) < 0) return 0;
  DetachFromParent(addr);
  return 1;
}

int SpriteRect(uint32_t addr, PlaneRect& out) {
  if (PoolIndex(addr) < 0) return 0;
  Placement p = Place(addr);
  if (!p.ok) return 0;
  out = p.destination;
  return 1;
}

int DrawSprites(uint32_t layer_mask, PlaneRect* changed) {
  Plane* page = PlaneAt(static_cast<uint32_t>(g_active_page));
  if (!page || !EnsureStores()) return 0;
  std::lock_guard lock(g_page_drawing_lock ? g_page_drawing_lock() : own_page_lock);
  // Kept from draw to draw so that a frame allocates nothing once they have grown.
  static DrawPass pass;
  pass.clip = Intersection(page->clip, WholePlane(page));
  pass.selected = layer_mask;
  pass.refused.assign(kSpritePool, 0);
  for (auto& layer : pass.layers) layer.clear();
  pass.coverable.clear();
  pass.coverable_bounds.clear();
  pass.background = static_cast<uint32_t>(background_plane) < kPlaneCount
                        ? PlaneAt(static_cast<uint32_t>(background_plane)) : nullptr;
  const uint32_t marks = NewMarks();
  pass.listed.assign(kSpritePool, 0);
  for (int layer = 0; layer < kSpriteLayers; ++layer) {
    CollectLayer(layer, marks, pass.layers[layer]);
    for (uint32_t addr : pass.layers[layer]) pass.listed[PoolIndex(addr)] = 1;
  }

  // Children of changed parents change; the cover rectangles start afresh.
  const uint32_t family_marks = NewMarks();
  for (int layer = 0; layer < kSpriteLayers; ++layer) {
    if (!Selected(layer_mask, layer)) continue;
    for (uint32_t addr : pass.layers[layer]) {
      Sprite* s = Record(addr);
      s->cover = 0;
      if (PoolIndex(s->parent) < 0 && ChildCount(s) > 0 && mark[PoolIndex(addr)] != family_marks)
        MarkChangedChildren(addr, family_marks);
    }
  }
  cover_used = 0;
  for (int layer = 0; layer < kSpriteLayers; ++layer) {
    if (!Selected(layer_mask, layer)) continue;
    for (uint32_t addr : pass.layers[layer]) {
      Sprite* s = Record(addr);
      if (!Coverable(s)) continue;
      pass.coverable.push_back(s);
      pass.coverable_bounds.push_back(s->bounds);
    }
  }

  cover_overflow = false;
  for (int layer = 0; layer < kSpriteLayers; ++layer)
    if (Selected(layer_mask, layer)) CollectChanges(pass, layer);
  // Without room for every cover piece the page is redrawn whole rather than
  // with holes where the background came back and nothing was drawn again.
  if (cover_overflow && pass.background) {
    DirtyListClear();
    DirtyListAdd(pass.clip);
    Unite(update_rect, pass.clip);
    for (Sprite* s : pass.coverable) s->flags |= kSpriteChanged;
  }

  if (static_cast<uint32_t>(background_plane) < kPlaneCount) {
    if (Plane* bg = pass.background) {
      const PlaneRect source{background_x, background_y, bg->width, bg->height};
      DirtyListCopy(page, 0, 0, bg, &source);
    } else {
      DirtyListClear();
    }
  }

  for (int layer = 0; layer < kSpriteLayers; ++layer) DrawLayer(pass, page, layer);
  // Released records that no list holds any more (a script unlinked them by
  // hand) return to the pool as well.
  for (int i = 0; i < kSpritePool; ++i) {
    const uint32_t addr = PoolAddress(i);
    if ((Record(addr)->flags & kSpriteReleased) && !pass.listed[i]) FreeRecord(addr);
  }

  const PlaneRect out = Intersection(update_rect, pass.clip);
  if (changed) *changed = Empty(out) ? PlaneRect{0, 0, 0, 0} : out;
  update_rect = {0, 0, 0, 0};
  return 1;
}

void SortSprites(uint32_t layer_mask, uint32_t key_flags) {
  if (!EnsureStores()) return;
  for (int layer = 0; layer < kSpriteLayers; ++layer) {
    if (!Selected(layer_mask, layer)) continue;
    std::vector<uint32_t> order;
    CollectLayer(layer, NewMarks(), order);
    const size_t n = order.size();
    if (n == 0) continue;
    std::vector<int64_t> keys(n);
    for (size_t i = 0; i < n; ++i) {
      int64_t key = 0;
      if (key_flags & 1) {
        uint32_t at = order[i];
        for (int steps = 0; steps <= kSpritePool && PoolIndex(at) >= 0; ++steps) {
          key += Shifted(Record(at)->y, Record(at)->fraction_bits);
          at = Record(at)->parent;
        }
      }
      if (key_flags & 2) key = key * 65536 + Record(order[i])->priority;
      keys[i] = key;
    }
    // At each position the first following record with a smaller key moves in
    // front, and the search goes on from the moved one. The fronts it passes
    // end up right behind it, most recent first, ahead of the rest.
    std::vector<size_t> idx(n);
    for (size_t i = 0; i < n; ++i) idx[i] = i;
    std::vector<size_t> fronts, rest;
    for (size_t i = 0; i < n; ++i) {
      fronts.assign(1, idx[i]);
      rest.clear();
      for (size_t k = i + 1; k < n; ++k) {
        if (keys[idx[k]] < keys[fronts.back()]) fronts.push_back(idx[k]);
        else rest.push_back(idx[k]);
      }
      if (fronts.size() == 1) continue;
      size_t w = i;
      idx[w++] = fronts.back();
      for (size_t f = fronts.size() - 1; f-- > 0;) idx[w++] = fronts[f];
      for (size_t r : rest) idx[w++] = r;
    }
    uint32_t prev = HeadAddress(layer);
    for (size_t i = 0; i < n; ++i) {
      const uint32_t addr = order[idx[i]];
      Record(prev)->next = addr;
      Record(addr)->previous = prev;
      prev = addr;
    }
    Record(prev)->next = 0;
  }
}

// ---- hit areas -------------------------------------------------------------------

namespace {

void UnlinkHit(uint32_t addr) {
  HitArea* h = HitRecord(addr);
  const uint32_t prev = h->previous, next = h->next;
  if (IsHitNode(prev) && HitRecord(prev)->next == addr) HitRecord(prev)->next = IsHitNode(next) ? next : 0;
  if (HitPoolIndex(next) >= 0 && HitRecord(next)->previous == addr) HitRecord(next)->previous = prev;
  h->previous = h->next = 0;
}

void FreeHitArea(uint32_t addr) {
  HitArea* h = HitRecord(addr);
  UnlinkHit(addr);
  std::memset(h, 0, sizeof *h);
}

// Removes an area from its sprite's list of hit areas.
void DetachHit(uint32_t addr) {
  HitArea* h = HitRecord(addr);
  Sprite* s = SpriteAt(h->sprite);
  if (!s) return;
  uint32_t* link = &s->hit_areas;
  for (int steps = 0; steps < kHitPool; ++steps) {
    if (*link == addr) {
      *link = h->next_of_sprite;
      return;
    }
    HitArea* at = HitAreaAt(*link);
    if (!at) return;
    link = &at->next_of_sprite;
  }
}

// The area's rectangle on the page: an attached area is offset by its sprite
// and the sprite's ancestors.
bool AreaRect(const HitArea* h, PlaneRect& out) {
  PlaneRect r = h->rect;
  if (h->sprite) {
    int64_t ox = 0, oy = 0;
    uint32_t at = h->sprite;
    for (int steps = 0; PoolIndex(at) >= 0; ++steps) {
      if (steps >= kSpritePool) return false;
      const Sprite* s = Record(at);
      ox += int64_t{Shifted(s->x, s->fraction_bits)} - s->pivot_x;
      oy += int64_t{Shifted(s->y, s->fraction_bits)} - s->pivot_y;
      at = s->parent;
    }
    r = {Coordinate(r.left + ox), Coordinate(r.top + oy), Coordinate(r.right + ox), Coordinate(r.bottom + oy)};
  }
  out = r;
  return true;
}

// A candidate of a test: in use, visible to tests and, when attached, on a
// shown sprite.
bool Candidate(const HitArea* h) {
  if (h->previous == 0 || h->mask == 0) return false;
  if (h->sprite) {
    const Sprite* s = SpriteAt(h->sprite);
    if (!s || s->state != kSpriteShown) return false;
  }
  return true;
}

template <typename Test>
uint32_t FirstArea(uint32_t groups, uint32_t self, Test test) {
  if (!hit_store) return 0;
  for (int group = 0; group < kHitGroups; ++group) {
    if (!((groups >> group) & 1)) continue;
    uint32_t at = HitRecord(HitHeadAddress(group))->next;
    for (int steps = 0; steps < kHitPool; ++steps) {
      HitArea* h = HitAreaAt(at);
      if (!h) break;
      PlaneRect r;
      if (at != self && Candidate(h) && AreaRect(h, r) && test(r)) return at;
      at = h->next;
    }
  }
  return 0;
}

}  // namespace

uint32_t SetHitArea(uint32_t group, int32_t mask, uint32_t sprite, const PlaneRect* rect, int32_t value) {
  if (group >= kHitGroups || !EnsureStores()) return 0;
  if (sprite && PoolIndex(sprite) < 0) return 0;
  int index = -1;
  for (int i = 0; i < kHitPool; ++i) {
    if (HitRecord(HitPoolAddress(i))->previous == 0) {
      index = i;
      break;
    }
  }
  if (index < 0) return 0;
  const uint32_t addr = HitPoolAddress(index);
  HitArea* h = HitRecord(addr);
  std::memset(h, 0, sizeof *h);
  h->group = static_cast<int32_t>(group);
  h->mask = mask;
  h->value = value;
  h->sprite = sprite;
  if (rect) {
    h->rect = *rect;
  } else if (sprite) {
    const Sprite* s = Record(sprite);
    h->rect = {0, 0, Coordinate(int64_t{s->source.right} - s->source.left),
               Coordinate(int64_t{s->source.bottom} - s->source.top)};
  }
  // Append to the group's list.
  uint32_t tail = HitHeadAddress(static_cast<int>(group));
  for (int steps = 0; steps < kHitPool; ++steps) {
    const uint32_t next = HitRecord(tail)->next;
    if (HitPoolIndex(next) < 0 || next == addr) break;
    tail = next;
  }
  HitRecord(tail)->next = addr;
  h->previous = tail;
  if (sprite) {
    Sprite* s = Record(sprite);
    h->next_of_sprite = HitPoolIndex(s->hit_areas) >= 0 ? s->hit_areas : 0;
    s->hit_areas = addr;
  }
  return addr;
}

int ResetHitArea(uint32_t addr) {
  if (HitPoolIndex(addr) < 0) return 0;
  DetachHit(addr);
  FreeHitArea(addr);
  return 1;
}

void ClearHitGroups(uint32_t groups) {
  if (!hit_store) return;
  // What the selected lists hold, then whatever claims one of those groups.
  for (int group = 0; group < kHitGroups; ++group) {
    if (!((groups >> group) & 1)) continue;
    std::vector<uint32_t> members;
    uint32_t at = HitRecord(HitHeadAddress(group))->next;
    for (int steps = 0; steps < kHitPool && HitPoolIndex(at) >= 0; ++steps) {
      members.push_back(at);
      at = HitRecord(at)->next;
    }
    for (uint32_t addr : members) {
      if (HitRecord(addr)->previous == 0) continue;
      DetachHit(addr);
      FreeHitArea(addr);
    }
  }
  for (int i = 0; i < kHitPool; ++i) {
    const uint32_t addr = HitPoolAddress(i);
    HitArea* h = HitRecord(addr);
    if (h->previous == 0 || h->group < 0 || h->group >= kHitGroups || !((groups >> h->group) & 1)) continue;
    DetachHit(addr);
    FreeHitArea(addr);
  }
  for (int group = 0; group < kHitGroups; ++group)
    if ((groups >> group) & 1) HitRecord(HitHeadAddress(group))->next = 0;
}

uint32_t CheckHitArea(uint32_t addr) {
  HitArea* h = HitAreaAt(addr);
  if (!h || h->previous == 0 || h->mask == 0) return 0;
  PlaneRect self;
  if (!AreaRect(h, self)) return 0;
  return FirstArea(static_cast<uint32_t>(h->mask), addr, [&](const PlaneRect& r) { return Meets(self, r); });
}

uint32_t HitRect(const PlaneRect& rect, uint32_t groups) {
  return FirstArea(groups, 0, [&](const PlaneRect& r) { return Meets(rect, r); });
}

uint32_t HitPoint(int32_t x, int32_t y, uint32_t groups) {
  return FirstArea(groups, 0,
                   [&](const PlaneRect& r) { return r.left <= x && x < r.right && r.top <= y && y < r.bottom; });
}

// ---- builtins ----------------------------------------------------------------------

uint32_t builtin_sp_flag(BuiltinArgs args) {
  const uint16_t previous = default_flags;
  default_flags = static_cast<uint16_t>(args.u(0));
  return previous;
}

uint32_t builtin_sp_init(BuiltinArgs args) {
  const uint32_t mask = args.u(0);
  if (!EnsureStores()) return 0;
  if (mask == 0xFFFFFFFFu) {
    ClearSpriteStore();
    return 1;
  }
  for (int layer = 0; layer < kSpriteLayers; ++layer) {
    if (!Selected(mask, layer)) continue;
    std::vector<uint32_t> members;
    CollectLayer(layer, NewMarks(), members);
    for (uint32_t addr : members)
      if (Record(addr)->state != kSpriteFree) ResetSprite(addr);
  }
  return 1;
}

uint32_t builtin_sp_setbg(BuiltinArgs args) {
  const int32_t previous = background_plane;
  background_plane = args.i(0);
  DirtyListClear();
  background_x = background_y = 0;
  const Plane* bg = args.u(0) < kPlaneCount ? PlaneAt(args.u(0)) : nullptr;
  if (args.u(0) < kPlaneCount) {
    update_rect = bg ? WholePlane(bg) : PlaneRect{0, 0, 0, 0};
    if (bg) DirtyListAdd(update_rect);
  } else {
    const Plane* page = PlaneAt(static_cast<uint32_t>(g_active_page));
    update_rect = page ? WholePlane(page) : PlaneRect{0, 0, 0, 0};
  }
  return static_cast<uint32_t>(previous);
}

uint32_t builtin_sp_getbg(BuiltinArgs) { return static_cast<uint32_t>(background_plane); }

uint32_t builtin_sp_redraw(BuiltinArgs args) {
  const uint32_t mask = args.u(0);
  if (!EnsureStores()) return 0;
  for (int layer = 0; layer < kSpriteLayers; ++layer) {
    if (!Selected(mask, layer)) continue;
    std::vector<uint32_t> members;
    CollectLayer(layer, NewMarks(), members);
    for (uint32_t addr : members) {
      Sprite* s = Record(addr);
      if (s->state == kSpriteHidden && !(s->flags & kSpriteDrawn)) continue;
      s->flags |= kSpriteChanged;
    }
  }
  if (static_cast<uint32_t>(background_plane) < kPlaneCount && PlaneAt(static_cast<uint32_t>(background_plane)))
    if (const Plane* page = PlaneAt(static_cast<uint32_t>(g_active_page))) DirtyListAdd(WholePlane(page));
  return 1;
}

uint32_t builtin_sp_set(BuiltinArgs args) {
  PlaneRect source;
  BlitParams params;
  const bool has_source = args.u(5) != 0, has_params = args.u(6) != 0;
  if (has_source) source = ReadRect(args.u(5));
  if (has_params) params = ReadBlitParams(args.u(6));
  return SetSprite(args.u(0), args.u(1), args.i(2), args.i(3), args.u(4), has_source ? &source : nullptr,
                   has_params ? &params : nullptr);
}

uint32_t builtin_sp_reset(BuiltinArgs args) { return static_cast<uint32_t>(ResetSprite(args.u(0))); }
uint32_t builtin_sp_link(BuiltinArgs args) { return static_cast<uint32_t>(LinkSprite(args.u(0), args.u(1))); }
uint32_t builtin_sp_unlink(BuiltinArgs args) { return static_cast<uint32_t>(UnlinkSprite(args.u(0))); }

uint32_t builtin_sp_draw(BuiltinArgs args) {
  PlaneRect changed;
  if (!DrawSprites(args.u(0), &changed)) return 0;
  if (args.u(1) && InArena(args.u(1), sizeof changed)) std::memcpy(ToHost(args.u(1)), &changed, sizeof changed);
  return 1;
}

uint32_t builtin_sp_bgorg(BuiltinArgs args) {
  background_x = args.i(0);
  background_y = args.i(1);
  if (static_cast<uint32_t>(background_plane) < kPlaneCount) {
    if (const Plane* bg = PlaneAt(static_cast<uint32_t>(background_plane))) {
      update_rect = WholePlane(bg);
      DirtyListAdd(update_rect);
    }
  }
  return 1;
}

uint32_t builtin_sp_org(BuiltinArgs args) {
  const uint32_t mask = args.u(0);
  for (int layer = 0; layer < kSpriteLayers; ++layer) {
    if (!Selected(mask, layer)) continue;
    layer_origin_x[layer] = args.i(1);
    layer_origin_y[layer] = args.i(2);
  }
  return 1;
}

uint32_t builtin_sp_sort(BuiltinArgs args) {
  SortSprites(args.u(0), args.u(1));
  return 1;
}

uint32_t builtin_sp_rect(BuiltinArgs args) {
  PlaneRect r;
  if (!args.u(1) || !InArena(args.u(1), sizeof r) || !SpriteRect(args.u(0), r)) return 0;
  std::memcpy(ToHost(args.u(1)), &r, sizeof r);
  return 1;
}

uint32_t builtin_drt_init(BuiltinArgs) {
  DirtyListClear();
  return 1;
}

uint32_t builtin_drt_set(BuiltinArgs args) {
  if (!args.u(0)) return 0;
  return DirtyListAdd(ReadRect(args.u(0))) ? 1 : 0;
}

uint32_t builtin_drt_copy(BuiltinArgs args) {
  PlaneRect source;
  const bool has_source = args.u(4) != 0;
  if (has_source) source = ReadRect(args.u(4));
  return static_cast<uint32_t>(DirtyListCopy(PlaneAt(args.u(0)), args.i(1), args.i(2), PlaneAt(args.u(3)),
                                         has_source ? &source : nullptr));
}

uint32_t builtin_hit_init(BuiltinArgs args) {
  ClearHitGroups(args.u(0));
  return 1;
}

uint32_t builtin_hit_set(BuiltinArgs args) {
  PlaneRect rect;
  const bool has_rect = args.u(3) != 0;
  if (has_rect) rect = ReadRect(args.u(3));
  return SetHitArea(args.u(0), args.i(1), args.u(2), has_rect ? &rect : nullptr, args.i(4));
}

uint32_t builtin_hit_reset(BuiltinArgs args) { return static_cast<uint32_t>(ResetHitArea(args.u(0))); }
uint32_t builtin_hit_check(BuiltinArgs args) { return CheckHitArea(args.u(0)); }
uint32_t builtin_hit_rect(BuiltinArgs args) {
  if (!args.u(0)) return 0;
  return HitRect(ReadRect(args.u(0)), args.u(1));
}
uint32_t builtin_hit_point(BuiltinArgs args) { return HitPoint(args.i(0), args.i(1), args.u(2)); }
