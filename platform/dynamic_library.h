// Native libraries that scripts load and call: opening by host path or by a
// bare name the system's library search finds, looking up exported functions,
// and calling one with a list of 32-bit words.
#pragma once
#include <cstdint>
#include <span>
#include <string>

// A loaded library, or nullptr with the loader's reason in error. An empty
// name is refused (it never means the program itself; see ProgramLibraryHandle).
void* OpenDynamicLibrary(const std::string& host_path_or_name, std::string& error);
void CloseDynamicLibrary(void* library);
// The exported function of that name, or nullptr (also for a variable).
void* FindLibraryFunction(void* library, const char* name);
// The running program itself, as a library handle (its exported symbols).
void* ProgramLibraryHandle();

// The most words a call passes; a longer list is refused.
constexpr size_t kMaxLibraryCallWords = 256;

// Calls function with the words as its arguments, the first word as the
// first argument, each passed as a 32-bit integer, and returns the 32-bit
// integer it returns. False (result untouched) when the call can't be set up.
bool CallLibraryFunction(void* function, std::span<const uint32_t> words, uint32_t& result);
