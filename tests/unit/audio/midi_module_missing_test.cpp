// Without the MIDI module (this test program's run path does not have its
// folder, unlike the music tests'), no synth opens and every other call
// answers as for a closed synth, whichever comes first.
#include <gtest/gtest.h>

#include <string>

#include "platform/dynamic_library.h"
#include "platform/midi_module.h"
#include "platform/midi_synth.h"

namespace {

TEST(MidiWithoutModule, CallsAnswerAsForAClosedSynth) {
  std::string error;
  ASSERT_EQ(OpenDynamicLibrary(kMidiModuleName, error), nullptr) << "the module is in reach after all";
  const uint8_t tune[] = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96};
  // Before any attempt to load the module, and after one.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_FALSE(MidiSynthOpen());
    EXPECT_FALSE(MidiSynthLoad(tune, sizeof tune));
    EXPECT_FALSE(MidiSynthStart(true));
    MidiSynthSetRepeat(true);
    MidiSynthHold(true);
    MidiSynthStop();
    MidiSynthUnload();
    CloseMidiSynth();
    EXPECT_FALSE(MidiSynthRunning());
    EXPECT_EQ(MidiSynthFramesPlayed(), 0u);
    EXPECT_EQ(MidiSynthController(0, 7), -1);
    MidiSynthSetVolume(50, true);
    EXPECT_EQ(MidiSynthVolume(), 100);
    EXPECT_FALSE(IsSoundFontFile("/usr/share/sounds/sf2/default-GM.sf2"));
  }
  error.clear();
  EXPECT_FALSE(OpenMidiSynth("/usr/share/sounds/sf2/default-GM.sf2", 48000, error));
  EXPECT_NE(error.find("no MIDI synthesiser"), std::string::npos) << error;
}

}  // namespace
