// The entry point of the MIDI module, and the module's side of the mixer: the
// synth's stream joins the engine's own mixer through the table the engine
// hands over. Everything else in the module is hidden.
#include "platform/midi_module.h"

namespace {

const MidiModuleHost* g_host = nullptr;

}  // namespace

int AddSoundStream(SoundStreamFill fill, void* user) { return g_host->add_sound_stream(fill, user); }
void RemoveSoundStream(int id) { g_host->remove_sound_stream(id); }

extern "C" [[gnu::visibility("default")]] bool keva_midi_module_start(uint32_t version, const MidiModuleHost* host,
                                                                      MidiModuleCalls* calls) {
  if (version != kMidiModuleVersion || !host || !calls) return false;
  g_host = host;
  *calls = {
      .open = OpenMidiSynth,
      .close = CloseMidiSynth,
      .is_open = MidiSynthOpen,
      .is_sound_font = IsSoundFontFile,
      .load = MidiSynthLoad,
      .unload = MidiSynthUnload,
      .start = MidiSynthStart,
      .set_repeat = MidiSynthSetRepeat,
      .stop = MidiSynthStop,
      .hold = MidiSynthHold,
      .running = MidiSynthRunning,
      .frames_played = MidiSynthFramesPlayed,
      .set_volume = MidiSynthSetVolume,
      .volume = MidiSynthVolume,
      .controller = MidiSynthController,
  };
  return true;
}
