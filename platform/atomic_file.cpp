#include "platform/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/file_system.h"
#include "platform/text_encoding.h"

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::vector<std::string_view> SplitEnginePath(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0, i = 0;
  while (i < path.size()) {
    auto c = static_cast<uint8_t>(path[i]);
    if (IsSeparator(path[i])) {
      if (i > start) parts.push_back(path.substr(start, i - start));
      start = ++i;
    } else {
      i += (IsSjisLead(c) && i + 1 < path.size()) ? 2 : 1;
    }
  }
  if (i > start) parts.push_back(path.substr(start));
  return parts;
}

bool ValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<uint8_t>(s[i]);
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > s.size() || (n == 2 && c < 0xC2)) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

bool HasHighByte(std::string_view s) {
  for (char c : s)
    if (static_cast<uint8_t>(c) >= 0x80) return true;
  return false;
}

void SyncFolder(const std::string& host_dir) {
  int fd = ::open(host_dir.empty() ? "." : host_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::string FolderOf(const std::string& host_path) {
  size_t slash = host_path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : host_path.substr(0, slash);
}

std::atomic<unsigned> temp_counter{0};

// Temporary files are named ".<name>.new-<pid>-<n>". One left behind by a
// writer that died (its process is gone) is removed before the next write of
// the same file, so crashes do not pile up copies of a save.
void RemoveStaleTemporaries(const std::string& folder, const std::string& base) {
  const std::string prefix = "." + base + ".new-";
  DIR* d = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!d) return;
  std::vector<std::string> stale;
  while (dirent* e = ::readdir(d)) {
    std::string_view entry(e->d_name);
    if (!entry.starts_with(prefix)) continue;
    std::string_view rest = entry.substr(prefix.size());
    size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos) continue;
    long pid = 0;
    for (char c : rest.substr(0, dash)) {
      if (c < '0' || c > '9' || pid > 100000000) {
        pid = -1;
        break;
      }
      pid = pid * 10 + (c - '0');
    }
    if (pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.emplace_back(entry);
  }
  ::closedir(d);
  for (const std::string& name : stale) ::unlink(JoinHostPath(folder, name).c_str());
}

}  // namespace

std::string NewEntryName(const std::string& host_dir, std::string_view name_sjis) {
  if (!HasHighByte(name_sjis)) return std::string(name_sjis);
  std::string utf8 = SjisToUtf8(name_sjis);
  if (utf8.find("\xEF\xBF\xBD") != std::string::npos) return std::string(name_sjis);  // not Shift_JIS text
  bool raw_folder = false;
  if (DIR* d = ::opendir(host_dir.empty() ? "." : host_dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string_view entry(e->d_name);
      if (HasHighByte(entry) && !ValidUtf8(entry)) {
        raw_folder = true;
        break;
      }
    }
    ::closedir(d);
  }
  return raw_folder ? std::string(name_sjis) : utf8;
}

bool ResolveSavePath(std::string_view path, bool create_folders, std::string& host_path) {
  if (path.empty() || IsSeparator(path.back())) return false;
  auto parts = SplitEnginePath(path);
  if (parts.empty()) return false;
  std::string dir = IsSeparator(path.front()) ? "/" : "";
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    std::string_view part = parts[i];
    std::string engine = JoinHostPath(dir, part);
    std::string found;
    if (part == "." || part == "..") {
      dir = std::move(engine);
      continue;
    }
    if (ResolveReadPath(engine, found)) {
      if (!IsHostDirectory(found)) return false;
      dir = std::move(found);
      continue;
    }
    if (!create_folders) return false;
    std::string made = JoinHostPath(dir, NewEntryName(dir, part));
    if (::mkdir(made.c_str(), 0777) != 0 && errno != EEXIST) return false;
    if (!IsHostDirectory(made)) return false;
    dir = std::move(made);
  }
  std::string found;
  if (ResolveReadPath(JoinHostPath(dir, parts.back()), found)) {
    if (IsHostDirectory(found)) return false;
    host_path = std::move(found);
    return true;
  }
  host_path = JoinHostPath(dir, NewEntryName(dir, parts.back()));
  return true;
}

bool AtomicReplace::Begin(const std::string& host_path) {
  Abort();
  if (host_path.empty()) return false;
  std::string folder = FolderOf(host_path);
  std::string base = folder.empty() ? host_path : host_path.substr(host_path.rfind('/') + 1);
  mode_t mode = 0666;
  struct stat st;
  bool existing = ::stat(host_path.c_str(), &st) == 0;
  if (existing && !S_ISREG(st.st_mode)) return false;
  RemoveStaleTemporaries(folder, base);
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string temp = JoinHostPath(folder, "." + base + ".new-" + std::to_string(::getpid()) + "-" +
                                        std::to_string(temp_counter.fetch_add(1)));
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    if (existing) ::fchmod(fd, st.st_mode & 07777);
    file_ = HostFile(fd);
    temp_ = std::move(temp);
    target_ = host_path;
    return true;
  }
  return false;
}

bool AtomicReplace::Commit() {
  if (!file_.is_open()) return false;
  bool ok = file_.Sync();
  ok = file_.Close() && ok;
  if (!ok || std::rename(temp_.c_str(), target_.c_str()) != 0) {
    Abort();
    return false;
  }
  temp_.clear();
  SyncFolder(FolderOf(target_));
  return true;
}

std::FILE* AtomicReplace::OpenStream() {
  if (!file_.is_open()) return nullptr;
  int fd = ::dup(file_.fd());
  std::FILE* f = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
  if (!f && fd >= 0) ::close(fd);
  return f;
}

void AtomicReplace::Abort() {
  file_.Close();
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

bool ReplaceHostFile(const std::string& host_path, const void* data, size_t size) {
  AtomicReplace replace;
  return replace.Begin(host_path) && replace.file().Write(data, size) && replace.Commit();
}

bool SaveFile(std::string_view path, const void* data, size_t size) {
  std::string host;
  return ResolveSavePath(path, true, host) && ReplaceHostFile(host, data, size);
}
