#include "platform/error_box.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/text_encoding.h"

namespace {

std::atomic<int> error_level{1};
std::atomic<uint32_t> box_count{0};
std::atomic<uint32_t> error_count{0};
std::atomic<ErrorBoxBackend> backend{nullptr};
std::mutex stderr_lock;

void PrintToStderr(std::string_view caption, std::string_view text) {
  std::string line = SjisToUtf8(caption) + ": " + SjisToUtf8(text);
  if (line.empty() || line.back() != '\n') line += '\n';
  std::lock_guard lock(stderr_lock);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

void SetErrorLevel(int level) { error_level.store(level, std::memory_order_relaxed); }
int ErrorLevel() { return error_level.load(std::memory_order_relaxed); }
void SetErrorBoxBackend(ErrorBoxBackend b) { backend.store(b); }
uint32_t ErrorBoxCount() { return box_count.load(); }
uint32_t ReportedErrorCount() { return error_count.load(); }

void ShowError(int level, const char* format, ...) {
  int shown = ErrorLevel();
  // Error=0 hides the boxes, not the failure: a level-1 error counts anyway.
  if (level <= std::max(shown, 1)) error_count.fetch_add(1);
  if (level > shown) return;
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  box_count.fetch_add(1);
  ErrorBoxBackend b = backend.load();
  (b ? b : PrintToStderr)("ERROR : Error", text);
}
