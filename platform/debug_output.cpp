#include "platform/debug_output.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/text_encoding.h"

namespace {

std::atomic<const DebugOutputBackend*> backend{nullptr};
std::mutex stdout_lock;

void AppendToStdout(std::string_view line) {
  std::string text = SjisToUtf8(line);
  text += '\n';
  std::lock_guard lock(stdout_lock);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void ClearStdout() {}  // a terminal keeps what it has printed

const DebugOutputBackend stdout_backend{AppendToStdout, ClearStdout};

}  // namespace

void SetDebugOutputBackend(const DebugOutputBackend* b) { backend.store(b); }
void UseStandardOutputForDebugOutput() { backend.store(&stdout_backend); }
bool DebugOutputExists() { return backend.load() != nullptr; }

void DebugOutputAppend(std::string_view line) {
  if (const DebugOutputBackend* b = backend.load()) b->append(line);
}

void DebugOutputClear() {
  if (const DebugOutputBackend* b = backend.load()) b->clear();
}
