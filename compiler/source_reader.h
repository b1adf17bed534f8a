// Reading a script source whole, with one '\n' byte appended.
#pragma once
#include <cstdint>

namespace kc {

enum SourceReadResult : int { kSourceOk = 0, kSourceOpenFailed = 1, kSourceNoMemory = 2, kSourceReadFailed = 3 };

// On success *text holds size + 1 bytes (the last one '\n'), released with
// FreeSourceText, and *length is size + 1.
int ReadSourceFile(const char* path, uint8_t** text, uint32_t* length);
void FreeSourceText(uint8_t* text);

}  // namespace kc
