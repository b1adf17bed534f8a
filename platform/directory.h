// Folders and file details on host paths (UTF-8 or raw bytes, `/` only), for
// the file-system builtins: listing, attributes, times, creation and removal.
// Engine paths are turned into host paths by file_system.h first.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Nanoseconds since 1970-01-01 UTC.
using HostTime = int64_t;

struct HostEntryInfo {
  bool directory = false;
  bool regular = false;
  bool writable = false;  // the owner may write it
  uint64_t size = 0;
  HostTime created = 0;   // the birth time where the file system keeps one, else the last write
  HostTime accessed = 0;
  HostTime written = 0;
};

bool GetHostEntryInfo(const std::string& host_path, HostEntryInfo& info);

// The names in a folder, "." and ".." included, in the folder's order. False
// when the folder cannot be read.
bool ListHostFolder(const std::string& host_dir, std::vector<std::string>& names);

// Takes the write permission away from everybody, or gives it back as a new
// file would have it (the umask applied).
bool SetHostReadOnly(const std::string& host_path, bool read_only);

// Sets the access and write times of a regular file opened for writing; a null
// pointer keeps that time. False when the file cannot be opened for writing.
bool SetHostFileTimes(const std::string& host_path, const HostTime* accessed, const HostTime* written);
// True when the regular file can be opened for reading.
bool CanReadHostFile(const std::string& host_path);

bool MakeHostFolder(const std::string& host_path);    // one level; an existing entry fails
bool RemoveHostFolder(const std::string& host_path);  // must be empty
bool RemoveHostFile(const std::string& host_path);    // files only, never folders
// Renames a file or folder; an existing destination fails. Files move
// across file systems by copy and delete.
bool MoveHostEntry(const std::string& from, const std::string& to);
// Copies a regular file's bytes, mode and write time; the destination is
// replaced atomically. With fail_if_exists an existing destination fails.
bool CopyHostFile(const std::string& from, const std::string& to, bool fail_if_exists);

// The working directory, and a change of it.
bool HostCurrentFolder(std::string& host_dir);
bool SetHostCurrentFolder(const std::string& host_dir);
