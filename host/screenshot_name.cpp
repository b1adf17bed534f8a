#include "host/screenshot_name.h"

#include <cstdio>
#include <ctime>

#include "platform/directory.h"

std::string UnusedScreenshotPath(const std::string& folder, std::chrono::system_clock::time_point taken) {
  using namespace std::chrono;
  const std::time_t seconds = system_clock::to_time_t(taken);
  const auto ms = duration_cast<milliseconds>(taken.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stem[64];
  std::strftime(stem, sizeof stem, "keva-%Y%m%d-%H%M%S", &local);
  char millis[8];
  std::snprintf(millis, sizeof millis, "-%03d", static_cast<int>(ms < 0 ? ms + 1000 : ms));
  const std::string base = folder + "/" + stem + millis;
  for (int n = 1; n <= 1000; ++n) {
    std::string path = base;
    if (n > 1) path.append("-").append(std::to_string(n));
    path += ".png";
    HostEntryInfo info;
    if (!GetHostEntryInfo(path, info)) return path;
  }
  return {};
}
