// The MIDI synthesiser: a SoundFont synth and a Standard MIDI File player
// that render into the mixer as one of its streams (no audio device of their
// own). The player advances only as the stream renders, so holding the
// stream freezes the music exactly where it is.
//
// Every controller-7 (channel volume) message of the file passes through the
// volume tool: it remembers the value the file set on the channel and sends
// value × volume / 100 instead. Changing the volume sends the scaled channel
// volume to all 16 channels (127 for channels the file never set).
//
// Control functions are called from one thread (the window thread); the
// render runs on the mixing thread and never waits for them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Opens the synth at `rate` with the SoundFont (host path) and joins the
// mixer. False, with a reason, when the SoundFont does not load or the mixer
// has no room for another stream.
bool OpenMidiSynth(const std::string& soundfont_host_path, uint32_t rate, std::string& error);
void CloseMidiSynth();
bool MidiSynthOpen();
// Whether FluidSynth takes the file as a SoundFont (without loading it).
bool IsSoundFontFile(const std::string& host_path);

// The music: a copy of the file is kept. Loading resets the volume tool
// (volume 100, every channel volume 127).
bool MidiSynthLoad(const uint8_t* data, size_t size);
void MidiSynthUnload();
// Plays from the start, once or repeating forever; the synth's channels are
// reset first and the tool's channel volumes sent again.
bool MidiSynthStart(bool repeat);
// Whether the current play repeats forever once its pass ends.
void MidiSynthSetRepeat(bool repeat);
// Silences the music and forgets the play.
void MidiSynthStop();
// Freezes and unfreezes the music where it is.
void MidiSynthHold(bool hold);
// A play was started and has not run out (holding does not change it).
bool MidiSynthRunning();
// Frames rendered since the play started (not counting holds).
uint64_t MidiSynthFramesPlayed();

// The volume tool.
void MidiSynthSetVolume(int volume, bool send);  // above 100: no change
int MidiSynthVolume();
// What the synth's channel holds for a controller (tests): 0..127, or -1.
int MidiSynthController(int channel, int controller);
