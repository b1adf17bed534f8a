#include "platform/midi_synth.h"

#include <fluidsynth.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/sound_device.h"

namespace {

constexpr int kChannels = 16;
constexpr int kChannelVolume = 7;

struct VolumeTool {
  std::mutex lock;  // the volume and the channel volumes, between the render and the window thread
  int volume = 100;
  int scale = 100;
  uint8_t channel_volume[kChannels];
  void Reset() {
    std::lock_guard guard(lock);
    volume = 100;
    std::fill(std::begin(channel_volume), std::end(channel_volume), uint8_t{127});
  }
  int Scaled(int value) const { return scale * volume * value / 10000; }
};

struct Synth {
  fluid_settings_t* settings = nullptr;
  fluid_synth_t* synth = nullptr;
  fluid_synth_t* probe = nullptr;  // no SoundFont: tries files on the player's own reader
  fluid_player_t* player = nullptr;
  int stream = -1;
  uint32_t rate = 0;
  std::vector<uint8_t> file;
  int file_ticks = 0;  // the length of one pass as the player's reader sees it
  // The render holds this while it runs and only ever tries it; control
  // functions take it around anything that replaces or deletes the player.
  std::mutex render;
  std::atomic<bool> started{false};
  std::atomic<bool> held{false};
  std::atomic<uint64_t> frames{0};
  // The player's status as the render last saw it, so that scripts polling
  // for the end of the music never take the render lock.
  std::atomic<int> status{FLUID_PLAYER_DONE};
  VolumeTool tool;
};
Synth g_midi;

void QuietLog(int, const char*, void*) {}

// Every MIDI event of the file on its way to the synth, on the mixing thread.
int PassEvent(void* data, fluid_midi_event_t* event) {
  auto& m = *static_cast<Synth*>(data);
  if (fluid_midi_event_get_type(event) == 0xB0 && fluid_midi_event_get_control(event) == kChannelVolume) {
    int channel = fluid_midi_event_get_channel(event);
    int value = std::clamp(fluid_midi_event_get_value(event), 0, 127);
    int scaled;
    {
      std::lock_guard guard(m.tool.lock);
      if (channel >= 0 && channel < kChannels) m.tool.channel_volume[channel] = static_cast<uint8_t>(value);
      scaled = m.tool.Scaled(value);
    }
    // The file's own event stays as it is (it plays again on the next pass).
    return fluid_synth_cc(m.synth, channel, kChannelVolume, scaled);
  }
  return fluid_synth_handle_midi_event(m.synth, event);
}

void Render(void* user, float* out, uint32_t frames, uint32_t) {
  auto& m = *static_cast<Synth*>(user);
  std::unique_lock guard(m.render, std::try_to_lock);
  // Nothing to render when stopped, held, or once the player has let the
  // last notes of its final pass ring out.
  if (!guard.owns_lock() || !m.started.load(std::memory_order_acquire) || m.held.load(std::memory_order_acquire) ||
      !m.player || fluid_player_get_status(m.player) == FLUID_PLAYER_DONE) {
    std::fill(out, out + 2 * static_cast<size_t>(frames), 0.0f);
    return;
  }
  fluid_synth_write_float(m.synth, static_cast<int>(frames), out, 0, 2, out, 1, 2);
  m.frames.fetch_add(frames, std::memory_order_relaxed);
  m.status.store(fluid_player_get_status(m.player), std::memory_order_release);
}

void SendChannelVolumes() {
  uint8_t values[kChannels];
  {
    std::lock_guard guard(g_midi.tool.lock);
    for (int c = 0; c < kChannels; ++c) values[c] = static_cast<uint8_t>(g_midi.tool.Scaled(g_midi.tool.channel_volume[c]));
  }
  for (int c = 0; c < kChannels; ++c) fluid_synth_cc(g_midi.synth, c, kChannelVolume, values[c]);
}

// With the render lock held.
void DropPlayer() {
  g_midi.status = FLUID_PLAYER_DONE;
  if (!g_midi.player) return;
  fluid_player_stop(g_midi.player);
  delete_fluid_player(g_midi.player);
  g_midi.player = nullptr;
}

}  // namespace

bool IsSoundFontFile(const std::string& host_path) { return fluid_is_soundfont(host_path.c_str()) != 0; }

bool OpenMidiSynth(const std::string& soundfont_host_path, uint32_t rate, std::string& error) {
  CloseMidiSynth();
  for (int level = FLUID_PANIC; level < LAST_LOG_LEVEL; ++level) fluid_set_log_function(level, QuietLog, nullptr);
  auto& m = g_midi;
  m.settings = new_fluid_settings();
  if (!m.settings) {
    error = "the synthesiser cannot start";
    return false;
  }
  fluid_settings_setnum(m.settings, "synth.sample-rate", rate);
  fluid_settings_setnum(m.settings, "synth.gain", 0.4);
  // The player follows the rendered samples, not the wall clock, and never
  // resets the synth by itself (that would drop the music volume between passes).
  fluid_settings_setstr(m.settings, "player.timing-source", "sample");
  fluid_settings_setint(m.settings, "player.reset-synth", 0);
  m.synth = new_fluid_synth(m.settings);
  if (!m.synth || fluid_synth_sfload(m.synth, soundfont_host_path.c_str(), 1) == FLUID_FAILED) {
    error = "the SoundFont " + soundfont_host_path + " does not load";
    CloseMidiSynth();
    return false;
  }
  m.probe = new_fluid_synth(m.settings);
  if (!m.probe) {
    error = "the synthesiser cannot start";
    CloseMidiSynth();
    return false;
  }
  m.rate = rate;
  m.tool.Reset();
  m.stream = AddSoundStream(Render, &m);
  if (m.stream < 0) {
    error = "the mixer has no room for the music";
    CloseMidiSynth();
    return false;
  }
  return true;
}

void CloseMidiSynth() {
  auto& m = g_midi;
  if (m.stream >= 0) RemoveSoundStream(m.stream);
  m.stream = -1;
  {
    std::lock_guard guard(m.render);
    DropPlayer();
    m.started = false;
  }
  if (m.synth) delete_fluid_synth(m.synth);
  if (m.probe) delete_fluid_synth(m.probe);
  m.probe = nullptr;
  if (m.settings) delete_fluid_settings(m.settings);
  m.synth = nullptr;
  m.settings = nullptr;
  m.file.clear();
  m.rate = 0;
}

bool MidiSynthOpen() { return g_midi.synth != nullptr; }

bool MidiSynthLoad(const uint8_t* data, size_t size) {
  MidiSynthUnload();
  if (!g_midi.synth || !data || size == 0) return false;
  // A file the player's reader refuses would make a repeating player try it
  // again and again inside one render: it is tried once here, on the probe,
  // where a refused file ends the play at once.
  fluid_player_t* trial = new_fluid_player(g_midi.probe);
  if (!trial) return false;
  fluid_player_set_loop(trial, 1);
  bool readable = false;
  if (fluid_player_add_mem(trial, data, size) == FLUID_OK && fluid_player_play(trial) == FLUID_OK) {
    float frames[2 * 16];
    fluid_synth_write_float(g_midi.probe, 16, frames, 0, 2, frames, 1, 2);
    readable = fluid_player_get_status(trial) == FLUID_PLAYER_PLAYING;
    g_midi.file_ticks = fluid_player_get_total_ticks(trial);
  }
  fluid_player_stop(trial);
  delete_fluid_player(trial);
  fluid_synth_system_reset(g_midi.probe);
  if (!readable) return false;
  g_midi.file.assign(data, data + size);
  g_midi.tool.Reset();
  return true;
}

void MidiSynthUnload() {
  MidiSynthStop();
  g_midi.file.clear();
  g_midi.file.shrink_to_fit();
}

bool MidiSynthStart(bool repeat) {
  auto& m = g_midi;
  if (!m.synth || m.file.empty()) return false;
  std::lock_guard guard(m.render);
  DropPlayer();
  m.started = false;
  m.held = false;
  m.frames = 0;
  fluid_synth_system_reset(m.synth);
  m.player = new_fluid_player(m.synth);
  if (!m.player) return false;
  fluid_player_set_playback_callback(m.player, PassEvent, &m);
  // A pass that takes no time would be started again and again within one
  // render: such a file plays once.
  if (m.file_ticks <= 0) repeat = false;
  fluid_player_set_loop(m.player, repeat ? -1 : 1);
  if (fluid_player_add_mem(m.player, m.file.data(), m.file.size()) != FLUID_OK ||
      fluid_player_play(m.player) != FLUID_OK) {
    DropPlayer();
    return false;
  }
  SendChannelVolumes();
  m.status = FLUID_PLAYER_PLAYING;
  m.started.store(true, std::memory_order_release);
  return true;
}

void MidiSynthStop() {
  auto& m = g_midi;
  if (!m.synth) return;
  std::lock_guard guard(m.render);
  m.started = false;
  m.held = false;
  m.frames = 0;
  DropPlayer();
  fluid_synth_all_sounds_off(m.synth, -1);
}

void MidiSynthSetRepeat(bool repeat) {
  std::lock_guard guard(g_midi.render);
  if (g_midi.player) fluid_player_set_loop(g_midi.player, repeat && g_midi.file_ticks > 0 ? -1 : 1);
}

void MidiSynthHold(bool hold) { g_midi.held.store(hold, std::memory_order_release); }

bool MidiSynthRunning() {
  return g_midi.started.load(std::memory_order_acquire) &&
         g_midi.status.load(std::memory_order_acquire) == FLUID_PLAYER_PLAYING;
}

uint64_t MidiSynthFramesPlayed() { return g_midi.frames.load(std::memory_order_relaxed); }

void MidiSynthSetVolume(int volume, bool send) {
  if (volume < 0 || volume > 100) return;
  {
    std::lock_guard guard(g_midi.tool.lock);
    g_midi.tool.volume = volume;
  }
  if (send && g_midi.synth) SendChannelVolumes();
}

int MidiSynthVolume() {
  std::lock_guard guard(g_midi.tool.lock);
  return g_midi.tool.volume;
}

int MidiSynthController(int channel, int controller) {
  int value = -1;
  if (!g_midi.synth || fluid_synth_get_cc(g_midi.synth, channel, controller, &value) != FLUID_OK) return -1;
  return value;
}
