// The file builtins: the 16 pack slots over the file layer (loose files,
// archive members and compressed files alike) and pack_save; the f builtins,
// stdio streams that scripts hold as small handle numbers into an engine
// table; the system file of sysfile/sysio, written when the runtime stops;
// and mload.
#pragma once
#include "runtime/builtin.h"

// RuntimeStart and RuntimeStop: every pack slot and every open stream closed
// (written streams flushed).
void CloseAllPackSlots();
void CloseAllStreams();
// RuntimeStop: writes the registered system file and clears the registration.
// The content is the script buffer, or, when the memory holding it was freed
// since (the script ended), what it held at that moment.
void WriteSystemFile();

uint32_t builtin_pack_save(BuiltinArgs args);
uint32_t builtin_pack_open(BuiltinArgs args);
uint32_t builtin_pack_close(BuiltinArgs args);
uint32_t builtin_pack_read(BuiltinArgs args);
uint32_t builtin_pack_seek(BuiltinArgs args);
uint32_t builtin_pack_size(BuiltinArgs args);

uint32_t builtin_fopen(BuiltinArgs args);
uint32_t builtin_fclose(BuiltinArgs args);
uint32_t builtin_fread(BuiltinArgs args);
uint32_t builtin_fwrite(BuiltinArgs args);
uint32_t builtin_fseek(BuiltinArgs args);
uint32_t builtin_ftell(BuiltinArgs args);
uint32_t builtin_fgets(BuiltinArgs args);
uint32_t builtin_fputs(BuiltinArgs args);

uint32_t builtin_sysfile(BuiltinArgs args);
uint32_t builtin_sysio(BuiltinArgs args);
uint32_t builtin_mload(BuiltinArgs args);
