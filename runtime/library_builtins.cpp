#include "runtime/library_builtins.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"
#include "platform/window_thread.h"
#include "runtime/dispatch.h"
#include "sdk/keva_library.h"

// A script can only hold 32 bits, so dll_proc hands out a function number
// (an index into the table below plus a tag) rather than the function's
// address; dll_call looks it up, and a number of an unloaded library, or any
// other word, calls nothing.
namespace {

struct LibraryFunction {
  int slot;
  void* address;  // nullptr once its library is unloaded
};

std::array<void*, kLibrarySlotCount> libraries{};
std::vector<LibraryFunction> functions;
constexpr uint32_t kFunctionTag = 0x4B000000;  // function numbers: the tag + index
constexpr size_t kMaxFunctions = 0x00FFFFFF;

bool EndsWithNoCase(const std::string& s, std::string_view tail) {
  if (s.size() < tail.size()) return false;
  return std::equal(tail.begin(), tail.end(), s.end() - static_cast<std::ptrdiff_t>(tail.size()),
                    [](char t, char c) { return std::tolower(static_cast<unsigned char>(c)) == t; });
}

// A game folder's library: the named file, found as every script file is
// (either separator, any letter case, the Shift_JIS name), or the same name
// with ".so" for ".dll", as a library rebuilt for this system is named. A
// bare name found nowhere goes to the system's library search.
void* Load(const std::string& path, std::string& error) {
  std::vector<std::string> names{path};
  if (EndsWithNoCase(path, ".dll")) names.push_back(path.substr(0, path.size() - 4) + ".so");
  for (const std::string& name : names) {
    std::string host;
    if (!ResolveReadPath(name, host)) continue;
    if (host.find('/') == std::string::npos) host = "./" + host;  // never a library search
    return OpenDynamicLibrary(host, error);
  }
  if (path.find_first_of("\\/") != std::string::npos) return nullptr;
  for (const std::string& name : names) {
    if (void* library = OpenDynamicLibrary(SjisToUtf8(name), error)) return library;
  }
  return nullptr;
}

bool ValidSlot(int32_t slot) { return slot >= 0 && slot < kLibrarySlotCount && libraries[slot]; }

void Unload(int slot) {
  CloseDynamicLibrary(libraries[slot]);
  libraries[slot] = nullptr;
  for (LibraryFunction& f : functions) {
    if (f.slot == slot) f.address = nullptr;
  }
}

}  // namespace

void UnloadAllLibraries() {
  for (int slot = 0; slot < kLibrarySlotCount; ++slot) {
    if (libraries[slot]) Unload(slot);
  }
  functions.clear();
}

uint32_t builtin_dll_load(BuiltinArgs args) {
  auto free_slot = std::find(libraries.begin(), libraries.end(), nullptr);
  if (free_slot == libraries.end() || !args.u(0)) return static_cast<uint32_t>(-1);
  std::string error;
  void* library = Load(args.str(0), error);
  if (!library) return static_cast<uint32_t>(-1);
  *free_slot = library;
  return static_cast<uint32_t>(free_slot - libraries.begin());
}

uint32_t builtin_dll_unload(BuiltinArgs args) {
  int32_t slot = args.i(0);
  if (!ValidSlot(slot)) return 0;
  Unload(slot);
  return 1;
}

uint32_t builtin_dll_proc(BuiltinArgs args) {
  int32_t slot = args.i(0);
  if (!ValidSlot(slot) || !args.u(1)) return 0;
  void* address = FindLibraryFunction(libraries[slot], args.str(1));
  if (!address) return 0;
  for (size_t i = 0; i < functions.size(); ++i) {
    if (functions[i].slot == slot && functions[i].address == address) return kFunctionTag + static_cast<uint32_t>(i);
  }
  if (functions.size() >= kMaxFunctions) return 0;
  functions.push_back({slot, address});
  return kFunctionTag + static_cast<uint32_t>(functions.size() - 1);
}

uint32_t builtin_dll_call(BuiltinArgs args) {
  int32_t words = PushedArgumentCount(CurrentContext()) - 1;  // after the function number
  uint32_t number = args.u(0);
  if (words < 0 || number < kFunctionTag || number - kFunctionTag >= functions.size()) return 0;
  void* address = functions[number - kFunctionTag].address;
  if (!address || static_cast<size_t>(words) > kMaxLibraryCallWords) return 0;
  std::array<uint32_t, kMaxLibraryCallWords> arguments;
  for (int32_t i = 0; i < words; ++i) arguments[static_cast<size_t>(i)] = args.u(1 + i);
  uint32_t result = 0;
  CallLibraryFunction(address, std::span(arguments.data(), static_cast<size_t>(words)), result);
  return result;
}

// What the engine offers its libraries; the engine program exports these
// names (and only these) to the libraries it loads.
extern "C" {

uint32_t keva_send_message(uint32_t number, uintptr_t w, uintptr_t l) { return SendEngineMessage(number, w, l); }

void* keva_host_pointer(uint32_t address) { return address ? ToHost(address) : nullptr; }

uint32_t keva_script_address(const void* pointer) { return ToVm(pointer); }

}  // extern "C"
