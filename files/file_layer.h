// The file layer: every engine-side read of game data goes through here.
// A path opens as a loose file, else as a member of an archive found through
// one of its directory prefixes; an ExpFile also expands compressed files.
#pragma once
#include <cstdint>

class HostFile;

struct FastFile;
struct ExpFile;

// Origins for the seek operations.
enum : int { kSeekSet = 0, kSeekCurrent = 1, kSeekEnd = 2 };

FastFile* OpenFastFile(const char* path);
int CloseFastFile(FastFile* file);                                       // 1; 0 for none
int ReadFastFile(FastFile* file, void* buffer, uint32_t count, uint32_t* read);  // non-zero on success
int32_t SeekFastFile(FastFile* file, int32_t offset, int origin);         // new position or -1
uint32_t GetFastFileSize(FastFile* file);

// Little-endian reads at the current position; 0 where the read fails.
uint8_t ReadFastFileByte(FastFile* file);
uint16_t ReadFastFileShort(FastFile* file);
float ReadFastFileFloat(FastFile* file);

// Wraps a host file that is already open for reading as a loose FastFile
// (for tools that name host paths); none when the file is not open.
FastFile* AdoptFastFile(HostFile&& file);
// The same for one member of an archive: size bytes from base, positioned at
// base; none when the file is not open or cannot seek there.
FastFile* AdoptFastFileMember(HostFile&& file, uint32_t base, uint32_t size);

ExpFile* OpenExpFile(const char* path);
int CloseExpFile(ExpFile* file);                                         // 1; 0 for none
int ReadExpFile(ExpFile* file, void* buffer, uint32_t count, uint32_t* read);    // non-zero on success
int32_t SeekExpFile(ExpFile* file, int32_t offset, int origin);           // new position or -1
int32_t GetExpFileSize(ExpFile* file);                                    // -1 for none
