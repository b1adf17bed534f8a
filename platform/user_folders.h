// The user's folders as the desktop names them (xdg-user-dirs): the value of
// $XDG_<NAME>_DIR, else its line in user-dirs.dirs, else ~/<fallback>.
#pragma once
#include <string>

std::string UserFolder(const char* name, const char* fallback);  // e.g. ("DOCUMENTS", "Documents")

// Creates the folder and its parents when missing; false when it cannot.
bool MakeFolders(const std::string& host_path);
