// The engine's side of the MIDI module: opening a synth or looking at a
// SoundFont loads it (once, whichever thread gets there first); it stays
// loaded until the process ends. Until then no synth can be open, so the
// other calls answer as for a closed synth without loading anything.
#include <atomic>
#include <string>

#include "platform/dynamic_library.h"
#include "platform/midi_module.h"

namespace {

struct MidiModule {
  MidiModuleCalls calls{};
  bool loaded = false;
  std::string error;  // why it is not loaded
};

constexpr MidiModuleHost kHost = {
    .add_sound_stream = AddSoundStream,
    .remove_sound_stream = RemoveSoundStream,
};

std::atomic<const MidiModuleCalls*> loaded_calls{nullptr};

MidiModule Load() {
  MidiModule m;
  // By bare name: the engine's run path has the module's folder.
  void* library = OpenDynamicLibrary(kMidiModuleName, m.error);
  if (!library) return m;
  const auto start = reinterpret_cast<MidiModuleStart>(FindLibraryFunction(library, kMidiModuleEntry));
  if (!start || !start(kMidiModuleVersion, &kHost, &m.calls)) {
    m.error = std::string(kMidiModuleName) + " is not this engine's MIDI module";
    CloseDynamicLibrary(library);
    return m;
  }
  m.loaded = true;
  return m;
}

const MidiModule& Module() {
  static const MidiModule module = Load();
  if (module.loaded) loaded_calls.store(&module.calls, std::memory_order_release);
  return module;
}

// The module's calls once something has loaded it, else nullptr.
const MidiModuleCalls* Loaded() { return loaded_calls.load(std::memory_order_acquire); }

}  // namespace

bool OpenMidiSynth(const std::string& soundfont_host_path, uint32_t rate, std::string& error) {
  const MidiModule& m = Module();
  if (!m.loaded) {
    error = "no MIDI synthesiser: " + m.error;
    return false;
  }
  return m.calls.open(soundfont_host_path, rate, error);
}

bool IsSoundFontFile(const std::string& host_path) {
  const MidiModule& m = Module();
  return m.loaded && m.calls.is_sound_font(host_path);
}

void CloseMidiSynth() {
  if (auto* c = Loaded()) c->close();
}
bool MidiSynthOpen() { return Loaded() && Loaded()->is_open(); }
bool MidiSynthLoad(const uint8_t* data, size_t size) { return Loaded() && Loaded()->load(data, size); }
void MidiSynthUnload() {
  if (auto* c = Loaded()) c->unload();
}
bool MidiSynthStart(bool repeat) { return Loaded() && Loaded()->start(repeat); }
void MidiSynthSetRepeat(bool repeat) {
  if (auto* c = Loaded()) c->set_repeat(repeat);
}
void MidiSynthStop() {
  if (auto* c = Loaded()) c->stop();
}
void MidiSynthHold(bool hold) {
  if (auto* c = Loaded()) c->hold(hold);
}
bool MidiSynthRunning() { return Loaded() && Loaded()->running(); }
uint64_t MidiSynthFramesPlayed() { return Loaded() ? Loaded()->frames_played() : 0; }
// The volume is the module's to keep: setting it loads the module.
void MidiSynthSetVolume(int volume, bool send) {
  if (Module().loaded) Module().calls.set_volume(volume, send);
}
int MidiSynthVolume() { return Module().loaded ? Module().calls.volume() : 100; }
int MidiSynthController(int channel, int controller) { return Loaded() ? Loaded()->controller(channel, controller) : -1; }
