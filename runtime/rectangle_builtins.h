// Rectangle arithmetic on RECT records in script memory (left, top, right,
// bottom; right and bottom exclusive), with the platform's rectangle rules:
// a rectangle is empty when right <= left or bottom <= top, and nothing is
// ever normalised (an inverted rectangle is simply empty).
#pragma once
#include "runtime/builtin.h"

uint32_t builtin_rc_empty(BuiltinArgs args);
uint32_t builtin_rc_set(BuiltinArgs args);
uint32_t builtin_rc_setwh(BuiltinArgs args);
uint32_t builtin_rc_copy(BuiltinArgs args);
uint32_t builtin_rc_move(BuiltinArgs args);
uint32_t builtin_rc_intersect(BuiltinArgs args);
uint32_t builtin_rc_union(BuiltinArgs args);
uint32_t builtin_rc_inflate(BuiltinArgs args);
uint32_t builtin_rc_in(BuiltinArgs args);
uint32_t builtin_rc_check(BuiltinArgs args);
