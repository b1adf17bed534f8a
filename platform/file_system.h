// Files and paths: the rules the engine's file layer follows, for every file
// a game reads or writes.
//
// Engine paths are Shift_JIS bytes, as scripts pass them. The engine's own
// paths (the game's folder, the SDK folder, the user's folders) are the
// host's bytes and may hold any name in any encoding.
//   - `\` and `/` both separate; a 0x5C that is the trail byte of a two-byte
//     character does not; `/` (never a trail byte) always does, also right
//     after bytes of a UTF-8 host name. Doubled separators count as one. A
//     path that starts with a separator is absolute, any other is relative
//     to the working directory (the game folder).
//   - "." and "name\.." are removed textually before the disk is touched, as
//     Windows does (old\..\bg\h.bmp works without an "old"); a ".." above the
//     start of a relative path stays, above the root it is dropped.
//   - Each component is found, best first: the exact name; the same Shift_JIS
//     name ignoring the case of ASCII and full-width Latin letters; the name
//     converted to UTF-8 (code page 932); that UTF-8 name ignoring case, with
//     the JIS-table spellings of U+FF5E, U+2015, U+FF0D, U+2225, U+FFE0,
//     U+FFE1, U+FFE2 taken as these. Among names of one rank the smaller
//     comes first, whatever the directory's order.
//   - Twins: in a relative path every entry that stands for a component is
//     searched in that order (one folder unpacked twice, in Shift_JIS bytes
//     and in UTF-8, or in two cases, is one folder as on Windows). A path from
//     the root takes the first entry for each component. At most 8 spellings
//     per component and 256 folders per lookup are tried.
//   - Writing: an existing file is written where it is found; a new one in
//     the first folder found, under its UTF-8 name.
// The archive lookup on top of this (a missing file looked up as a member of
// PREFIX.bin for each folder prefix) is in files/file_layer.h and archive.h.
// Every engine open goes through here; nothing else in the engine touches the
// host file system.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// One version of one file: the file's identity (device and inode) and what
// changes when it is written (size, modification and change times in ns).
struct FileStamp {
  uint64_t device = 0, inode = 0;
  int64_t size = -1, modified_ns = 0, changed_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

// An open host file; closes itself. Positions are 64-bit, origins are
// 0 (start), 1 (current) and 2 (end).
class HostFile {
 public:
  HostFile() = default;
  explicit HostFile(int fd) : fd_(fd) {}
  HostFile(HostFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  HostFile& operator=(HostFile&& other) noexcept;
  HostFile(const HostFile&) = delete;
  HostFile& operator=(const HostFile&) = delete;
  ~HostFile() { Close(); }

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Closes the file; false when the close reported an error (data may be lost).
  bool Close();

  // Reads up to count bytes at the current position, fewer only at the end of
  // the file. False on an error; *got (when given) receives the bytes read.
  bool Read(void* buffer, size_t count, size_t* got);
  // Writes all count bytes; false on an error or a short write.
  bool Write(const void* data, size_t count);
  // New absolute position, or -1 (the position is then unchanged).
  int64_t Seek(int64_t offset, int origin);
  int64_t Tell() const;
  // Size in bytes, or -1.
  int64_t Size() const;
  // Forces written data to the disk.
  bool Sync();
  // What tells one file and one version of it apart (see FileStamp).
  bool Stamp(struct FileStamp& stamp) const;

 private:
  int fd_ = -1;
};

// Resolves an engine path to the host path of an existing file or directory.
bool ResolveReadPath(std::string_view path, std::string& host_path);
// Resolves an engine path for creating a file: every directory must exist and
// is resolved as for reading; the last component is resolved when it exists
// and otherwise taken as given, in UTF-8.
bool ResolveWritePath(std::string_view path, std::string& host_path);

// Opens an existing regular file for reading, with a sequential-read hint.
HostFile OpenFileForRead(std::string_view path);
// Creates or truncates a file for writing.
HostFile CreateFileForWrite(std::string_view path);

// The same on host paths (UTF-8, `/` only), without any resolution; for tools.
HostFile OpenHostFileForRead(const std::string& host_path);
// A host folder and a name in it, with one '/' between (just the name when
// the folder is empty); and whether a host path is a folder.
std::string JoinHostPath(const std::string& dir, std::string_view name);
bool IsHostDirectory(const std::string& host_path);
HostFile CreateHostFileForWrite(const std::string& host_path);

// Shift_JIS text compared ignoring the case of ASCII and full-width Latin
// letters, character by character (a trail byte is never folded); the order is
// that of the folded bytes, unsigned, a prefix first. <0, 0 or >0.
int CompareSjisNoCase(std::string_view a, std::string_view b);
// The folded bytes CompareSjisNoCase compares: two names are equal under it
// exactly when their folded forms are (a key for case-insensitive lookups).
std::string FoldSjis(std::string_view text);
// UTF-8 text compared the same way (ASCII and U+FF21..U+FF3A / U+FF41..U+FF5A),
// also taking the JIS-table spellings of characters that code page 932 maps
// elsewhere (U+301C, U+2014, U+2212, U+2016, U+00A2, U+00A3, U+00AC) as the
// code page 932 ones (U+FF5E, U+2015, U+FF0D, U+2225, U+FFE0, U+FFE1, U+FFE2).
bool EqualUtf8NoCase(std::string_view a, std::string_view b);
