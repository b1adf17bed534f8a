// The script arena: every byte a script can address lives in one reservation
// of 4 GiB + 64 KiB. A VM address is an offset into it, so any 32-bit address
// plus a 4-byte access stays inside the reservation: a wild script pointer can
// read zeros or scribble on script memory but never reaches host memory.
//
// Blocks are carved by jemalloc from an arena of its own whose extents come
// from the reservation; the allocator's bookkeeping stays in host memory. The
// first 64 KiB are never handed out, so 0 is never a valid block.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint64_t kArenaReservedLow = 64 * 1024;                 // never handed out
constexpr uint64_t kArenaSize = (uint64_t{1} << 32) + kArenaReservedLow;

// Base of the reservation, or nullptr before ArenaStart succeeded.
inline uint8_t* g_arena_base = nullptr;

// Reserves the arena and creates its allocator. Safe to call repeatedly and
// from any thread; returns false when the reservation cannot be made.
bool ArenaStart();

inline uint8_t* ToHost(uint32_t addr) { return g_arena_base + addr; }

// VM address of a host pointer into the arena; 0 for a pointer outside it.
inline uint32_t ToVm(const void* p) {
  auto off = static_cast<const uint8_t*>(p) - g_arena_base;
  return (g_arena_base && off > 0 && off < (int64_t{1} << 32)) ? static_cast<uint32_t>(off) : 0;
}

// True when the bytes [addr, addr + bytes) lie below 4 GiB, i.e. a builtin may
// touch them through ToHost without leaving the reservation. Builtins that take
// a script pointer and a length check it with this.
inline bool InArena(uint32_t addr, uint64_t bytes) { return uint64_t{addr} + bytes <= (uint64_t{1} << 32); }

// Allocates a block; returns its VM address, or 0 when the arena is exhausted
// or could not be reserved (never aborts). A size of 0 gives a minimal block.
uint32_t ArenaAlloc(size_t bytes);
uint32_t ArenaAllocZeroed(size_t bytes);

// Resizes a live block, keeping its contents; 0 on failure (the old block is
// then left as it was). ArenaRealloc(0, n) allocates.
uint32_t ArenaRealloc(uint32_t addr, size_t bytes);

// Frees a live block. Addresses that are not live blocks (0, wild pointers,
// blocks already freed) are refused with false and change nothing.
bool ArenaFree(uint32_t addr);

// Called with every block just before it is freed (moved_to 0), and after a
// resize moved it (moved_to its new address, the old bytes already copied
// there): an owner of engine state that points into script memory keeps what
// it needs, or follows the move. One observer, nullptr for none; it runs on
// the releasing thread.
using ArenaReleaseObserver = void (*)(uint32_t addr, size_t bytes, uint32_t moved_to);
void SetArenaReleaseObserver(ArenaReleaseObserver observer);

// Usable size of a live block, or 0 for an address that is not one.
size_t ArenaBlockSize(uint32_t addr);

// True when addr is the start of a live block.
bool ArenaIsBlock(uint32_t addr);

// Address-sanitizer builds: surrounds every block allocated from now on with
// poisoned zones, so an engine routine writing past its block is reported.
// Only before the first block is allocated, and never while scripts run
// (scripts may touch any arena byte); the release observer is not told of
// guarded blocks. Returns false where it is not offered.
bool ArenaUseGuardZones(bool on);
