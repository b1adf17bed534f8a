// Calls a builtin handler as a script does: the argument words laid out in
// script memory at args (which must have room for them), argument 1 first.
#pragma once
#include <cstring>
#include <initializer_list>

#include "runtime/builtin.h"

inline uint32_t CallBuiltin(BuiltinHandler h, uint32_t args, std::initializer_list<uint32_t> words) {
  uint32_t at = args;
  for (uint32_t w : words) {
    std::memcpy(ToHost(at), &w, 4);
    at += 4;
  }
  return h(BuiltinArgs{args});
}
