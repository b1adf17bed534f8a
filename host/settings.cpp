#include "host/settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "platform/file_system.h"
#include "platform/profile.h"
#include "platform/text_encoding.h"
#include "platform/user_folders.h"

namespace {

struct IntegerKey {
  const char* section;
  const char* key;
  int32_t Settings::*value;
};
struct TextKey {
  const char* section;
  const char* key;
  std::string Settings::*value;
  size_t capacity;  // bytes including the terminator
};

// In the order the configuration is read.
const IntegerKey kIntegerKeys[] = {
    {"General", "Inheritance", &Settings::inheritance},
    {"General", "DebugMode", &Settings::debug_mode},
    {"General", "Error", &Settings::error},
    {"General", "MultiInstance", &Settings::multi_instance},
    {"Window", "Resize", &Settings::resize},
    {"Window", "RestoreBounds", &Settings::restore_bounds},
    {"Window", "WindowLeft", &Settings::window_left},
    {"Window", "WindowTop", &Settings::window_top},
    {"Window", "WindowWidth", &Settings::window_width},
    {"Window", "WindowHeight", &Settings::window_height},
    {"Screen", "Width", &Settings::width},
    {"Screen", "Height", &Settings::height},
    {"Screen", "Depth", &Settings::depth},
    {"Screen", "FullScreen", &Settings::full_screen},
    {"Screen", "FixedAspectRatio", &Settings::fixed_aspect_ratio},
    {"Screen", "Smoothing", &Settings::smoothing},
    {"System", "MMX", &Settings::mmx},
    {"System", "MultiThreading", &Settings::multi_threading},
    {"System", "Direct3D", &Settings::direct3d},
    {"System", "DirectSound", &Settings::direct_sound},
    {"System", "DirectMusic", &Settings::direct_music},
    {"System", "DirectInput", &Settings::direct_input},
    {"System", "Net", &Settings::net},
    {"Drive", "CD", &Settings::cd},
    {"Option", "GlobalFocus", &Settings::global_focus},
    {"Option", "GlobalSound", &Settings::global_sound},
    {"Option", "Confirmation", &Settings::confirmation},
    {"Option", "TextHook", &Settings::text_hook},
    {"Script", "ProgramSize", &Settings::program_size},
    {"Script", "StackSize", &Settings::stack_size},
    {"Script", "HeapSize", &Settings::heap_size},
};
const TextKey kTextKeys[] = {
    {"General", "Product", &Settings::product, 260},
    {"Window", "Title", &Settings::title, 256},
    {"Script", "Load", &Settings::load, 260},
    {"System", "SoundFont", &Settings::sound_font, 260},
    {"Drive", "Folder", &Settings::cd_folder, 260},
};

// Cuts Shift_JIS text to fit a buffer of `capacity` bytes without splitting a
// two-byte character.
std::string FitBuffer(std::string text, size_t capacity) {
  size_t keep = 0;
  for (size_t i = 0; i < text.size();) {
    size_t step = IsSjisLead(static_cast<uint8_t>(text[i])) && i + 1 < text.size() ? 2 : 1;
    if (i + step > capacity - 1) break;
    i += step;
    keep = i;
  }
  text.resize(keep);
  return text;
}

bool Exists(const std::string& engine_path) {
  std::string host;
  return ResolveReadPath(engine_path, host);
}

// Host path (UTF-8) to an engine path: Shift_JIS where it converts, else the
// bytes as they are (the exact name is always tried first when opening).
std::string EnginePath(const std::string& host_path) {
  std::string sjis;
  return Utf8ToSjis(host_path, sjis) ? sjis : host_path;
}

bool EnsureDirectory(const std::string& host_path) {
  struct stat st{};
  if (stat(host_path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  return mkdir(host_path.c_str(), 0755) == 0;
}

}  // namespace

namespace {

std::string LowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// What makes a program of a game folder the game: its script folder, its
// archive of scripts or its configuration file, found as the engine finds
// files (any case, either encoding).
std::vector<std::string> WhatFits(const std::string& folder, const std::string& stem) {
  std::string base = folder + "/" + EnginePath(stem);
  std::vector<std::string> found;
  std::string host;
  if (ResolveReadPath(base + "/", host)) found.push_back("script folder " + stem + "/");
  if (ResolveReadPath(base + ".bin", host)) found.push_back("archive " + stem + ".bin");
  if (ResolveReadPath(base + ".cfg", host)) found.push_back("configuration " + stem + ".cfg");
  return found;
}

std::string List(const std::vector<std::string>& items, const char* suffix) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item + suffix;
  return out;
}

// The game of a folder: its one program, or among several the one that fits
// (saying so, since it is a guess), else its one configuration file, else the
// folder's own name. Empty, with the reason in message, when several
// programs are there and none fits.
std::string GameNameInFolder(const std::filesystem::path& p, std::string& message) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<std::string> exes, cfgs;
  for (const auto& entry : fs::directory_iterator(p, ec)) {
    std::string ext = LowerAscii(entry.path().extension().string());
    std::string stem = entry.path().stem().string();
    if (ext == ".exe") exes.push_back(stem);
    if (ext == ".cfg" && !EqualUtf8NoCase(entry.path().filename().string(), "configure.cfg")) cfgs.push_back(stem);
  }
  std::sort(exes.begin(), exes.end());
  if (exes.size() == 1) return exes[0];
  if (exes.size() > 1) {
    const std::string folder = p.string();
    std::vector<std::string> fitting;
    std::string why;
    for (const std::string& stem : exes) {
      std::vector<std::string> fits = WhatFits(folder, stem);
      if (fits.empty()) continue;
      fitting.push_back(stem);
      if (fitting.size() == 1) why = List(fits, "");
    }
    if (fitting.empty()) {
      message = folder + " holds several programs (" + List(exes, ".exe") +
                ") and none has its script folder, archive or configuration file beside it (looked for NAME/, "
                "NAME.bin and NAME.cfg for each); name the one to run";
      return {};
    }
    message = folder + " holds several programs (" + List(exes, ".exe") + "); running " + fitting[0] +
              ".exe, which has its " + why;
    if (fitting.size() > 1) message += " (so do " + List({fitting.begin() + 1, fitting.end()}, ".exe") + ")";
    return fitting[0];
  }
  if (cfgs.size() == 1) return cfgs[0];
  std::string name = p.filename().string();
  return name.empty() ? p.parent_path().filename().string() : name;
}

}  // namespace

bool LocateGame(const std::string& path, GamePaths& paths, std::string& script_override, std::string* message) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::string note;
  fs::path p = fs::absolute(fs::path(path), ec).lexically_normal();
  if (ec || !fs::exists(p, ec)) {
    note = path + ": no such game, folder or file";
    if (message) *message = note;
    return false;
  }
  if (p.has_filename() == false) p = p.parent_path();  // a trailing '/'
  script_override.clear();
  fs::path folder;
  std::string name;
  if (fs::is_directory(p, ec)) {
    folder = p;
    name = GameNameInFolder(p, note);
    if (name.empty()) {
      if (message) *message = note;
      return false;
    }
  } else {
    folder = p.parent_path();
    name = p.stem().string();
    std::string ext = p.extension().string();
    if (ext == ".c" || ext == ".C") script_override = EnginePath(p.filename().string());
  }
  if (message) *message = note;
  // The engine's own path to the game stays the host's bytes; only the names
  // inside it, which scripts see, are Shift_JIS.
  paths.module_directory = folder.string();
  if (paths.module_directory.empty() || paths.module_directory.back() != '/') paths.module_directory += '/';
  paths.executable_name = EnginePath(name);
  return true;
}

void ReadConfiguration(Settings& s, std::string_view path) {
  std::string text;  // read once for all the keys
  if (!ReadProfileText(path, text)) return;
  for (const IntegerKey& k : kIntegerKeys) s.*k.value = ProfileInt(text, k.section, k.key, s.*k.value);
  for (const TextKey& k : kTextKeys) s.*k.value = FitBuffer(ProfileString(text, k.section, k.key, s.*k.value), k.capacity);
}

std::string DocumentsDirectory() { return UserFolder("DOCUMENTS", "Documents"); }

void LoadConfiguration(Settings& s, GamePaths& paths, const std::string& documents) {
  s = Settings{};
  paths.configuration_path = paths.module_directory + paths.executable_name + ".cfg";
  if (Exists(paths.configuration_path)) ReadConfiguration(s, paths.configuration_path);
  if (!s.inheritance) return;
  paths.configuration_path = paths.module_directory + "configure.cfg";
  if (Exists(paths.configuration_path)) ReadConfiguration(s, paths.configuration_path);
  if (!s.inheritance || s.product.empty() || documents.empty()) return;
  std::string product_sjis = s.product;
  std::string product_host = SjisToUtf8(product_sjis);
  std::string folder = documents + "/TOLVEN";
  if (!EnsureDirectory(folder)) return;
  folder += "/" + product_host;
  if (!EnsureDirectory(folder)) return;
  paths.configuration_path = folder + "/configure.cfg";  // host bytes, as the folder is
  if (Exists(paths.configuration_path)) ReadConfiguration(s, paths.configuration_path);
}

void ChooseMainScript(const Settings& s, GamePaths& paths) {
  if (s.load.empty()) {
    paths.script_directory = paths.executable_name + "\\";
    paths.main_script = "main.c";
    return;
  }
  size_t last = std::string::npos;
  for (size_t i = 0; i < s.load.size(); ++i) {
    if (IsSjisLead(static_cast<uint8_t>(s.load[i]))) {
      ++i;
      continue;
    }
    if (s.load[i] == '\\') last = i;
  }
  if (last == std::string::npos) {
    paths.script_directory.clear();
    paths.main_script = s.load;
  } else {
    paths.script_directory = s.load.substr(0, last + 1);
    paths.main_script = s.load.substr(last + 1);
  }
}

void WriteBackSettings(const Settings& s, const GamePaths& paths, bool full_screen_now) {
  const std::string& file = paths.configuration_path;
  auto flag = [](int32_t v) { return v ? "1" : "0"; };
  WriteProfileString(file, "Screen", "FullScreen", full_screen_now ? "1" : "0");
  WriteProfileString(file, "Screen", "Smoothing", flag(s.smoothing));
  WriteProfileString(file, "Option", "GlobalFocus", flag(s.global_focus));
  WriteProfileString(file, "Option", "GlobalSound", flag(s.global_sound));
  auto bound = [&](int32_t v) { return s.restore_bounds ? std::to_string(v) : std::string("0"); };
  WriteProfileString(file, "Window", "WindowLeft", bound(s.window_left));
  WriteProfileString(file, "Window", "WindowTop", bound(s.window_top));
  WriteProfileString(file, "Window", "WindowWidth", bound(s.window_width));
  WriteProfileString(file, "Window", "WindowHeight", bound(s.window_height));
}
