// The input state fed by events: the key table, the joystick scaling and the
// characters keys type.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>

#include "input/input_devices.h"
#include "input/typed_characters.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Two keys at one place of a numbering would read as each other; only keys
// that are the same key on different keyboards may share one.
TEST(KeyTable, NoTwoKeysShareANameUsageOrNumberUnlessTheyAreOneKey) {
  const std::set<std::set<std::string>> same_key = {
      {"Backslash", "NonUSHash"}, {"KatakanaHiragana", "Katakana", "Hiragana"}};
  auto allowed = [&](const std::string& a, const std::string& b) {
    return std::any_of(same_key.begin(), same_key.end(), [&](const auto& group) { return group.count(a) && group.count(b); });
  };
  std::set<std::string> names;
  std::set<uint16_t> usages;
  std::map<uint8_t, std::string> scan_codes;
  for (const KeyInfo& k : KeyTable()) {
    EXPECT_TRUE(names.insert(Lower(k.name)).second) << k.name;
    EXPECT_TRUE(usages.insert(k.usage).second) << k.name;
    if (!k.scan_code) continue;
    auto [at, fresh] = scan_codes.emplace(k.scan_code, k.name);
    EXPECT_TRUE(fresh || allowed(at->second, k.name)) << k.name << " and " << at->second;
  }
}

TEST(KeyTable, FindsKeysByNameInAnyCaseAndByUsage) {
  struct Case {
    const char* name;
    uint16_t usage;
    uint8_t scan_code, virtual_key;
  };
  const Case cases[] = {
      {"return", 0x28, 0x1C, 0x0D},  {"ENTER", 0x28, 0x1C, 0x0D},    {"KeypadEnter", 0x58, 0x9C, 0x0D},
      {"Left", 0x50, 0xCB, 0x25},    {"RightCtrl", 0xE4, 0x9D, 0xA3}, {"Yen", 0x89, 0x7D, 0xDC},
      {"Henkan", 0x8A, 0x79, 0x1C},  {"Muhenkan", 0x8B, 0x7B, 0x1D},  {"Ro", 0x87, 0x73, 0xE2},
      {"Kanji", 0x35, 0x29, 0xC0},   {"Z", 0x1D, 0x2C, 0x5A},         {"F12", 0x45, 0x58, 0x7B},
  };
  for (const Case& c : cases) {
    const KeyInfo* k = KeyByName(c.name);
    ASSERT_NE(k, nullptr) << c.name;
    EXPECT_EQ(k->usage, c.usage) << c.name;
    EXPECT_EQ(k->scan_code, c.scan_code) << c.name;
    EXPECT_EQ(k->virtual_key, c.virtual_key) << c.name;
    EXPECT_EQ(KeyByUsage(c.usage), k) << c.name;
  }
  EXPECT_EQ(KeyByName("Nothing"), nullptr);
  EXPECT_EQ(KeyByName(""), nullptr);
  EXPECT_EQ(KeyByUsage(0), nullptr);
  EXPECT_EQ(KeyByUsage(100000), nullptr);
}

TEST(JoystickAxis, EndsReadThousandAndTheInnerHalfOfEachSideIsDeadZone) {
  struct Case {
    int32_t position, min, max, expected;
  };
  const Case cases[] = {
      {-32768, kAxisMin, kAxisMax, -1000}, {32767, kAxisMin, kAxisMax, 1000},
      {-16384, kAxisMin, kAxisMax, 0},     {16382, kAxisMin, kAxisMax, 0},     {0, kAxisMin, kAxisMax, 0},
      {-24576, kAxisMin, kAxisMax, -500},  {24574, kAxisMin, kAxisMax, 500},
      {0, 0, 65535, -1000},                {65535, 0, 65535, 1000},            {32767, 0, 65535, 0},
      // Ranges too small for a dead zone to have a width: never a division by zero.
      {5, 5, 5, 0},                        {1, 0, 1, 0},                       {3, 0, 3, 0},
      {0, 0, 4, -1000},                    {4, 0, 4, 1000},
      // Beyond the range a device claims: held at the ends.
      {-40000, kAxisMin, kAxisMax, -1000}, {INT32_MAX, kAxisMin, kAxisMax, 1000},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ScaleJoystickAxis(c.position, c.min, c.max), c.expected) << c.position << " in " << c.min << ".." << c.max;
}

class TypedByKeys : public testing::Test {
 protected:
  void SetUp() override { builtin_key_init(BuiltinArgs{0}); }
  void TearDown() override {
    for (const char* k : {"LeftCtrl", "LeftAlt", "H", "Return"}) InputKey(KeyByName(k)->usage, false);
    builtin_key_init(BuiltinArgs{0});
  }
  static void Key(const char* name, bool down, bool repeat = false) { InputKey(KeyByName(name)->usage, down, repeat); }
  static std::string Ring() {
    std::string s;
    while (int32_t c = static_cast<int32_t>(builtin_key_get(BuiltinArgs{0}))) s += static_cast<char>(c);
    return s;
  }
};

TEST_F(TypedByKeys, EnterBackspaceEscapeTabAndCtrlLettersTypeTheirControlCharacters) {
  struct Case {
    const char* key;
    bool ctrl;
    std::string typed;
  };
  const Case cases[] = {
      {"Return", false, "\r"}, {"KeypadEnter", false, "\r"}, {"Backspace", false, "\b"}, {"Escape", false, "\x1b"},
      {"Tab", false, "\t"},    {"H", true, "\b"},            {"A", true, "\x01"},       {"H", false, ""},
      {"Left", false, ""},     {"Space", false, ""},  // a space arrives as text
  };
  for (const Case& c : cases) {
    if (c.ctrl) Key("LeftCtrl", true);
    Key(c.key, true);
    Key(c.key, false);
    if (c.ctrl) Key("LeftCtrl", false);
    EXPECT_EQ(Ring(), c.typed) << c.key << (c.ctrl ? " with Ctrl" : "");
  }
}

TEST_F(TypedByKeys, RepeatsTypeAgainAndAltKeepsReturnForTheFullScreenSwitch) {
  Key("Backspace", true);
  Key("Backspace", true, true);
  Key("Backspace", true, true);
  Key("Backspace", false);
  EXPECT_EQ(Ring(), "\b\b\b");
  Key("LeftAlt", true);
  Key("Return", true);
  Key("Return", false);
  Key("LeftAlt", false);
  EXPECT_EQ(Ring(), "");
}

}  // namespace
