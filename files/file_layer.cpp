#include "files/file_layer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "files/file_layer_internal.h"
#include "files/messages.h"
#include "platform/error_box.h"

// ---- FastFile ----

FastFile* OpenFastFile(const char* path) {
  if (!path) return nullptr;
  auto* file = new (std::nothrow) FastFile;
  if (!file) {
    ShowError(kFileErrorLevel, "%s", kMsgFastFileNoMemory);
    return nullptr;
  }
  file->handle = OpenFileForRead(path);
  if (file->handle.is_open()) return file;
  delete file;
  ShowError(kFileErrorLevel, KEVA_MSG_OPEN_FAILED, path);
  return nullptr;
}

FastFile* AdoptFastFile(HostFile&& handle) {
  if (!handle.is_open()) return nullptr;
  auto* file = new (std::nothrow) FastFile;
  if (file) file->handle = std::move(handle);
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
  auto* exp = new (std::nothrow) ExpFile;
  if (!exp) {
    ShowError(kFileErrorLevel, "%s", kMsgExpFileNoMemory);
    return nullptr;
  }
  exp->file = OpenFastFile(path);
  if (!exp->file) {
    delete exp;
    return nullptr;
  }
  return exp;
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
