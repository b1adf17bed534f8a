// The script compiler's entry points and the settings the host hands it.
//
// One compilation at a time: the compiler keeps its state in process-wide
// variables. A compilation either measures (no program area: only the code
// length and the static data size are counted) or writes the program image
// into a program area at its final address.
#pragma once
#include <cstdint>
#include <string_view>

// --- Settings owned by the host, kept here with their defaults ---------------
//
// The compiler also reads two settings where they already live: [General]
// Error is ErrorLevel() of the error box (0 keeps no error text), and
// [Script] HeapSize is the size of the external data area (ExternalAreaSize),
// which bounds the `extern` variables a script may declare.

// Directory put in front of every source name ("" = the working directory).
// It ends with a separator when not empty. At most 259 bytes are kept.
void SetScriptDirectory(std::string_view directory);
std::string_view ScriptDirectory();

// --- Compiling ---------------------------------------------------------------

// Compiles the source `name` (relative to the script directory). With
// program_base 0 it only measures; otherwise it writes the image into the
// program area at that VM address, which holds program_size bytes. Returns
// nonzero on success. Errors are collected into the error text and shown with
// ShowError at level 1 at the end.
int CompileSource(const char* name, uint32_t program_base, uint32_t program_size);

// The same, writing the image into host memory `image` (program_size bytes)
// while compiling every address as if the image lay at program_base. Used by
// tools and tests that look at an image without running it. image nullptr
// measures.
int CompileSourceInto(const char* name, uint8_t* image, uint32_t program_base, uint32_t program_size);

// Code length and static data size of the last compilation (after a
// measuring pass, their sum is the program size the image needs).
uint32_t CompiledCodeLength();
uint32_t CompiledDataSize();

// The error text of the last compilation (Shift_JIS; empty when it compiled
// cleanly or when the error level is 0). At most 8191 bytes.
std::string_view CompileErrorText();

// The compile error that stopped the last compilation (0 to 24), or -1 when
// none did, and the line it was raised on.
int CompileErrorNumber();
int CompileErrorLine();

// --- Exported functions --------------------------------------------------------

// Functions defined with `extern` by any script compiled so far, callable by
// name from later scripts. The runtime empties the table when it starts.
constexpr int kMaxExportedFunctions = 512;
void ClearExportedFunctions();
int ExportedFunctionCount();
// Looks up an exported function; returns false when there is none.
bool FindExportedFunction(std::string_view name, int32_t* result_type, uint32_t* address);
