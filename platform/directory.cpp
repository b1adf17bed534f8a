#include "platform/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/atomic_file.h"

namespace {

HostTime ToHostTime(const struct statx_timestamp& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

struct timespec ToTimespec(HostTime t) {
  struct timespec ts;
  int64_t sec = t / 1000000000, ns = t % 1000000000;
  if (ns < 0) {
    ns += 1000000000;
    --sec;
  }
  ts.tv_sec = static_cast<time_t>(sec);
  ts.tv_nsec = static_cast<long>(ns);
  return ts;
}

mode_t CurrentUmask() {
  mode_t m = ::umask(0);
  ::umask(m);
  return m;
}

bool Exists(const std::string& host) {
  struct stat st;
  return ::lstat(host.c_str(), &st) == 0;
}

}  // namespace

bool GetHostEntryInfo(const std::string& host_path, HostEntryInfo& info) {
  struct statx sx;
  if (::statx(AT_FDCWD, host_path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
  info.directory = S_ISDIR(sx.stx_mode);
  info.regular = S_ISREG(sx.stx_mode);
  info.writable = (sx.stx_mode & S_IWUSR) != 0;
  info.size = info.regular ? sx.stx_size : 0;
  info.accessed = ToHostTime(sx.stx_atime);
  info.written = ToHostTime(sx.stx_mtime);
  info.created = (sx.stx_mask & STATX_BTIME) ? ToHostTime(sx.stx_btime) : info.written;
  return true;
}

bool ListHostFolder(const std::string& host_dir, std::vector<std::string>& names) {
  DIR* d = ::opendir(host_dir.empty() ? "." : host_dir.c_str());
  if (!d) return false;
  names.clear();
  while (dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
  ::closedir(d);
  return true;
}

bool SetHostReadOnly(const std::string& host_path, bool read_only) {
  struct stat st;
  if (::stat(host_path.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  mode = read_only ? (mode & ~mode_t{0222}) : (mode | (0222 & ~CurrentUmask()) | S_IWUSR);
  return mode == (st.st_mode & 07777) || ::chmod(host_path.c_str(), mode) == 0;
}

bool SetHostFileTimes(const std::string& host_path, const HostTime* accessed, const HostTime* written) {
  int fd = ::open(host_path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat st;
  struct timespec times[2];
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_nsec = UTIME_OMIT;
  if (accessed) times[0] = ToTimespec(*accessed);
  if (written) times[1] = ToTimespec(*written);
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::futimens(fd, times) == 0;
  ::close(fd);
  return ok;
}

bool CanReadHostFile(const std::string& host_path) { return OpenHostFileForRead(host_path).is_open(); }

bool MakeHostFolder(const std::string& host_path) { return ::mkdir(host_path.c_str(), 0777) == 0; }

bool RemoveHostFolder(const std::string& host_path) { return ::rmdir(host_path.c_str()) == 0; }

bool RemoveHostFile(const std::string& host_path) {
  struct stat st;
  if (::lstat(host_path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return ::unlink(host_path.c_str()) == 0;
}

bool MoveHostEntry(const std::string& from, const std::string& to) {
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0 || Exists(to)) return false;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS) {  // a file system without the flag
    if (Exists(to)) return false;
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
  }
  if (errno != EXDEV || !S_ISREG(st.st_mode)) return false;
  return CopyHostFile(from, to, true) && ::unlink(from.c_str()) == 0;
}

bool CopyHostFile(const std::string& from, const std::string& to, bool fail_if_exists) {
  HostFile in = OpenHostFileForRead(from);
  if (!in.is_open()) return false;
  if (fail_if_exists && Exists(to)) return false;
  struct stat st;
  if (::fstat(in.fd(), &st) != 0) return false;
  AtomicReplace out;
  if (!out.Begin(to)) return false;
  char buffer[65536];
  for (;;) {
    size_t got = 0;
    if (!in.Read(buffer, sizeof buffer, &got)) return false;
    if (got == 0) break;
    if (!out.file().Write(buffer, got)) return false;
  }
  ::fchmod(out.file().fd(), st.st_mode & 07777);
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::futimens(out.file().fd(), times);
  return out.Commit();
}

bool HostCurrentFolder(std::string& host_dir) {
  char buffer[PATH_MAX];
  if (!::getcwd(buffer, sizeof buffer)) return false;
  host_dir = buffer;
  return true;
}

bool SetHostCurrentFolder(const std::string& host_dir) { return ::chdir(host_dir.c_str()) == 0; }
