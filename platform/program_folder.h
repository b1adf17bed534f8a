// Where the running program lives, for the files the engine ships beside it
// (the SDK folder of the builtin header, an installed share folder).
#pragma once
#include <string>

// Host path of the running executable (symbolic links followed); empty when
// the system cannot say.
std::string ProgramPath();
// Host path of the folder that holds it, ending in '/'; empty when unknown.
std::string ProgramFolder();
