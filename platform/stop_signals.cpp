#include "platform/stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "platform/window.h"

namespace {

int wake_pipe[2] = {-1, -1};
std::atomic<void (*)()> on_first{nullptr};

// Only async-signal-safe work here: the signal number goes down the pipe.
void OnSignal(int number) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  [[maybe_unused]] ssize_t n = write(wake_pipe[1], &byte, 1);
  errno = saved;
}

void Watch() {
  int seen = 0;
  for (;;) {
    unsigned char number = 0;
    ssize_t n = read(wake_pipe[0], &number, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n != 1) return;
    if (++seen == 1) {
      if (auto first = on_first.load()) first();
      continue;
    }
    CloseAllMessageBoxes();
    _exit(128 + number);
  }
}

}  // namespace

void WatchStopSignals(void (*first)()) {
  on_first.store(first);
  if (wake_pipe[0] >= 0) return;
  if (pipe2(wake_pipe, O_CLOEXEC) != 0) return;
  std::thread(Watch).detach();
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}
