// keva-pack: creates, lists and extracts archives; writes and expands
// compressed files. Paths on the command line are host paths; member names
// inside archives are Shift_JIS with `\` separators, as scripts write them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "files/archive.h"
#include "files/compressed.h"
#include "files/file_layer.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kDefaultSeed = 0x4B455641;  // "KEVA": archives are reproducible unless asked otherwise

const char kUsage[] =
    "Usage: keva-pack COMMAND [OPTIONS] ARGS...\n"
    "\n"
    "Commands:\n"
    "  create [--seed N] [--compress] ARCHIVE.bin DIR\n"
    "      store every file below DIR as a member named by its path relative to\n"
    "      DIR (\\ separators, Shift_JIS); --compress stores each member as a\n"
    "      compressed file; --seed sets the table's key seed (default 0x4B455641);\n"
    "      the table is sorted as archives made on Windows are (punctuation,\n"
    "      then digits, then letters in any case; ' and - count last)\n"
    "  list ARCHIVE.bin\n"
    "      print offset, size and name of every member, in the table's order\n"
    "  extract [--expand] ARCHIVE.bin DIR\n"
    "      write every member below DIR; --expand expands compressed members\n"
    "  compress IN OUT\n"
    "      write IN as a compressed file OUT\n"
    "  expand IN OUT\n"
    "      expand the compressed file IN into OUT\n"
    "  --help, --version\n"
    "      show this help, or the version\n"
    "\n"
    "Outputs are written to a temporary file and renamed when complete.\n"
    "Exit status: 0 on success, 1 on any error.\n";

// Reports "keva-pack: FILE: WHAT" and returns false, so callers can `return Fail(...)`.
bool Fail(const std::string& file, const std::string& what) {
  if (file.empty()) {
    std::fprintf(stderr, "keva-pack: %s\n", what.c_str());
  } else {
    std::fprintf(stderr, "keva-pack: %s: %s\n", file.c_str(), what.c_str());
  }
  return false;
}

std::string ErrnoText() { return std::strerror(errno); }

// An output file written under a temporary name beside its final one and
// renamed over it by Commit; removed when not committed.
class TempOutput {
 public:
  bool Open(const std::string& final_path) {
    final_ = final_path;
    temp_ = final_path + ".tmp-XXXXXX";
    int fd = ::mkstemp(temp_.data());
    if (fd < 0) {
      temp_.clear();
      return Fail(final_, "cannot create a temporary file beside it: " + ErrnoText());
    }
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    file_ = HostFile(fd);
    return true;
  }
  HostFile& file() { return file_; }
  const std::string& temp_path() const { return temp_; }
  bool Commit() {
    if (!file_.Sync() || !file_.Close()) return Fail(final_, "write error: " + ErrnoText());
    if (::rename(temp_.c_str(), final_.c_str()) != 0) return Fail(final_, "cannot rename the finished file: " + ErrnoText());
    temp_.clear();
    return true;
  }
  ~TempOutput() {
    file_.Close();
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }

 private:
  std::string final_, temp_;
  HostFile file_;
};

// Opens an input file, reporting why it cannot be opened.
bool OpenInput(const std::string& path, HostFile& file) {
  errno = 0;
  file = OpenHostFileForRead(path);
  if (file.is_open()) return true;
  return Fail(path, errno ? "cannot open: " + ErrnoText() : "not a regular file");
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& data) {
  HostFile in;
  if (!OpenInput(path, in)) return false;
  int64_t size = in.Size();
  if (size < 0) return Fail(path, "cannot read: " + ErrnoText());
  if (size > int64_t{UINT32_MAX}) return Fail(path, "larger than 4 GiB, too large to store");
  data.resize(static_cast<size_t>(size));
  size_t got = 0;
  if (!in.Read(data.data(), data.size(), &got)) return Fail(path, "read error: " + ErrnoText());
  if (got != data.size()) return Fail(path, "the file changed while it was read");
  return true;
}

// Appends data to out as a compressed file.
bool AppendCompressed(HostFile& out, const std::vector<uint8_t>& data) {
  BitWriter* writer = AttachBitWriter(&out);
  if (!writer) return false;
  int ok = WriteCompressedData(writer, data.data(), static_cast<uint32_t>(data.size()));
  int closed = CloseBitWriter(writer);
  return ok && closed;
}

// Expands the compressed file that reader reads, refusing anything but a
// complete stream of exactly the declared length.
bool ExpandStrict(BitReader* reader, std::vector<uint8_t>& out, std::string& error) {
  uint32_t magic = 0, length = 0;
  if (!ReadBits(reader, &magic, 32) || magic != kCompressedMagic) {
    error = "not a compressed file";
    return false;
  }
  if (!ReadBits(reader, &length, 32)) {
    error = "truncated compressed file (no length)";
    return false;
  }
  try {
    out.assign(length, 0);
  } catch (const std::bad_alloc&) {
    error = "out of memory for the declared length of " + std::to_string(length) + " bytes";
    return false;
  }
  uint32_t written = 0;
  switch (LzwExpandStream(reader, out.data(), length, &written)) {
    case ExpandResult::kEnd:
      if (written == length) return true;
      error = "corrupt compressed file: " + std::to_string(written) + " bytes instead of the declared " +
              std::to_string(length);
      return false;
    case ExpandResult::kInputEnded: error = "truncated compressed file (the code stream ends early)"; return false;
    case ExpandResult::kOverflow: error = "corrupt compressed file: longer than its declared length"; return false;
    case ExpandResult::kCorrupt: error = "corrupt compressed file: invalid code"; return false;
    case ExpandResult::kNoMemory: error = "out of memory"; return false;
  }
  error = "corrupt compressed file";
  return false;
}

// Host name of a file below the source folder -> member name component.
std::optional<std::string> MemberComponent(const std::string& host_name) {
  std::string sjis;
  if (Utf8ToSjis(host_name, sjis)) return sjis;
  // A name that is not UTF-8 may already be Shift_JIS bytes (copied from Windows as is).
  std::string back = SjisToUtf8(host_name);
  if (back.find("\xEF\xBF\xBD") == std::string::npos) return host_name;
  return std::nullopt;
}

// Member name -> relative host path, refusing names that would leave the
// target folder.
std::optional<fs::path> HostPathOfMember(const std::string& name) {
  if (name.empty() || name[0] == '\\' || name[0] == '/') return std::nullopt;
  fs::path out;
  std::string part;
  auto flush = [&]() -> bool {
    if (part.empty() || part == "." || part == "..") return false;
    std::string utf8 = SjisToUtf8(part);
    if (utf8.find("\xEF\xBF\xBD") != std::string::npos) return false;
    out /= utf8;
    part.clear();
    return true;
  };
  for (size_t i = 0; i < name.size(); ++i) {
    auto c = static_cast<uint8_t>(name[i]);
    if (IsSjisLead(c) && i + 1 < name.size()) {
      part += name[i];
      part += name[++i];
    } else if (c == '\\' || c == '/') {
      if (!flush()) return std::nullopt;
    } else {
      part += name[i];
    }
  }
  if (!flush()) return std::nullopt;
  return out;
}

std::string DisplayName(const std::string& sjis) { return SjisToUtf8(sjis); }

// ---- commands ----

bool Create(const std::string& archive, const std::string& source, uint32_t seed, bool compress) {
  std::error_code ec;
  if (!fs::is_directory(source, ec)) return Fail(source, "not a directory");
  TempOutput out;
  if (!out.Open(archive)) return false;
  const fs::path skip_final = fs::weakly_canonical(archive, ec);
  const fs::path skip_temp = fs::weakly_canonical(out.temp_path(), ec);

  std::vector<std::string> names;
  std::vector<fs::path> paths;
  fs::recursive_directory_iterator it(source, fs::directory_options::none, ec), end;
  if (ec) return Fail(source, "cannot read the directory: " + ec.message());
  for (; it != end; it.increment(ec)) {
    if (ec) return Fail(source, "cannot read the directory: " + ec.message());
    const fs::directory_entry& entry = *it;
    if (entry.is_directory(ec)) continue;
    if (!entry.is_regular_file(ec)) {
      std::fprintf(stderr, "keva-pack: %s: skipped, not a regular file\n", entry.path().c_str());
      continue;
    }
    fs::path canonical = fs::weakly_canonical(entry.path(), ec);
    if (canonical == skip_final || canonical == skip_temp) continue;
    std::string name;
    for (const fs::path& component : fs::relative(entry.path(), source, ec)) {
      std::optional<std::string> part = MemberComponent(component.string());
      if (!part) return Fail(entry.path().string(), "the name has no Shift_JIS form");
      if (!name.empty()) name += '\\';
      name += *part;
    }
    if (ec) return Fail(entry.path().string(), ec.message());
    names.push_back(std::move(name));
    paths.push_back(entry.path());
  }

  std::string error;
  auto write_member = [&](size_t i, HostFile& f, std::string& err) -> bool {
    const std::string path = paths[i].string();
    std::vector<uint8_t> data;
    if (!ReadWholeFile(path, data)) {
      err = "cannot store " + path;
      return false;
    }
    bool ok = compress ? AppendCompressed(f, data) : f.Write(data.data(), data.size());
    if (!ok) err = "write error: " + ErrnoText();
    return ok;
  };
  if (!WriteArchive(out.file(), names, seed, write_member, error)) return Fail(archive, error);
  return out.Commit();
}

bool LoadIndex(const std::string& archive, HostFile& file, std::vector<ArchiveMember>& members) {
  if (!OpenInput(archive, file)) return false;
  ArchiveStatus status = ReadArchiveIndex(file, members);
  if (status != ArchiveStatus::kOk) return Fail(archive, ArchiveStatusText(status));
  return true;
}

bool List(const std::string& archive) {
  HostFile file;
  std::vector<ArchiveMember> members;
  if (!LoadIndex(archive, file, members)) return false;
  std::printf("%10s %10s  %s\n", "offset", "size", "name");
  for (const ArchiveMember& m : members)
    std::printf("%10" PRIu32 " %10" PRIu32 "  %s\n", m.offset, m.size, DisplayName(m.name).c_str());
  return std::fflush(stdout) == 0 || Fail("", "cannot write the listing");
}

bool WriteOutput(const std::string& path, const uint8_t* data, size_t size) {
  TempOutput out;
  if (!out.Open(path)) return false;
  if (!out.file().Write(data, size)) return Fail(path, "write error: " + ErrnoText());
  return out.Commit();
}

bool Extract(const std::string& archive, const std::string& target, bool expand) {
  HostFile file;
  std::vector<ArchiveMember> members;
  if (!LoadIndex(archive, file, members)) return false;
  std::error_code ec;
  for (const ArchiveMember& m : members) {
    std::optional<fs::path> relative = HostPathOfMember(m.name);
    if (!relative) return Fail(archive, "unsafe member name refused: " + DisplayName(m.name));
    fs::path path = fs::path(target) / *relative;
    fs::create_directories(path.parent_path(), ec);
    if (ec) return Fail(path.parent_path().string(), "cannot create the directory: " + ec.message());

    std::vector<uint8_t> data;
    std::string error;
    bool expanded = false;
    if (expand && m.size >= 4) {
      BitReader* reader = AttachBitReader(AdoptFastFileMember(OpenHostFileForRead(archive), m.offset, m.size));
      if (!reader) return Fail(archive, "cannot reopen the archive");
      uint32_t magic = 0;
      bool is_compressed = ReadBits(reader, &magic, 32) && magic == kCompressedMagic;
      CloseBitReader(reader);
      if (is_compressed) {
        reader = AttachBitReader(AdoptFastFileMember(OpenHostFileForRead(archive), m.offset, m.size));
        if (!reader) return Fail(archive, "cannot reopen the archive");
        bool ok = ExpandStrict(reader, data, error);
        CloseBitReader(reader);
        if (!ok) return Fail(archive, DisplayName(m.name) + ": " + error);
        expanded = true;
      }
    }
    if (!expanded) {
      data.resize(m.size);
      size_t got = 0;
      if (file.Seek(m.offset, 0) != int64_t{m.offset} || !file.Read(data.data(), data.size(), &got))
        return Fail(archive, "read error: " + ErrnoText());
      if (got != data.size()) return Fail(archive, DisplayName(m.name) + ": member data cut short");
    }
    if (!WriteOutput(path.string(), data.data(), data.size())) return false;
  }
  return true;
}

bool Compress(const std::string& in, const std::string& out_path) {
  std::vector<uint8_t> data;
  if (!ReadWholeFile(in, data)) return false;
  TempOutput out;
  if (!out.Open(out_path)) return false;
  if (!AppendCompressed(out.file(), data)) return Fail(out_path, "write error: " + ErrnoText());
  return out.Commit();
}

bool Expand(const std::string& in, const std::string& out_path) {
  HostFile file;
  if (!OpenInput(in, file)) return false;
  BitReader* reader = AttachBitReader(AdoptFastFile(std::move(file)));
  if (!reader) return Fail(in, "out of memory");
  std::vector<uint8_t> data;
  std::string error;
  bool ok = ExpandStrict(reader, data, error);
  CloseBitReader(reader);
  if (!ok) return Fail(in, error);
  return WriteOutput(out_path, data.data(), data.size());
}

bool ParseSeed(const char* text, uint32_t& seed) {
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (errno || end == text || *end || v > UINT32_MAX || text[0] == '-') return false;
  seed = static_cast<uint32_t>(v);
  return true;
}

int Usage(const char* problem) {
  std::fprintf(stderr, "keva-pack: %s\nTry 'keva-pack --help'.\n", problem);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "--version") {
    std::printf("keva-pack %s\n", KEVA_VERSION);
    return 0;
  }
  if (args.empty()) return Usage("no command given");
  if (std::find_if(args.begin(), args.end(), [](std::string_view a) { return a == "--help" || a == "-h"; }) !=
      args.end()) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::string_view command = args[0];
  uint32_t seed = kDefaultSeed;
  bool compress = false, expand = false;
  std::vector<std::string> operands;
  for (size_t i = 1; i < args.size(); ++i) {
    std::string_view a = args[i];
    if (a == "--") {
      for (++i; i < args.size(); ++i) operands.emplace_back(args[i]);
      break;
    }
    if (command == "create" && a == "--compress") {
      compress = true;
    } else if (command == "create" && (a == "--seed" || a.starts_with("--seed="))) {
      const char* value = nullptr;
      if (a == "--seed") {
        if (++i >= args.size()) return Usage("--seed needs a value");
        value = argv[i + 1];
      } else {
        value = argv[i + 1] + std::strlen("--seed=");
      }
      if (!ParseSeed(value, seed)) return Usage("--seed takes a number from 0 to 4294967295");
    } else if (command == "extract" && a == "--expand") {
      expand = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage(("unknown option for " + std::string(command) + ": " + std::string(a)).c_str());
    } else {
      operands.emplace_back(a);
    }
  }

  auto need = [&](size_t n) { return operands.size() == n; };
  bool ok;
  if (command == "create" && need(2)) {
    ok = Create(operands[0], operands[1], seed, compress);
  } else if (command == "list" && need(1)) {
    ok = List(operands[0]);
  } else if (command == "extract" && need(2)) {
    ok = Extract(operands[0], operands[1], expand);
  } else if (command == "compress" && need(2)) {
    ok = Compress(operands[0], operands[1]);
  } else if (command == "expand" && need(2)) {
    ok = Expand(operands[0], operands[1]);
  } else if (command == "create" || command == "list" || command == "extract" || command == "compress" ||
             command == "expand") {
    return Usage(("wrong number of arguments for " + std::string(command)).c_str());
  } else {
    return Usage(("unknown command: " + std::string(command)).c_str());
  }
  return ok ? 0 : 1;
}
