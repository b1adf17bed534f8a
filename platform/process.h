// Starting other programs: never through a shell interpreter, always with
// an argument vector. Started programs run on their own; a thread of ours
// collects each one when it ends, so none is left behind as a zombie.
#pragma once
#include <string>
#include <vector>

// Starts argv[0] with the arguments that follow. A name without `/` is looked
// up in PATH. False when it could not be started (not found, not executable).
bool StartProgram(const std::vector<std::string>& argv);

// True when a program of that name is found in PATH.
bool ProgramInPath(const std::string& name);

// Hands a file, folder or URL to the desktop's opener (xdg-open, else
// gio open). False when there is none or it could not be started.
bool OpenWithDesktop(const std::string& target);

// Sets the desktop picture through the desktop's own settings tool when the
// running desktop is one we know (GNOME and its relatives through gsettings,
// Plasma through plasma-apply-wallpaperimage); otherwise does nothing.
// tile and stretch choose how the picture fills the screen.
void SetDesktopWallpaper(const std::string& host_path, bool tile, bool stretch);
