#include "host/screenshot_name.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

namespace {

TEST(ScreenshotName, NeverRepeatsANameInTheFolder) {
  const std::filesystem::path folder = std::filesystem::path(testing::TempDir()) / "keva_screenshot_names";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const auto second = std::chrono::system_clock::from_time_t(1700000000);
  // Presses within one second, and three within one millisecond.
  const std::chrono::milliseconds offsets[] = {std::chrono::milliseconds(0), std::chrono::milliseconds(250),
                                               std::chrono::milliseconds(250), std::chrono::milliseconds(250),
                                               std::chrono::milliseconds(999)};
  std::set<std::string> names;
  for (auto offset : offsets) {
    std::string path = UnusedScreenshotPath(folder.string(), second + offset);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.rfind(folder.string() + "/keva-", 0), 0u) << path;
    EXPECT_TRUE(names.insert(path).second) << path << " repeats";
    std::ofstream(path) << "png";  // what SaveFrame would have written
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
