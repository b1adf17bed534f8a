// The script clock with its stopwatches and frame counter, and the rectangle
// builtins against hand-computed cases.
#include <ctime>
#include <thread>

#include "builtins_fixture.h"
#include "platform/clock.h"
#include "runtime/clock_builtins.h"
#include "runtime/rectangle_builtins.h"

namespace {

using ClockTest = BuiltinsTest;

TEST_F(ClockTest, StopwatchesCountFromTheirBaseAndRefuseNumbersOutside) {
  ScriptClockStart();
  // Base 0: the system's uptime.
  uint32_t uptime = TickCount();
  EXPECT_LE(Call(builtin_getcount, {5}) - uptime, 1000u);
  EXPECT_EQ(Call(builtin_setcount, {5, static_cast<uint32_t>(-1000)}), 1u);
  EXPECT_GE(static_cast<int32_t>(Call(builtin_getcount, {5})), -1000);
  EXPECT_LT(static_cast<int32_t>(Call(builtin_getcount, {5})), 0);
  for (uint32_t n : {256u, static_cast<uint32_t>(-1), 0x80000000u}) {
    EXPECT_EQ(Call(builtin_getcount, {n}), 0u) << n;
    EXPECT_EQ(Call(builtin_setcount, {n, 0}), 0u) << n;
  }
}

TEST_F(ClockTest, TheClockStandsStillWhilePausedAndNests) {
  ScriptClockStart();
  Call(builtin_setcount, {7, 0});
  PauseScriptClock();
  PauseScriptClock();
  uint32_t frozen = Call(builtin_getcount, {7});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Call(builtin_getcount, {7}), frozen);
  EXPECT_EQ(ResumeScriptClock(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Call(builtin_getcount, {7}), frozen);  // still one pause outstanding
  EXPECT_EQ(ResumeScriptClock(), 1);
  EXPECT_EQ(ResumeScriptClock(), 0);  // nothing left to resume
  // The 200 paused milliseconds never count: the watch goes on from where it stood.
  EXPECT_LT(Call(builtin_getcount, {7}) - frozen, 150u);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GE(Call(builtin_getcount, {7}) - frozen, 15u);
}

TEST_F(ClockTest, FpsReportsTheCallsOfTheLastCompletedSecond) {
  // After a pause longer than a second the next call opens a new window;
  // the call that opens one is not counted.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Call(builtin_fps, {});
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Call(builtin_fps, {}), 0u) << "within the first window";
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(Call(builtin_fps, {}), 5u);
  EXPECT_EQ(Call(builtin_fps, {}), 5u);  // the previous window's count, until the next one closes
}

TEST_F(ClockTest, GettimeFillsTheLocalDateAndTime) {
  uint32_t rec = Block(16, 0xEE);
  EXPECT_EQ(Call(builtin_gettime, {rec}), 1u);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  uint16_t w[8];
  std::memcpy(w, ToHost(rec), 16);
  EXPECT_EQ(w[0], local.tm_year + 1900);
  EXPECT_EQ(w[1], local.tm_mon + 1);
  EXPECT_LE(w[2], 6);
  EXPECT_GE(w[3], 1);
  EXPECT_LE(w[7], 999);
  EXPECT_EQ(Call(builtin_gettime, {0}), 0u);
}

using RectangleTest = BuiltinsTest;

struct RectCase {
  const char* what;
  BuiltinHandler handler;
  int32_t a[4], b[4];
  uint32_t result;
  int32_t out[4];
};

TEST_F(RectangleTest, IntersectAndUnionFollowThePlatformRules) {
  const RectCase cases[] = {
      {"overlap", builtin_rc_intersect, {0, 0, 10, 10}, {5, 5, 20, 20}, 1, {5, 5, 10, 10}},
      {"touching edges do not overlap", builtin_rc_intersect, {0, 0, 10, 10}, {10, 0, 20, 10}, 0, {0, 0, 0, 0}},
      {"disjoint", builtin_rc_intersect, {0, 0, 5, 5}, {7, 7, 9, 9}, 0, {0, 0, 0, 0}},
      {"inverted is empty, not normalised", builtin_rc_intersect, {10, 10, 0, 0}, {0, 0, 20, 20}, 0, {0, 0, 0, 0}},
      {"contained", builtin_rc_intersect, {-5, -5, 5, 5}, {-1, -2, 1, 2}, 1, {-1, -2, 1, 2}},
      {"bounding box", builtin_rc_union, {0, 0, 10, 10}, {5, -5, 20, 5}, 1, {0, -5, 20, 10}},
      {"an empty one is ignored", builtin_rc_union, {3, 3, 3, 9}, {1, 2, 4, 5}, 1, {1, 2, 4, 5}},
      {"an inverted one is ignored", builtin_rc_union, {1, 2, 4, 5}, {50, 50, 40, 60}, 1, {1, 2, 4, 5}},
      {"both empty", builtin_rc_union, {0, 0, 0, 0}, {5, 5, 5, 5}, 0, {0, 0, 0, 0}},
  };
  for (const RectCase& c : cases) {
    uint32_t dst = Block(16, 0x55), a = Block(16), b = Block(16);
    std::memcpy(ToHost(a), c.a, 16);
    std::memcpy(ToHost(b), c.b, 16);
    EXPECT_EQ(Call(c.handler, {dst, a, b}), c.result) << c.what;
    EXPECT_EQ(std::memcmp(ToHost(dst), c.out, 16), 0) << c.what;
    // The destination may be one of the sources.
    EXPECT_EQ(Call(c.handler, {a, a, b}), c.result) << c.what;
    EXPECT_EQ(std::memcmp(ToHost(a), c.out, 16), 0) << c.what;
    EXPECT_EQ(Call(c.handler, {0, a, b}), 0u);
    EXPECT_EQ(Call(c.handler, {dst, 0, b}), 0u);
    EXPECT_EQ(Call(c.handler, {dst, a, 0}), 0u);
  }
}

TEST_F(RectangleTest, SettersMovesAndTests) {
  uint32_t r = Block(16), s = Block(16);
  auto fields = [&](uint32_t at) {
    std::vector<int32_t> v(4);
    std::memcpy(v.data(), ToHost(at), 16);
    return v;
  };
  EXPECT_EQ(Call(builtin_rc_set, {r, 1, 2, 3, 4}), 1u);
  EXPECT_EQ(fields(r), (std::vector<int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(Call(builtin_rc_setwh, {r, 10, 20, 5, static_cast<uint32_t>(-3)}), 1u);
  EXPECT_EQ(fields(r), (std::vector<int32_t>{10, 20, 15, 17}));
  EXPECT_EQ(Call(builtin_rc_check, {r}), 1u);  // bottom above top: empty
  EXPECT_EQ(Call(builtin_rc_move, {r, static_cast<uint32_t>(-10), 3}), 1u);
  EXPECT_EQ(fields(r), (std::vector<int32_t>{0, 23, 5, 20}));
  EXPECT_EQ(Call(builtin_rc_inflate, {r, 2, 5}), 1u);
  EXPECT_EQ(fields(r), (std::vector<int32_t>{-2, 18, 7, 25}));
  EXPECT_EQ(Call(builtin_rc_copy, {s, r}), 1u);
  EXPECT_EQ(fields(s), fields(r));
  EXPECT_EQ(Call(builtin_rc_check, {r}), 0u);
  // Wrapping sums, never a trap.
  EXPECT_EQ(Call(builtin_rc_setwh, {r, 0x7FFFFFFF, 0, 1, 1}), 1u);
  EXPECT_EQ(fields(r)[2], INT32_MIN);
  EXPECT_EQ(Call(builtin_rc_empty, {r}), 1u);
  EXPECT_EQ(fields(r), (std::vector<int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(Call(builtin_rc_check, {r}), 1u);

  Call(builtin_rc_set, {r, 0, 0, 10, 10});
  struct Point {
    int32_t x, y;
    uint32_t inside;
  } points[] = {{0, 0, 1}, {9, 9, 1}, {10, 5, 0}, {5, 10, 0}, {-1, 5, 0}};
  for (const Point& p : points)
    EXPECT_EQ(Call(builtin_rc_in, {r, static_cast<uint32_t>(p.x), static_cast<uint32_t>(p.y)}), p.inside) << p.x << "," << p.y;

  // A null rectangle: refused, and counted as empty by rc_check.
  for (BuiltinHandler h : {builtin_rc_empty, builtin_rc_set, builtin_rc_setwh, builtin_rc_move, builtin_rc_inflate, builtin_rc_in})
    EXPECT_EQ(Call(h, {0, 1, 1, 1, 1}), 0u);
  EXPECT_EQ(Call(builtin_rc_copy, {r, 0}), 0u);
  EXPECT_EQ(Call(builtin_rc_copy, {0, r}), 0u);
  EXPECT_EQ(Call(builtin_rc_check, {0}), 1u);
}

}  // namespace
