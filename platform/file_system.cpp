#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "platform/text_encoding.h"

// ---- HostFile ----

HostFile& HostFile::operator=(HostFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool HostFile::Close() {
  if (fd_ < 0) return true;
  int r = ::close(fd_);
  fd_ = -1;
  return r == 0 || errno == EINTR;
}

bool HostFile::Read(void* buffer, size_t count, size_t* got) {
  size_t done = 0;
  bool ok = fd_ >= 0;
  while (ok && done < count) {
    ssize_t r = ::read(fd_, static_cast<char*>(buffer) + done, count - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      ok = false;
    } else if (r == 0) {
      break;
    } else {
      done += static_cast<size_t>(r);
    }
  }
  if (got) *got = done;
  return ok;
}

bool HostFile::Write(const void* data, size_t count) {
  if (fd_ < 0) return false;
  size_t done = 0;
  while (done < count) {
    ssize_t r = ::write(fd_, static_cast<const char*>(data) + done, count - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

int64_t HostFile::Seek(int64_t offset, int origin) {
  if (fd_ < 0) return -1;
  int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
  if (whence < 0) return -1;
  off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t HostFile::Tell() const {
  if (fd_ < 0) return -1;
  off_t r = ::lseek(fd_, 0, SEEK_CUR);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t HostFile::Size() const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool HostFile::Sync() { return fd_ >= 0 && ::fsync(fd_) == 0; }

// ---- Case folding ----

namespace {

// Walks Shift_JIS text yielding folded bytes: ASCII capitals become small
// letters, full-width capitals (0x82 0x60..0x79) become full-width small
// letters (0x82 0x81..0x9A); trail bytes are never folded on their own.
struct SjisFolder {
  std::string_view s;
  size_t i = 0;
  bool in_trail = false;
  uint8_t lead = 0;

  bool done() const { return i >= s.size(); }
  uint8_t next() {
    uint8_t c = static_cast<uint8_t>(s[i++]);
    if (in_trail) {
      in_trail = false;
      if (lead == 0x82 && c >= 0x60 && c <= 0x79) c = static_cast<uint8_t>(c + 0x21);
      return c;
    }
    if (IsSjisLead(c) && i < s.size()) {
      in_trail = true;
      lead = c;
      return c;
    }
    if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c + 32);
    return c;
  }
};

std::string FoldUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<uint8_t>(s[i]);
    if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c + 32);
    } else if (c == 0xEF && i + 2 < s.size() && static_cast<uint8_t>(s[i + 1]) == 0xBC &&
               static_cast<uint8_t>(s[i + 2]) >= 0xA1 && static_cast<uint8_t>(s[i + 2]) <= 0xBA) {
      // U+FF21..U+FF3A -> U+FF41..U+FF5A
      out += '\xEF';
      out += '\xBD';
      out += static_cast<char>(static_cast<uint8_t>(s[i + 2]) - 0xA1 + 0x81);
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

int CompareSjisNoCase(std::string_view a, std::string_view b) {
  SjisFolder fa{a}, fb{b};
  while (!fa.done() && !fb.done()) {
    uint8_t ca = fa.next(), cb = fb.next();
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (fa.done() && fb.done()) return 0;
  return fa.done() ? -1 : 1;
}

bool EqualUtf8NoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && FoldUtf8(a) == FoldUtf8(b);
}

// ---- Path resolution ----

namespace {

bool IsSeparator(uint8_t c) { return c == '\\' || c == '/'; }

// Splits an engine path at its separators, skipping the trail byte of each
// two-byte character. Empty components (doubled separators) are dropped.
std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0, i = 0;
  while (i < path.size()) {
    auto c = static_cast<uint8_t>(path[i]);
    if (IsSeparator(c)) {
      if (i > start) parts.push_back(path.substr(start, i - start));
      start = ++i;
    } else {
      i += (IsSjisLead(c) && i + 1 < path.size()) ? 2 : 1;
    }
  }
  if (i > start) parts.push_back(path.substr(start));
  return parts;
}

std::string Join(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  std::string out = dir;
  if (out.back() != '/') out += '/';
  out += name;
  return out;
}

bool Exists(const std::string& host_path) {
  struct stat st;
  return ::stat(host_path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& host_path) {
  struct stat st;
  return ::stat(host_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool HasNonAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<uint8_t>(c) >= 0x80) return true;
  return false;
}

// Finds the entry of dir that stands for name, in the documented order of
// preference. dir is a host path ("" for the working directory).
bool ResolveComponent(const std::string& dir, std::string_view name, std::string& found) {
  std::string exact = Join(dir, name);
  if (name == "." || name == ".." || Exists(exact)) {
    found = std::move(exact);
    return true;
  }
  std::string utf8;
  if (HasNonAscii(name)) {
    utf8 = SjisToUtf8(name);
    if (utf8.find("\xEF\xBF\xBD") != std::string::npos) utf8.clear();  // not a Shift_JIS name
  }
  if (!utf8.empty()) {
    std::string as_utf8 = Join(dir, utf8);
    if (Exists(as_utf8)) {
      // An exact UTF-8 match still ranks below a case-insensitive Shift_JIS one.
      found = std::move(as_utf8);
    }
  }

  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return !found.empty();
  std::string sjis_match, utf8_match;
  std::string folded_utf8 = utf8.empty() ? std::string() : FoldUtf8(utf8);
  while (dirent* e = ::readdir(d)) {
    std::string_view entry(e->d_name);
    if (entry == "." || entry == "..") continue;
    // Among several candidates of one rank the smallest name wins, so the
    // choice does not depend on the directory's order.
    if (entry.size() == name.size() && CompareSjisNoCase(entry, name) == 0) {
      if (sjis_match.empty() || entry < sjis_match) sjis_match = entry;
    } else if (!folded_utf8.empty() && entry.size() == utf8.size() && FoldUtf8(entry) == folded_utf8) {
      if (utf8_match.empty() || entry < utf8_match) utf8_match = entry;
    }
  }
  ::closedir(d);
  if (!sjis_match.empty()) {
    found = Join(dir, sjis_match);
  } else if (found.empty() && !utf8_match.empty()) {
    found = Join(dir, utf8_match);
  }
  return !found.empty();
}

// Resolves the first `count` components into the host path `host`.
bool ResolvePrefix(const std::vector<std::string_view>& parts, size_t count, bool absolute, std::string& host) {
  host.clear();
  if (absolute) host.push_back('/');
  for (size_t i = 0; i < count; ++i) {
    std::string next;
    if (!ResolveComponent(host, parts[i], next)) return false;
    host = std::move(next);
  }
  return true;
}

}  // namespace

bool ResolveReadPath(std::string_view path, std::string& host_path) {
  if (path.empty()) return false;
  bool absolute = IsSeparator(static_cast<uint8_t>(path[0]));
  auto parts = SplitPath(path);
  std::string host;
  if (!ResolvePrefix(parts, parts.size(), absolute, host)) return false;
  if (host.empty()) host.push_back('.');
  // A trailing separator names a directory.
  if (IsSeparator(static_cast<uint8_t>(path.back())) && !IsDirectory(host)) return false;
  host_path = std::move(host);
  return true;
}

bool ResolveWritePath(std::string_view path, std::string& host_path) {
  if (path.empty() || IsSeparator(static_cast<uint8_t>(path.back()))) return false;
  bool absolute = IsSeparator(static_cast<uint8_t>(path[0]));
  auto parts = SplitPath(path);
  if (parts.empty()) return false;
  std::string dir;
  if (!ResolvePrefix(parts, parts.size() - 1, absolute, dir)) return false;
  if (!dir.empty() && !IsDirectory(dir)) return false;
  std::string_view last = parts.back();
  std::string found;
  if (ResolveComponent(dir, last, found)) {
    host_path = std::move(found);
    return true;
  }
  std::string utf8 = HasNonAscii(last) ? SjisToUtf8(last) : std::string(last);
  if (utf8.find("\xEF\xBF\xBD") != std::string::npos) utf8 = std::string(last);
  host_path = Join(dir, utf8);
  return true;
}

HostFile OpenHostFileForRead(const std::string& host_path) {
  int fd = ::open(host_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return HostFile();
  HostFile file(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return HostFile();
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return file;
}

HostFile CreateHostFileForWrite(const std::string& host_path) {
  int fd = ::open(host_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  return fd < 0 ? HostFile() : HostFile(fd);
}

HostFile OpenFileForRead(std::string_view path) {
  std::string host;
  if (!ResolveReadPath(path, host)) return HostFile();
  return OpenHostFileForRead(host);
}

HostFile CreateFileForWrite(std::string_view path) {
  std::string host;
  if (!ResolveWritePath(path, host)) return HostFile();
  return CreateHostFileForWrite(host);
}
