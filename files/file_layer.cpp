#include "files/file_layer.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "files/archive.h"
#include "files/compressed.h"
#include "files/file_layer_internal.h"
#include "files/messages.h"
#include "platform/error_box.h"
#include "platform/text_encoding.h"

// ---- FastFile ----

namespace {

enum class ScanResult { kFound, kNotFound, kFailed };

// Tries one archive: `archive` is the path prefix with ".bin" added, `member`
// the rest of the path. A missing archive or a missing member lets the caller
// go on; a broken archive ends the whole open.
ScanResult TryArchive(FastFile* file, const std::string& archive, std::string_view member, const char* path) {
  HostFile handle = OpenFileForRead(archive);
  if (!handle.is_open()) return ScanResult::kNotFound;
  bool found = false;
  ArchiveMember m;
  ArchiveStatus status = FindArchiveMember(handle, member, &found, &m);
  if (status == ArchiveStatus::kNoMemory) {
    ShowError(kFileErrorLevel, "%s", kMsgFastFileNoMemory);
    return ScanResult::kFailed;
  }
  if (status != ArchiveStatus::kOk) {
    ShowError(kFileErrorLevel, KEVA_MSG_READ_FAILED, path);
    return ScanResult::kFailed;
  }
  if (!found) return ScanResult::kNotFound;
  if (handle.Seek(m.offset, kSeekSet) != int64_t{m.offset}) {
    ShowError(kFileErrorLevel, KEVA_MSG_SEEK_FAILED, path);
    return ScanResult::kFailed;
  }
  file->in_archive = 1;
  file->handle = std::move(handle);
  file->base = m.offset;
  file->size = m.size;
  return ScanResult::kFound;
}

}  // namespace

FastFile* OpenFastFile(const char* path) {
  if (!path) return nullptr;
  std::unique_ptr<FastFile> file(new (std::nothrow) FastFile);
  if (!file) {
    ShowError(kFileErrorLevel, "%s", kMsgFastFileNoMemory);
    return nullptr;
  }
  file->handle = OpenFileForRead(path);
  if (file->handle.is_open()) return file.release();

  // Each inner separator splits the path into an archive and a member name,
  // shortest archive first. Separators at the first and the last byte never
  // split, nor does the trail byte of a two-byte character.
  std::string_view p(path);
  for (size_t i = 0; i + 1 < p.size(); ++i) {
    auto c = static_cast<uint8_t>(p[i]);
    // (a '/' is never a trail byte: it splits also after host UTF-8 bytes)
    if (IsSjisLead(c) && IsSjisTrail(static_cast<uint8_t>(p[i + 1]))) {
      ++i;
      continue;
    }
    if (i == 0 || (c != '\\' && c != '/')) continue;
    std::string archive(p.substr(0, i));
    archive += ".bin";
    switch (TryArchive(file.get(), archive, p.substr(i + 1), path)) {
      case ScanResult::kFound: return file.release();
      case ScanResult::kFailed: return nullptr;
      case ScanResult::kNotFound: break;
    }
  }
  ShowError(kFileErrorLevel, KEVA_MSG_OPEN_FAILED, path);
  return nullptr;
}

FastFile* AdoptFastFile(HostFile&& handle) {
  if (!handle.is_open()) return nullptr;
  auto* file = new (std::nothrow) FastFile;
  if (file) file->handle = std::move(handle);
  return file;
}

FastFile* AdoptFastFileMember(HostFile&& handle, uint32_t base, uint32_t size) {
  if (!handle.is_open() || handle.Seek(base, kSeekSet) != int64_t{base}) return nullptr;
  FastFile* file = AdoptFastFile(std::move(handle));
  if (file) {
    file->in_archive = 1;
    file->base = base;
    file->size = size;
  }
  return file;
}

int CloseFastFile(FastFile* file) {
  if (!file) return 0;
  delete file;
  return 1;
}

int ReadFastFile(FastFile* file, void* buffer, uint32_t count, uint32_t* read) {
  if (read) *read = 0;
  if (!file || (!buffer && count > 0)) return 0;
  size_t want = count;
  if (file->in_archive) {
    // A member read stops at the member's end.
    int64_t at = file->handle.Tell();
    if (at < 0) return 0;
    int64_t end = int64_t{file->base} + file->size;
    want = at >= end ? 0 : static_cast<size_t>(std::min<int64_t>(count, end - at));
  }
  size_t got = 0;
  bool ok = file->handle.Read(buffer, want, &got);
  if (read) *read = static_cast<uint32_t>(got);
  return ok ? 1 : 0;
}

int32_t SeekFastFile(FastFile* file, int32_t offset, int origin) {
  if (!file) return -1;
  if (!file->in_archive) {
    int64_t r = file->handle.Seek(offset, origin);
    return r < 0 ? -1 : static_cast<int32_t>(r);
  }
  int64_t base = file->base, size = file->size, target;
  switch (origin) {
    case kSeekSet:
      if (offset < 0 || offset > size) return -1;
      target = base + offset;
      break;
    case kSeekCurrent: {
      int64_t at = file->handle.Tell();
      if (at < 0) return -1;
      target = at + offset;
      if (target < base || target > base + size) return -1;
      break;
    }
    case kSeekEnd:
      if (offset > 0 || offset < -size) return -1;
      target = base + size + offset;
      break;
    default:
      return offset;
  }
  if (file->handle.Seek(target, kSeekSet) < 0) return -1;
  return static_cast<int32_t>(target - base);
}

uint32_t GetFastFileSize(FastFile* file) {
  if (!file) return 0;
  if (file->in_archive) return file->size;
  int64_t size = file->handle.Size();
  return size < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
}

namespace {

template <typename T>
T ReadLittleEndian(FastFile* file) {
  uint8_t bytes[sizeof(T)] = {};
  uint32_t got = 0;
  if (!ReadFastFile(file, bytes, sizeof bytes, &got) || got != sizeof bytes) return T{};
  uint32_t v = 0;
  for (size_t i = sizeof bytes; i-- > 0;) v = (v << 8) | bytes[i];
  T out;
  if constexpr (sizeof(T) == sizeof(uint32_t)) {
    std::memcpy(&out, &v, sizeof out);
  } else {
    out = static_cast<T>(v);
  }
  return out;
}

}  // namespace

uint8_t ReadFastFileByte(FastFile* file) { return ReadLittleEndian<uint8_t>(file); }
uint16_t ReadFastFileShort(FastFile* file) { return ReadLittleEndian<uint16_t>(file); }
float ReadFastFileFloat(FastFile* file) { return ReadLittleEndian<float>(file); }

// ---- ExpFile ----

ExpFile* OpenExpFile(const char* path) {
  std::unique_ptr<ExpFile> exp(new (std::nothrow) ExpFile);
  if (!exp) {
    ShowError(kFileErrorLevel, "%s", kMsgExpFileNoMemory);
    return nullptr;
  }
  BitReader* reader = OpenBitReader(path);
  if (!reader) return nullptr;
  uint32_t magic = 0;
  if (!ReadBits(reader, &magic, 32) || magic != kCompressedMagic) {
    // A plain file: read it from its first byte.
    FastFile* file = DetachBitReader(reader);
    if (SeekFastFile(file, 0, kSeekSet) != 0) {
      CloseFastFile(file);
      return nullptr;
    }
    exp->file = file;
    return exp.release();
  }
  uint32_t length = 0;
  // The expanded size is a signed 32-bit position, so longer files are refused.
  // Nor is a length its code stream could never produce: memory is taken
  // only for what the file can back.
  const uint32_t file_size = BitReaderFileSize(reader);
  if (!ReadBits(reader, &length, 32) || length > uint32_t{INT32_MAX} ||
      length > LzwLongestExpansion(file_size > 8 ? file_size - 8 : 0)) {
    CloseBitReader(reader);
    return nullptr;
  }
  // calloc leaves the pages of a large block untouched until they are written.
  exp->data.reset(static_cast<uint8_t*>(std::calloc(length ? length : 1, 1)));
  if (!exp->data) {
    CloseBitReader(reader);
    return nullptr;
  }
  int ok = LzwExpand(reader, exp->data.get(), length);
  CloseBitReader(reader);
  if (!ok) return nullptr;
  exp->in_memory = 1;
  exp->pos = 0;
  exp->size = static_cast<int32_t>(length);
  return exp.release();
}

int CloseExpFile(ExpFile* file) {
  if (!file) return 0;
  CloseFastFile(file->file);
  delete file;
  return 1;
}

int ReadExpFile(ExpFile* file, void* buffer, uint32_t count, uint32_t* read) {
  if (!file) {
    if (read) *read = 0;
    return 0;
  }
  if (!file->in_memory) return ReadFastFile(file->file, buffer, count, read);
  uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(file->size - file->pos));
  if (n > 0) {
    if (!buffer) {
      if (read) *read = 0;
      return 0;
    }
    std::memcpy(buffer, file->data.get() + file->pos, n);
  }
  file->pos += static_cast<int32_t>(n);
  if (read) *read = n;
  return 1;
}

int32_t SeekExpFile(ExpFile* file, int32_t offset, int origin) {
  if (!file) return -1;
  if (!file->in_memory) return SeekFastFile(file->file, offset, origin);
  int64_t target;
  switch (origin) {
    case kSeekSet: target = offset; break;
    case kSeekCurrent: target = int64_t{file->pos} + offset; break;
    case kSeekEnd: target = int64_t{file->size} + offset; break;
    default: return file->pos;
  }
  if (target < 0 || target > file->size) return -1;
  file->pos = static_cast<int32_t>(target);
  return file->pos;
}

int32_t GetExpFileSize(ExpFile* file) {
  if (!file) return -1;
  if (file->in_memory) return file->size;
  return static_cast<int32_t>(GetFastFileSize(file->file));
}
