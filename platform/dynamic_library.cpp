#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <ffi.h>
#include <link.h>

#include <array>
#include <atomic>
#include <mutex>

void* OpenDynamicLibrary(const std::string& path, std::string& error) {
  // The loader takes an empty name for the running program itself: that is
  // never a library a script asked for.
  if (path.empty()) {
    error = "no library name";
    return nullptr;
  }
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
  void* address = dlsym(library, name);
  if (!address) return nullptr;
  // Only code may be called: an exported variable of that name is no function.
  Dl_info info;
  void* entry = nullptr;
  if (dladdr1(address, &info, &entry, RTLD_DL_SYMENT) && entry) {
    const unsigned type = ELF64_ST_TYPE(static_cast<const ElfW(Sym)*>(entry)->st_info);
    if (type != STT_FUNC && type != STT_GNU_IFUNC) return nullptr;
  }
  return address;
}

void* ProgramLibraryHandle() {
  static void* program = dlopen(nullptr, RTLD_NOW);
  return program;
}

namespace {

// Every call passes 32-bit words and gets one back, so the call interface
// depends only on the number of words: each is prepared once.
struct CallInterfaces {
  std::array<ffi_type*, kMaxLibraryCallWords> types;
  std::array<ffi_cif, kMaxLibraryCallWords + 1> cif;
  std::array<std::atomic<bool>, kMaxLibraryCallWords + 1> ready{};
  std::mutex preparing;
  CallInterfaces() { types.fill(&ffi_type_uint32); }
};

ffi_cif* InterfaceFor(size_t words) {
  static CallInterfaces interfaces;
  if (!interfaces.ready[words].load(std::memory_order_acquire)) {
    std::lock_guard lock(interfaces.preparing);
    if (!interfaces.ready[words].load(std::memory_order_relaxed)) {
      if (ffi_prep_cif(&interfaces.cif[words], FFI_DEFAULT_ABI, static_cast<unsigned>(words), &ffi_type_uint32,
                       interfaces.types.data()) != FFI_OK)
        return nullptr;
      interfaces.ready[words].store(true, std::memory_order_release);
    }
  }
  return &interfaces.cif[words];
}

}  // namespace

bool CallLibraryFunction(void* function, std::span<const uint32_t> words, uint32_t& result) {
  if (!function || words.size() > kMaxLibraryCallWords) return false;
  ffi_cif* cif = InterfaceFor(words.size());
  if (!cif) return false;
  std::array<void*, kMaxLibraryCallWords> values;
  for (size_t i = 0; i < words.size(); ++i) values[i] = const_cast<uint32_t*>(&words[i]);
  ffi_arg returned = 0;  // a 32-bit result comes back widened to a full register
  ffi_call(cif, reinterpret_cast<void (*)()>(function), &returned, values.data());
  result = static_cast<uint32_t>(returned);
  return true;
}
