// Any configuration text: values are found and set, and setting a value and
// reading it back gives what was set.
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "platform/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StartFuzzTarget();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string value;
  FindProfileValue(text, "Window", "Width", value);
  FindProfileValue(text, "", "", value);
  const std::string changed = SetProfileValue(text, "Script", "Load", "main.c");
  if (!FindProfileValue(changed, "Script", "Load", value) || value != "main.c") std::abort();
  return 0;
}
