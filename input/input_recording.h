// Between the input state and scripted input (not for the rest of the
// engine): what the event functions record, and the pointer move that input
// files make in screen coordinates.
#pragma once
#include <cstdint>
#include <string_view>

#include "input/input_devices.h"

void RecordKey(const KeyInfo& key, bool down, bool repeat);
void RecordPointer(int32_t screen_x, int32_t screen_y);
void RecordPointerLeft();
void RecordMouseButton(int button, bool down, int clicks);
void RecordWheel(int32_t notches);
void RecordText(std::string_view utf8);
void RecordJoystick(int slot, bool was_present, int32_t x0, int32_t y0, uint32_t buttons0, bool present, int32_t x,
                    int32_t y, uint32_t buttons);
void RecordFocus(bool active);

// Window thread: the pointer to a screen position, through the presentation
// rectangle and the cursor's confinement.
void MovePointerToScreen(int32_t x, int32_t y);
