#include "vm/arena.h"

#include <jemalloc/jemalloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#if defined(__SANITIZE_ADDRESS__)
#define KEVA_ARENA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEVA_ARENA_ASAN 1
#endif
#endif
#ifdef KEVA_ARENA_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

std::once_flag start_once;
unsigned arena_index = 0;
int alloc_flags = 0;

// Extents are carved upward from the reservation and never given back to the
// system; jemalloc keeps them as retained memory and reuses them. Purging
// returns the physical pages while the addresses stay reserved.
std::mutex carve_lock;
uint64_t carve_next = kArenaReservedLow;

void* CarveExtent(extent_hooks_t*, void* new_addr, size_t size, size_t alignment, bool* zero,
                  bool* commit, unsigned) {
  std::lock_guard lock(carve_lock);
  uint64_t start;
  if (new_addr) {  // jemalloc asks to grow an extent in place
    if (static_cast<uint8_t*>(new_addr) != g_arena_base + carve_next) return nullptr;
    start = carve_next;
  } else {
    uint64_t align = alignment ? alignment : 1;
    start = (carve_next + align - 1) / align * align;
  }
  if (start + size > kArenaSize - kArenaReservedLow) return nullptr;  // blocks end at or below 4 GiB
  carve_next = start + size;
  *zero = true;  // fresh pages of the reservation read as zero
  *commit = true;
  return g_arena_base + start;
}

bool KeepExtent(extent_hooks_t*, void*, size_t, bool, unsigned) { return true; }  // opt out: retain

bool PurgeLazy(extent_hooks_t*, void* addr, size_t size, size_t offset, size_t length, unsigned) {
  (void)size;
  return madvise(static_cast<uint8_t*>(addr) + offset, length, MADV_FREE) != 0;
}

bool PurgeForced(extent_hooks_t*, void* addr, size_t size, size_t offset, size_t length, unsigned) {
  (void)size;
  return madvise(static_cast<uint8_t*>(addr) + offset, length, MADV_DONTNEED) != 0;
}

bool SplitExtent(extent_hooks_t*, void*, size_t, size_t, size_t, bool, unsigned) { return false; }
bool MergeExtent(extent_hooks_t*, void*, size_t, void*, size_t, bool, unsigned) { return false; }

extent_hooks_t arena_hooks = {
    CarveExtent, KeepExtent, nullptr /* destroy */, nullptr /* commit */, nullptr /* decommit */,
    PurgeLazy,   PurgeForced, SplitExtent,         MergeExtent,
};

// The live blocks, so that freeing or resizing a wild script pointer is
// refused instead of corrupting the allocator.
std::mutex blocks_lock;
std::unordered_set<uint32_t> live_blocks;
std::atomic<ArenaReleaseObserver> release_observer{nullptr};

void Start() {
  void* p = mmap(nullptr, kArenaSize, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return;
  // Prefer an arena whose metadata stays outside the reservation, so scripts
  // cannot reach it; older allocators only offer the plain form.
  struct ArenaConfig {
    extent_hooks_t* hooks;
    bool metadata_use_hooks;
  } config{&arena_hooks, false};
  unsigned index = 0;
  size_t len = sizeof index;
  g_arena_base = static_cast<uint8_t*>(p);
  if (mallctl("experimental.arenas_create_ext", &index, &len, &config, sizeof config) != 0) {
    extent_hooks_t* hooks = &arena_hooks;
    len = sizeof index;
    if (mallctl("arenas.create", &index, &len, &hooks, sizeof hooks) != 0) {
      munmap(p, kArenaSize);
      g_arena_base = nullptr;
      return;
    }
  }
  arena_index = index;
  alloc_flags = MALLOCX_ARENA(index) | MALLOCX_TCACHE_NONE;
}

uint32_t Register(void* p) {
  if (!p) return 0;
  uint32_t addr = ToVm(p);
  std::lock_guard lock(blocks_lock);
  live_blocks.insert(addr);
  return addr;
}

// Guard zones (address-sanitizer builds only, switched on by the fuzz
// targets): every block is carved with a poisoned zone before and after it,
// so a loader that writes past the block it allocated is caught at once.
// Scripts may scribble on arena memory by design, so this is never on when
// scripts run.
constexpr size_t kGuardBytes = 64;
bool guard_zones = false;
struct GuardedBlock {
  void* base;    // what jemalloc handed out
  size_t bytes;  // what the caller asked for
};
std::unordered_map<uint32_t, GuardedBlock> guarded_blocks;  // under blocks_lock

void Poison([[maybe_unused]] const void* p, [[maybe_unused]] size_t n) {
#ifdef KEVA_ARENA_ASAN
  ASAN_POISON_MEMORY_REGION(p, n);
#endif
}
void Unpoison([[maybe_unused]] const void* p, [[maybe_unused]] size_t n) {
#ifdef KEVA_ARENA_ASAN
  ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
}

uint32_t AllocateGuarded(size_t bytes, int extra_flags) {
  size_t size = bytes ? bytes : 1;
  auto* base = static_cast<uint8_t*>(mallocx(size + 2 * kGuardBytes, alloc_flags | extra_flags));
  if (!base) return 0;
  size_t usable = sallocx(base, alloc_flags);
  Poison(base, kGuardBytes);
  Poison(base + kGuardBytes + size, usable - kGuardBytes - size);
  uint32_t addr = ToVm(base + kGuardBytes);
  std::lock_guard lock(blocks_lock);
  live_blocks.insert(addr);
  guarded_blocks[addr] = {base, size};
  return addr;
}

void FreeGuarded(uint32_t addr) {  // under blocks_lock, addr live
  GuardedBlock block = guarded_blocks[addr];
  guarded_blocks.erase(addr);
  Unpoison(block.base, sallocx(block.base, alloc_flags));
  dallocx(block.base, alloc_flags);
}

uint32_t Allocate(size_t bytes, int extra_flags) {
  if (!ArenaStart() || bytes >= (size_t{1} << 32)) return 0;
  if (guard_zones) return AllocateGuarded(bytes, extra_flags);
  return Register(mallocx(bytes ? bytes : 1, alloc_flags | extra_flags));
}

}  // namespace

bool ArenaStart() {
  std::call_once(start_once, Start);
  return g_arena_base != nullptr;
}

uint32_t ArenaAlloc(size_t bytes) { return Allocate(bytes, 0); }
uint32_t ArenaAllocZeroed(size_t bytes) { return Allocate(bytes, MALLOCX_ZERO); }

bool ArenaIsBlock(uint32_t addr) {
  std::lock_guard lock(blocks_lock);
  return live_blocks.count(addr) != 0;
}

void SetArenaReleaseObserver(ArenaReleaseObserver observer) { release_observer = observer; }

bool ArenaFree(uint32_t addr) {
  {
    std::lock_guard lock(blocks_lock);
    if (!live_blocks.erase(addr)) return false;
    if (guard_zones) {
      FreeGuarded(addr);
      return true;
    }
  }
  if (ArenaReleaseObserver observer = release_observer.load()) observer(addr, sallocx(ToHost(addr), alloc_flags), 0);
  dallocx(ToHost(addr), alloc_flags);
  return true;
}

size_t ArenaBlockSize(uint32_t addr) {
  std::lock_guard lock(blocks_lock);
  if (!live_blocks.count(addr)) return 0;
  if (guard_zones) return guarded_blocks[addr].bytes;
  return sallocx(ToHost(addr), alloc_flags);
}

bool ArenaUseGuardZones(bool on) {
#ifdef KEVA_ARENA_ASAN
  std::lock_guard lock(blocks_lock);
  if (!live_blocks.empty()) return false;  // only before the first block
  guard_zones = on;
  return true;
#else
  (void)on;
  return false;
#endif
}

uint32_t ArenaRealloc(uint32_t addr, size_t bytes) {
  if (addr == 0) return ArenaAlloc(bytes);
  if (bytes >= (size_t{1} << 32)) return 0;
  if (guard_zones) {  // a new guarded block, the contents copied
    size_t old_bytes = ArenaBlockSize(addr);
    if (!old_bytes) return 0;
    uint32_t moved = ArenaAlloc(bytes);
    if (!moved) return 0;
    std::memcpy(ToHost(moved), ToHost(addr), std::min(old_bytes, bytes ? bytes : 1));
    ArenaFree(addr);
    return moved;
  }
  uint32_t moved;
  size_t old_size;
  {
    std::lock_guard lock(blocks_lock);
    if (!live_blocks.count(addr)) return 0;
    old_size = sallocx(ToHost(addr), alloc_flags);
    void* p = rallocx(ToHost(addr), bytes ? bytes : 1, alloc_flags);
    if (!p) return 0;
    live_blocks.erase(addr);
    moved = ToVm(p);
    live_blocks.insert(moved);
  }
  if (ArenaReleaseObserver observer = release_observer.load(); observer && moved != addr)
    observer(addr, old_size, moved);
  return moved;
}
