#include "files/compressed.h"

#include <cstring>
#include <memory>
#include <new>

#include "files/file_layer.h"
#include "files/messages.h"
#include "platform/error_box.h"
#include "platform/file_system.h"

namespace {

constexpr uint32_t kBufferSize = 16384;

constexpr uint32_t kEndCode = 256;
constexpr uint32_t kBumpCode = 257;
constexpr uint32_t kFlushCode = 258;
constexpr uint32_t kFirstCode = 259;
constexpr int kFirstWidth = 9;
constexpr uint32_t kFirstThreshold = 511;
constexpr uint32_t kLastCode = 32767;
constexpr int kLastWidth = 15;
constexpr int32_t kTableSize = 35023;  // a prime above 2^15
constexpr uint32_t kStackSize = 32768;

struct LzwEntry {
  int32_t code;    // -1 = free (compression only)
  int32_t parent;  // the string this one extends
  uint8_t ch;      // the byte it appends
};

std::unique_ptr<LzwEntry[]> NewDictionary() {
  std::unique_ptr<LzwEntry[]> dict(new (std::nothrow) LzwEntry[kTableSize]());
  if (!dict) ShowError(kFileErrorLevel, "%s", kMsgNoDictionary);
  return dict;
}

// Open addressing with a step that depends on the slot, so probe sequences of
// different strings part quickly.
int32_t FindSlot(const LzwEntry* dict, int32_t parent, uint8_t ch) {
  int32_t index = (int32_t{ch} << 7) ^ parent;
  int32_t step = index == 0 ? 1 : kTableSize - index;
  for (;;) {
    const LzwEntry& e = dict[index];
    if (e.code == -1 || (e.parent == parent && e.ch == ch)) return index;
    index -= step;
    if (index < 0) index += kTableSize;
  }
}

}  // namespace

// ---- Bit input ----

struct BitReader {
  FastFile* file = nullptr;
  uint32_t valid = kBufferSize;  // bytes in the buffer
  uint32_t pos = kBufferSize;    // next byte to use; at valid the buffer is refilled
  int bits_left = 8;             // unread bits of buffer[pos]
  uint8_t buffer[kBufferSize];
};

uint32_t BitReaderFileSize(const BitReader* reader) { return GetFastFileSize(reader->file); }

uint64_t LzwLongestExpansion(uint64_t stream_bytes) {
  const uint64_t codes = stream_bytes * 8 / 9;
  return codes * (codes + 1) / 2;
}

BitReader* AttachBitReader(FastFile* file) {
  if (!file) return nullptr;
  auto* reader = new (std::nothrow) BitReader;
  if (!reader) {
    ShowError(kFileErrorLevel, "%s", kMsgNoInputBuffer);
    CloseFastFile(file);
    return nullptr;
  }
  reader->file = file;
  return reader;
}

BitReader* OpenBitReader(const char* path) {
  auto* reader = new (std::nothrow) BitReader;
  if (!reader) {
    ShowError(kFileErrorLevel, "%s", kMsgNoInputBuffer);
    return nullptr;
  }
  reader->file = OpenFastFile(path);
  if (!reader->file) {
    delete reader;
    return nullptr;
  }
  return reader;
}

int ReadBits(BitReader* reader, uint32_t* value, int count) {
  uint32_t v = 0;
  *value = 0;
  if (!reader || count < 1 || count > 32) return 0;
  int n = count;
  while (n > 0) {
    if (reader->pos >= reader->valid) {
      uint32_t got = 0;
      if (!ReadFastFile(reader->file, reader->buffer, kBufferSize, &got) || got == 0) {
        *value = v;
        return 0;
      }
      reader->valid = got;
      reader->pos = 0;
    }
    uint8_t& current = reader->buffer[reader->pos];
    n -= reader->bits_left;
    if (n < 0) {
      v |= uint32_t{current} >> -n;
      reader->bits_left = -n;
      current &= static_cast<uint8_t>((1u << reader->bits_left) - 1);
      break;
    }
    v |= uint32_t{current} << n;
    ++reader->pos;
    reader->bits_left = 8;
  }
  *value = v;
  return 1;
}

FastFile* DetachBitReader(BitReader* reader) {
  if (!reader) return nullptr;
  FastFile* file = reader->file;
  delete reader;
  return file;
}

void CloseBitReader(BitReader* reader) { CloseFastFile(DetachBitReader(reader)); }

// ---- Bit output ----

struct BitWriter {
  HostFile owned;           // the file, unless attached
  HostFile* out = nullptr;  // where the bytes go
  uint32_t count = 0;       // complete bytes in the buffer
  int bits_left = 8;        // free bits of buffer[count]
  uint8_t buffer[kBufferSize];
};

BitWriter* CreateBitWriter(const char* path) {
  auto* writer = new (std::nothrow) BitWriter;
  if (!writer) {
    ShowError(kFileErrorLevel, "%s", kMsgNoOutputBuffer);
    return nullptr;
  }
  writer->owned = CreateFileForWrite(path ? path : "");
  if (!writer->owned.is_open()) {
    ShowError(kFileErrorLevel, KEVA_MSG_CREATE_FAILED, path ? path : "");
    delete writer;
    return nullptr;
  }
  std::memset(writer->buffer, 0, sizeof writer->buffer);
  writer->out = &writer->owned;
  return writer;
}

BitWriter* AttachBitWriter(HostFile* file) {
  if (!file || !file->is_open()) return nullptr;
  auto* writer = new (std::nothrow) BitWriter;
  if (!writer) {
    ShowError(kFileErrorLevel, "%s", kMsgNoOutputBuffer);
    return nullptr;
  }
  std::memset(writer->buffer, 0, sizeof writer->buffer);
  writer->out = file;
  return writer;
}

int WriteBits(BitWriter* writer, uint32_t value, int count) {
  if (!writer || count < 1 || count > 32) return 0;
  int n = count;
  while (n > 0) {
    n -= writer->bits_left;
    uint8_t& current = writer->buffer[writer->count];
    if (n < 0) {
      current |= static_cast<uint8_t>(value << -n);
      writer->bits_left = -n;
      break;
    }
    current |= static_cast<uint8_t>(value >> n);
    ++writer->count;
    writer->bits_left = 8;
    if (writer->count == kBufferSize) {
      bool ok = writer->out->Write(writer->buffer, kBufferSize);
      std::memset(writer->buffer, 0, sizeof writer->buffer);
      writer->count = 0;
      if (!ok) {
        ShowError(kFileErrorLevel, "%s", kMsgBitWriteFailed);
        return 0;
      }
    }
  }
  return 1;
}

int CloseBitWriter(BitWriter* writer) {
  if (!writer) return 0;
  uint32_t count = writer->count + (writer->bits_left != 8 ? 1 : 0);
  bool ok = count == 0 || writer->out->Write(writer->buffer, count);
  // A failed close may mean lost data too.
  if (writer->out == &writer->owned && !writer->owned.Close()) ok = false;
  if (!ok) ShowError(kFileErrorLevel, "%s", kMsgWriteFailed);
  delete writer;
  return ok ? 1 : 0;
}

// ---- LZW ----

int LzwCompress(BitWriter* writer, const uint8_t* data, uint32_t length) {
  if (!writer || !data || length == 0) return 0;
  std::unique_ptr<LzwEntry[]> dict = NewDictionary();
  if (!dict) return 0;

  uint32_t next_code = 0, threshold = 0;
  int width = 0;
  auto reset = [&] {
    for (int32_t i = 0; i < kTableSize; ++i) dict[i].code = -1;
    next_code = kFirstCode;
    width = kFirstWidth;
    threshold = kFirstThreshold;
  };
  reset();

  int32_t string = data[0];
  for (uint32_t i = 1; i < length; ++i) {
    uint8_t c = data[i];
    LzwEntry& e = dict[FindSlot(dict.get(), string, c)];
    if (e.code != -1) {
      string = e.code;
      continue;
    }
    e.code = static_cast<int32_t>(next_code++);
    e.parent = string;
    e.ch = c;
    if (!WriteBits(writer, static_cast<uint32_t>(string), width)) return 0;
    string = c;
    if (next_code > kLastCode) {
      if (!WriteBits(writer, kFlushCode, width)) return 0;
      reset();
    } else if (next_code > threshold) {
      if (!WriteBits(writer, kBumpCode, width)) return 0;
      ++width;
      threshold = threshold * 2 + 1;
    }
  }
  if (!WriteBits(writer, static_cast<uint32_t>(string), width)) return 0;
  if (!WriteBits(writer, kEndCode, width)) return 0;
  return 1;
}

ExpandResult LzwExpandStream(BitReader* reader, uint8_t* out, uint32_t capacity, uint32_t* written) {
  if (written) *written = 0;
  if (!reader || (!out && capacity > 0)) return ExpandResult::kCorrupt;
  std::unique_ptr<LzwEntry[]> dict = NewDictionary();
  std::unique_ptr<uint8_t[]> stack(dict ? new (std::nothrow) uint8_t[kStackSize] : nullptr);
  if (!dict) return ExpandResult::kNoMemory;
  if (!stack) {
    ShowError(kFileErrorLevel, "%s", kMsgNoDictionary);
    return ExpandResult::kNoMemory;
  }

  uint8_t* o = out;
  uint8_t* const end = out + capacity;
  auto finish = [&](ExpandResult r) {
    if (written) *written = static_cast<uint32_t>(o - out);
    return r;
  };

  for (;;) {  // one round per dictionary generation
    uint32_t next_code = kFirstCode;
    int width = kFirstWidth;
    uint32_t old;
    if (!ReadBits(reader, &old, width)) return finish(ExpandResult::kInputEnded);
    if (old == kEndCode) return finish(ExpandResult::kEnd);
    if (old > 255) return finish(ExpandResult::kCorrupt);  // a generation starts with a byte
    if (o >= end) return finish(ExpandResult::kOverflow);
    *o++ = static_cast<uint8_t>(old);
    uint8_t ch = static_cast<uint8_t>(old);

    for (;;) {
      uint32_t code;
      if (!ReadBits(reader, &code, width)) return finish(ExpandResult::kInputEnded);
      if (code == kBumpCode) {
        if (width >= kLastWidth) return finish(ExpandResult::kCorrupt);
        ++width;
        continue;
      }
      if (code == kFlushCode) break;
      if (code == kEndCode) return finish(ExpandResult::kEnd);

      uint32_t sp = 0;
      uint32_t walk = code;
      if (code >= next_code) {
        // The string being defined: the previous one plus its own first byte.
        if (code > next_code) return finish(ExpandResult::kCorrupt);
        stack[sp++] = ch;
        walk = old;
      }
      while (walk > 255) {
        if (sp >= kStackSize - 1) return finish(ExpandResult::kCorrupt);
        stack[sp++] = dict[walk].ch;
        walk = static_cast<uint32_t>(dict[walk].parent);
      }
      stack[sp++] = static_cast<uint8_t>(walk);
      ch = static_cast<uint8_t>(walk);
      if (sp > static_cast<size_t>(end - o)) return finish(ExpandResult::kOverflow);
      while (sp > 0) *o++ = stack[--sp];

      if (next_code <= kLastCode) {
        dict[next_code].parent = static_cast<int32_t>(old);
        dict[next_code].ch = ch;
        ++next_code;
      }
      old = code;
    }
  }
}

int LzwExpand(BitReader* reader, uint8_t* out, uint32_t capacity) {
  ExpandResult r = LzwExpandStream(reader, out, capacity, nullptr);
  return r == ExpandResult::kEnd || r == ExpandResult::kInputEnded ? 1 : 0;
}

// ---- Whole files ----

int WriteCompressedData(BitWriter* writer, const void* data, uint32_t length) {
  if (!writer || (!data && length > 0)) return 0;
  if (!WriteBits(writer, kCompressedMagic, 32) || !WriteBits(writer, length, 32)) return 0;
  // Empty data is a stream of END alone, which expands to nothing.
  if (length == 0) return WriteBits(writer, kEndCode, kFirstWidth);
  return LzwCompress(writer, static_cast<const uint8_t*>(data), length);
}

int WriteCompressedFile(const char* path, const void* data, uint32_t length) {
  BitWriter* writer = CreateBitWriter(path);
  if (!writer) return 0;
  int ok = WriteCompressedData(writer, data, length);
  int closed = CloseBitWriter(writer);
  return ok && closed ? 1 : 0;
}
