// The configuration-file builtins (ini_), the directory searches (find_) and
// the folder and file builtins (dir_, file_). Paths are engine paths
// (Shift_JIS, `\` or `/`), relative to the current directory, resolved the
// way the file layer resolves them (case and encoding ignored).
#pragma once
#include <string>

#include "runtime/builtin.h"

// Where the host's configuration file is and the game's own folder (engine
// paths); the host sets both before the runtime starts.
struct GameFolders {
  std::string configuration_path;
  std::string module_directory;
};
inline GameFolders g_game_folders;

// Closes every open search (RuntimeStart and RuntimeStop).
void CloseAllSearches();

// The match of one name against a pattern with `*` and `?` (case ignored; a
// pattern ending in ".*" also takes names without a dot, one ending in "."
// takes only those).
bool WildcardMatch(std::string_view pattern, std::string_view name);

// The special-folder number table of dir_getpath, as a host path ("" when
// the number has no folder here).
std::string SpecialFolder(int32_t kind);

uint32_t builtin_ini_seti(BuiltinArgs args);
uint32_t builtin_ini_sets(BuiltinArgs args);
uint32_t builtin_ini_geti(BuiltinArgs args);
uint32_t builtin_ini_gets(BuiltinArgs args);

uint32_t builtin_find_first(BuiltinArgs args);
uint32_t builtin_find_next(BuiltinArgs args);
uint32_t builtin_find_close(BuiltinArgs args);

uint32_t builtin_dir_getpath(BuiltinArgs args);
uint32_t builtin_dir_getcur(BuiltinArgs args);
uint32_t builtin_dir_setcur(BuiltinArgs args);
uint32_t builtin_dir_create(BuiltinArgs args);
uint32_t builtin_dir_delete(BuiltinArgs args);
uint32_t builtin_file_copy(BuiltinArgs args);
uint32_t builtin_file_move(BuiltinArgs args);
uint32_t builtin_file_delete(BuiltinArgs args);
uint32_t builtin_file_size(BuiltinArgs args);
uint32_t builtin_file_check(BuiltinArgs args);
uint32_t builtin_file_getattr(BuiltinArgs args);
uint32_t builtin_file_setattr(BuiltinArgs args);
uint32_t builtin_file_gettime(BuiltinArgs args);
uint32_t builtin_file_settime(BuiltinArgs args);
