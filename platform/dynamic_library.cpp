#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <ffi.h>

#include <array>

void* OpenDynamicLibrary(const std::string& path, std::string& error) {
  dlerror();
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* why = dlerror();
    error = why ? why : "cannot be loaded";
  }
  return library;
}

void CloseDynamicLibrary(void* library) {
  if (library) dlclose(library);
}

void* FindLibraryFunction(void* library, const char* name) {
  if (!library || !name) return nullptr;
  return dlsym(library, name);
}

void* ProgramLibraryHandle() {
  static void* program = dlopen(nullptr, RTLD_NOW);
  return program;
}

bool CallLibraryFunction(void* function, std::span<const uint32_t> words, uint32_t& result) {
  if (!function || words.size() > kMaxLibraryCallWords) return false;
  std::array<ffi_type*, kMaxLibraryCallWords> types;
  std::array<void*, kMaxLibraryCallWords> values;
  for (size_t i = 0; i < words.size(); ++i) {
    types[i] = &ffi_type_uint32;
    values[i] = const_cast<uint32_t*>(&words[i]);
  }
  ffi_cif cif;
  if (ffi_prep_cif(&cif, FFI_DEFAULT_ABI, static_cast<unsigned>(words.size()), &ffi_type_uint32, types.data()) !=
      FFI_OK)
    return false;
  ffi_arg returned = 0;  // a 32-bit result comes back widened to a full register
  ffi_call(&cif, reinterpret_cast<void (*)()>(function), &returned, values.data());
  result = static_cast<uint32_t>(returned);
  return true;
}
