#include "vm/native_code.h"

bool NativeCodeSupported() { return false; }
void SetNativeCodeEnabled(bool) {}
bool NativeCodeEnabled() { return false; }
void NoteCodeMayHaveChanged() {}
int RunNativeSlice(ScriptContext* ctx) { return RunInterpretedSlice(ctx, 256); }
