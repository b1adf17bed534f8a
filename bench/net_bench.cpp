// Loopback TCP through the net_ builtins next to plain sockets, in the same
// run and timed the same way:
// - throughput of one connection, the engine's server on one end (the
//   builtins called in a loop, as a script calls them) and a plain socket on
//   the other, in each direction; the baseline moves the same bytes between
//   two plain sockets;
// - the round trip of a 1-byte ping-pong with the engine's server, against
//   one between two plain sockets in threads, and between two processes
//   (the baseline that bench/net_pingpong.sh sets beside two engines).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "net/networking.h"
#include "vm/arena.h"

namespace {

constexpr size_t kStreamBytes = 16 << 20;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

int Listener(uint16_t* port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a = Loopback(*port);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(s, 5);
  socklen_t size = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
  *port = ntohs(a.sin_port);
  return s;
}

int Connect(uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in a = Loopback(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

int AcceptOne(int listener) {
  int s = accept(listener, nullptr, nullptr);
  int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return s;
}

void SendAll(int s, const uint8_t* p, size_t n) {
  while (n) {
    ssize_t k = send(s, p, n, MSG_NOSIGNAL);
    if (k <= 0) return;
    p += k;
    n -= static_cast<size_t>(k);
  }
}

void ReceiveAll(int s, uint8_t* p, size_t n, size_t chunk) {
  while (n) {
    ssize_t k = recv(s, p, std::min(n, chunk), 0);
    if (k <= 0) return;
    n -= static_cast<size_t>(k);
  }
}

// The engine's server with one plain client on it, the builtins called as a
// script calls them.
struct EngineServer {
  uint32_t args = 0, buffer = 0;
  int peer = -1;

  bool Open() {
    if (!ArenaStart() || !NetStart()) return false;
    args = ArenaAlloc(64);
    buffer = ArenaAlloc(8192);
    uint16_t port = 0;
    int probe = Listener(&port);  // a free port
    close(probe);
    if (Call(builtin_net_open, {0, port}) != 1) return false;
    peer = Connect(port);
    while (Call(builtin_net_recv, {0, buffer, 0}) != 0) std::this_thread::yield();
    return peer >= 0;
  }
  void Close() {
    NetClose();
    close(peer);
    ArenaFree(args);
    ArenaFree(buffer);
  }
  int32_t Call(BuiltinHandler h, std::initializer_list<uint32_t> words) {
    uint32_t at = args;
    for (uint32_t w : words) {
      std::memcpy(ToHost(at), &w, 4);
      at += 4;
    }
    return static_cast<int32_t>(h(BuiltinArgs{args}));
  }
  // Moves n bytes through net_recv or net_send; a call that moves nothing
  // yields, as the script thread does after every builtin.
  void Move(BuiltinHandler h, size_t n) {
    while (n) {
      int32_t k = Call(h, {0, buffer, static_cast<uint32_t>(std::min<size_t>(n, 8191))});
      if (k < 0) return;
      if (k == 0) std::this_thread::yield();
      n -= static_cast<size_t>(k);
    }
  }
};

void BM_ReceiveThroughBuiltins(benchmark::State& state) {
  EngineServer server;
  if (!server.Open()) return state.SkipWithError("no server");
  std::vector<uint8_t> data(kStreamBytes, 0x5a);
  for (auto _ : state) {
    std::thread sender([&] { SendAll(server.peer, data.data(), data.size()); });
    server.Move(builtin_net_recv, kStreamBytes);
    sender.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
  server.Close();
}

void BM_SendThroughBuiltins(benchmark::State& state) {
  EngineServer server;
  if (!server.Open()) return state.SkipWithError("no server");
  std::vector<uint8_t> sink(kStreamBytes);
  for (auto _ : state) {
    std::thread receiver([&] { ReceiveAll(server.peer, sink.data(), sink.size(), 65536); });
    server.Move(builtin_net_send, kStreamBytes);
    receiver.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
  server.Close();
}

// Baseline: the same bytes between two plain sockets, received 8191 at a time.
void BM_PlainSockets(benchmark::State& state) {
  uint16_t port = 0;
  int listener = Listener(&port);
  int a = Connect(port);
  int b = AcceptOne(listener);
  std::vector<uint8_t> data(kStreamBytes, 0x5a), sink(8191);
  for (auto _ : state) {
    std::thread sender([&] { SendAll(a, data.data(), data.size()); });
    size_t n = kStreamBytes;
    while (n) {
      ssize_t k = recv(b, sink.data(), std::min<size_t>(n, sink.size()), 0);
      if (k <= 0) break;
      n -= static_cast<size_t>(k);
    }
    sender.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
  close(a);
  close(b);
  close(listener);
}

void BM_PingPongThroughBuiltins(benchmark::State& state) {
  EngineServer server;
  if (!server.Open()) return state.SkipWithError("no server");
  uint8_t byte = 1;
  for (auto _ : state) {
    send(server.peer, &byte, 1, 0);
    server.Move(builtin_net_recv, 1);
    server.Move(builtin_net_send, 1);
    recv(server.peer, &byte, 1, 0);
  }
  server.Close();
}

void PingPong(benchmark::State& state, int s) {
  uint8_t byte = 1;
  for (auto _ : state) {
    send(s, &byte, 1, 0);
    recv(s, &byte, 1, 0);
  }
  byte = 0;  // the end
  send(s, &byte, 1, 0);
}

void Echo(int s) {
  uint8_t byte;
  while (recv(s, &byte, 1, 0) == 1 && byte) send(s, &byte, 1, 0);
}

void BM_PlainPingPongThreads(benchmark::State& state) {
  uint16_t port = 0;
  int listener = Listener(&port);
  int a = Connect(port);
  int b = AcceptOne(listener);
  std::thread echo([b] { Echo(b); });
  PingPong(state, a);
  echo.join();
  close(a);
  close(b);
  close(listener);
}

void BM_PlainPingPongProcesses(benchmark::State& state) {
  uint16_t port = 0;
  int listener = Listener(&port);
  pid_t child = fork();
  if (child == 0) {
    int s = Connect(port);
    Echo(s);
    _exit(0);
  }
  int s = AcceptOne(listener);
  PingPong(state, s);
  waitpid(child, nullptr, 0);
  close(s);
  close(listener);
}

BENCHMARK(BM_ReceiveThroughBuiltins)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_SendThroughBuiltins)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_PlainSockets)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_PingPongThroughBuiltins)->Unit(benchmark::kMicrosecond)->Iterations(5000)->UseRealTime();
BENCHMARK(BM_PlainPingPongThreads)->Unit(benchmark::kMicrosecond)->Iterations(5000)->UseRealTime();
BENCHMARK(BM_PlainPingPongProcesses)->Unit(benchmark::kMicrosecond)->Iterations(5000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
