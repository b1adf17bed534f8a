// keva: runs a game, in its window or headless.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/sound_buffers.h"
#include "display/display_output.h"
#include "graphics/text.h"
#include "host/engine.h"
#include "host/main_window.h"
#include "host/self_check.h"
#include "input/input_devices.h"
#include "platform/clipboard.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/debug_window.h"
#include "platform/error_box.h"
#include "platform/program_folder.h"
#include "platform/single_instance.h"
#include "platform/stop_signals.h"
#include "platform/text_encoding.h"
#include "platform/window.h"
#include "platform/window_thread.h"
#include "runtime/runtime_settings.h"
#include "runtime/script_threads.h"
#include "vm/context.h"

namespace {

constexpr uint32_t kTimeoutGraceMs = 1000;

constexpr const char* kUsage =
    "Usage: keva [--headless] [--timeout SECONDS] [--screenshot FILE] [--audio-out FILE.wav]\n"
    "            [--text-hook[=clipboard]] [--input FILE] [--record FILE] [PATH]\n"
    "  or:  keva --self-check | --version | --help\n"
    "\n"
    "Runs a game. PATH is the game's executable or configuration file, the game's\n"
    "folder, or a script (.c) to run as the main script; without PATH the game\n"
    "beside the keva program runs. The configuration is read from NAME.cfg, then\n"
    "configure.cfg beside it, then the per-user configure.cfg under\n"
    "$XDG_DOCUMENTS_DIR/TOLVEN/<Product>/.\n"
    "\n"
    "  --headless         no window and no sound device: the Debug Output window\n"
    "                     is standard output (log_out lines, UTF-8), error boxes\n"
    "                     go to standard error and are answered OK; the\n"
    "                     configuration file is left as it is\n"
    "  --timeout SECONDS  headless: stop the scripts after this long\n"
    "  --screenshot FILE  headless: at the end, write what the screen shows to\n"
    "                     FILE (.png or .bmp)\n"
    "  --text-hook        write every string gtext and gtextf draw, as UTF-8, one\n"
    "                     line per call, to standard output (identical strings\n"
    "                     in a row once); --text-hook=clipboard puts each on the\n"
    "                     clipboard instead (with a window). [Option] TextHook=1\n"
    "                     or 2 in the configuration does the same\n"
    "  --audio-out FILE   write everything the engine plays to FILE, a 16-bit\n"
    "                     stereo WAV (windowed or headless)\n"
    "  --input FILE       replay the timed keyboard, mouse and joystick events of\n"
    "                     FILE (times in ms from the start of the main script;\n"
    "                     the README describes the lines), windowed or headless\n"
    "  --record FILE      write what the player does to FILE in the same format\n"
    "  --self-check       run a small hand-assembled program on the script VM\n"
    "  --help             show this help\n"
    "  --version          show the version\n"
    "\n"
    "Exit status (headless): the main script's main() result when the scripts\n"
    "end by themselves; 0 after exit(); 1 after a failed script, a script that\n"
    "does not load, or any error box (also when [General] Error=0 hides it);\n"
    "124 at the timeout; 2 for bad arguments.\n";

enum TextHookTarget { kTextHookOff = 0, kTextHookStandardOutput = 1, kTextHookClipboard = 2 };

struct Options {
  bool headless = false;
  int text_hook = -1;  // a TextHookTarget, or -1: as the configuration says
  double timeout_seconds = 0;
  std::string screenshot;
  std::string input;
  std::string record;
  std::string audio_out;
  std::string path;
};

bool ParseArguments(int argc, char** argv, Options& o, int& status) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      status = 0;
      return false;
    }
    if (a == "--version") {
      std::printf("keva %s\n", KEVA_VERSION);
      status = 0;
      return false;
    }
    if (a == "--self-check") {
      status = RunVmSelfCheck();
      return false;
    }
    if (a == "--headless") {
      o.headless = true;
    } else if (a == "--timeout" && i + 1 < argc) {
      char* end = nullptr;
      o.timeout_seconds = std::strtod(argv[++i], &end);
      if (*end || o.timeout_seconds < 0) {
        std::fprintf(stderr, "keva: --timeout needs a number of seconds, not '%s'\n", argv[i]);
        status = 2;
        return false;
      }
    } else if (a == "--text-hook" || a == "--text-hook=stdout") {
      o.text_hook = kTextHookStandardOutput;
    } else if (a == "--text-hook=clipboard") {
      o.text_hook = kTextHookClipboard;
    } else if (a == "--screenshot" && i + 1 < argc) {
      o.screenshot = argv[++i];
    } else if (a == "--input" && i + 1 < argc) {
      o.input = argv[++i];
    } else if (a == "--record" && i + 1 < argc) {
      o.record = argv[++i];
    } else if (a == "--audio-out" && i + 1 < argc) {
      o.audio_out = argv[++i];
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "keva: unknown option '%s'\n%s", a.c_str(), kUsage);
      status = 2;
      return false;
    } else if (o.path.empty()) {
      o.path = a;
    } else {
      std::fprintf(stderr, "keva: more than one PATH given\n");
      status = 2;
      return false;
    }
  }
  return true;
}

// At the timeout the scripts are asked to stop, but a builtin that runs long
// (a 2 GiB fill) finishes only then, and the run must still end on time: if
// the shut-down has not finished within a short grace, the process ends here.
void EndSoonAfterTimeout(double timeout_seconds) {
  std::thread([timeout_seconds] {
    SleepMs(kTimeoutGraceMs);
    std::fprintf(stderr, "keva: timed out after %g seconds (a builtin was still running)\n", timeout_seconds);
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(124);
  }).detach();
}

// The text hook: what the game draws, for screen readers, dictionaries and
// translation tools. Runs on script threads under the builtin lock.
std::string last_hooked_text;
bool hook_to_clipboard = false;

// The newest hooked line waits here for the window thread; a line replaced
// before the window thread got to it would have been overwritten on the
// clipboard at once anyway.
std::mutex clipboard_lock;
std::string clipboard_line;
bool clipboard_posted = false;

void PutOnClipboard(uintptr_t) {
  std::string utf8;
  {
    std::lock_guard lock(clipboard_lock);
    utf8.swap(clipboard_line);
    clipboard_posted = false;
  }
  SetClipboardText(utf8);
}

void HookDrawnText(std::string_view sjis) {
  if (sjis == last_hooked_text) return;
  last_hooked_text.assign(sjis);
  std::string utf8 = SjisToUtf8(sjis);
  for (char& c : utf8)
    if (c == '\n' || c == '\r') c = ' ';  // one line per call
  if (hook_to_clipboard) {
    bool post;
    {
      std::lock_guard lock(clipboard_lock);
      clipboard_line = std::move(utf8);
      post = !clipboard_posted;
      clipboard_posted = true;
    }
    if (post) PostToWindowThread(PutOnClipboard, 0);  // outside the lock: with no window thread it runs here
    return;
  }
  utf8 += '\n';
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fflush(stdout);
}

void StartTextHook(int target, bool windowed) {
  if (target != kTextHookStandardOutput && target != kTextHookClipboard) return;
  hook_to_clipboard = target == kTextHookClipboard && windowed;
  if (target == kTextHookClipboard && !windowed)
    std::fprintf(stderr, "keva: no clipboard without a window; the text hook writes to standard output\n");
  g_text_hook = HookDrawnText;
}

// The end of the input: events the game ended before are told about, and
// the recording is written.
bool FinishRecordingOrSay() {
  if (size_t left = ScriptedInputPending())
    std::fprintf(stderr, "keva: the game ended before %zu event%s of the input file\n", left, left == 1 ? "" : "s");
  std::string error;
  if (FinishRecording(error)) return true;
  std::fprintf(stderr, "keva: %s\n", error.c_str());
  return false;
}

int RunHeadless(const Options& o) {
  UseStandardOutputForDebugOutput();
  StartTextHook(o.text_hook >= 0 ? o.text_hook : g_settings.text_hook, false);
  BecomeWindowThread();
  EngineInit();
  uint32_t boxes_before = ErrorBoxCount();
  if (!StartMainScript()) {
    if (ErrorBoxCount() == boxes_before)
      std::fprintf(stderr, "keva: cannot load the main script '%s%s'\n", g_game_paths.script_directory.c_str(),
                   g_game_paths.main_script.c_str());
    EngineShutdown();
    return 1;
  }
  uint32_t start = TickCount();
  uint32_t limit = static_cast<uint32_t>(o.timeout_seconds * 1000);
  bool timed_out = false;
  while (AnyScriptThreadAlive() && !ScriptStopRequested()) {
    if (limit && TickCount() - start >= limit) {
      timed_out = true;
      break;
    }
    FeedScriptedInput();
    if (ServeEngineMessages() == 0) WaitForEngineMessages(1);
  }
  bool stopped = ScriptStopRequested() && !timed_out;
  if (timed_out) EndSoonAfterTimeout(o.timeout_seconds);
  StopAllScriptThreads();
  bool screenshot_failed = false;
  if (!o.screenshot.empty()) {
    std::string error;
    if (SaveFrame(o.screenshot, error)) {
      std::fprintf(stderr, "keva: screenshot written to %s\n", o.screenshot.c_str());
    } else {
      std::fprintf(stderr, "keva: cannot write the screenshot %s: %s\n", o.screenshot.c_str(), error.c_str());
      screenshot_failed = true;
    }
  }
  EngineShutdown();
  bool main_ended = false;
  uint32_t result = ScriptThreadResult(0, &main_ended);
  const bool recorded = FinishRecordingOrSay();
  if (timed_out) {
    std::fprintf(stderr, "keva: timed out after %g seconds\n", o.timeout_seconds);
    return 124;
  }
  if (!recorded) return 1;
  if (ReportedErrorCount() > 0 || screenshot_failed) return 1;
  if (stopped) return 0;  // exit()
  return main_ended ? static_cast<int>(result) : 1;
}

void ShowErrorInABox(std::string_view caption, std::string_view text) { ShowMessageBox(caption, text, false); }

void StartMainScriptPosted(uintptr_t) { StartMainScript(); }

void WriteBackWindowedSettings(bool full_screen) {
  g_settings.smoothing = g_runtime_settings.smoothing;  // setsystem may have changed these
  g_settings.global_focus = g_runtime_settings.global_focus;
  g_settings.global_sound = g_runtime_settings.global_sound;
  WriteBackSettings(g_settings, g_game_paths, full_screen);
}

// Cut off the display: no orderly shut-down is possible without it, but what
// the player set is still written back and the recording finished.
[[noreturn]] void EndAfterLostDisplay() {
  CloseAllMessageBoxes();
  std::fprintf(stderr, "keva: the connection to the display was lost\n");
  WriteBackWindowedSettings(false);
  FinishRecordingOrSay();
  std::fflush(stdout);
  _exit(1);
}

int RunWindowed(const Options& o) {
  if (!g_settings.multi_instance && !ClaimSingleInstance(g_game_paths.module_directory, RaiseMainWindowSoon))
    return 0;  // the first instance has been raised
  BecomeWindowThread();
  SetErrorBoxBackend(ShowErrorInABox);
  if (!OpenMainWindow()) return 0;
  // SIGTERM and SIGINT close the window as the player would, without asking.
  WatchStopSignals(CloseMainWindowNow);
  SetWindowConnectionLostHandler(EndAfterLostDisplay);
  StartTextHook(o.text_hook >= 0 ? o.text_hook : g_settings.text_hook, true);
  // The Debug Output window exists with DebugMode; should it fail to open
  // (no font), its lines go to standard output instead.
  if (g_settings.debug_mode && !CreateDebugWindow()) UseStandardOutputForDebugOutput();
  EngineInit();
  if (g_settings.full_screen) SetFullScreen(1);
  PostToWindowThread(StartMainScriptPosted, 0);
  RunEventLoop();
  WriteBackWindowedSettings(FullScreenAtClose());
  return FinishRecordingOrSay() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int status = 0;
  if (!ParseArguments(argc, argv, options, status)) return status;
  std::string path = options.path.empty() ? ProgramPath() : options.path;
  std::string script_override;
  std::string located;
  if (!LocateGame(path, g_game_paths, script_override, &located)) {
    std::fprintf(stderr, "keva: %s\n", located.c_str());
    return 2;
  }
  if (!located.empty()) std::fprintf(stderr, "keva: %s\n", located.c_str());
  LoadConfiguration(g_settings, g_game_paths, DocumentsDirectory());
  ChooseMainScript(g_settings, g_game_paths);
  if (!script_override.empty()) {
    g_game_paths.script_directory.clear();
    g_game_paths.main_script = script_override;
  }
  // Paths given on the command line are relative to where keva was started,
  // not to the game's folder it works in.
  if (!options.screenshot.empty()) options.screenshot = std::filesystem::absolute(options.screenshot).string();
  if (!options.audio_out.empty()) g_sound_settings.record_path = std::filesystem::absolute(options.audio_out).string();
  if (!options.input.empty()) {
    std::string error;
    if (!LoadInputScript(std::filesystem::absolute(options.input).string(), error)) {
      std::fprintf(stderr, "keva: %s\n", error.c_str());
      return 2;
    }
  }
  if (!options.record.empty()) {
    std::string error;
    if (!StartRecording(std::filesystem::absolute(options.record).string(), error)) {
      std::fprintf(stderr, "keva: %s\n", error.c_str());
      return 2;
    }
  }
  if (chdir(g_game_paths.module_directory.c_str()) != 0) {
    std::fprintf(stderr, "keva: cannot enter %s\n", g_game_paths.module_directory.c_str());
    return 2;
  }
  ApplySettings();
  g_input_host_hooks.activated = ApplicationActivated;  // focus lines of input files act as the window's focus
  if (!options.headless) {
    if (WindowSystemAvailable()) return RunWindowed(options);
    std::fprintf(stderr, "keva: no display; running headless\n");
  }
  g_sound_settings.use_device = false;  // the mixer runs paced by the clock
  return RunHeadless(options);
}
