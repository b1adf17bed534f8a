// MIDI music: the file check, and the midi_ builtins on the synthesiser with
// the SoundFont the system registers, on a mixer the tests drive by hand.
#include "audio/midi_music.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "builtin_call.h"
#include "platform/midi_synth.h"
#include "platform/sound_device.h"
#include "platform/window_thread.h"
#include "sound_fixtures.h"
#include "vm/arena.h"

namespace {

constexpr uint32_t kRate = 48000;

void Big32(Bytes& b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

// A Standard MIDI File: the header (format 1, the given track count and
// division) and the tracks, each given as its event bytes.
Bytes Smf(const std::vector<Bytes>& tracks, uint16_t division = 480, int header_tracks = -1) {
  Bytes b = {'M', 'T', 'h', 'd'};
  Big32(b, 6);
  uint16_t count = static_cast<uint16_t>(header_tracks >= 0 ? header_tracks : static_cast<int>(tracks.size()));
  for (uint16_t v : {uint16_t{1}, count, division}) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
  }
  for (const Bytes& t : tracks) {
    b.insert(b.end(), {'M', 'T', 'r', 'k'});
    Big32(b, static_cast<uint32_t>(t.size()));
    b.insert(b.end(), t.begin(), t.end());
  }
  return b;
}

const Bytes kEndOfTrack = {0x00, 0xFF, 0x2F, 0x00};
Bytes Events(Bytes events) {
  events.insert(events.end(), kEndOfTrack.begin(), kEndOfTrack.end());
  return events;
}

// Half a second at the default tempo: channel 3's volume set to 100 and a
// note on channel 0 held for 480 ticks.
Bytes Tune() {
  return Smf({Events({0x00, 0xB3, 0x07, 0x64,  // channel 3 volume 100
                      0x00, 0xC0, 0x00,        // piano
                      0x00, 0x90, 0x3C, 0x64,  // note on
                      0x83, 0x60, 0x80, 0x3C, 0x00})});  // 480 ticks later, note off
}

TEST(MidiFileCheck, RefusesHostileFilesAndMeasuresOnePass) {
  Bytes tune = Tune();
  Bytes cut = tune;
  cut[21] = 0x40;  // the track's length runs past the end of the file
  Bytes tempo_zero = Smf({Events({0x00, 0xFF, 0x51, 0x03, 0x00, 0x00, 0x00})});
  Bytes missing_tracks = Smf({Events({})}, 480, 65535);
  Bytes truncated_event = Smf({{0x00, 0x90, 0x3C}});
  Bytes lone_data_byte = Smf({Events({0x00, 0x3C, 0x64})});
  Bytes no_division = Smf({Events({})}, 0);
  Bytes long_number = Smf({Events({0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, 0x64})});
  // Tempo doubled after one quarter: 500 ms + 250 ms.
  Bytes tempo_change = Smf({Events({0x83, 0x60, 0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90, 0x00, 0x90, 0x3C, 0x64,
                                    0x83, 0x60, 0x80, 0x3C, 0x00})});
  // Time-code division (25 frames of 40 ticks): refused, the player cannot take it.
  Bytes time_code = Smf({Events({0x87, 0x68, 0x90, 0x3C, 0x64})}, 0xE728);
  struct Case {
    const char* name;
    Bytes file;
    bool valid;
    uint64_t length_ms;
  };
  const std::vector<Case> cases = {
      {"tune", tune, true, 500},
      {"track past its end", cut, false, 0},
      {"tempo 0", tempo_zero, false, 0},
      {"65535 tracks counted, one there", missing_tracks, false, 0},
      {"event cut off", truncated_event, false, 0},
      {"data byte with no status before it", lone_data_byte, false, 0},
      {"division 0", no_division, false, 0},
      {"five-byte number", long_number, false, 0},
      {"tempo change", tempo_change, true, 750},
      {"time signature of three bytes", Smf({Events({0x00, 0xFF, 0x58, 0x03, 4, 2, 24})}), false, 0},
      {"time-code division", time_code, false, 0},
      {"not a MIDI file", Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, 0},
      {"header only", Bytes(tune.begin(), tune.begin() + 14), false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MidiFileInfo info = ScanMidiFile(c.file.data(), c.file.size());
    EXPECT_EQ(info.valid, c.valid);
    if (c.valid) {
      EXPECT_EQ(info.length_ms, c.length_ms);
    }
  }
  // Far more chunks than any player takes.
  Bytes many = Smf({}, 480, 1000);
  EXPECT_FALSE(ScanMidiFile(many.data(), many.size()).valid);
}

class MidiMusic : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ArenaStart());
    args_ = ArenaAllocZeroed(64);
    dir_ = std::filesystem::temp_directory_path() / ("keva-midi-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    SetEngineMessageHandler(MidiEngineMessage);
    EnableEngineMessages(true);
    SoundDeviceOptions options;
    options.use_hardware = false;
    options.paced = false;
    options.rate = kRate;
    OpenSoundDevice(options);
    g_midi_settings = MidiSettings{1, "", ""};
    StartMidi();
    if (!MidiStarted()) GTEST_SKIP() << "no General MIDI SoundFont is installed";
  }
  void TearDown() override {
    StopMidi();
    CloseSoundDevice();
    EnableEngineMessages(false);
    SetEngineMessageHandler(nullptr);
    std::filesystem::remove_all(dir_);
  }
  uint32_t Path(const std::string& name, const Bytes& bytes) {
    std::string path = (dir_ / name).string();
    WriteBytes(path, bytes);
    uint32_t at = ArenaAllocZeroed(path.size() + 1);
    std::memcpy(ToHost(at), path.c_str(), path.size());
    return at;
  }
  uint32_t Call(BuiltinHandler h, std::initializer_list<uint32_t> words = {0}) { return CallBuiltin(h, args_, words); }
  std::vector<float> Mix(uint32_t ms) {
    std::vector<float> out(2 * kRate * ms / 1000);
    for (uint32_t done = 0; done < ms; done += 10) MixSoundFrames(out.data() + 2 * kRate * done / 1000, kRate / 100);
    return out;
  }
  uint32_t args_ = 0;
  std::filesystem::path dir_;
};

TEST_F(MidiMusic, PlayWithNothingLoadedSucceedsAndPlaysNothing) {
  EXPECT_EQ(Call(builtin_midi_play), 1u);
  EXPECT_EQ(Call(builtin_midi_isplay), 0u);
  EXPECT_EQ(Call(builtin_midi_getvol), 0u);
  EXPECT_EQ(Call(builtin_midi_getpos), 0u);
  EXPECT_EQ(Call(builtin_midi_load, {0}), 0u);
  EXPECT_EQ(Call(builtin_midi_load, {Path("missing.mid", {})}), 0u);
  EXPECT_EQ(Call(builtin_midi_load, {Path("hostile.mid", Smf({Events({0x00, 0xFF, 0x51, 0x03, 0, 0, 0})}))}), 0u);
  EXPECT_EQ(Call(builtin_midi_play), 1u);
  EXPECT_EQ(Call(builtin_midi_isplay), 0u);
  // Time-code divisions are refused.
  EXPECT_EQ(Call(builtin_midi_load, {Path("time_code.mid", Smf({Events({0x87, 0x68, 0x90, 0x3C, 0x64})}, 0xE728))}), 0u);
}

// With repeat on, a pass that takes no time would be started again and
// again inside one render: such files play once and the mix goes on.
TEST_F(MidiMusic, FilesWithPassesOfNoTimeDoNotSpinTheRender) {
  // Found by fuzzing: events the check reads as channel messages with high
  // data bytes, which the player's reader turns into a track of no ticks.
  const Bytes zero_ticks_to_the_player = {
      'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 1, 0x01, 0xE0, 'M', 'T', 'r', 'k', 0, 0, 0, 0x14,
      0x00, 0xDD, 0xDD, 0x54, 0x01, 0x00, 0xF7, 0x00, 0x00, 0x00, 0x00, 0x00, 0x64, 0x00, 0xC0, 0x00,
      0x00, 0x90, 0x06, 0x5F, 0x83, 0x23, 0x3C, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01,
      0x01, 0xE0, 'M', 'T', 'r', 'k', 0, 0, 0, 0x14, 0x00, 0xDD, 0xDD, 0xDD, 0xDD, 0xFF, 0x2F, 0x00};
  EXPECT_EQ(Call(builtin_midi_repeat, {1}), 1u);
  for (const Bytes& file : {Smf({Events({})}), zero_ticks_to_the_player}) {
    if (Call(builtin_midi_load, {Path("spin.mid", file)}) != 1) continue;
    EXPECT_EQ(Call(builtin_midi_play), 1u);
    Mix(50);
    Call(builtin_midi_getpos);
  }
}

TEST_F(MidiMusic, TheVolumeToolScalesTheChannelVolumesTheFileSets) {
  ASSERT_EQ(Call(builtin_midi_load, {Path("tune.mid", Tune())}), 1u);
  // Set before the play: the file's own controller 7 comes through scaled.
  EXPECT_EQ(Call(builtin_midi_setvol, {50}), 1u);
  ASSERT_EQ(Call(builtin_midi_play), 1u);
  std::vector<float> heard = Mix(100);
  EXPECT_GT(Rms(heard.data(), heard.size() / 2, 0), 0.001);
  EXPECT_EQ(MidiSynthController(3, 7), 50);
  struct Case {
    int32_t volume;
    int read;
    int channel3, others;
  };
  for (Case c : {Case{50, 50, 50, 63}, Case{150, 100, 100, 127}, Case{0, 0, 0, 0}, Case{-5, 0, 0, 0}, Case{100, 100, 100, 127}}) {
    SCOPED_TRACE(c.volume);
    EXPECT_EQ(Call(builtin_midi_setvol, {static_cast<uint32_t>(c.volume)}), 1u);
    EXPECT_EQ(static_cast<int>(Call(builtin_midi_getvol)), c.read);
    EXPECT_EQ(MidiSynthController(3, 7), c.channel3);
    for (int channel : {0, 1, 2, 4, 9, 15}) EXPECT_EQ(MidiSynthController(channel, 7), c.others) << channel;
  }
}

TEST_F(MidiMusic, NestedPausesKeepThePositionAndRepeatWrapsIt) {
  ASSERT_EQ(Call(builtin_midi_load, {Path("tune.mid", Tune())}), 1u);
  ASSERT_EQ(Call(builtin_midi_play), 1u);
  Mix(200);
  uint32_t at = Call(builtin_midi_getpos);
  EXPECT_GE(at, 180u);
  EXPECT_LE(at, 220u);
  EXPECT_EQ(Call(builtin_midi_pause), 1u);
  EXPECT_EQ(Call(builtin_midi_pause), 1u);
  std::vector<float> paused = Mix(100);
  EXPECT_EQ(Rms(paused.data(), paused.size() / 2, 0), 0.0);
  EXPECT_EQ(Call(builtin_midi_isplay), 0u);
  EXPECT_EQ(Call(builtin_midi_getpos), 0u);
  EXPECT_EQ(Call(builtin_midi_replay), 1u);
  EXPECT_EQ(Call(builtin_midi_isplay), 0u);  // one pause is still held
  EXPECT_EQ(Call(builtin_midi_replay), 1u);
  EXPECT_EQ(Call(builtin_midi_isplay), 1u);
  EXPECT_EQ(Call(builtin_midi_getpos), at);  // the paused time did not count
  Mix(500);
  EXPECT_EQ(Call(builtin_midi_isplay), 0u);  // one pass, then the end

  EXPECT_EQ(Call(builtin_midi_repeat, {1}), 1u);
  ASSERT_EQ(Call(builtin_midi_play), 1u);
  Mix(700);  // past the end of the first pass
  EXPECT_EQ(Call(builtin_midi_isplay), 1u);
  at = Call(builtin_midi_getpos);
  EXPECT_GE(at, 180u);
  EXPECT_LE(at, 220u);
  EXPECT_EQ(Call(builtin_midi_stop), 1u);
  EXPECT_EQ(Call(builtin_midi_isplay), 0u);
  EXPECT_EQ(Call(builtin_midi_getpos), 0u);
  EXPECT_EQ(Call(builtin_midi_free), 1u);
  EXPECT_EQ(Call(builtin_midi_getvol), 0u);
}

}  // namespace

namespace {

TEST(SoundFontSearch, TheConfiguredSoundFontComesFirstElseTheSystemOne) {
  std::string system = FindSoundFont("", "");
  if (system.empty()) GTEST_SKIP() << "no General MIDI SoundFont is installed";
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("keva-sf-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(system, dir / "Game.sf2", std::filesystem::copy_options::overwrite_existing);
  WriteBytes((dir / "junk.sf2").string(), Bytes(64, 1));
  std::string base = dir.string() + "/";
  struct Case {
    std::string configured, found;
  };
  for (const Case& c : {Case{"Game.sf2", base + "Game.sf2"}, Case{base + "Game.sf2", base + "Game.sf2"},
                        Case{"junk.sf2", system}, Case{"missing.sf2", system}}) {
    EXPECT_EQ(FindSoundFont(c.configured, base), c.found) << c.configured;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
