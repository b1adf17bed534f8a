// A scratch directory for one test, removed with everything in it.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "keva-files-XXXXXX").string();
    path = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  // Engine path (host path bytes) of a name inside the directory.
  std::string operator/(std::string_view name) const { return (path / std::string(name)).string(); }
  // Writes a file (creating its directories) and returns its path.
  std::string Write(std::string_view name, std::string_view bytes) const {
    std::filesystem::path p = path / std::string(name);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p.string();
  }
};
