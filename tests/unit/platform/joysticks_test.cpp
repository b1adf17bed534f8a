// Joystick slots on SDL's virtual devices: attaching in order, a controller's
// stick and D-pad, a plain joystick's hat, unplugging and a fifth device.
#include <SDL.h>
#include <gtest/gtest.h>

#include <vector>

#include "platform/window.h"
#include "platform/window_internal.h"

namespace {

struct Report {
  int slot;
  bool present;
  int32_t x, y;
  uint32_t buttons;
};
std::vector<Report> reports;
void Changed(int slot, bool present, int32_t x, int32_t y, uint32_t buttons) {
  reports.push_back({slot, present, x, y, buttons});
}

class Joysticks : public testing::Test {
 protected:
  void SetUp() override {
    SDL_SetHint(SDL_HINT_JOYSTICK_HIDAPI, "0");  // only the virtual devices of the test
    reports.clear();
    StartJoysticks("", Changed);
    ASSERT_NE(SDL_WasInit(SDL_INIT_JOYSTICK), 0u) << SDL_GetError();
    Pump();
    reports.clear();  // devices of the machine, if any, are not the test's
  }
  void TearDown() override {
    for (int index : virtual_) SDL_JoystickDetachVirtual(index);
    StopJoysticks();
  }
  // Attaches a virtual device; its device index.
  int Attach(SDL_JoystickType type, int axes, int buttons, int hats) {
    int index = SDL_JoystickAttachVirtual(type, axes, buttons, hats);
    EXPECT_GE(index, 0) << SDL_GetError();
    virtual_.push_back(index);
    Pump();
    return index;
  }
  SDL_Joystick* Device(int n) { return SDL_JoystickFromInstanceID(SDL_JoystickGetDeviceInstanceID(virtual_[n])); }
  static void Pump() {
    SDL_JoystickUpdate();
    SDL_PumpEvents();
    SDL_Event e;
    while (SDL_PollEvent(&e)) HandleJoystickEvent(e);
  }
  std::vector<int> virtual_;
};

TEST_F(Joysticks, PlainJoysticksFillTheSlotsInOrderAndTheirHatOverridesTheAxes) {
  Attach(SDL_JOYSTICK_TYPE_UNKNOWN, 2, 4, 1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].slot, 0);
  EXPECT_TRUE(reports[0].present);

  SDL_Joystick* j = Device(0);
  ASSERT_NE(j, nullptr);
  reports.clear();
  SDL_JoystickSetVirtualAxis(j, 0, 12000);
  SDL_JoystickSetVirtualAxis(j, 1, -300);
  SDL_JoystickSetVirtualButton(j, 2, 1);
  Pump();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().x, 12000);
  EXPECT_EQ(reports.back().y, -300);
  EXPECT_EQ(reports.back().buttons, 4u);
  SDL_JoystickSetVirtualHat(j, 0, SDL_HAT_LEFTDOWN);
  Pump();
  EXPECT_EQ(reports.back().x, -32768);
  EXPECT_EQ(reports.back().y, 32767);
}

TEST_F(Joysticks, AControllerGivesItsLeftStickAndButtonsAndItsDPadOverridesTheStick) {
  const int index = Attach(SDL_JOYSTICK_TYPE_GAMECONTROLLER, SDL_CONTROLLER_AXIS_MAX, SDL_CONTROLLER_BUTTON_MAX, 0);
  ASSERT_TRUE(SDL_IsGameController(index));
  SDL_Joystick* j = Device(0);
  ASSERT_NE(j, nullptr);
  reports.clear();
  SDL_JoystickSetVirtualAxis(j, SDL_CONTROLLER_AXIS_LEFTX, -20000);
  SDL_JoystickSetVirtualAxis(j, SDL_CONTROLLER_AXIS_LEFTY, 9000);
  SDL_JoystickSetVirtualAxis(j, SDL_CONTROLLER_AXIS_RIGHTX, 32767);  // not the stick scripts see
  SDL_JoystickSetVirtualButton(j, SDL_CONTROLLER_BUTTON_A, 1);
  SDL_JoystickSetVirtualButton(j, SDL_CONTROLLER_BUTTON_START, 1);
  Pump();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().x, -20000);
  EXPECT_EQ(reports.back().y, 9000);
  EXPECT_EQ(reports.back().buttons, (1u << SDL_CONTROLLER_BUTTON_A) | (1u << SDL_CONTROLLER_BUTTON_START));
  SDL_JoystickSetVirtualButton(j, SDL_CONTROLLER_BUTTON_DPAD_RIGHT, 1);
  SDL_JoystickSetVirtualButton(j, SDL_CONTROLLER_BUTTON_DPAD_UP, 1);
  Pump();
  EXPECT_EQ(reports.back().x, 32767);
  EXPECT_EQ(reports.back().y, -32768);
}

TEST_F(Joysticks, AFifthDeviceIsLeftAloneAndAFreedSlotIsTakenByTheNext) {
  for (int i = 0; i < 5; ++i) Attach(SDL_JOYSTICK_TYPE_UNKNOWN, 2, 1, 0);
  std::vector<int> attached;
  for (const Report& r : reports) attached.push_back(r.slot);
  EXPECT_EQ(attached, (std::vector<int>{0, 1, 2, 3}));

  reports.clear();
  SDL_JoystickDetachVirtual(virtual_[1]);
  virtual_.erase(virtual_.begin() + 1);
  Pump();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].slot, 1);
  EXPECT_FALSE(reports[0].present);

  reports.clear();
  Attach(SDL_JOYSTICK_TYPE_UNKNOWN, 2, 1, 0);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].slot, 1);
  EXPECT_TRUE(reports[0].present);
}

}  // namespace
