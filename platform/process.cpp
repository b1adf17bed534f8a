#include "platform/process.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

bool StartProgram(const std::vector<std::string>& argv) {
  if (argv.empty() || argv[0].empty()) return false;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child starts in a session of its own with the default signal mask, so
  // the engine's signals and its end do not reach it.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  int r = posix_spawnp(&pid, args[0], nullptr, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (r != 0) return false;
  std::thread([pid] {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

bool ProgramInPath(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return false;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t colon = dirs.find(':', start);
    if (colon == std::string::npos) colon = dirs.size();
    std::string dir = dirs.substr(start, colon - start);
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return true;
    start = colon + 1;
  }
  return false;
}

bool OpenWithDesktop(const std::string& target) {
  if (target.empty()) return false;
  if (ProgramInPath("xdg-open")) return StartProgram({"xdg-open", target});
  if (ProgramInPath("gio")) return StartProgram({"gio", "open", target});
  return false;
}

void SetDesktopWallpaper(const std::string& host_path, bool tile, bool stretch) {
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  if (!desktop || host_path.empty()) return;
  std::error_code ec;
  std::string absolute = std::filesystem::absolute(host_path, ec).string();
  if (ec) return;
  std::string d = desktop;
  bool gnome_like = d.find("GNOME") != std::string::npos || d.find("Unity") != std::string::npos ||
                    d.find("Cinnamon") != std::string::npos || d.find("Budgie") != std::string::npos;
  if (gnome_like && ProgramInPath("gsettings")) {
    std::string uri = "file://" + absolute;
    StartProgram({"gsettings", "set", "org.gnome.desktop.background", "picture-uri", uri});
    StartProgram({"gsettings", "set", "org.gnome.desktop.background", "picture-uri-dark", uri});
    const char* option = tile ? "wallpaper" : stretch ? "stretched" : "centered";
    StartProgram({"gsettings", "set", "org.gnome.desktop.background", "picture-options", option});
  } else if (d.find("KDE") != std::string::npos && ProgramInPath("plasma-apply-wallpaperimage")) {
    StartProgram({"plasma-apply-wallpaperimage", absolute});
  }
}
