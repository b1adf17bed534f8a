#include "host/engine.h"

#include "audio/cd_audio.h"
#include "audio/midi_music.h"
#include "audio/sound_buffers.h"
#include "audio/video_playback.h"
#include "compiler/compiler.h"
#include "display/display_output.h"
#include "graphics/planes.h"
#include "host/main_window.h"
#include "input/input_devices.h"
#include "net/networking.h"
#include "platform/dynamic_library.h"
#include "platform/error_box.h"
#include "platform/window.h"
#include "platform/window_thread.h"
#include "runtime/dispatch.h"
#include "runtime/file_system_builtins.h"
#include "runtime/runtime_settings.h"
#include "runtime/script_loader.h"
#include "runtime/script_threads.h"
#include "sdk/keva_library.h"

void ApplySettings() {
  const Settings& s = g_settings;
  SetErrorLevel(s.error);
  g_runtime_settings.program_size = static_cast<uint32_t>(s.program_size);
  g_runtime_settings.stack_size = static_cast<uint32_t>(s.stack_size);
  g_runtime_settings.debug_mode = s.debug_mode;
  g_runtime_settings.global_focus = s.global_focus;
  g_runtime_settings.global_sound = s.global_sound;
  g_sound_settings.direct_sound = s.direct_sound;
  g_midi_settings = {s.direct_music, s.sound_font, g_game_paths.module_directory};
  g_cd_settings = {s.cd, s.cd_folder, g_game_paths.module_directory};
  g_runtime_settings.smoothing = s.smoothing;
  g_runtime_settings.confirmation = s.confirmation;
  g_graphics_settings.Width = s.width;
  g_graphics_settings.Height = s.height;
  g_graphics_settings.Depth = s.depth;
  g_graphics_settings.MultiThreading = s.multi_threading;
  g_display_settings.width = s.width;
  g_display_settings.height = s.height;
  g_display_settings.fixed_aspect_ratio = s.fixed_aspect_ratio;
  g_display_settings.scaled = s.direct3d;
  g_display_settings.multi_threading = s.multi_threading;
  SetScriptDirectory(g_game_paths.script_directory);
  g_game_folders = {g_game_paths.configuration_path, g_game_paths.module_directory};  // ini_ and dir_getpath
  g_input_settings.direct_input = s.direct_input;
  g_input_settings.width = s.width;
  g_input_settings.height = s.height;
  g_input_settings.mapping_file = g_game_paths.module_directory + "gamecontrollerdb.txt";
}

int EngineInit() {
  // 1. the sine and arctangent tables (MathStart) and the blend tables (the
  //    graphics start) are built by RuntimeStart below, which is also the reset
  if (g_settings.net) NetStart();  // 2. networking, when [System] Net is on
  StartDisplayOutput();  // scaled to the window ([System] Direct3D) or 1:1
  StartSound();  // sound, when [System] DirectSound is on
  StartMidi();  // MIDI, when [System] DirectMusic is on
  StartInput();  // keyboard, mouse, joysticks and the cursor
  StartCdAudio();  // CD audio, when [Drive] CD is on
  AllocExternalArea(static_cast<uint32_t>(g_settings.heap_size));  // without it, extern variables do not compile
  SetEngineMessageHandler(EngineWindowProcedure);
  RuntimeStart();
  ClearThreadTable();
  // 10. the palette matcher's colour-distance tables (built with the graphics start)
  // 11. the random generator is seeded from the tick count, by MathStart
  // 12. the cursor is the standard arrow
  return 1;
}

int EngineShutdown() {
  ReleaseMedia();  // the video is stopped
  StopAllScriptThreads();
  RuntimeStop();
  FreeExternalArea();
  StopCdAudio();  // CD audio, input devices and MIDI, in this order, then sound
  StopInput();
  StopMidi();
  StopSound();
  StopDisplayOutput();
  NetShutdown();  // then networking
  // 6. the lookup tables are freed with the graphics shut-down
  return 1;
}

bool StartMainScript() {
  if (g_game_paths.main_script.empty()) return false;
  ScriptContext* ctx = LoadScript(g_game_paths.main_script.c_str(), g_runtime_settings.program_size,
                                  g_runtime_settings.stack_size);
  if (!ctx) return false;
  MarkMainScriptStart();  // scripted input counts its times from here
  if (StartScriptThread(ctx, false) < 0) {
    FreeContext(ctx);
    return false;
  }
  return true;
}

// What a native library learns with message 1234. The flags are read by the
// library as plain 32-bit words.
static_assert(sizeof(g_script_stop_flag) == 4 && std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(g_application_active) == 4 && std::atomic<int32_t>::is_always_lock_free);
void FillEngineInfo(KevaEngineInfo& info) {
  info.stop_flag = reinterpret_cast<volatile const uint32_t*>(&g_script_stop_flag);
  info.active = reinterpret_cast<volatile const int32_t*>(&g_application_active);
  info.program = ProgramLibraryHandle();
  info.main_window = MainWindowHandle();
  info.width = static_cast<uint32_t>(g_settings.width);
  info.height = static_cast<uint32_t>(g_settings.height);
  info.depth = static_cast<uint32_t>(g_settings.depth);
}

uint32_t EngineWindowProcedure(uint32_t number, uintptr_t w, uintptr_t l) {
  switch (number) {
    case kMessageSetFullScreen:
      return static_cast<uint32_t>(SetFullScreen(static_cast<int32_t>(w)));
    case kMessageGetKey:
    case kMessageGetJoy:
    case kMessageGetMouse:
      return InputEngineMessage(number, w, l);
    case kMessageEngineInfo:
      if (w) FillEngineInfo(*reinterpret_cast<KevaEngineInfo*>(w));
      return 0;
    default:
      if (IsSoundMessage(number)) return SoundEngineMessage(number, w, l);
      if (IsMediaMessage(number)) return MediaEngineMessage(number, w, l);
      if (IsMidiMessage(number)) return MidiEngineMessage(number, w, l);
      if (IsCdMessage(number)) return CdEngineMessage(number, w, l);
      return 0;  // numbers of subsystems not built yet, and unknown numbers
  }
}
