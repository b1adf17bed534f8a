// Image files: planes loaded from BMP and JPEG files (read through the file
// layer, so they may sit in archives or compressed files), planes saved as BMP
// files, and difference images ("DIFF") applied onto planes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "graphics/planes.h"
#include "runtime/builtin.h"

// The readers: a new plane from the file at an engine path, or nullptr when the
// file is missing, is not of the reader's format, or is truncated, oversized
// or inconsistent. They show no message.
Plane* ReadBmpFile(const char* path);
Plane* ReadJpegFile(const char* path);

// Loads an image file: a path ending in ".jpg" (any case) tries the JPEG
// reader first and the BMP reader second, any other path the other way round.
// On failure shows "LoadPlane : ..." with the path at error level 1 and
// returns nullptr.
Plane* LoadPlane(const char* path);

// Writes the rectangle of a plane (nullptr: the whole plane, otherwise
// intersected with it) as a BMP file, replacing the file at the path only once
// it is completely written. 1, or 0 with "SavePlane : ..." at error level 2
// when the file cannot be created or written; 0 without a message for an empty
// rectangle.
int SavePlane(const char* path, const Plane* plane, const PlaneRect* rect);

// Applies a difference image of `size` bytes (the header and the run stream)
// with its top-left at (x, y). 1 when the whole stream was applied; 0 for an
// image that fails a check (the plane is then untouched) or whose stream ends
// early or would write outside the plane (it stops right there).
int ApplyDifference(Plane* plane, int32_t x, int32_t y, const uint8_t* data, size_t size);

uint32_t builtin_gload(BuiltinArgs args);  // slot or out-address, path
uint32_t builtin_gsave(BuiltinArgs args);  // path, plane, rectangle or 0
uint32_t builtin_dload(BuiltinArgs args);  // plane, x, y, path, rectangle address or 0
uint32_t builtin_dcopy(BuiltinArgs args);  // plane, x, y, difference image address, rectangle address or 0
