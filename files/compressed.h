// Compressed files: "kev\0", the expanded length (32 bits, big-endian) and an
// LZW code stream, all packed most significant bit first.
//
// Codes 0..255 are bytes, 256 ends the stream, 257 widens the codes by one bit,
// 258 resets the dictionary; new strings get codes from 259 on. Codes start 9
// bits wide and never pass 15: when the next code would be 32768 the coder
// resets the dictionary.
#pragma once
#include <cstdint>

class HostFile;
struct FastFile;

inline constexpr uint32_t kCompressedMagic = 0x6B657600;  // "kev" and a zero byte, read as 32 bits

// Buffered MSB-first bit input over a FastFile.
struct BitReader;
BitReader* OpenBitReader(const char* path);
// A reader on a file that is already open; the reader owns it from then on.
BitReader* AttachBitReader(FastFile* file);
// 1, or 0 when the file ends or a read fails. count is 1..32.
int ReadBits(BitReader* reader, uint32_t* value, int count);
void CloseBitReader(BitReader* reader);
// Size of the file the reader reads.
uint32_t BitReaderFileSize(const BitReader* reader);
// Frees the reader but keeps its file open and returns it.
FastFile* DetachBitReader(BitReader* reader);

// Buffered MSB-first bit output.
struct BitWriter;
BitWriter* CreateBitWriter(const char* path);
// A writer that appends to an open file at its current position and leaves it
// open when closed.
BitWriter* AttachBitWriter(HostFile* file);
// 1, or 0 when a write fails. count is 1..32; value has no bits above count.
int WriteBits(BitWriter* writer, uint32_t value, int count);
// Writes what is buffered (a started byte counts) and frees the writer; the
// file is closed unless it was attached. 0 when the write failed.
int CloseBitWriter(BitWriter* writer);

int LzwCompress(BitWriter* writer, const uint8_t* data, uint32_t length);

// How an expansion ended.
enum class ExpandResult {
  kEnd,          // the END code
  kInputEnded,   // the input ended without END (what was not written stays as it was)
  kOverflow,     // the output would have passed its capacity
  kCorrupt,      // a code that no valid stream holds
  kNoMemory,
};
ExpandResult LzwExpandStream(BitReader* reader, uint8_t* out, uint32_t capacity, uint32_t* written);
// The most bytes any code stream of `stream_bytes` bytes can expand to. Codes
// are at least 9 bits, and each one adds at most one byte to the longest
// string the dictionary holds, so n codes give at most n (n + 1) / 2 bytes:
// a declared length above this is a lie about the data.
uint64_t LzwLongestExpansion(uint64_t stream_bytes);
// 1 at the END code or at the end of the input, 0 otherwise.
int LzwExpand(BitReader* reader, uint8_t* out, uint32_t capacity);

// Magic, length and code stream of data through a writer. 1 or 0.
int WriteCompressedData(BitWriter* writer, const void* data, uint32_t length);
// Writes a whole compressed file (created or truncated). 1 or 0.
int WriteCompressedFile(const char* path, const void* data, uint32_t length);
