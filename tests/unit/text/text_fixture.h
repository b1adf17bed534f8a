// Test support for the text builtins: script memory and handler calls.
#pragma once
#include "script_memory.h"

using TextTest = ScriptMemoryTest;
