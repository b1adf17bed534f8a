// Input files: parsing, refusing malformed events, and recording what is
// replayed so that the recording replays to itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "input/input_devices.h"

namespace {

TEST(InputScript, ParsesTimedLinesSkippingCommentsAndKeepsTimeOrder) {
  std::vector<ScriptedEvent> events;
  std::string error;
  ASSERT_TRUE(ParseInputScript("\xEF\xBB\xBF# a comment\n\n  300 key down A\r\n100   text two words\n100 mouse wheel 1",
                               events, error))
      << error;
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].time, 100u);
  EXPECT_EQ(events[0].line, "text two words");
  EXPECT_EQ(events[1].line, "mouse wheel 1");  // equal times keep their order
  EXPECT_EQ(events[2].time, 300u);
  EXPECT_EQ(events[2].line, "key down A");
}

TEST(InputScript, NamesTheFirstBadLine) {
  struct Case {
    const char* text;
    const char* error_start;
  };
  const Case cases[] = {
      {"100 key down A\nsoon key down B\n", "line 2:"},
      {"100\n", "line 1:"},
      {"-5 key down A\n", "line 1:"},
      {"10 key down A\n\n# x\n20 beep\n", "line 4:"},
      {"99999999999 key down A\n", "line 1:"},
  };
  for (const Case& c : cases) {
    std::vector<ScriptedEvent> events;
    std::string error;
    EXPECT_FALSE(ParseInputScript(c.text, events, error)) << c.text;
    EXPECT_EQ(error.rfind(c.error_start, 0), 0u) << c.text << " -> " << error;
  }
}

TEST(InputScript, MalformedEventsAreRefusedWhenRunAndWhenTheFileIsRead) {
  const char* events[] = {
      "key down NoSuchKey", "key sideways A",         "key down",          "key down A B",
      "mouse click left 1", "mouse click fourth 1 2", "mouse wheel x",     "mouse wheel 99999999",
      "mouse move 1 2 3",   "mouse move 1",           "mouse jump left",   "mouse",
      "joy 4 axis x 0",     "joy -1 detach",          "joy 0 axis z 0",    "joy 0 axis x 40000",
      "joy 0 button 32 down", "joy 0 button 1 sideways", "joy 0",        "joy x axis x 0",
      "focus",              "focus sideways",         "text",              "beep",
  };
  for (const char* e : events) {
    EXPECT_FALSE(RunScriptedEvent(e)) << e;
    std::vector<ScriptedEvent> parsed;
    std::string error;
    EXPECT_FALSE(ParseInputScript(std::string("10 ") + e, parsed, error)) << e;
  }
}

std::vector<std::string> ReadEvents(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::vector<ScriptedEvent> events;
  std::string error;
  EXPECT_TRUE(ParseInputScript(text.str(), events, error)) << error;
  std::vector<std::string> lines;
  for (const ScriptedEvent& e : events) lines.push_back(e.line);
  return lines;
}

std::vector<std::string> RecordWhileRunning(const std::vector<std::string>& events, const std::string& path) {
  std::string error;
  EXPECT_TRUE(StartRecording(path, error)) << error;
  MarkMainScriptStart();
  for (const std::string& e : events) EXPECT_TRUE(RunScriptedEvent(e)) << e;
  EXPECT_TRUE(FinishRecording(error)) << error;
  return ReadEvents(path);
}

TEST(InputScript, ARecordingReplaysToItself) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("keva-record-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const std::string path = (folder / "play.input").string();
  const std::vector<std::string> played = {
      "key down Return", "key press a", "key repeat Backspace", "key up Return",
      "mouse click right 7 8", "mouse double left 7 8", "mouse wheel -2", "mouse leave",
      "text h\xc3\xa9llo  w\xc3\xb6rld", "joy 2 axis x 100", "joy 2 button 5 down", "joy 2 detach",
      "focus out", "focus in",
  };
  const std::vector<std::string> expected = {
      "key down Return", "key down A", "key up A", "key repeat Backspace", "key up Return",
      "mouse move 7 8", "mouse down right", "mouse up right", "mouse dbldown left", "mouse up left",
      "mouse wheel -2", "mouse leave",
      "text h\xc3\xa9llo  w\xc3\xb6rld", "joy 2 axis x 100", "joy 2 axis y 0", "joy 2 button 5 down", "joy 2 detach",
      "focus out", "focus in",
  };
  const std::vector<std::string> first = RecordWhileRunning(played, path);
  EXPECT_EQ(first, expected);
  EXPECT_EQ(RecordWhileRunning(first, path), expected);
  // Nothing is left beside the recording.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"play.input"});
  fs::remove_all(folder);
}

TEST(InputScript, ARecordingIntoAMissingFolderIsRefusedAtTheStart) {
  std::string error;
  EXPECT_FALSE(StartRecording("/nonexistent-keva-folder/play.input", error));
  EXPECT_NE(error.find("/nonexistent-keva-folder/play.input"), std::string::npos) << error;
  EXPECT_TRUE(FinishRecording(error));  // nothing was started, nothing to write
}

}  // namespace
