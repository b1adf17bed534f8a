// Files and paths. Engine paths are Shift_JIS bytes in which both `\` and `/`
// separate (a 0x5C trail byte of a two-byte character never does); a path that
// starts with a separator is absolute, any other is relative to the working
// directory. Game folders copied from Windows keep working: a component that
// does not exist under its exact name is looked up, within its directory,
//   1. ignoring the case of ASCII and full-width Latin letters,
//   2. by its name converted to UTF-8,
//   3. by that UTF-8 name ignoring case.
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
