// Where F12 writes its screenshot: a name from the time it was taken, down
// to the millisecond, that never repeats one already in the folder.
#pragma once
#include <chrono>
#include <string>

// folder/keva-YYYYMMDD-HHMMSS-mmm.png in local time; when that file exists
// (two presses within a millisecond, a clock set back) -2, -3, ... is added
// before the extension. Empty when every candidate is taken.
std::string UnusedScreenshotPath(const std::string& folder, std::chrono::system_clock::time_point taken);
