// The engine's settings: every key of the configuration file with its
// section, type and default, the configuration search, and the write-back
// at exit.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

struct Settings {
  // [General]
  std::string product;            // per-user folder name (259 bytes at most)
  int32_t inheritance = 1;
  int32_t debug_mode = 0;
  int32_t error = 1;
  int32_t multi_instance = 0;
  // [Window]
  std::string title;              // 255 bytes at most
  int32_t resize = 0;
  int32_t restore_bounds = 0;
  int32_t window_left = 0, window_top = 0, window_width = 0, window_height = 0;
  // [Screen]
  int32_t width = 640, height = 480, depth = 24;
  int32_t full_screen = 0;
  int32_t fixed_aspect_ratio = 1;
  int32_t smoothing = 1;
  // [System]
  int32_t mmx = 1, multi_threading = 1, direct3d = 1, direct_sound = 1, direct_music = 0, direct_input = 0, net = 0;
  std::string sound_font;         // a General MIDI SoundFont; empty: the one the system registers
  // [Drive]
  int32_t cd = 0;
  std::string cd_folder;          // the virtual disc's folder; empty: "CD" or "cdda" beside the game
  // [Option]
  int32_t global_focus = 0, global_sound = 0, confirmation = 1;
  int32_t text_hook = 0;  // every drawn string as UTF-8: 1 to standard output, 2 to the clipboard
  // [Script]
  std::string load;               // 259 bytes at most
  int32_t program_size = 0, stack_size = 262144, heap_size = 2097152;
};

// Reads every key from one INI file; a key the file lacks keeps its value.
void ReadConfiguration(Settings& settings, std::string_view path);

// Where a game lives and what it runs. The module directory (and a per-user
// configuration path) is the host's path, bytes as the system has them,
// ending with '/'; the names below it (executable name, script directory,
// main script) are engine paths (Shift_JIS, `/` or `\` separated), which the
// file layer finds in the host's spelling.
struct GamePaths {
  std::string module_directory;
  std::string executable_name;     // without extension
  std::string configuration_path;  // the file the exit write-back goes to
  std::string script_directory;    // ends with a separator, or empty
  std::string main_script;
};

// Finds the game that `path` names (host path): an executable or a
// configuration file (its folder is the module directory, its name without
// the extension the executable name); a folder (named by its one ".exe"; among
// several ".exe" (a game and its settings tool) the one whose script folder
// NAME/, archive NAME.bin or configuration NAME.cfg exists; else by the one
// ".cfg" other than "configure.cfg", else the folder itself); or a script
// ending in ".c" (run as the main script, from its own folder). False when
// the path does not exist or no program of a folder fits. message (when
// given) receives the reason of a failure, or a note saying which of several
// programs was chosen and why, else nothing.
bool LocateGame(const std::string& path, GamePaths& paths, std::string& script_override,
                std::string* message = nullptr);

// The user's documents folder (host path): $XDG_DOCUMENTS_DIR, else the
// XDG_DOCUMENTS_DIR line of user-dirs.dirs, else ~/Documents.
std::string DocumentsDirectory();

// Settings from their defaults through the configuration search: the file
// named after the executable, then (with Inheritance) "configure.cfg" beside
// it, then (with Inheritance and Product) the per-user file, whose folders are
// created. Fills paths.configuration_path with the last candidate reached.
void LoadConfiguration(Settings& settings, GamePaths& paths, const std::string& documents_directory);

// The script directory and the main script name from [Script] Load.
void ChooseMainScript(const Settings& settings, GamePaths& paths);

// Writes FullScreen, Smoothing, GlobalFocus, GlobalSound and the window
// bounds back to the configuration file.
void WriteBackSettings(const Settings& settings, const GamePaths& paths, bool full_screen_now);
