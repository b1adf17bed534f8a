// Scripted input: replaying an input file's timed events and recording what
// a player does in the same line format (see input_devices.h).
#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "input/input_devices.h"
#include "input/input_recording.h"
#include "platform/clock.h"
#include "platform/atomic_file.h"

namespace {

// Window thread only.
std::vector<ScriptedEvent> replay;
size_t next_event = 0;
bool started = false;
uint32_t start_tick = 0;
bool recording = false;
std::string record_path;
std::string recorded;
// The last recorded pointer position, so that a button records where it was
// pressed only when that differs from the last move.
int32_t recorded_x = -1, recorded_y = -1;

constexpr const char* kButtonNames[3] = {"left", "right", "middle"};

uint32_t Now() { return started ? TickCount() - start_tick : 0; }

void Append(const std::string& event) {
  if (!recording) return;
  recorded += std::to_string(Now());
  recorded += ' ';
  recorded += event;
  recorded += '\n';
}

std::vector<std::string_view> Words(std::string_view s) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    size_t j = i;
    while (j < s.size() && s[j] != ' ' && s[j] != '\t') ++j;
    if (j > i) words.push_back(s.substr(i, j - i));
    i = j;
  }
  return words;
}

template <typename T>
bool Number(std::string_view s, T& value) {
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size();
}

int ButtonByName(std::string_view name) {
  for (int b = 0; b < 3; ++b)
    if (name == kButtonNames[b]) return b;
  return -1;
}

// The state of each joystick slot as input files set it.
struct ScriptedJoystick {
  bool present = false;
  int32_t x = 0, y = 0;
  uint32_t buttons = 0;
} scripted_joysticks[kJoystickSlots];

bool RunKey(const std::vector<std::string_view>& w, bool run) {
  if (w.size() != 3) return false;
  const KeyInfo* key = KeyByName(w[2]);
  if (!key) return false;
  if (w[1] != "down" && w[1] != "up" && w[1] != "repeat" && w[1] != "press") return false;
  if (!run) return true;
  if (w[1] == "down") InputKey(key->usage, true);
  else if (w[1] == "up") InputKey(key->usage, false);
  else if (w[1] == "repeat") InputKey(key->usage, true, true);
  else {
    InputKey(key->usage, true);
    InputKey(key->usage, false);
  }
  return true;
}

bool RunMouse(const std::vector<std::string_view>& w, bool run) {
  if (w.size() < 2) return false;
  const std::string_view verb = w[1];
  if (verb == "leave") {
    if (w.size() != 2) return false;
    if (run) InputPointer(0, 0, false);
    return true;
  }
  if (verb == "wheel") {
    int32_t notches;
    if (w.size() != 3 || !Number(w[2], notches) || notches < -1000000 || notches > 1000000) return false;
    if (run) InputWheel(notches);
    return true;
  }
  if (verb == "move") {
    int32_t x, y;
    if (w.size() != 4 || !Number(w[2], x) || !Number(w[3], y)) return false;
    if (run) MovePointerToScreen(x, y);
    return true;
  }
  if (w.size() != 3 && w.size() != 5) return false;
  const int button = ButtonByName(w[2]);
  if (button < 0) return false;
  if (verb != "down" && verb != "dbldown" && verb != "up" && verb != "click" && verb != "double") return false;
  int32_t x = 0, y = 0;
  if (w.size() == 5 && (!Number(w[3], x) || !Number(w[4], y))) return false;
  if (!run) return true;
  if (w.size() == 5) MovePointerToScreen(x, y);
  if (verb == "down") InputMouseButton(button, true, 1);
  else if (verb == "dbldown") InputMouseButton(button, true, 2);
  else if (verb == "up") InputMouseButton(button, false, 1);
  else {
    InputMouseButton(button, true, verb == "double" ? 2 : 1);
    InputMouseButton(button, false, 1);
  }
  return true;
}

bool RunJoystick(const std::vector<std::string_view>& w, bool run) {
  int slot;
  if (w.size() < 3 || !Number(w[1], slot) || slot < 0 || slot >= kJoystickSlots) return false;
  ScriptedJoystick copy = scripted_joysticks[slot];
  ScriptedJoystick& j = run ? scripted_joysticks[slot] : copy;
  if (w[2] == "detach" && w.size() == 3) {
    j = ScriptedJoystick{};
  } else if (w[2] == "axis" && w.size() == 5) {
    int32_t value;
    if (!Number(w[4], value) || value < kAxisMin || value > kAxisMax) return false;
    if (w[3] == "x") j.x = value;
    else if (w[3] == "y") j.y = value;
    else return false;
    j.present = true;
  } else if (w[2] == "button" && w.size() == 5) {
    int button;
    if (!Number(w[3], button) || button < 0 || button > 31) return false;
    if (w[4] == "down") j.buttons |= 1u << button;
    else if (w[4] == "up") j.buttons &= ~(1u << button);
    else return false;
    j.present = true;
  } else {
    return false;
  }
  if (run) InputJoystick(slot, j.present, j.x, j.y, j.buttons);
  return true;
}

// Checks an event and, when run is set, makes it happen.
bool Event(std::string_view event, bool run) {
  const std::vector<std::string_view> w = Words(event);
  if (w.empty()) return false;
  if (w[0] == "key") return RunKey(w, run);
  if (w[0] == "mouse") return RunMouse(w, run);
  if (w[0] == "joy") return RunJoystick(w, run);
  if (w[0] == "text") {
    const size_t at = event.find("text") + 4;
    std::string_view text = event.substr(std::min(at + 1, event.size()));
    if (text.empty()) return false;
    if (run) InputText(text);
    return true;
  }
  if (w[0] == "focus" && w.size() == 2 && (w[1] == "in" || w[1] == "out")) {
    const bool active = w[1] == "in";
    if (!run) return true;
    if (g_input_host_hooks.activated) g_input_host_hooks.activated(active);
    else InputActivated(active);
    return true;
  }
  return false;
}

}  // namespace

bool RunScriptedEvent(std::string_view event) { return Event(event, true); }

bool ParseInputScript(std::string_view text, std::vector<ScriptedEvent>& events, std::string& error) {
  events.clear();
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a byte-order mark from an editor
  size_t line_number = 0;
  for (size_t i = 0; i <= text.size();) {
    size_t end = text.find('\n', i);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(i, end - i);
    i = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    line.remove_prefix(first);
    const size_t space = line.find_first_of(" \t");
    uint32_t time;
    if (space == std::string_view::npos || !Number(line.substr(0, space), time)) {
      error = "line " + std::to_string(line_number) + ": a time in milliseconds comes first";
      return false;
    }
    std::string_view rest = line.substr(space + 1);
    rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
    if (!Event(rest, false)) {
      error = "line " + std::to_string(line_number) + ": not an event: '" + std::string(rest) + "'";
      return false;
    }
    events.push_back({time, std::string(rest)});
  }
  std::stable_sort(events.begin(), events.end(), [](const ScriptedEvent& a, const ScriptedEvent& b) { return a.time < b.time; });
  return true;
}

bool LoadInputScript(const std::string& host_path, std::string& error) {
  std::ifstream in(host_path, std::ios::binary);
  if (!in) {
    error = "cannot read " + host_path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::vector<ScriptedEvent> events;
  if (!ParseInputScript(text.str(), events, error)) {
    error = host_path + ": " + error;
    return false;
  }
  replay = std::move(events);
  next_event = 0;
  return true;
}

bool StartRecording(const std::string& host_path, std::string& error) {
  // The file is written at the end; find out now whether it can be.
  AtomicReplace probe;
  if (!probe.Begin(host_path)) {
    error = "cannot write " + host_path + ": " + std::strerror(errno);
    return false;
  }
  probe.Abort();
  recording = true;
  record_path = host_path;
  recorded_x = recorded_y = -1;
  recorded = "# keva input recording: TIME(ms from the start of the main script) EVENT\n";
  return true;
}

void MarkMainScriptStart() {
  started = true;
  start_tick = TickCount();
  for (ScriptedJoystick& j : scripted_joysticks) j = ScriptedJoystick{};
}

void FeedScriptedInput() {
  if (!started) return;
  const uint32_t now = Now();
  while (next_event < replay.size() && replay[next_event].time <= now) {
    const ScriptedEvent& e = replay[next_event++];
    if (!RunScriptedEvent(e.line)) std::fprintf(stderr, "keva: input event at %u ms ignored: %s\n", e.time, e.line.c_str());
  }
}

size_t ScriptedInputPending() { return replay.size() - next_event; }

bool FinishRecording(std::string& error) {
  if (!recording) return true;
  recording = false;
  if (!ReplaceHostFile(record_path, recorded.data(), recorded.size())) {
    error = "cannot write " + record_path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// --- What the event functions record ------------------------------------------------

void RecordKey(const KeyInfo& key, bool down, bool repeat) {
  if (!recording) return;
  Append(std::string("key ") + (repeat ? "repeat " : down ? "down " : "up ") + key.name);
}

void RecordPointer(int32_t x, int32_t y) {
  if (!recording || (x == recorded_x && y == recorded_y)) return;
  recorded_x = x;
  recorded_y = y;
  Append("mouse move " + std::to_string(x) + " " + std::to_string(y));
}

void RecordPointerLeft() {
  if (!recording) return;
  recorded_x = recorded_y = -1;
  Append("mouse leave");
}

void RecordMouseButton(int button, bool down, int clicks) {
  if (!recording) return;
  Append(std::string("mouse ") + (!down ? "up " : clicks >= 2 ? "dbldown " : "down ") + kButtonNames[button]);
}

void RecordWheel(int32_t notches) { Append("mouse wheel " + std::to_string(notches)); }

void RecordText(std::string_view utf8) {
  if (!recording || utf8.empty() || utf8.find('\n') != std::string_view::npos) return;
  Append("text " + std::string(utf8));
}

void RecordJoystick(int slot, bool was_present, int32_t x0, int32_t y0, uint32_t buttons0, bool present, int32_t x,
                    int32_t y, uint32_t buttons) {
  if (!recording) return;
  const std::string head = "joy " + std::to_string(slot) + " ";
  if (!present) {
    if (was_present) Append(head + "detach");
    return;
  }
  if (!was_present || x != x0) Append(head + "axis x " + std::to_string(x));
  if (!was_present || y != y0) Append(head + "axis y " + std::to_string(y));
  for (int b = 0; b < 32; ++b) {
    const uint32_t bit = 1u << b;
    if ((buttons ^ buttons0) & bit) Append(head + "button " + std::to_string(b) + ((buttons & bit) ? " down" : " up"));
  }
}

void RecordFocus(bool active) { Append(active ? "focus in" : "focus out"); }
