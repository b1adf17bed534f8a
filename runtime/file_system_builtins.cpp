#include "runtime/file_system_builtins.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/directory.h"
#include "platform/file_system.h"
#include "platform/profile.h"
#include "platform/text_encoding.h"
#include "platform/user_folders.h"
#include "runtime/script_text.h"

namespace {

// ---- Names between the host and scripts ----

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool HasHighByte(std::string_view s) {
  for (char c : s)
    if (static_cast<uint8_t>(c) >= 0x80) return true;
  return false;
}

// A host name as scripts see it: Shift_JIS when the UTF-8 name has a
// Shift_JIS form; the raw bytes otherwise (a name copied raw from Windows is
// already Shift_JIS, and an engine path with raw bytes still finds the file).
std::string ScriptName(const std::string& host) {
  if (!HasHighByte(host)) return host;
  std::string sjis;
  if (Utf8ToSjis(host, sjis)) return sjis;
  return host;
}

// Splits an engine path after its last separator (a 0x5C trail byte is no
// separator): folder part with its separator, and the last component.
void SplitLast(std::string_view path, std::string_view& folder, std::string_view& name) {
  size_t cut = 0;
  for (size_t i = 0; i < path.size();) {
    auto c = static_cast<uint8_t>(path[i]);
    if (IsSeparator(path[i])) {
      cut = i + 1;
      ++i;
    } else {
      i += (IsSjisLead(c) && i + 1 < path.size()) ? 2 : 1;
    }
  }
  folder = path.substr(0, cut);
  name = path.substr(cut);
}

std::string JoinHost(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  return dir.back() == '/' ? dir + std::string(name) : dir + "/" + std::string(name);
}

// ---- Wildcards ----

size_t CharLength(std::string_view s, size_t i) {
  return (IsSjisLead(static_cast<uint8_t>(s[i])) && i + 1 < s.size()) ? 2 : 1;
}

bool SameChar(std::string_view a, std::string_view b) { return CompareSjisNoCase(a, b) == 0; }

// `*` takes any run of characters, `?` one character (a two-byte character
// counts as one); letters compare without case. Backtracks only to the last
// star, so the walk is bounded by the product of the lengths.
bool Glob(std::string_view p, std::string_view s) {
  size_t pi = 0, si = 0, star = std::string_view::npos, resume = 0;
  while (si < s.size()) {
    if (pi < p.size() && p[pi] == '*') {
      star = ++pi;
      resume = si;
      continue;
    }
    if (pi < p.size()) {
      size_t pl = CharLength(p, pi), sl = CharLength(s, si);
      if ((p[pi] == '?' && pl == 1) || SameChar(p.substr(pi, pl), s.substr(si, sl))) {
        pi += pl;
        si += sl;
        continue;
      }
    }
    if (star == std::string_view::npos) return false;
    pi = star;
    resume += CharLength(s, resume);
    si = resume;
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

// ---- Searches ----

struct FoundEntry {
  std::string host;    // host path of the entry
  std::string name;    // as scripts see it
};

// The entries of the folder of pattern whose names match its last component,
// sorted by name without case. False when the folder cannot be read.
bool Search(std::string_view pattern, std::vector<FoundEntry>& found) {
  found.clear();
  std::string_view folder, name;
  SplitLast(pattern, folder, name);
  if (name.empty()) return false;
  std::string host_dir;
  if (!folder.empty() && !ResolveReadPath(folder, host_dir)) return false;
  std::vector<std::string> names;
  if (!ListHostFolder(host_dir, names)) return false;
  bool root = host_dir == "/";
  for (const std::string& entry : names) {
    if (root && (entry == "." || entry == "..")) continue;
    std::string script = ScriptName(entry);
    if (script.size() > kMaxPathBytes || !WildcardMatch(name, script)) continue;
    found.push_back({JoinHost(host_dir, entry), std::move(script)});
  }
  std::sort(found.begin(), found.end(), [](const FoundEntry& a, const FoundEntry& b) {
    int c = CompareSjisNoCase(a.name, b.name);
    return c != 0 ? c < 0 : a.name < b.name;
  });
  return true;
}

constexpr uint32_t kAttrReadOnly = 0x01, kAttrHidden = 0x02, kAttrDirectory = 0x10, kAttrArchive = 0x20,
                   kAttrNormal = 0x80;

uint32_t Attributes(const HostEntryInfo& info, std::string_view name) {
  uint32_t a = 0;
  if (!info.writable) a |= kAttrReadOnly;
  if (name.size() > 1 && name[0] == '.' && name != "..") a |= kAttrHidden;
  if (info.directory) a |= kAttrDirectory;
  if (info.regular) a |= kAttrArchive;
  return a ? a : kAttrNormal;
}

// 100-nanosecond steps since 1601-01-01 UTC.
uint64_t FileTime(HostTime t) {
  int64_t steps = t >= 0 ? t / 100 : -((-t + 99) / 100);
  return static_cast<uint64_t>(steps + 116444736000000000LL);
}

// The 320-byte find record: attributes, creation, access and write times
// (64 bits each), size high and low, two reserved words, a 260-byte name and
// a 14-byte short name (left empty: every name here is a long name).
constexpr uint32_t kFindRecordSize = 320;

bool FillFindRecord(uint32_t addr, const FoundEntry& entry) {
  HostEntryInfo info;
  if (!GetHostEntryInfo(entry.host, info)) return false;
  uint8_t record[kFindRecordSize] = {};
  auto put32 = [&](size_t at, uint32_t v) { std::memcpy(record + at, &v, 4); };
  auto put64 = [&](size_t at, uint64_t v) { std::memcpy(record + at, &v, 8); };
  put32(0, Attributes(info, entry.name));
  put64(4, FileTime(info.created));
  put64(12, FileTime(info.accessed));
  put64(20, FileTime(info.written));
  put32(28, static_cast<uint32_t>(info.size >> 32));
  put32(32, static_cast<uint32_t>(info.size));
  std::memcpy(record + 44, entry.name.data(), entry.name.size());
  std::memcpy(ToHost(addr), record, sizeof record);
  return true;
}

struct OpenSearch {
  bool open = false;
  std::vector<FoundEntry> entries;
  size_t next = 0;
};
constexpr int kSearchCount = 64;
OpenSearch searches[kSearchCount];

// Hands out the next entry that still exists; false when none is left.
bool NextEntry(OpenSearch& s, uint32_t record) {
  while (s.next < s.entries.size())
    if (FillFindRecord(record, s.entries[s.next++])) return true;
  return false;
}

OpenSearch* SearchOfHandle(uint32_t handle) {
  if (handle < 1 || handle > kSearchCount) return nullptr;
  OpenSearch& s = searches[handle - 1];
  return s.open ? &s : nullptr;
}

// ---- Times ----

bool PutSystemTime(uint32_t addr, HostTime t) {
  if (!InArena(addr, 16)) return false;
  std::time_t seconds = static_cast<std::time_t>(t >= 0 ? t / 1000000000 : -((-t + 999999999) / 1000000000));
  int64_t ms = (t - int64_t{seconds} * 1000000000) / 1000000;
  std::tm local{};
  if (!localtime_r(&seconds, &local)) return false;
  uint16_t words[8] = {static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
                       static_cast<uint16_t>(local.tm_wday),        static_cast<uint16_t>(local.tm_mday),
                       static_cast<uint16_t>(local.tm_hour),        static_cast<uint16_t>(local.tm_min),
                       static_cast<uint16_t>(local.tm_sec),         static_cast<uint16_t>(ms)};
  std::memcpy(ToHost(addr), words, sizeof words);
  return true;
}

// A SYSTEMTIME record read as local time; false for fields out of range.
bool GetSystemTime(uint32_t addr, HostTime& t) {
  uint16_t w[8];
  std::memcpy(w, ToHost(addr), sizeof w);
  if (w[0] < 1601 || w[0] > 30827 || w[1] < 1 || w[1] > 12 || w[3] < 1 || w[3] > 31 || w[4] > 23 || w[5] > 59 ||
      w[6] > 59 || w[7] > 999)
    return false;
  std::tm local{};
  local.tm_year = w[0] - 1900;
  local.tm_mon = w[1] - 1;
  local.tm_mday = w[3];
  local.tm_hour = w[4];
  local.tm_min = w[5];
  local.tm_sec = w[6];
  local.tm_isdst = -1;
  std::time_t seconds = std::mktime(&local);
  if (seconds == static_cast<std::time_t>(-1) && !(w[0] == 1969 || w[0] == 1970)) return false;
  t = int64_t{seconds} * 1000000000 + int64_t{w[7]} * 1000000;
  return true;
}

// ---- Paths handed back ----

// Writes a folder with a trailing separator into a 260-byte buffer; its
// length, or 0 when it is empty or does not fit.
uint32_t PutFolder(uint32_t buffer, const std::string& host_dir) {
  if (buffer == 0 || !InArena(buffer, 260)) return 0;
  std::memset(ToHost(buffer), 0, 260);
  std::string text = ScriptName(host_dir);
  if (text.empty()) return 0;
  if (!IsSeparator(text.back())) text += '\\';
  if (text.size() > kMaxPathBytes) return 0;
  std::memcpy(ToHost(buffer), text.data(), text.size());
  return static_cast<uint32_t>(text.size());
}

std::string DataHome() {
  if (const char* d = std::getenv("XDG_DATA_HOME"); d && *d == '/') return d;
  const char* home = std::getenv("HOME");
  return home && *home ? std::string(home) + "/.local/share" : std::string();
}

// ---- Configuration file ----

// Section and key names: no line breaks, and nothing that would end a
// section header or split a key line.
bool ProfileName(uint32_t addr, std::string& out) {
  if (!ScriptText(addr, 1024, out) || out.empty()) return false;
  return out.find_first_of("\r\n[]=") == std::string::npos;
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  if (Glob(pattern, name)) return true;
  // "x.*" also takes names without any dot, as "x" alone would.
  // "x." takes only names without a dot.
  if (name.find('.') != std::string_view::npos) return false;
  if (pattern.size() >= 2 && pattern.ends_with(".*")) return Glob(pattern.substr(0, pattern.size() - 2), name);
  if (pattern.size() >= 2 && pattern.ends_with('.')) return Glob(pattern.substr(0, pattern.size() - 1), name);
  return false;
}

void CloseAllSearches() {
  for (OpenSearch& s : searches) s = OpenSearch{};
}

// The special-folder numbers the shell knows, on this desktop:
//   0 desktop, 16 desktop folder        -> XDG desktop directory
//   5 documents                         -> XDG documents directory
//   13 music, 14 videos, 39 pictures    -> the XDG music, videos, pictures directories
//   26, 28, 35 application data         -> $XDG_DATA_HOME (~/.local/share)
//   40 the user's profile               -> $HOME
//   38, 42 program files                -> the game's own folder
// Anything else, and 36 and 37 (the system folders of another platform), has
// no folder here. The high byte (creation flags) is ignored.
std::string SpecialFolder(int32_t kind) {
  switch (kind & 0xFF) {
    case 0:
    case 16: return UserFolder("DESKTOP", "Desktop");
    case 5: return UserFolder("DOCUMENTS", "Documents");
    case 13: return UserFolder("MUSIC", "Music");
    case 14: return UserFolder("VIDEOS", "Videos");
    case 39: return UserFolder("PICTURES", "Pictures");
    case 26:
    case 28:
    case 35: return DataHome();
    case 40: {
      const char* home = std::getenv("HOME");
      return home ? home : "";
    }
    case 38:
    case 42: {
      std::string host;
      if (!g_game_folders.module_directory.empty() && ResolveReadPath(g_game_folders.module_directory, host))
        return host;
      return HostCurrentFolder(host) ? host : std::string();
    }
    default: return std::string();
  }
}

// ---- ini_ ----

uint32_t builtin_ini_seti(BuiltinArgs args) {
  std::string section, key;
  if (g_game_folders.configuration_path.empty() || !ProfileName(args.u(0), section) || !ProfileName(args.u(1), key))
    return 0;
  return WriteProfileString(g_game_folders.configuration_path, section, key, std::to_string(args.i(2))) ? 1 : 0;
}

uint32_t builtin_ini_sets(BuiltinArgs args) {
  std::string section, key, value;
  if (g_game_folders.configuration_path.empty() || !ProfileName(args.u(0), section) || !ProfileName(args.u(1), key))
    return 0;
  if (!ScriptText(args.u(2), 65535, value) || value.find_first_of("\r\n") != std::string::npos) return 0;
  return WriteProfileString(g_game_folders.configuration_path, section, key, value) ? 1 : 0;
}

uint32_t builtin_ini_geti(BuiltinArgs args) {
  std::string section, key;
  int32_t fallback = args.i(2);
  if (g_game_folders.configuration_path.empty() || !ProfileName(args.u(0), section) || !ProfileName(args.u(1), key))
    return static_cast<uint32_t>(fallback);
  return static_cast<uint32_t>(ReadProfileInt(g_game_folders.configuration_path, section, key, fallback));
}

uint32_t builtin_ini_gets(BuiltinArgs args) {
  uint32_t buffer = args.u(3);
  int32_t size = args.i(4);
  if (buffer == 0 || size <= 0) return 0;
  uint64_t room = (uint64_t{1} << 32) - buffer;
  size_t capacity = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(size), room));
  std::string fallback, section, key, value;
  ScriptText(args.u(2), 65535, fallback);  // a null or runaway default reads as ""
  if (!g_game_folders.configuration_path.empty() && ProfileName(args.u(0), section) && ProfileName(args.u(1), key))
    value = ReadProfileString(g_game_folders.configuration_path, section, key, fallback);
  else
    value = fallback;
  // Cut to the buffer without splitting a two-byte character.
  size_t n = 0;
  while (n < value.size()) {
    size_t step = CharLength(value, n);
    if (n + step > capacity - 1) break;
    n += step;
  }
  std::memcpy(ToHost(buffer), value.data(), n);
  ToHost(buffer)[n] = 0;
  return static_cast<uint32_t>(n);
}

// ---- find_ ----

uint32_t builtin_find_first(BuiltinArgs args) {
  constexpr uint32_t kFailed = static_cast<uint32_t>(-1);
  std::string pattern;
  uint32_t record = args.u(1);
  if (!ScriptPath(args.u(0), pattern) || record == 0 || !InArena(record, kFindRecordSize)) return kFailed;
  int slot = -1;
  for (int i = 0; i < kSearchCount && slot < 0; ++i)
    if (!searches[i].open) slot = i;
  if (slot < 0) return kFailed;
  OpenSearch s;
  if (!Search(pattern, s.entries) || !NextEntry(s, record)) return kFailed;
  s.open = true;
  searches[slot] = std::move(s);
  return static_cast<uint32_t>(slot + 1);
}

uint32_t builtin_find_next(BuiltinArgs args) {
  OpenSearch* s = SearchOfHandle(args.u(0));
  uint32_t record = args.u(1);
  if (!s || record == 0 || !InArena(record, kFindRecordSize)) return 0;
  return NextEntry(*s, record) ? 1 : 0;
}

uint32_t builtin_find_close(BuiltinArgs args) {
  OpenSearch* s = SearchOfHandle(args.u(0));
  if (!s) return 0;
  *s = OpenSearch{};
  return 1;
}

// ---- dir_ ----

uint32_t builtin_dir_getpath(BuiltinArgs args) {
  uint32_t buffer = args.u(1);
  if (buffer == 0 || !InArena(buffer, 260)) return 0;
  std::memset(ToHost(buffer), 0, 260);
  std::string folder = SpecialFolder(args.i(0));
  return folder.empty() ? 0 : PutFolder(buffer, folder);
}

uint32_t builtin_dir_getcur(BuiltinArgs args) {
  std::string cwd;
  if (!HostCurrentFolder(cwd)) return 0;
  return PutFolder(args.u(0), cwd);
}

uint32_t builtin_dir_setcur(BuiltinArgs args) {
  std::string path, host;
  if (!ScriptPath(args.u(0), path) || !ResolveReadPath(path, host)) return 0;
  return SetHostCurrentFolder(host) ? 1 : 0;
}

uint32_t builtin_dir_create(BuiltinArgs args) {
  std::string path, host;
  if (!ScriptPath(args.u(0), path)) return 0;
  while (path.size() > 1 && IsSeparator(path.back())) path.pop_back();
  if (!ResolveSavePath(path, false, host)) return 0;
  return MakeHostFolder(host) ? 1 : 0;
}

uint32_t builtin_dir_delete(BuiltinArgs args) {
  std::string path, host;
  if (!ScriptPath(args.u(0), path) || !ResolveReadPath(path, host)) return 0;
  return RemoveHostFolder(host) ? 1 : 0;
}

// ---- file_ ----

uint32_t builtin_file_copy(BuiltinArgs args) {
  std::string from, to, host_from, host_to;
  if (!ScriptPath(args.u(0), from) || !ScriptPath(args.u(1), to)) return 0;
  if (!ResolveReadPath(from, host_from) || !ResolveSavePath(to, false, host_to)) return 0;
  if (host_from == host_to) return 0;
  return CopyHostFile(host_from, host_to, args.u(2) != 0) ? 1 : 0;
}

uint32_t builtin_file_move(BuiltinArgs args) {
  std::string from, to, host_from, host_to;
  if (!ScriptPath(args.u(0), from) || !ScriptPath(args.u(1), to)) return 0;
  if (!ResolveReadPath(from, host_from)) return 0;
  while (to.size() > 1 && IsSeparator(to.back())) to.pop_back();
  if (!ResolveSavePath(to, false, host_to)) return 0;
  return MoveHostEntry(host_from, host_to) ? 1 : 0;
}

uint32_t builtin_file_delete(BuiltinArgs args) {
  std::string path, host;
  if (!ScriptPath(args.u(0), path) || !ResolveReadPath(path, host)) return 0;
  return RemoveHostFile(host) ? 1 : 0;
}

uint32_t builtin_file_size(BuiltinArgs args) {
  std::string path;
  std::vector<FoundEntry> found;
  if (!ScriptPath(args.u(0), path) || !Search(path, found)) return 0;
  for (const FoundEntry& e : found) {
    HostEntryInfo info;
    if (GetHostEntryInfo(e.host, info)) return static_cast<uint32_t>(info.size);
  }
  return 0;
}

uint32_t builtin_file_check(BuiltinArgs args) {
  std::string path;
  std::vector<FoundEntry> found;
  if (!ScriptPath(args.u(0), path) || !Search(path, found)) return 0;
  return found.empty() ? 0 : 1;
}

uint32_t builtin_file_getattr(BuiltinArgs args) {
  constexpr uint32_t kFailed = static_cast<uint32_t>(-1);
  std::string path, host;
  HostEntryInfo info;
  if (!ScriptPath(args.u(0), path) || !ResolveReadPath(path, host) || !GetHostEntryInfo(host, info)) return kFailed;
  std::string_view folder, name;
  SplitLast(host, folder, name);
  return Attributes(info, name);
}

uint32_t builtin_file_setattr(BuiltinArgs args) {
  std::string path, host;
  if (!ScriptPath(args.u(0), path) || !ResolveReadPath(path, host)) return 0;
  // Only the read-only bit has a meaning here; hidden follows the name, and
  // archive and the others are not kept.
  return SetHostReadOnly(host, (args.u(1) & kAttrReadOnly) != 0) ? 1 : 0;
}

uint32_t builtin_file_gettime(BuiltinArgs args) {
  std::string path, host;
  HostEntryInfo info;
  if (!ScriptPath(args.u(0), path) || !ResolveReadPath(path, host) || !CanReadHostFile(host) ||
      !GetHostEntryInfo(host, info))
    return 0;
  const HostTime times[3] = {info.created, info.accessed, info.written};
  for (int i = 0; i < 3; ++i)
    if (uint32_t record = args.u(1 + i)) PutSystemTime(record, times[i]);
  return 1;
}

uint32_t builtin_file_settime(BuiltinArgs args) {
  std::string path, host;
  if (!ScriptPath(args.u(0), path) || !ResolveReadPath(path, host)) return 0;
  // The creation time cannot be set on this platform; it is checked and kept.
  HostTime created = 0, accessed = 0, written = 0;
  if (args.u(1) && !GetSystemTime(args.u(1), created)) return 0;
  bool has_access = args.u(2) != 0, has_write = args.u(3) != 0;
  if (has_access && !GetSystemTime(args.u(2), accessed)) return 0;
  if (has_write && !GetSystemTime(args.u(3), written)) return 0;
  return SetHostFileTimes(host, has_access ? &accessed : nullptr, has_write ? &written : nullptr) ? 1 : 0;
}
