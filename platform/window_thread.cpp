#include "platform/window_thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// A message or call whose caller waits for it; it lives on the caller's stack.
struct PendingMessage {
  uint32_t number;
  uintptr_t w, l;
  uint32_t result = 0;
  bool done = false;
  void (*call)(uintptr_t) = nullptr;  // a call instead of a message
  uintptr_t arg = 0;
};

// One entry of the queue: a waited message, or a posted call carried by value
// (nothing to free, so calls still queued when the process ends cost nothing).
struct QueueEntry {
  PendingMessage* waited = nullptr;
  void (*posted)(uintptr_t) = nullptr;
  uintptr_t arg = 0;
};

std::atomic<EngineMessageHandler> handler{nullptr};
std::atomic<bool> enabled{false};
std::atomic<void (*)()> waker{nullptr};
std::atomic<bool> have_window_thread{false};
std::thread::id window_thread;

std::mutex queue_lock;
std::condition_variable answered;
std::condition_variable queued;  // a polling window thread waits on it
std::deque<QueueEntry> queue;

uint32_t Run(uint32_t number, uintptr_t w, uintptr_t l) {
  EngineMessageHandler h = handler.load();
  return (h && enabled.load()) ? h(number, w, l) : 0;
}

}  // namespace

void SetEngineMessageHandler(EngineMessageHandler h) { handler.store(h); }
void EnableEngineMessages(bool on) { enabled.store(on); }
void SetWindowThreadWaker(void (*wake)()) { waker.store(wake); }

void BecomeWindowThread() {
  std::lock_guard lock(queue_lock);
  window_thread = std::this_thread::get_id();
  have_window_thread = true;
}

bool OnWindowThread() {
  std::lock_guard lock(queue_lock);
  return have_window_thread && window_thread == std::this_thread::get_id();
}

namespace {

// Queues a message or call the caller waits for, wakes the window thread and
// waits for its answer.
uint32_t QueueAndWait(PendingMessage& message) {
  std::unique_lock lock(queue_lock);
  queue.push_back({&message});
  lock.unlock();
  queued.notify_one();
  if (auto wake = waker.load()) wake();
  lock.lock();
  answered.wait(lock, [&] { return message.done; });
  return message.result;
}

}  // namespace

uint32_t SendEngineMessage(uint32_t number, uintptr_t w, uintptr_t l) {
  if (!have_window_thread.load() || OnWindowThread()) return Run(number, w, l);
  PendingMessage message{number, w, l};
  return QueueAndWait(message);
}

void CallOnWindowThread(void (*fn)(uintptr_t), uintptr_t arg) {
  if (!have_window_thread.load() || OnWindowThread()) {
    fn(arg);
    return;
  }
  PendingMessage call{0, 0, 0};
  call.call = fn;
  call.arg = arg;
  QueueAndWait(call);
}

void PostToWindowThread(void (*fn)(uintptr_t), uintptr_t arg) {
  if (!have_window_thread.load()) {  // nobody would ever serve it
    fn(arg);
    return;
  }
  {
    std::lock_guard lock(queue_lock);
    queue.push_back({nullptr, fn, arg});
  }
  queued.notify_one();
  if (auto wake = waker.load()) wake();
}

int ServeEngineMessages() {
  int served = 0;
  for (;;) {
    std::unique_lock lock(queue_lock);
    if (queue.empty()) return served;
    QueueEntry entry = queue.front();
    queue.pop_front();
    lock.unlock();
    ++served;
    if (!entry.waited) {
      entry.posted(entry.arg);
      continue;
    }
    PendingMessage* message = entry.waited;
    uint32_t result = 0;
    if (message->call) {
      message->call(message->arg);
    } else {
      result = Run(message->number, message->w, message->l);
    }
    lock.lock();
    message->result = result;
    message->done = true;
    answered.notify_all();
  }
}

bool WaitForEngineMessages(uint32_t timeout_ms) {
  std::unique_lock lock(queue_lock);
  return queued.wait_for(lock, std::chrono::milliseconds(timeout_ms), [] { return !queue.empty(); });
}
