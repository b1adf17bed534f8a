#include "runtime/dispatch.h"

#include <atomic>
#include <chrono>

#include "audio/cd_audio.h"
#include "audio/midi_music.h"
#include "audio/sound_buffers.h"
#include "audio/video_playback.h"
#include "compiler/compiler.h"
#include "files/file_builtins.h"
#include "graphics/plane_effects.h"
#include "graphics/planes.h"
#include "graphics/sprites.h"
#include "graphics/text.h"
#include "net/networking.h"
#include "platform/clock.h"
#include "platform/window_thread.h"
#include "platform/error_box.h"
#include "render3d/renderer3d.h"
#include "runtime/file_system_builtins.h"
#include "runtime/library_builtins.h"
#include "runtime/math_builtins.h"
#include "runtime/regex_builtins.h"
#include "runtime/runtime_settings.h"
#include "runtime/string_builtins.h"
#include "vm/arena.h"

namespace {

std::mutex builtin_lock;
std::atomic<bool> builtin_lock_present{false};
std::atomic<int> builtin_lock_waiters{0};
std::atomic<uint32_t> builtin_lock_takes{0};

void FailContext(ScriptContext* ctx) {
  ctx->state = kContextFailed;
  SetScriptStopFlag(1);
}

}  // namespace

int32_t PushedArgumentCount(const ScriptContext* ctx) {
  uint32_t ret;
  std::memcpy(&ret, ToHost(ctx->r[7]), 4);
  uint16_t word;
  std::memcpy(&word, ToHost(ret), 2);
  if (word != kArgumentCleanupWord) return 0;
  int32_t bytes;
  std::memcpy(&bytes, ToHost(ret + 2), 4);
  return bytes / 4;
}

void DispatchBuiltin(uint16_t number, ScriptContext* ctx) {
  if (number >= kBuiltinCount) {
    ShowError(1, "\x95\x73\x90\xb3\x82\xc8\x96\xbd\x97\xdf\x83\x52\x81\x5b\x83\x68 - #%d", number);  // 不正な命令コード - #%d
    FailContext(ctx);
    return;
  }
  const BuiltinEntry& entry = kBuiltinTable[number];
  if (g_runtime_settings.debug_mode && entry.argument_count >= 0 &&
      PushedArgumentCount(ctx) != entry.argument_count) {
    ShowError(1, "%s - \x88\xf8\x90\x94\x82\xcc\x90\x94\x82\xaa\x88\xe1\x82\xa2\x82\xdc\x82\xb7\x81\x42",  // 引数の数が違います。
              entry.name);
    FailContext(ctx);  // the handler still runs; the script stops right after it
  }
  if (!builtin_lock.try_lock()) {
    // Counted so the holder's thread loop yields to us after its slice.
    builtin_lock_waiters.fetch_add(1, std::memory_order_relaxed);
    builtin_lock.lock();
    builtin_lock_waiters.fetch_sub(1, std::memory_order_relaxed);
  }
  std::lock_guard lock(builtin_lock, std::adopt_lock);
  // Only the holder writes it: no read-modify-write needed.
  builtin_lock_takes.store(builtin_lock_takes.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  SetCurrentContext(ctx);
  uint32_t result = entry.handler(BuiltinArgs{ctx->r[7] + 4});
  CurrentContext()->r[0] = result;
}

int BuiltinLockWaiters() { return builtin_lock_waiters.load(std::memory_order_relaxed); }

void HandOverBuiltinLock() {
  if (builtin_lock_waiters.load(std::memory_order_relaxed) == 0) return;
  // A woken waiter needs a moment to get going; without this wait the caller
  // would take the lock again at its next builtin call and starve the others.
  uint32_t takes = builtin_lock_takes.load(std::memory_order_relaxed);
  auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
  while (builtin_lock_waiters.load(std::memory_order_relaxed) > 0 &&
         builtin_lock_takes.load(std::memory_order_relaxed) == takes &&
         !ScriptStopRequested() && std::chrono::steady_clock::now() < give_up)
    SleepMs(0);
}

BuiltinLockReleased::BuiltinLockReleased() : saved_(CurrentContext()) { builtin_lock.unlock(); }

BuiltinLockReleased::~BuiltinLockReleased() {
  builtin_lock.lock();
  SetCurrentContext(saved_);
}

int RuntimeStart() {
  RuntimeStop();
  ClearExportedFunctions();
  builtin_lock_present = true;
  EnableEngineMessages(true);  // the engine window procedure serves them from now on
  MathStart();  // sine and arctangent tables; the random generator seeded from the tick count
  // Reset of the builtin families, in this order (each joins as it is built):
  UnloadAllLibraries();
  GraphicsStart();  // planes and pages freed, the initial palette installed, plane 0 created
  TextStart();  // every font slot back to its default; no font objects yet
  CloseAllPackSlots();  // the 16 pack slots; also the open streams and searches
  CloseAllStreams();
  CloseAllSearches();
  SpritesStart();  // the dirty-rectangle list, hit lists and sprite lists are emptied
  SetBuiltinHook(DispatchBuiltin);
  return 1;
}

int RuntimeStop() {
  // Shut-down of the builtin families, in this order (each joins as it is built):
  SpritesStop();  // every sprite of every list is reset
  ReleaseMedia();  // the video closed
  FreeAllSounds();
  FreeMidi();  // the MIDI sequence and CD audio are stopped and freed
  StopCdPlay();
  NetClose();  // the server or client ended, its thread waited for
  RegexCleanUp();  // patterns and regions freed, the regular-expression library's global clean-up
  ResetStringTokens();  // strtok positions forgotten
  CloseAllPackSlots();  // the 16 pack slots; also the open streams (flushed) and searches
  CloseAllStreams();
  CloseAllSearches();
  TextShutdown();  // font objects and the work plane freed
  GraphicsShutdown();  // planes, pages and the palette
  UnloadAllLibraries();
  Render3dShutdown();  // the depth buffer and every model freed
  ResetMeshWarps();  // the eight effect objects freed, their slots emptied
  EnableEngineMessages(false);  // the engine window procedure is taken off
  builtin_lock_present = false;
  WriteSystemFile();  // the system file registered by sysfile
  return 1;
}
