// The net_ builtins against plain sockets on loopback, called as a script
// calls them: a server with its five channels, a client, and peers that
// misbehave. Every wait is bounded.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "builtin_call.h"
#include "net/networking.h"
#include "platform/error_box.h"
#include "platform/sockets.h"
#include "vm/arena.h"

namespace {

constexpr const char* kCannotConnect =
    "\x83T\x81[\x83o\x81[\x82\xc9\x90\xda\x91\xb1\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";  // サーバーに接続できません
constexpr const char* kTooManyClients =
    "\x83N\x83\x89\x83""C\x83""A\x83\x93\x83g\x82\xcc\x90\xda\x91\xb1\x90\x94\x82\xaa\x8d\xc5\x91\xe5\x90\x94\x82\xf0"
    "\x92\xb4\x82\xa6\x82\xdc\x82\xb5\x82\xbd";  // クライアントの接続数が最大数を超えました

std::mutex boxes_lock;
std::vector<std::string> boxes;
void CaptureBox(std::string_view, std::string_view text) {
  std::lock_guard guard(boxes_lock);
  boxes.emplace_back(text);
}
bool BoxShown(const std::string& text) {
  std::lock_guard guard(boxes_lock);
  for (const std::string& b : boxes)
    if (b == text) return true;
  return false;
}

template <class Condition>
bool WaitFor(Condition done, int ms = 10000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

void SetTimeouts(int s, int seconds) {
  timeval tv{seconds, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A plain listening socket on loopback at a port the system chose.
int PlainListener(uint16_t* port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 8) != 0) return -1;
  socklen_t size = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
  *port = ntohs(a.sin_port);
  return s;
}

uint16_t FreePort() {
  uint16_t port = 0;
  int s = PlainListener(&port);
  close(s);
  return port;
}

// A blocking plain client with 20-second timeouts, or -1.
int PlainClient(uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  SetTimeouts(s, 20);
  sockaddr_in a = Loopback(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

bool SendAll(int s, const uint8_t* data, size_t n) {
  while (n) {
    ssize_t k = send(s, data, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    data += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

bool ReceiveExactly(int s, uint8_t* out, size_t n) {
  while (n) {
    ssize_t k = recv(s, out, n, 0);
    if (k <= 0) return false;
    out += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// True when the peer ended the connection (end of stream or reset) within
// the socket's timeout.
bool EndsSoon(int s) {
  uint8_t byte;
  ssize_t k = recv(s, &byte, 1, 0);
  return k == 0 || (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

class NetworkingTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ArenaStart());
    SetErrorBoxBackend(CaptureBox);
    {
      std::lock_guard guard(boxes_lock);
      boxes.clear();
    }
    ASSERT_TRUE(NetStart());
    args_ = ArenaAlloc(64);
    host_ = ArenaAlloc(256);
    data_ = ArenaAlloc(kDataBytes);
    ASSERT_TRUE(args_ && host_ && data_);
  }
  void TearDown() override {
    NetShutdown();
    SetErrorBoxBackend(nullptr);
    for (int s : sockets_) close(s);
    ArenaFree(args_);
    ArenaFree(host_);
    ArenaFree(data_);
  }

  int32_t Open(const char* host, int32_t port) {
    uint32_t h = 0;
    if (host) {
      std::strcpy(reinterpret_cast<char*>(ToHost(host_)), host);
      h = host_;
    }
    return static_cast<int32_t>(CallBuiltin(builtin_net_open, args_, {h, static_cast<uint32_t>(port)}));
  }
  int32_t Send(int32_t channel, uint32_t from, int32_t length) {
    return static_cast<int32_t>(
        CallBuiltin(builtin_net_send, args_, {static_cast<uint32_t>(channel), from, static_cast<uint32_t>(length)}));
  }
  int32_t Recv(int32_t channel, uint32_t into, int32_t length) {
    return static_cast<int32_t>(
        CallBuiltin(builtin_net_recv, args_, {static_cast<uint32_t>(channel), into, static_cast<uint32_t>(length)}));
  }
  int32_t State() { return static_cast<int32_t>(CallBuiltin(builtin_net_state, args_, {})); }
  bool ChannelUsed(int channel) { return Recv(channel, data_, 0) == 0; }

  // Queues all of bytes on a channel, retrying while the ring is full.
  bool SendBytes(int channel, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    return WaitFor([&] {
      size_t n = std::min<size_t>(bytes.size() - done, 8191);
      std::memcpy(ToHost(data_), bytes.data() + done, n);
      int32_t k = Send(channel, data_, static_cast<int32_t>(n));
      if (k > 0) done += static_cast<size_t>(k);
      return k < 0 || done == bytes.size();
    }) && done == bytes.size();
  }
  // Takes n bytes from a channel as they arrive.
  std::vector<uint8_t> ReceiveBytes(int channel, size_t n) {
    std::vector<uint8_t> out;
    WaitFor([&] {
      int32_t k = Recv(channel, data_, static_cast<int32_t>(std::min<size_t>(n - out.size(), 8191)));
      if (k > 0) out.insert(out.end(), ToHost(data_), ToHost(data_) + k);
      return k < 0 || out.size() == n;
    });
    return out;
  }
  // A plain client connected to the server, once the server has given it a
  // channel.
  int Connect(uint16_t port, int expect_channel) {
    int s = PlainClient(port);
    EXPECT_GE(s, 0);
    if (s >= 0) sockets_.push_back(s);
    EXPECT_TRUE(WaitFor([&] { return ChannelUsed(expect_channel); }));
    return s;
  }

  static constexpr size_t kDataBytes = 64 * 1024;
  uint32_t args_ = 0, host_ = 0, data_ = 0;
  std::vector<int> sockets_;
};

TEST_F(NetworkingTest, ARingAcceptsAtMost8191BytesAndDataCrossesItsEndIntact) {
  uint16_t port = FreePort();
  ASSERT_EQ(Open(nullptr, port), 1);
  EXPECT_EQ(State(), 1);
  int peer = Connect(port, 0);
  std::vector<uint8_t> bytes = Pattern(10000, 1);
  std::memcpy(ToHost(data_), bytes.data(), bytes.size());
  EXPECT_EQ(Send(0, data_, 10000), 8191);
  std::vector<uint8_t> got(10000);
  ASSERT_TRUE(ReceiveExactly(peer, got.data(), 8191));
  // The rest goes in from index 8191, across the end of the ring. The network
  // thread frees the ring just after the bytes leave it, which may be a moment
  // after the peer has them, so the rest is offered until it is all taken.
  int sent = 0;
  EXPECT_TRUE(WaitFor([&] {
    const int k = Send(0, data_ + 8191 + sent, 1809 - sent);
    if (k > 0) sent += k;
    return sent == 1809;
  }));
  ASSERT_TRUE(ReceiveExactly(peer, got.data() + 8191, 1809));
  EXPECT_EQ(got, bytes);

  // The other way: 10000 bytes from the peer arrive whole and in order,
  // crossing the end of the receive ring.
  std::vector<uint8_t> back = Pattern(10000, 2);
  ASSERT_TRUE(SendAll(peer, back.data(), back.size()));
  EXPECT_EQ(ReceiveBytes(0, 10000), back);
  EXPECT_EQ(Recv(0, data_, 100), 0);  // nothing more has arrived
}

TEST_F(NetworkingTest, BuiltinsRefuseWhatDoesNotNameAConnection) {
  EXPECT_EQ(Send(0, data_, 1), -1);  // nothing open
  EXPECT_EQ(Recv(0, data_, 1), -1);
  EXPECT_EQ(State(), 0);
  EXPECT_EQ(Open(nullptr, 70000), 0);  // no such port
  EXPECT_EQ(Open(nullptr, -1), 0);
  uint16_t port = FreePort();
  ASSERT_EQ(Open(nullptr, port), 1);
  Connect(port, 0);
  struct Case {
    int32_t channel, length;
  };
  for (Case c : {Case{5, 1}, Case{-1, 1}, Case{1, 1}, Case{0, -1}, Case{0, INT32_MIN}}) {
    SCOPED_TRACE(testing::Message() << "channel " << c.channel << " length " << c.length);
    EXPECT_EQ(Send(c.channel, data_, c.length), -1);
    EXPECT_EQ(Recv(c.channel, data_, c.length), -1);
  }
  // Wild buffers reach only script memory: the calls neither crash nor fail.
  EXPECT_EQ(Send(0, 0xFFFFF000u, 8191), 8191);
  EXPECT_EQ(Recv(0, 0xFFFFFFF0u, 8191), 0);
}

TEST_F(NetworkingTest, FiveClientsExchangeAMegabyteEachWayThroughAnEchoingServer) {
  constexpr size_t kBytes = 1 << 20;
  uint16_t port = FreePort();
  ASSERT_EQ(Open(nullptr, port), 1);
  std::atomic<int> intact{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kServerChannels; ++i) {
    int s = Connect(port, i);
    threads.emplace_back([s, i] { SendAll(s, Pattern(kBytes, 10 + i).data(), kBytes); });
    threads.emplace_back([s, i, &intact] {
      std::vector<uint8_t> got(kBytes);
      if (ReceiveExactly(s, got.data(), kBytes) && got == Pattern(kBytes, 10 + i)) ++intact;
    });
  }
  // The script's side: whatever a channel receives is sent back on it.
  std::vector<uint8_t> pending[kServerChannels];
  size_t echoed[kServerChannels] = {};
  uint32_t buffer = data_;
  bool done = WaitFor(
      [&] {
        bool all = true;
        for (int ch = 0; ch < kServerChannels; ++ch) {
          if (pending[ch].empty()) {
            int32_t n = Recv(ch, buffer, 8191);
            if (n > 0) pending[ch].assign(ToHost(buffer), ToHost(buffer) + n);
          }
          if (!pending[ch].empty()) {
            std::memcpy(ToHost(buffer), pending[ch].data(), pending[ch].size());
            int32_t n = Send(ch, buffer, static_cast<int32_t>(pending[ch].size()));
            if (n > 0) {
              pending[ch].erase(pending[ch].begin(), pending[ch].begin() + n);
              echoed[ch] += static_cast<size_t>(n);
            }
          }
          all = all && echoed[ch] == kBytes;
        }
        return all;
      },
      60000);
  for (std::thread& t : threads) t.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(intact, kServerChannels);
}

TEST_F(NetworkingTest, ASixthClientIsClosedWithItsMessage) {
  uint16_t port = FreePort();
  ASSERT_EQ(Open(nullptr, port), 1);
  for (int i = 0; i < kServerChannels; ++i) Connect(port, i);
  int sixth = PlainClient(port);
  ASSERT_GE(sixth, 0);
  sockets_.push_back(sixth);
  EXPECT_TRUE(EndsSoon(sixth));
  EXPECT_TRUE(WaitFor([] { return BoxShown(kTooManyClients); }));
  // The five keep working.
  std::vector<uint8_t> bytes = Pattern(100, 3);
  ASSERT_TRUE(SendAll(sockets_[4], bytes.data(), bytes.size()));
  EXPECT_EQ(ReceiveBytes(4, 100), bytes);
}

TEST_F(NetworkingTest, BytesStayReadableAfterThePeerClosedThenTheChannelIsFreed) {
  uint16_t port = FreePort();
  ASSERT_EQ(Open(nullptr, port), 1);
  int peer = Connect(port, 0);
  std::vector<uint8_t> bytes = Pattern(12000, 4);  // more than the ring holds
  ASSERT_TRUE(SendAll(peer, bytes.data(), bytes.size()));
  close(peer);
  sockets_.clear();
  EXPECT_EQ(ReceiveBytes(0, 12000), bytes);
  EXPECT_TRUE(WaitFor([&] { return Recv(0, data_, 1) == -1; }));
  // The freed channel is the next client's.
  Connect(port, 0);
}

// Peers that connect and go at once, some with a reset, four at a time: the
// channels come free again and a well-behaved client is served after each
// batch. (Four, so that with the client no connection is a sixth one.)
TEST_F(NetworkingTest, ConnectAndCloseAtOnceLeavesNoChannelTaken) {
  uint16_t port = FreePort();
  ASSERT_EQ(Open(nullptr, port), 1);
  for (int batch = 0; batch < 5; ++batch) {
    SCOPED_TRACE(batch);
    for (int i = 0; i < 4; ++i) {
      int s = PlainClient(port);
      ASSERT_GE(s, 0);
      if (i % 2) {
        linger reset{1, 0};
        setsockopt(s, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      }
      close(s);
    }
    // The good client's channel is the one its bytes arrive on; it is
    // accepted after the batch, which waited before it in the listen queue.
    int peer = PlainClient(port);
    ASSERT_GE(peer, 0);
    std::vector<uint8_t> bytes = Pattern(50, 5 + batch);
    ASSERT_TRUE(SendAll(peer, bytes.data(), bytes.size()));
    std::vector<uint8_t> got;
    WaitFor([&] {
      for (int ch = 0; ch < kServerChannels; ++ch) {
        int32_t n = Recv(ch, data_, static_cast<int32_t>(bytes.size() - got.size()));
        if (n > 0) got.insert(got.end(), ToHost(data_), ToHost(data_) + n);
      }
      return got.size() == bytes.size();
    });
    EXPECT_EQ(got, bytes);
    close(peer);
    EXPECT_TRUE(WaitFor([&] {
      for (int ch = 0; ch < kServerChannels; ++ch)
        if (ChannelUsed(ch)) return false;
      return true;
    }));
  }
  EXPECT_FALSE(BoxShown(kTooManyClients));
}

// A peer that sends far more than the script reads is held back by TCP: the
// network thread sleeps meanwhile, and not a byte is lost.
TEST_F(NetworkingTest, AFloodingPeerIsThrottledWithoutSpinningOrLoss) {
  constexpr size_t kBytes = 4 << 20;
  uint16_t port = FreePort();
  ASSERT_EQ(Open(nullptr, port), 1);
  int peer = Connect(port, 0);
  std::vector<uint8_t> bytes = Pattern(kBytes, 6);
  std::thread flood([&] { SendAll(peer, bytes.data(), bytes.size()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the ring and the socket fill up
  uint64_t wake_ups = NetworkThreadWakeUps();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(NetworkThreadWakeUps() - wake_ups, 10u);  // a spinning thread wakes thousands of times
  std::vector<uint8_t> got = ReceiveBytes(0, kBytes);
  flood.join();
  EXPECT_TRUE(got == bytes);
}

TEST_F(NetworkingTest, AnIdleServerSleeps) {
  uint16_t port = FreePort();
  ASSERT_EQ(Open(nullptr, port), 1);
  Connect(port, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  uint64_t wake_ups = NetworkThreadWakeUps();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(NetworkThreadWakeUps() - wake_ups, 10u);
}

// net_close with bytes still queued, to a peer that reads slowly through a
// small window: everything queued arrives before the connection ends.
TEST_F(NetworkingTest, NetCloseDeliversWhatIsStillQueued) {
  uint16_t port = FreePort();
  ASSERT_EQ(Open(nullptr, port), 1);
  int peer = socket(AF_INET, SOCK_STREAM, 0);
  int small = 2048;
  setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  SetTimeouts(peer, 20);
  sockets_.push_back(peer);
  sockaddr_in a = Loopback(port);
  ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_TRUE(WaitFor([&] { return ChannelUsed(0); }));
  std::vector<uint8_t> got;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint8_t buffer[512];
    for (;;) {
      ssize_t k = recv(peer, buffer, sizeof buffer, 0);
      if (k <= 0) break;
      got.insert(got.end(), buffer, buffer + k);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  // Queue until both the ring and the socket are full.
  std::vector<uint8_t> bytes = Pattern(200000, 7);
  size_t queued = 0;
  int full = 0;
  while (queued < bytes.size() && full < 20) {
    size_t n = std::min<size_t>(bytes.size() - queued, 8191);
    std::memcpy(ToHost(data_), bytes.data() + queued, n);
    int32_t k = Send(0, data_, static_cast<int32_t>(n));
    EXPECT_GE(k, 0);
    if (k < 0) break;
    queued += static_cast<size_t>(k);
    if (k == 0) ++full;
  }
  CallBuiltin(builtin_net_close, args_, {});
  EXPECT_EQ(State(), 0);
  EXPECT_EQ(Send(0, data_, 1), -1);
  reader.join();
  bytes.resize(queued);
  EXPECT_EQ(got.size(), queued);
  EXPECT_TRUE(got == bytes);
}

TEST_F(NetworkingTest, ASecondOpenEndsTheFirstServer) {
  uint16_t port = FreePort();
  ASSERT_EQ(Open(nullptr, port), 1);
  int first = Connect(port, 0);
  ASSERT_EQ(Open(nullptr, port), 1);  // the same port again: the old listener is gone
  EXPECT_TRUE(EndsSoon(first));
  EXPECT_FALSE(ChannelUsed(0));
  Connect(port, 0);
}

TEST_F(NetworkingTest, AClientConnectsExchangesAndEndsWhenTheServerClosedAndWasRead) {
  uint16_t port = 0;
  int listener = PlainListener(&port);
  ASSERT_GE(listener, 0);
  sockets_.push_back(listener);
  ASSERT_EQ(Open("127.0.0.1", port), 1);
  int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  sockets_.push_back(peer);
  SetTimeouts(peer, 20);
  ASSERT_TRUE(WaitFor([&] { return State() == 1; }));
  std::vector<uint8_t> bytes = Pattern(20000, 8);
  ASSERT_TRUE(SendBytes(123, bytes));  // the channel is ignored for a client
  std::vector<uint8_t> got(bytes.size());
  ASSERT_TRUE(ReceiveExactly(peer, got.data(), got.size()));
  EXPECT_EQ(got, bytes);
  // The server answers and closes; the answer stays readable until taken.
  std::vector<uint8_t> answer = Pattern(300, 9);
  ASSERT_TRUE(SendAll(peer, answer.data(), answer.size()));
  close(peer);
  sockets_.pop_back();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(State(), 1);
  EXPECT_EQ(ReceiveBytes(0, 300), answer);
  EXPECT_TRUE(WaitFor([&] { return State() == 0; }));
  EXPECT_EQ(Recv(0, data_, 1), -1);
  EXPECT_EQ(Send(0, data_, 1), -1);
}

TEST_F(NetworkingTest, FailedClientConnectionsEndWithTheirMessage) {
  struct Case {
    const char* host;
    std::string message;
  };
  // A label longer than 63 characters fails in the resolver itself, so no
  // query leaves the machine.
  std::string unresolvable = std::string(70, 'x') + ".invalid";
  uint16_t closed_port = FreePort();
  for (const Case& c : {Case{unresolvable.c_str(), kCannotConnect}, Case{"127.0.0.1", SocketErrorMessage(10061)}}) {
    SCOPED_TRACE(c.host);
    ASSERT_EQ(Open(c.host, closed_port), 1);
    int32_t first = State();
    EXPECT_TRUE(first == 2 || first == 0);
    EXPECT_TRUE(WaitFor([&] { return State() == 0; }));
    EXPECT_TRUE(BoxShown(c.message));
    EXPECT_EQ(Send(0, data_, 1), -1);
  }
}

// A server that never accepts, with its listen queue full, leaves the client
// connecting; net_close ends the attempt at once.
TEST_F(NetworkingTest, NetCloseEndsAConnectionAttempt) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockets_.push_back(listener);
  sockaddr_in a = Loopback(0);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  socklen_t size = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size);
  for (int i = 0; i < 4; ++i) {  // fill the queue
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockets_.push_back(s);
    connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(Open("127.0.0.1", ntohs(a.sin_port)), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(State(), 2);
  auto start = std::chrono::steady_clock::now();
  CallBuiltin(builtin_net_close, args_, {});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // a connect times out after minutes
  EXPECT_EQ(State(), 0);
}

TEST_F(NetworkingTest, AServerOnAPortInUseFailsWithItsMessage) {
  uint16_t port = 0;
  int listener = PlainListener(&port);
  ASSERT_GE(listener, 0);
  sockets_.push_back(listener);
  EXPECT_EQ(Open(nullptr, port), 0);
  EXPECT_EQ(State(), 0);
  EXPECT_TRUE(BoxShown(SocketErrorMessage(10048)));
}

TEST_F(NetworkingTest, WithoutTheSocketStartUpNothingOpens) {
  NetShutdown();
  uint16_t port = 0;
  int listener = PlainListener(&port);
  sockets_.push_back(listener);
  EXPECT_EQ(Open(nullptr, port + 1), 0);
  ASSERT_EQ(Open("127.0.0.1", port), 1);
  EXPECT_TRUE(WaitFor([&] { return State() == 0; }));
  EXPECT_TRUE(BoxShown(kCannotConnect));
}

TEST(SocketErrorsTest, PosixErrorsMapToTheirCodesAndMessages) {
  struct Case {
    int posix;
    int32_t code;
    const char* message_start;
  };
  const Case cases[] = {
      {ECONNREFUSED, 10061, "WSAECONNREFUSED "}, {ECONNRESET, 10054, "WSAECONNRESET "},
      {EADDRINUSE, 10048, "WSAEADDRINUSE "},     {EAGAIN, 10035, "WSAEWOULDBLOCK "},
      {ETIMEDOUT, 10060, "WSAETIMEDOUT "},       {EPIPE, 10058, "WSAESHUTDOWN "},
      {EMFILE, 10024, "WSAEMFILE "},             {ENOENT, 0, "\x96\xa2\x92\xe8\x8b`"},  // 未定義エラー
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.posix);
    EXPECT_EQ(SocketErrorCode(c.posix), c.code);
    EXPECT_EQ(std::string(SocketErrorMessage(c.code)).rfind(c.message_start, 0), 0u);
  }
  EXPECT_STREQ(SocketErrorMessage(11001), "WSAHOST_NOT_FOUND \x83z\x83X\x83g\x82\xaa\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1");
}

}  // namespace
