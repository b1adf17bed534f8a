#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

bool HostFile::Stamp(FileStamp& stamp) const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
  stamp.device = static_cast<uint64_t>(st.st_dev);
  stamp.inode = static_cast<uint64_t>(st.st_ino);
  stamp.size = static_cast<int64_t>(st.st_size);
  stamp.modified_ns = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  stamp.changed_ns = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  return true;
}

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

// Characters that converters spell differently: a name converted with the JIS
// table instead of code page 932 holds the first form, the engine's
// conversion gives the second. Both fold to the second.
struct Utf8Variant {
  std::string_view jis, cp932;
};
constexpr Utf8Variant kJisVariants[] = {
    {"\xE3\x80\x9C", "\xEF\xBD\x9E"},  // wave dash U+301C -> fullwidth tilde U+FF5E
    {"\xE2\x80\x94", "\xE2\x80\x95"},  // em dash U+2014 -> horizontal bar U+2015
    {"\xE2\x88\x92", "\xEF\xBC\x8D"},  // minus sign U+2212 -> fullwidth hyphen-minus U+FF0D
    {"\xE2\x80\x96", "\xE2\x88\xA5"},  // double vertical line U+2016 -> parallel to U+2225
    {"\xC2\xA2", "\xEF\xBF\xA0"},      // cent sign U+00A2 -> fullwidth U+FFE0
    {"\xC2\xA3", "\xEF\xBF\xA1"},      // pound sign U+00A3 -> fullwidth U+FFE1
    {"\xC2\xAC", "\xEF\xBF\xA2"},      // not sign U+00AC -> fullwidth U+FFE2
};

std::string FoldUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<uint8_t>(s[i]);
    if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c + 32);
      continue;
    }
    if (c == 0xEF && i + 2 < s.size() && static_cast<uint8_t>(s[i + 1]) == 0xBC &&
        static_cast<uint8_t>(s[i + 2]) >= 0xA1 && static_cast<uint8_t>(s[i + 2]) <= 0xBA) {
      // U+FF21..U+FF3A -> U+FF41..U+FF5A
      out += '\xEF';
      out += '\xBD';
      out += static_cast<char>(static_cast<uint8_t>(s[i + 2]) - 0xA1 + 0x81);
      i += 2;
      continue;
    }
    if (c == 0xE2 || c == 0xE3 || c == 0xC2) {
      bool replaced = false;
      for (const Utf8Variant& v : kJisVariants) {
        if (s.substr(i).starts_with(v.jis)) {
          out += v.cp932;
          i += v.jis.size() - 1;
          replaced = true;
          break;
        }
      }
      if (replaced) continue;
    }
    out += static_cast<char>(c);
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

std::string FoldSjis(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (SjisFolder f{text}; !f.done();) out += static_cast<char>(f.next());
  return out;
}

bool EqualUtf8NoCase(std::string_view a, std::string_view b) { return FoldUtf8(a) == FoldUtf8(b); }

// ---- Path resolution ----

namespace {

bool IsSeparator(uint8_t c) { return c == '\\' || c == '/'; }

// Length of the character at path[i]: two for a Shift_JIS lead byte followed
// by a byte that can be its trail byte, else one. A '/' (never a trail byte)
// therefore always separates, also after bytes of a UTF-8 host name.
size_t CharLength(std::string_view path, size_t i) {
  return IsSjisLead(static_cast<uint8_t>(path[i])) && i + 1 < path.size() &&
                 IsSjisTrail(static_cast<uint8_t>(path[i + 1]))
             ? 2
             : 1;
}

// Splits an engine path at its separators, skipping the trail byte of each
// two-byte character, and removes "." and "name\.." textually, as Windows
// does before it touches the disk (a ".." above the start of a relative path
// stays; above the root of an absolute one it is dropped). Empty components
// (doubled separators) are dropped.
std::vector<std::string_view> SplitPath(std::string_view path, bool absolute) {
  std::vector<std::string_view> parts;
  auto add = [&](std::string_view part) {
    if (part.empty() || part == ".") return;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
        return;
      }
      if (absolute) return;
    }
    parts.push_back(part);
  };
  size_t start = 0, i = 0;
  while (i < path.size()) {
    if (IsSeparator(static_cast<uint8_t>(path[i]))) {
      add(path.substr(start, i - start));
      start = ++i;
    } else {
      i += CharLength(path, i);
    }
  }
  add(path.substr(start));
  return parts;
}

bool Exists(const std::string& host_path) {
  struct stat st;
  return ::stat(host_path.empty() ? "." : host_path.c_str(), &st) == 0;
}

bool HasNonAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<uint8_t>(c) >= 0x80) return true;
  return false;
}

// The name converted to UTF-8, or empty when it is plain ASCII or no
// Shift_JIS text.
std::string Utf8Name(std::string_view name) {
  if (!HasNonAscii(name)) return {};
  std::string utf8 = SjisToUtf8(name);
  return utf8.find("\xEF\xBF\xBD") == std::string::npos ? utf8 : std::string();
}

// Bounds on the search, so that a folder full of look-alike names cannot make
// one open slow: spellings kept per component, folders visited per path.
constexpr size_t kMaxSpellings = 8;
constexpr int kMaxVisits = 256;

// The entries of dir other than the exact name that stand for name, best
// first: the same Shift_JIS name ignoring case; the name converted to UTF-8;
// that UTF-8 name ignoring case (and JIS-table spellings). Within one rank the
// smaller name comes first, so the order never depends on the directory's.
std::vector<std::string> OtherSpellings(const std::string& dir, std::string_view name) {
  std::vector<std::string> sjis_matches, utf8_matches;
  std::string utf8 = Utf8Name(name);
  std::string folded_utf8 = utf8.empty() ? std::string() : FoldUtf8(utf8);
  if (DIR* d = ::opendir(dir.empty() ? "." : dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string_view entry(e->d_name);
      if (entry == "." || entry == ".." || entry == name) continue;
      if (entry.size() == name.size() && CompareSjisNoCase(entry, name) == 0) {
        if (sjis_matches.size() < kMaxSpellings) sjis_matches.emplace_back(entry);
      } else if (!folded_utf8.empty() && entry != utf8 && FoldUtf8(entry) == folded_utf8) {
        if (utf8_matches.size() < kMaxSpellings) utf8_matches.emplace_back(entry);
      }
    }
    ::closedir(d);
  }
  std::sort(sjis_matches.begin(), sjis_matches.end());
  std::sort(utf8_matches.begin(), utf8_matches.end());
  std::vector<std::string> out = std::move(sjis_matches);
  if (!utf8.empty() && Exists(JoinHostPath(dir, utf8))) out.push_back(utf8);
  out.insert(out.end(), utf8_matches.begin(), utf8_matches.end());
  if (out.size() > kMaxSpellings) out.resize(kMaxSpellings);
  return out;
}

// Finds a host path for parts[i..] below the host folder `host` that `accept`
// takes. With all_twins every entry that stands for a component is tried (the
// exact name first), so twins of one folder in two encodings or two cases are
// all seen; without, each component takes the first one found.
template <typename Accept>
bool ResolveFrom(const std::string& host, const std::vector<std::string_view>& parts, size_t i, bool all_twins,
                 int& visits, const Accept& accept, std::string& found) {
  if (i == parts.size()) {
    if (!accept(host)) return false;
    found = host.empty() ? std::string(".") : host;
    return true;
  }
  if (--visits < 0) return false;
  std::string_view name = parts[i];
  std::string exact = JoinHostPath(host, name);
  if (Exists(exact)) {
    if (ResolveFrom(exact, parts, i + 1, all_twins, visits, accept, found)) return true;
    if (!all_twins) return false;
  }
  if (name == "..") return false;
  for (const std::string& spelling : OtherSpellings(host, name)) {
    if (ResolveFrom(JoinHostPath(host, spelling), parts, i + 1, all_twins, visits, accept, found)) return true;
    if (!all_twins || visits < 0) return false;
  }
  return false;
}

// A relative path (what scripts pass: below the working directory, the game
// folder) searches every twin; a path from the root is the host's own and
// takes the first folder found for each component, which keeps a miss cheap.
bool Resolve(const std::vector<std::string_view>& parts, bool absolute, bool want_directory, std::string& found) {
  int visits = kMaxVisits;
  auto accept = [&](const std::string& host) { return !want_directory || IsHostDirectory(host); };
  return ResolveFrom(absolute ? std::string("/") : std::string(), parts, 0, !absolute, visits, accept, found);
}

}  // namespace

std::string JoinHostPath(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  std::string out = dir;
  if (out.back() != '/') out += '/';
  out += name;
  return out;
}

bool IsHostDirectory(const std::string& host_path) {
  struct stat st;
  return ::stat(host_path.empty() ? "." : host_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ResolveReadPath(std::string_view path, std::string& host_path) {
  if (path.empty()) return false;
  bool absolute = IsSeparator(static_cast<uint8_t>(path[0]));
  auto parts = SplitPath(path, absolute);
  // A trailing separator names a directory.
  return Resolve(parts, absolute, IsSeparator(static_cast<uint8_t>(path.back())), host_path);
}

bool ResolveWritePath(std::string_view path, std::string& host_path) {
  if (path.empty() || IsSeparator(static_cast<uint8_t>(path.back()))) return false;
  bool absolute = IsSeparator(static_cast<uint8_t>(path[0]));
  auto parts = SplitPath(path, absolute);
  if (parts.empty() || parts.back() == "..") return false;
  // An existing file is written under its own name, in whichever twin folder
  // holds it; a new one goes into the first folder found, in UTF-8.
  if (Resolve(parts, absolute, false, host_path)) return true;
  std::string_view last = parts.back();
  parts.pop_back();
  std::string dir;
  if (!Resolve(parts, absolute, true, dir)) return false;
  std::string utf8 = Utf8Name(last);
  host_path = JoinHostPath(dir == "." ? std::string() : dir, utf8.empty() ? last : utf8);
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
