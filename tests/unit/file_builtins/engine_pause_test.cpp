// The host's pause of the whole engine (focus lost) freezes the script clock.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/main_window.h"
#include "runtime/clock_builtins.h"

TEST(EnginePauseTest, TheScriptClockStandsStillWhileTheEngineIsPaused) {
  ScriptClockStart();
  PauseEngine();
  uint32_t frozen = ScriptClock();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(ScriptClock(), frozen);
  ResumeEngine();
  EXPECT_LT(ScriptClock() - frozen, 100u);  // the paused time is not counted
  EXPECT_EQ(ResumeScriptClock(), 0);       // the host's resume ended the pause
}
