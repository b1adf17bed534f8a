// Any source text: the compiler never crashes, and when it succeeds the
// measuring pass and the emitting pass agree on the program's size.
#include <cstdlib>
#include <vector>

#include "compiler/compiler.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StartFuzzTarget();
  static const bool once = (SetScriptDirectory(FuzzFolder()), true);
  (void)once;
  WriteFuzzFile("fuzz.c", data, size);
  if (!CompileSourceInto("fuzz.c", nullptr, 0x10000, 0)) return 0;
  const uint64_t measured = uint64_t{CompiledCodeLength()} + CompiledDataSize();
  if (measured > (64u << 20)) return 0;
  std::vector<uint8_t> image(measured ? measured : 1);
  if (!CompileSourceInto("fuzz.c", image.data(), 0x10000, static_cast<uint32_t>(measured))) std::abort();
  if (uint64_t{CompiledCodeLength()} + CompiledDataSize() != measured) std::abort();
  return 0;
}
