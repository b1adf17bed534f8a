#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "input/typed_characters.h"
#include "platform/window_thread.h"

namespace {

std::atomic<std::thread::id> ran_on;

uint32_t Echo(uint32_t number, uintptr_t w, uintptr_t l) {
  ran_on = std::this_thread::get_id();
  return static_cast<uint32_t>(number * 1000 + w + l);
}

TEST(EngineMessages, RunOnTheWindowThreadAndReturnTheirResult) {
  BecomeWindowThread();
  SetEngineMessageHandler(Echo);
  EnableEngineMessages(true);
  std::atomic<int> wrong{0}, finished{0};
  std::vector<std::thread> senders;
  for (uint32_t t = 0; t < 4; ++t) {
    senders.emplace_back([t, &wrong, &finished] {
      for (uint32_t i = 0; i < 200; ++i) {
        if (SendEngineMessage(1124 + t, i, 1) != (1124 + t) * 1000 + i + 1) ++wrong;
        if (ran_on.load() == std::this_thread::get_id()) ++wrong;
      }
      ++finished;
    });
  }
  while (finished < 4) ServeEngineMessages();
  for (auto& s : senders) s.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(SendEngineMessage(1200, 1, 2), 1200u * 1000 + 3);  // on the window thread: at once
  EXPECT_EQ(ran_on.load(), std::this_thread::get_id());
  EnableEngineMessages(false);
  EXPECT_EQ(SendEngineMessage(1200, 1, 2), 0u);  // no engine procedure: the default answer
  SetEngineMessageHandler(nullptr);
}

TEST(EngineMessages, CallsRunOnTheWindowThreadBeforeTheCallerGoesOn) {
  BecomeWindowThread();
  EnableEngineMessages(false);  // calls do not depend on the engine procedure
  static std::atomic<int> runs{0};
  std::atomic<int> seen_after{-1};
  std::thread caller([&] {
    CallOnWindowThread(
        [](uintptr_t add) {
          ran_on = std::this_thread::get_id();
          runs += static_cast<int>(add);
        },
        5);
    seen_after = runs.load();
  });
  while (seen_after < 0) ServeEngineMessages();
  caller.join();
  EXPECT_EQ(seen_after, 5);
  EXPECT_EQ(ran_on.load(), std::this_thread::get_id());
}

TEST(EngineMessages, PostedCallsRunInOrderAndOnesNeverServedAreNotLeaked) {
  BecomeWindowThread();
  static std::vector<uintptr_t> order;
  order.clear();
  std::thread poster([] {
    for (uintptr_t i = 1; i <= 3; ++i) PostToWindowThread([](uintptr_t i) { order.push_back(i); }, i);
  });
  poster.join();
  EXPECT_TRUE(order.empty());  // posting returns at once; nothing runs before the window thread serves
  EXPECT_EQ(ServeEngineMessages(), 3);
  EXPECT_EQ(order, (std::vector<uintptr_t>{1, 2, 3}));
  // A call posted after the window thread's last serving (a video picture
  // arriving as the engine ends) stays queued; the leak checker of the
  // sanitizer run sees it if that costs memory.
  std::thread late([] { PostToWindowThread([](uintptr_t) {}, 0); });
  late.join();
}

TEST(TypedCharacters, RingKeepsTheLast511) {
  builtin_key_init({});
  for (int i = 0; i < 600; ++i) StoreTypedByte(static_cast<uint8_t>('a' + i % 26));
  std::string got;
  while (uint32_t c = builtin_key_get({})) got += static_cast<char>(c);
  ASSERT_EQ(got.size(), 511u);
  EXPECT_EQ(got.front(), 'a' + (600 - 511) % 26);
  EXPECT_EQ(got.back(), 'a' + 599 % 26);
}

TEST(TypedCharacters, TextArrivesAsShiftJisAndLeadBytesComeBackNegative) {
  builtin_key_init({});
  StoreTypedText("A\xE3\x81\x82");  // "A" then hiragana a: 0x82 0xA0
  EXPECT_EQ(builtin_key_get({}), uint32_t{'A'});
  EXPECT_EQ(static_cast<int32_t>(builtin_key_get({})), static_cast<int8_t>(0x82));
  EXPECT_EQ(static_cast<int32_t>(builtin_key_get({})), static_cast<int8_t>(0xA0));
  EXPECT_EQ(builtin_key_get({}), 0u);
  StoreTypedText("x");
  builtin_key_init({});
  EXPECT_EQ(builtin_key_get({}), 0u);
}

}  // namespace
