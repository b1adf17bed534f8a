// Any MIDI file through midi_load, played with repeat on for a moment by the
// synthesiser (with the system SoundFont, when there is one); also the
// track-number reading of the virtual disc's file names.
#include <vector>

#include "audio/cd_audio.h"
#include "audio/midi_music.h"
#include "fuzz_support.h"
#include "platform/sound_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StartFuzzTarget();
  static const bool started = [] {
    SoundDeviceOptions options;
    options.use_hardware = false;
    options.paced = false;
    OpenSoundDevice(options);
    g_midi_settings.direct_music = 1;
    StartMidi();
    return MidiStarted();
  }();
  CdTrackNumber(std::string_view(reinterpret_cast<const char*>(data), size));
  MidiFileInfo info = ScanMidiFile(data, size);
  if (!started) return 0;
  const std::string path = WriteFuzzFile("music.mid", data, size);
  if (MidiEngineMessage(kMessageMidiLoad, 0, reinterpret_cast<uintptr_t>(path.c_str())) == 1) {
    if (!info.valid) std::abort();  // the load takes only what the check lets through
    MidiEngineMessage(kMessageMidiRepeat, 1, 0);
    MidiEngineMessage(kMessageMidiPlay, 0, 0);
    std::vector<float> out(2 * 4800);
    MixSoundFrames(out.data(), 4800);
    MidiEngineMessage(kMessageMidiGetPosition, 0, 0);
    MidiEngineMessage(kMessageMidiFree, 0, 0);
  }
  return 0;
}
