#include "platform/user_folders.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

std::string UserFolder(const char* name, const char* fallback) {
  std::string key = std::string("XDG_") + name + "_DIR";
  if (const char* d = std::getenv(key.c_str()); d && *d) return d;
  const char* home = std::getenv("HOME");
  std::string home_dir = home ? home : "";
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string dirs_file = (config && *config ? std::string(config) : home_dir + "/.config") + "/user-dirs.dirs";
  std::ifstream in(dirs_file);
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with(key + "=")) continue;
    std::string value = line.substr(key.size() + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (value.starts_with("$HOME")) value = home_dir + value.substr(5);
    if (!value.empty()) return value;
  }
  return home_dir.empty() ? std::string() : home_dir + "/" + fallback;
}

bool MakeFolders(const std::string& host_path) {
  std::error_code ec;
  std::filesystem::create_directories(host_path, ec);
  return std::filesystem::is_directory(host_path, ec);
}
