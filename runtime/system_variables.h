// The system variables that scripts read with getsystem and write with
// setsystem, by name in any case.
#pragma once
#include <cstdint>

#include "runtime/builtin.h"

// Reads or writes a system variable by name (Shift_JIS, compared without
// regard to ASCII case). Unknown names give 0.
uint32_t GetSystemVariable(const char* name);
uint32_t SetSystemVariable(const char* name, uint32_t value);

// The running kernel's release "major.minor.patch" as the os_major, os_minor
// and os_build values (os_platform is 2, the NT line). Read once.
struct OsVersion {
  uint32_t platform, major, minor, build;
};
OsVersion RunningOsVersion();

uint32_t builtin_getsystem(BuiltinArgs args);
uint32_t builtin_setsystem(BuiltinArgs args);
