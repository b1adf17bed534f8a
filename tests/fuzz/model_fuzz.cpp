// Any model file: loaded as p3d_load loads it (records in the arena, with
// guard zones around them), given a material of the type the first byte
// names, placed before the camera and rendered into a small plane.
#include <bit>
#include <cstring>

#include "builtin_call.h"
#include "fuzz_support.h"
#include "graphics/planes.h"
#include "render3d/renderer3d.h"
#include "runtime/math_builtins.h"

namespace {
constexpr uint32_t kTarget = 5;
uint32_t F(float f) { return std::bit_cast<uint32_t>(f); }
void Words(uint32_t at, std::initializer_list<uint32_t> words) {
  for (uint32_t w : words) std::memcpy(ToHost(at), &w, 4), at += 4;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StartFuzzTarget();
  static const uint32_t scratch = [] {
    MathStart();
    GraphicsStart();
    SetPlaneAt(kTarget, CreatePlane(48, 32, 32));
    return ArenaAllocZeroed(4096);
  }();
  const uint32_t args = scratch, text = scratch + 256, record = scratch + 1024, pos = scratch + 1100;
  const std::string path = WriteFuzzFile("model.bin", data, size);
  std::memcpy(ToHost(text), path.c_str(), path.size() + 1);
  if (CallBuiltin(builtin_p3d_init, args, {kTarget, F(40), F(0.5f), F(0)}) != 1) std::abort();
  const uint32_t model = CallBuiltin(builtin_p3d_load, args, {text});
  if (model) {
    CallBuiltin(builtin_p3d_clear, args, {});
    Words(pos, {F(0), F(0), F(0), F(0), F(0), F(0), F(0), F(0), F(3), F(0.3f), F(0.2f), F(0.1f)});
    CallBuiltin(builtin_p3d_view, args, {pos, pos + 12});
    CallBuiltin(builtin_p3d_env, args, {F(0.4f), F(0.4f), F(0.4f)});
    Words(record, {0xC08040, 0, size ? data[0] % 8u : 0u});
    CallBuiltin(builtin_p3d_material, args, {model, 0, record});
    CallBuiltin(builtin_p3d_setobj, args, {model, pos + 24, pos + 36});
    CallBuiltin(builtin_p3d_render, args, {});
    CallBuiltin(builtin_p3d_free, args, {model});
  }
  Render3dShutdown();
  return 0;
}
