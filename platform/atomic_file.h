// Files the engine writes for the user (the system file, settings, compressed
// saves, images) replace the old file in one step: the new content goes to a
// temporary file in the same folder, is forced to the disk and renamed over
// the old name, and the folder itself is synced. A crash or a failed write at
// any moment leaves either the old file or the new one, never a mix or a
// truncated file.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/file_system.h"

// Resolves an engine path for a file about to be written. Existing folders
// and an existing file are found as for reading (case and encoding ignored);
// with create_folders, missing folders are created, else they make it fail.
// A name that does not exist yet is written in the form its folder already
// uses: raw Shift_JIS bytes in a folder that holds such names (copied raw from
// Windows), UTF-8 otherwise.
bool ResolveSavePath(std::string_view path, bool create_folders, std::string& host_path);

// The host form of a new entry `name_sjis` inside the existing folder host_dir.
std::string NewEntryName(const std::string& host_dir, std::string_view name_sjis);

// One replacement in progress. Write through file(), then Commit(); without a
// successful Commit the temporary file is removed and the target untouched.
class AtomicReplace {
 public:
  AtomicReplace() = default;
  AtomicReplace(const AtomicReplace&) = delete;
  AtomicReplace& operator=(const AtomicReplace&) = delete;
  ~AtomicReplace() { Abort(); }

  // Creates the temporary file beside host_path. A new file gets the mode
  // an ordinary create would give; a replaced one keeps its mode.
  bool Begin(const std::string& host_path);
  HostFile& file() { return file_; }
  // A stdio stream on the temporary file, for writers that need one; close it
  // (fclose) before Commit. nullptr when there is none.
  std::FILE* OpenStream();
  // fsync, close, rename over the target, fsync of the folder. False (target
  // untouched) when any step before the rename fails.
  bool Commit();
  void Abort();

 private:
  HostFile file_;
  std::string target_, temp_;
};

// The whole replacement for data already in memory.
bool ReplaceHostFile(const std::string& host_path, const void* data, size_t size);
// ResolveSavePath (creating missing folders) and ReplaceHostFile.
bool SaveFile(std::string_view path, const void* data, size_t size);
