// Script builtins for planes, pages and palettes. The runtime's builtin table
// refers to these handlers.
#pragma once
#include <cstdint>

#include "runtime/builtin.h"

uint32_t builtin_galloc(BuiltinArgs args);    // slot or out-address, width, height, bits
uint32_t builtin_gfree(BuiltinArgs args);     // plane
uint32_t builtin_ginit(BuiltinArgs args);     // -
uint32_t builtin_gclip(BuiltinArgs args);     // plane, rectangle or 0
uint32_t builtin_ginfo(BuiltinArgs args);     // plane, PlaneInfo address or 0
uint32_t builtin_gattach(BuiltinArgs args);   // plane, other plane
uint32_t builtin_gdetach(BuiltinArgs args);   // plane
uint32_t builtin_ggetpal(BuiltinArgs args);   // plane or -1, first, count, destination
uint32_t builtin_gsetpal(BuiltinArgs args);   // plane or -1, first, count, source
uint32_t builtin_getpixel(BuiltinArgs args);  // plane, x, y
uint32_t builtin_vpage(BuiltinArgs args);     // plane
uint32_t builtin_apage(BuiltinArgs args);     // plane
uint32_t builtin_setorg(BuiltinArgs args);    // x, y
uint32_t builtin_pal_set(BuiltinArgs args);   // index, colour
uint32_t builtin_pal_get(BuiltinArgs args);   // index
uint32_t builtin_pal_sets(BuiltinArgs args);  // first, count, source
uint32_t builtin_pal_gets(BuiltinArgs args);  // first, count, destination
uint32_t builtin_pal_load(BuiltinArgs args);  // plane, first palette index, first plane index, count
uint32_t builtin_pal_change(BuiltinArgs args);  // -
uint32_t builtin_pal_map(BuiltinArgs args);   // colour table address
