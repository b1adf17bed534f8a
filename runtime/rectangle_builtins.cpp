#include "runtime/rectangle_builtins.h"

#include <algorithm>
#include <cstring>

namespace {

struct Rect {
  int32_t left, top, right, bottom;
};

Rect Load(uint32_t addr) {
  Rect r;
  std::memcpy(&r, ToHost(addr), sizeof r);
  return r;
}

void Store(uint32_t addr, const Rect& r) { std::memcpy(ToHost(addr), &r, sizeof r); }

bool Empty(const Rect& r) { return r.right <= r.left || r.bottom <= r.top; }

// Sums wrap like the platform's 32-bit arithmetic instead of overflowing.
int32_t Add(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b)); }
int32_t Sub(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)); }

}  // namespace

uint32_t builtin_rc_empty(BuiltinArgs args) {
  if (args.u(0) == 0) return 0;
  Store(args.u(0), {0, 0, 0, 0});
  return 1;
}

uint32_t builtin_rc_set(BuiltinArgs args) {
  if (args.u(0) == 0) return 0;
  Store(args.u(0), {args.i(1), args.i(2), args.i(3), args.i(4)});
  return 1;
}

uint32_t builtin_rc_setwh(BuiltinArgs args) {
  if (args.u(0) == 0) return 0;
  int32_t x = args.i(1), y = args.i(2);
  Store(args.u(0), {x, y, Add(x, args.i(3)), Add(y, args.i(4))});
  return 1;
}

uint32_t builtin_rc_copy(BuiltinArgs args) {
  if (args.u(0) == 0 || args.u(1) == 0) return 0;
  Store(args.u(0), Load(args.u(1)));
  return 1;
}

uint32_t builtin_rc_move(BuiltinArgs args) {
  if (args.u(0) == 0) return 0;
  Rect r = Load(args.u(0));
  int32_t dx = args.i(1), dy = args.i(2);
  Store(args.u(0), {Add(r.left, dx), Add(r.top, dy), Add(r.right, dx), Add(r.bottom, dy)});
  return 1;
}

uint32_t builtin_rc_intersect(BuiltinArgs args) {
  if (args.u(0) == 0 || args.u(1) == 0 || args.u(2) == 0) return 0;
  Rect a = Load(args.u(1)), b = Load(args.u(2));
  Rect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
  if (Empty(a) || Empty(b) || Empty(r)) {
    Store(args.u(0), {0, 0, 0, 0});
    return 0;
  }
  Store(args.u(0), r);
  return 1;
}

uint32_t builtin_rc_union(BuiltinArgs args) {
  if (args.u(0) == 0 || args.u(1) == 0 || args.u(2) == 0) return 0;
  Rect a = Load(args.u(1)), b = Load(args.u(2));
  if (Empty(a) && Empty(b)) {
    Store(args.u(0), {0, 0, 0, 0});
    return 0;
  }
  if (Empty(a)) {
    Store(args.u(0), b);
  } else if (Empty(b)) {
    Store(args.u(0), a);
  } else {
    Store(args.u(0),
          {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right), std::max(a.bottom, b.bottom)});
  }
  return 1;
}

uint32_t builtin_rc_inflate(BuiltinArgs args) {
  if (args.u(0) == 0) return 0;
  Rect r = Load(args.u(0));
  int32_t dx = args.i(1), dy = args.i(2);
  Store(args.u(0), {Sub(r.left, dx), Sub(r.top, dy), Add(r.right, dx), Add(r.bottom, dy)});
  return 1;
}

uint32_t builtin_rc_in(BuiltinArgs args) {
  if (args.u(0) == 0) return 0;
  Rect r = Load(args.u(0));
  int32_t x = args.i(1), y = args.i(2);
  return r.left <= x && x < r.right && r.top <= y && y < r.bottom ? 1 : 0;
}

uint32_t builtin_rc_check(BuiltinArgs args) {
  if (args.u(0) == 0) return 1;  // no rectangle counts as empty, as the platform has it
  return Empty(Load(args.u(0))) ? 1 : 0;
}
