#include "files/file_builtins.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "files/compressed.h"
#include "files/file_layer.h"
#include "platform/atomic_file.h"
#include "platform/directory.h"
#include "platform/file_system.h"
#include "runtime/script_text.h"

namespace {

constexpr uint32_t kFailed = static_cast<uint32_t>(-1);

// The bytes [addr, addr + count) of a script buffer: nonzero, and inside the
// arena.
bool ScriptBuffer(uint32_t addr, uint64_t count) { return addr != 0 && InArena(addr, count); }

// ---- Pack slots ----

constexpr int kPackSlots = 16;
ExpFile* pack_slots[kPackSlots] = {};

ExpFile* PackOfHandle(uint32_t handle) {
  if (handle < 1 || handle > kPackSlots) return nullptr;
  return pack_slots[handle - 1];
}

// ---- Streams ----

// Scripts hold index + 1; a forged number can name only a slot of this
// table, never an arbitrary stream object.
constexpr int kStreamCount = 64;
std::FILE* streams[kStreamCount] = {};

std::FILE* StreamOfHandle(uint32_t handle) {
  if (handle < 1 || handle > kStreamCount) return nullptr;
  return streams[handle - 1];
}

// A stdio mode: r, w or a, then any of b, t and +. "t" means nothing here.
bool StreamMode(const std::string& mode, std::string& host_mode, bool& writes) {
  if (mode.empty() || std::string_view("rwa").find(mode[0]) == std::string_view::npos) return false;
  host_mode = mode[0];
  writes = mode[0] != 'r';
  bool plus = false;
  for (size_t i = 1; i < mode.size(); ++i) {
    char c = mode[i];
    if (c == '+') plus = true;
    else if (c != 'b' && c != 't') return false;
  }
  if (plus) {
    host_mode += '+';
    writes = true;
  }
  return true;
}

// ---- System file ----

// The registration: an absolute engine path (so a later change of the
// current directory cannot send the save elsewhere), the script buffer and
// its size. When the script memory holding the buffer is freed (its script
// ended), the bytes are kept here.
struct SystemFile {
  std::string path;
  uint32_t buffer = 0;
  uint32_t size = 0;
  bool kept = false;
  std::vector<uint8_t> kept_bytes;
};
std::mutex system_file_lock;  // the arena observer runs on whatever thread frees memory
SystemFile system_file;

void ObserveRelease(uint32_t addr, size_t bytes, uint32_t moved_to) {
  std::lock_guard lock(system_file_lock);
  SystemFile& s = system_file;
  if (s.path.empty() || s.kept) return;
  uint64_t start = addr, end = start + bytes;
  if (uint64_t{s.buffer} + s.size <= start || s.buffer >= end) return;  // not in this block
  if (moved_to && s.buffer >= start && uint64_t{s.buffer} + s.size <= end) {
    s.buffer = moved_to + (s.buffer - addr);  // the block moved whole: follow it
    return;
  }
  s.kept_bytes.assign(ToHost(s.buffer), ToHost(s.buffer) + s.size);
  s.kept = true;
}

// Reads the system file into its buffer (as much as the file holds, at most
// the size); false when it cannot be opened.
bool ReadSystemFile(const SystemFile& s) {
  HostFile f = OpenFileForRead(s.path);
  if (!f.is_open()) return false;
  size_t got = 0;
  f.Read(ToHost(s.buffer), s.size, &got);
  return true;
}

bool SaveSystemFile(const SystemFile& s) {
  const void* data = s.kept ? static_cast<const void*>(s.kept_bytes.data()) : ToHost(s.buffer);
  return SaveFile(s.path, data, s.size);
}

std::string AbsoluteEnginePath(const std::string& path) {
  if (path[0] == '\\' || path[0] == '/') return path;
  std::string cwd;
  if (!HostCurrentFolder(cwd)) return path;
  if (cwd.empty() || cwd.back() != '/') cwd += '/';
  return cwd + path;
}

}  // namespace

// ---- pack_ ----

void CloseAllPackSlots() {
  for (ExpFile*& f : pack_slots) {
    if (f) CloseExpFile(f);
    f = nullptr;
  }
}

uint32_t builtin_pack_save(BuiltinArgs args) {
  std::string path, host;
  uint32_t data = args.u(1);
  int32_t size = args.i(2);
  // Nothing to save leaves the old file as it is.
  if (!ScriptPath(args.u(0), path) || size <= 0 || !ScriptBuffer(data, static_cast<uint32_t>(size))) return 0;
  if (!ResolveSavePath(path, true, host)) return 0;
  AtomicReplace replace;
  if (!replace.Begin(host)) return 0;
  BitWriter* writer = AttachBitWriter(&replace.file());
  if (!writer) return 0;
  int ok = WriteCompressedData(writer, ToHost(data), static_cast<uint32_t>(size));
  ok = CloseBitWriter(writer) && ok;
  return ok && replace.Commit() ? 1 : 0;
}

uint32_t builtin_pack_open(BuiltinArgs args) {
  std::string path;
  if (!ScriptPath(args.u(0), path)) return 0;
  for (int i = 0; i < kPackSlots; ++i) {
    if (pack_slots[i]) continue;
    pack_slots[i] = OpenExpFile(path.c_str());
    return pack_slots[i] ? static_cast<uint32_t>(i + 1) : 0;
  }
  return 0;
}

uint32_t builtin_pack_close(BuiltinArgs args) {
  uint32_t handle = args.u(0);
  if (handle < 1 || handle > kPackSlots) return 0;
  if (ExpFile*& f = pack_slots[handle - 1]) {
    CloseExpFile(f);
    f = nullptr;
  }
  return 1;
}

uint32_t builtin_pack_read(BuiltinArgs args) {
  ExpFile* f = PackOfHandle(args.u(0));
  uint32_t buffer = args.u(1);
  int32_t size = args.i(2);
  if (!f || size < 0 || !ScriptBuffer(buffer, static_cast<uint32_t>(size))) return kFailed;
  uint32_t got = 0;
  if (!ReadExpFile(f, ToHost(buffer), static_cast<uint32_t>(size), &got)) return kFailed;
  return got;
}

uint32_t builtin_pack_seek(BuiltinArgs args) {
  ExpFile* f = PackOfHandle(args.u(0));
  if (!f) return kFailed;
  return static_cast<uint32_t>(SeekExpFile(f, args.i(1), args.i(2)));
}

uint32_t builtin_pack_size(BuiltinArgs args) {
  ExpFile* f = PackOfHandle(args.u(0));
  if (!f) return kFailed;
  return static_cast<uint32_t>(GetExpFileSize(f));
}

// ---- f ----

void CloseAllStreams() {
  for (std::FILE*& f : streams) {
    if (f) std::fclose(f);
    f = nullptr;
  }
}

uint32_t builtin_fopen(BuiltinArgs args) {
  std::string path, mode, host_mode, host;
  bool writes = false;
  if (!ScriptPath(args.u(0), path) || !ScriptText(args.u(1), 16, mode) || !StreamMode(mode, host_mode, writes))
    return 0;
  // Loose files only, never archives; an existing name is found without
  // regard to case or encoding, a new one is written in its folder's form.
  if (!ResolveReadPath(path, host) && !(writes && ResolveSavePath(path, false, host))) return 0;
  HostEntryInfo info;
  if (GetHostEntryInfo(host, info) && !info.regular) return 0;  // folders and devices are no files here
  int slot = -1;
  for (int i = 0; i < kStreamCount && slot < 0; ++i)
    if (!streams[i]) slot = i;
  if (slot < 0) return 0;
  std::FILE* f = std::fopen(host.c_str(), (host_mode + "e").c_str());
  if (!f) return 0;
  streams[slot] = f;
  return static_cast<uint32_t>(slot + 1);
}

uint32_t builtin_fclose(BuiltinArgs args) {
  uint32_t handle = args.u(0);
  std::FILE* f = StreamOfHandle(handle);
  if (!f) return static_cast<uint32_t>(EOF);
  streams[handle - 1] = nullptr;
  return static_cast<uint32_t>(std::fclose(f));
}

uint32_t builtin_fread(BuiltinArgs args) {
  uint32_t buffer = args.u(0), item = args.u(1), count = args.u(2);
  std::FILE* f = StreamOfHandle(args.u(3));
  uint64_t total = uint64_t{item} * count;
  if (!f || total == 0 || !ScriptBuffer(buffer, total)) return 0;
  return static_cast<uint32_t>(std::fread(ToHost(buffer), item, count, f));
}

uint32_t builtin_fwrite(BuiltinArgs args) {
  uint32_t buffer = args.u(0), item = args.u(1), count = args.u(2);
  std::FILE* f = StreamOfHandle(args.u(3));
  uint64_t total = uint64_t{item} * count;
  if (!f || total == 0 || !ScriptBuffer(buffer, total)) return 0;
  return static_cast<uint32_t>(std::fwrite(ToHost(buffer), item, count, f));
}

uint32_t builtin_fseek(BuiltinArgs args) {
  std::FILE* f = StreamOfHandle(args.u(0));
  int32_t origin = args.i(2);
  if (!f || origin < 0 || origin > 2) return kFailed;
  const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  return std::fseek(f, args.i(1), whence[origin]) == 0 ? 0 : kFailed;
}

uint32_t builtin_ftell(BuiltinArgs args) {
  std::FILE* f = StreamOfHandle(args.u(0));
  if (!f) return kFailed;
  long position = std::ftell(f);
  return position < 0 || position > INT32_MAX ? kFailed : static_cast<uint32_t>(position);
}

uint32_t builtin_fgets(BuiltinArgs args) {
  uint32_t buffer = args.u(0);
  int32_t size = args.i(1);
  std::FILE* f = StreamOfHandle(args.u(2));
  if (!f || size <= 0 || !ScriptBuffer(buffer, static_cast<uint32_t>(size))) return 0;
  return std::fgets(reinterpret_cast<char*>(ToHost(buffer)), size, f) ? buffer : 0;
}

uint32_t builtin_fputs(BuiltinArgs args) {
  std::FILE* f = StreamOfHandle(args.u(1));
  uint32_t text = args.u(0);
  if (!f || text == 0) return kFailed;
  // The string runs to its terminator, or at most to the end of the arena.
  size_t room = static_cast<size_t>((uint64_t{1} << 32) - text);
  size_t length = strnlen(reinterpret_cast<const char*>(ToHost(text)), room);
  return std::fwrite(ToHost(text), 1, length, f) == length ? 0 : kFailed;
}

// ---- sysfile, sysio ----

uint32_t builtin_sysfile(BuiltinArgs args) {
  std::string path;
  uint32_t buffer = args.u(1);
  int32_t size = args.i(2);
  if (!ScriptPath(args.u(0), path) || size <= 0 || !ScriptBuffer(buffer, static_cast<uint32_t>(size))) return 0;
  SetArenaReleaseObserver(ObserveRelease);
  SystemFile s;
  s.path = AbsoluteEnginePath(path);
  s.buffer = buffer;
  s.size = static_cast<uint32_t>(size);
  bool read = ReadSystemFile(s);
  std::lock_guard lock(system_file_lock);
  system_file = std::move(s);
  return read ? 1 : 0;
}

uint32_t builtin_sysio(BuiltinArgs args) {
  std::lock_guard lock(system_file_lock);
  const SystemFile& s = system_file;
  if (s.path.empty() || s.kept) return 0;
  if (args.u(0) == 0) return ReadSystemFile(s) ? 1 : 0;
  return SaveSystemFile(s) ? 1 : 0;
}

void WriteSystemFile() {
  SystemFile s;
  {
    std::lock_guard lock(system_file_lock);
    s = std::move(system_file);
    system_file = SystemFile{};
  }
  if (!s.path.empty()) SaveSystemFile(s);
}

// ---- mload ----

uint32_t builtin_mload(BuiltinArgs args) {
  std::string path;
  if (!ScriptPath(args.u(0), path)) return 0;
  ExpFile* f = OpenExpFile(path.c_str());
  if (!f) return 0;
  int32_t offset = args.i(1), size = args.i(2);
  if (size <= 0) size = GetExpFileSize(f);
  uint32_t block = size >= 0 ? ArenaAllocZeroed(static_cast<size_t>(size)) : 0;
  if (block) {
    if (offset > 0) SeekExpFile(f, offset, kSeekSet);
    uint32_t got = 0;
    ReadExpFile(f, ToHost(block), static_cast<uint32_t>(size), &got);
  }
  CloseExpFile(f);
  return block;
}
