#include "net/networking.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "net/ring_buffer.h"
#include "platform/clock.h"
#include "platform/error_box.h"
#include "platform/sockets.h"

namespace {

struct SocketMessage {
  int32_t code;
  const char* text;
};
constexpr SocketMessage kSocketMessages[] = {
    {10004, "WSAEINTR \x92\x86\x8e~\x96\xbd\x97\xdf\x82\xc9\x82\xe6\x82\xe8\x92\x86\x92""f\x82\xb5\x82\xdc\x82\xb5\x82\xbd"},  // WSAEINTR 中止命令により中断しました
    {10009, "WSAEBADF \x83t\x83@\x83""C\x83\x8b\x94\xd4\x8d\x86\x82\xaa\x88\xe1\x82\xa2\x82\xdc\x82\xb7"},  // WSAEBADF ファイル番号が違います
    {10013, "WSAEACCES \x83""A\x83N\x83Z\x83X\x82\xaa\x8b\x91\x94\xdb\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd"},  // WSAEACCES アクセスが拒否されました
    {10014, "WSAEFAULT \x83""A\x83h\x83\x8c\x83X\x82\xaa\x88\xe1\x82\xa2\x82\xdc\x82\xb7"},  // WSAEFAULT アドレスが違います
    {10022, "WSAEINVAL \x83p\x83\x89\x83\x81\x81[\x83^\x82\xaa\x89\xf0\x8e\xdf\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1"},  // WSAEINVAL パラメータが解釈できません
    {10024, "WSAEMFILE \x83t\x83@\x83""C\x83\x8b\x82\xcc\x83I\x81[\x83v\x83\x93\x90\x94\x82\xaa\x91\xbd\x82\xb7\x82\xac\x82\xdc\x82\xb7"},  // WSAEMFILE ファイルのオープン数が多すぎます
    {10035, "WSAEWOULDBLOCK \x91\x80\x8d\xec\x82\xaa\x83u\x83\x8d\x83""b\x83N\x82\xb3\x82\xea\x82\xdc\x82\xb7"},  // WSAEWOULDBLOCK 操作がブロックされます
    {10036, "WSAEINPROGRESS \x91\x80\x8d\xec\x82\xaa\x8f\x88\x97\x9d\x92\x86\x82\xc5\x82\xb7"},  // WSAEINPROGRESS 操作が処理中です
    {10037, "WSAEALREADY \x82\xb7\x82\xc5\x82\xc9\x8e\xc0\x8ds\x92\x86\x82\xc5\x82\xb7"},  // WSAEALREADY すでに実行中です
    {10038, "WSAENOTSOCK \x83\x5c\x83P\x83""b\x83g\x88\xc8\x8aO\x82\xc5\x83\x5c\x83P\x83""b\x83g\x91\x80\x8d\xec\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb5\x82\xbd"},  // WSAENOTSOCK ソケット以外でソケット操作がありました
    {10039, "WSAEDESTADDRREQ \x88\xb6\x90\xe6\x83""A\x83h\x83\x8c\x83X\x82\xaa\x90\xdd\x92\xe8\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1"},  // WSAEDESTADDRREQ 宛先アドレスが設定されていません
    {10040, "WSAEMSGSIZE \x83\x81\x83""b\x83Z\x81[\x83W\x82\xaa\x92\xb7\x82\xb7\x82\xac\x82\xdc\x82\xb7"},  // WSAEMSGSIZE メッセージが長すぎます
    {10041, "WSAEPROTOTYPE \x83v\x83\x8d\x83g\x83R\x83\x8b\x8e\xed\x97\xde\x82\xaa\x95s\x90\xb3\x82\xc5\x82\xb7"},  // WSAEPROTOTYPE プロトコル種類が不正です
    {10042, "WSAENOPROTOOPT \x83v\x83\x8d\x83g\x83R\x83\x8b\x82\xaa\x8eg\x97p\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1"},  // WSAENOPROTOOPT プロトコルが使用できません
    {10043, "WSAEPROTONOSUPPORT \x83v\x83\x8d\x83g\x83R\x83\x8b\x82\xaa\x83T\x83|\x81[\x83g\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1"},  // WSAEPROTONOSUPPORT プロトコルがサポートされていません
    {10044, "WSAESOCKTNOSUPPORT \x83\x5c\x83P\x83""b\x83g\x82\xaa\x83T\x83|\x81[\x83g\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1"},  // WSAESOCKTNOSUPPORT ソケットがサポートされていません
    {10045, "WSAEOPNOTSUPP \x91\x80\x8d\xec\x82\xaa\x83\x5c\x83P\x83""b\x83g\x82\xc5\x83T\x83|\x81[\x83g\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1"},  // WSAEOPNOTSUPP 操作がソケットでサポートされていません
    {10046, "WSAEPFNOSUPPORT \x83v\x83\x8d\x83g\x83R\x83\x8b\x83t\x83@\x83~\x83\x8a\x82\xaa\x83T\x83|\x81[\x83g\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1"},  // WSAEPFNOSUPPORT プロトコルファミリがサポートされていません
    {10047, "WSAEAFNOSUPPORT \x83""A\x83h\x83\x8c\x83X\x83t\x83@\x83~\x83\x8a\x82\xaa\x83T\x83|\x81[\x83g\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1"},  // WSAEAFNOSUPPORT アドレスファミリがサポートされていません
    {10048, "WSAEADDRINUSE \x83""A\x83h\x83\x8c\x83X\x82\xaa\x82\xb7\x82\xc5\x82\xc9\x8eg\x97p\x92\x86\x82\xc5\x82\xb7"},  // WSAEADDRINUSE アドレスがすでに使用中です
    {10049, "WSAEADDRNOTAVAIL \x90\xdd\x92\xe8\x82\xb3\x82\xea\x82\xbd\x83""A\x83h\x83\x8c\x83X\x82\xf0\x8a\x84\x82\xe8\x93\x96\x82\xc4\x82\xe7\x82\xea\x82\xdc\x82\xb9\x82\xf1"},  // WSAEADDRNOTAVAIL 設定されたアドレスを割り当てられません
    {10050, "WSAENETDOWN \x83l\x83""b\x83g\x83\x8f\x81[\x83N\x83_\x83""E\x83\x93\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb7"},  // WSAENETDOWN ネットワークダウンしています
    {10051, "WSAENETUNREACH \x83l\x83""b\x83g\x83\x8f\x81[\x83N\x82\xaa\x93\x9e\x92""B\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1"},  // WSAENETUNREACH ネットワークが到達できません
    {10052, "WSAENETRESET \x83\x8a\x83Z\x83""b\x83g\x82\xb3\x82\xea\x82\xbd\x82\xcc\x82\xc5\x83l\x83""b\x83g\x83\x8f\x81[\x83N\x90\xda\x91\xb1\x82\xaa\x97\x8e\x82\xc6\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd"},  // WSAENETRESET リセットされたのでネットワーク接続が落とされました
    {10053, "WSAECONNABORTED \x90\xda\x91\xb1\x92\x86\x92""f\x97v\x8b\x81\x82\xc9\x82\xe6\x82\xe8\x92\x86\x92""f\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd"},  // WSAECONNABORTED 接続中断要求により中断されました
    {10054, "WSAECONNRESET \x83s\x83""A\x91\xa4\x82\xc5\x82\xcc\x90\xda\x91\xb1\x82\xaa\x83\x8a\x83Z\x83""b\x83g\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd"},  // WSAECONNRESET ピア側での接続がリセットされました
    {10055, "WSAENOBUFS \x83o\x83""b\x83t\x83@\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1"},  // WSAENOBUFS バッファがありません
    {10056, "WSAEISCONN \x83\x5c\x83P\x83""b\x83g\x82\xcd\x82\xb7\x82\xc5\x82\xc9\x90\xda\x91\xb1\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb7"},  // WSAEISCONN ソケットはすでに接続されています
    {10057, "WSAENOTCONN \x83\x5c\x83P\x83""b\x83g\x82\xaa\x90\xda\x91\xb1\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1"},  // WSAENOTCONN ソケットが接続されていません
    {10058, "WSAESHUTDOWN \x83\x5c\x83P\x83""b\x83g\x82\xaa\x82\xb7\x82\xc5\x82\xc9\x89\xf0\x95\xfa\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xe9\x82\xbd\x82\xdf\x91\x97\x90M\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1"},  // WSAESHUTDOWN ソケットがすでに解放されているため送信できません
    {10059, "WSAETOOMANYREFS \x8eQ\x8f\xc6\x82\xaa\x91\xbd\x82\xb7\x82\xac\x82\xdc\x82\xb7"},  // WSAETOOMANYREFS 参照が多すぎます
    {10060, "WSAETIMEDOUT \x90\xda\x91\xb1\x83^\x83""C\x83\x80\x83""A\x83""E\x83g\x82\xaa\x94\xad\x90\xb6\x82\xb5\x82\xdc\x82\xb5\x82\xbd"},  // WSAETIMEDOUT 接続タイムアウトが発生しました
    {10061, "WSAECONNREFUSED \x90\xda\x91\xb1\x82\xaa\x8b\x91\x94\xdb\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd"},  // WSAECONNREFUSED 接続が拒否されました
    {10062, "WSAELOOP \x83V\x83\x93\x83{\x83\x8a\x83""b\x83N\x83\x8a\x83\x93\x83N\x83\x8c\x83x\x83\x8b\x82\xaa\x91\xe5\x82\xab\x82\xb7\x82\xac\x82\xdc\x82\xb7"},  // WSAELOOP シンボリックリンクレベルが大きすぎます
    {10063, "WSAENAMETOOLONG \x83t\x83@\x83""C\x83\x8b\x96\xbc\x82\xaa\x92\xb7\x82\xb7\x82\xac\x82\xdc\x82\xb7"},  // WSAENAMETOOLONG ファイル名が長すぎます
    {10064, "WSAEHOSTDOWN \x83z\x83X\x83g\x82\xaa\x83_\x83""E\x83\x93\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb7"},  // WSAEHOSTDOWN ホストがダウンしています
    {10065, "WSAEHOSTUNREACH \x83z\x83X\x83g\x82\xd6\x82\xcc\x93\x9e\x92""B\x8co\x98H\x82\xaa\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1"},  // WSAEHOSTUNREACH ホストへの到達経路が見つかりません
    {10066, "WSAENOTEMPTY \x83""f\x83""B\x83\x8c\x83N\x83g\x83\x8a\x82\xaa\x8b\xf3\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1"},  // WSAENOTEMPTY ディレクトリが空ではありません
    {10067, "WSAEPROCLIM \x83v\x83\x8d\x83Z\x83X\x90\x94\x82\xaa\x91\xbd\x82\xb7\x82\xac\x82\xdc\x82\xb7"},  // WSAEPROCLIM プロセス数が多すぎます
    {10068, "WSAEUSERS \x83\x86\x81[\x83U\x90\x94\x82\xaa\x91\xbd\x82\xb7\x82\xac\x82\xdc\x82\xb7"},  // WSAEUSERS ユーザ数が多すぎます
    {10069, "WSAEDQUOT \x83""f\x83""B\x83X\x83N\x8a\x84\x82\xe8\x93\x96\x82\xc4\x82\xf0\x92\xb4\x82\xa6\x82\xdc\x82\xb5\x82\xbd"},  // WSAEDQUOT ディスク割り当てを超えました
    {10070, "WSAESTALE NFS\x83t\x83@\x83""C\x83\x8b\x83n\x83\x93\x83h\x83\x8b\x82\xaa\x8e\xb8\x8c\xf8\x82\xb5\x82\xdc\x82\xb5\x82\xbd"},  // WSAESTALE NFSファイルハンドルが失効しました
    {10071, "WSAEREMOTE \x83p\x83X\x92\x86\x82\xcc\x89\x93\x8au\x83\x8c\x83x\x83\x8b\x82\xaa\x89\xdf\x8f\xe8\x82\xc5\x82\xb7"},  // WSAEREMOTE パス中の遠隔レベルが過剰です
    {10091, "WSASYSNOTREADY \x83""A\x83v\x83\x8a\x83P\x81[\x83V\x83\x87\x83\x93\x82\xaaWinsock.DLL\x82\xc5\x83T\x83|\x81[\x83g\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1"},  // WSASYSNOTREADY アプリケーションがWinsock.DLLでサポートできません
    {10092, "WSAVERNOTSUPPORTED \x83T\x81[\x83o\x81[\x82\xaa\x91\xce\x89\x9e\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1"},  // WSAVERNOTSUPPORTED サーバーが対応していません
    {10093, "WSANOTINITIALISED Winsock\x82\xaa\x8f\x89\x8a\xfa\x89\xbb\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1"},  // WSANOTINITIALISED Winsockが初期化されていません
    {11001, "WSAHOST_NOT_FOUND \x83z\x83X\x83g\x82\xaa\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1"},  // WSAHOST_NOT_FOUND ホストが見つかりません
    {11002, "WSATRY_AGAIN \x82\xe0\x82\xa4""1\x93x\x8e\x8e\x82\xb9\x82\xce\x89\xf1\x95\x9c\x82\xb7\x82\xe9\x82\xa9\x82\xe0\x82\xb5\x82\xea\x82\xdc\x82\xb9\x82\xf1"},  // WSATRY_AGAIN もう1度試せば回復するかもしれません
    {11003, "WSANO_RECOVERY \x89\xf1\x95\x9c\x82\xc5\x82\xab\x82\xc8\x82\xa2\x83G\x83\x89\x81[\x82\xc5\x82\xb7"},  // WSANO_RECOVERY 回復できないエラーです
    {11004, "WSANO_DATA \x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1"},  // WSANO_DATA 見つかりません
};
constexpr const char* kUndefinedError = "\x96\xa2\x92\xe8\x8b`\x83G\x83\x89\x81[";  // 未定義エラー
constexpr const char* kCannotConnect = "\x83T\x81[\x83o\x81[\x82\xc9\x90\xda\x91\xb1\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";  // サーバーに接続できません
constexpr const char* kTooManyClients = "\x83N\x83\x89\x83""C\x83""A\x83\x93\x83g\x82\xcc\x90\xda\x91\xb1\x90\x94\x82\xaa\x8d\xc5\x91\xe5\x90\x94\x82\xf0\x92\xb4\x82\xa6\x82\xdc\x82\xb5\x82\xbd";  // クライアントの接続数が最大数を超えました

// Longest host name taken from script memory.
constexpr size_t kHostNameLimit = 1024;
// How long the end of a server or client keeps sending what is still queued
// while the peers take it.
constexpr uint32_t kFlushOnCloseMs = 1000;
// How long the server stops accepting after accept itself failed (out of
// descriptors, say), so that a waiting connection cannot spin the thread.
constexpr uint32_t kAcceptPauseMs = 100;

// One connection, in both directions.
struct Connection {
  bool used = false;         // a server channel with a client on it
  Socket socket = kNoSocket;
  bool peer_closed = false;  // the peer has sent its last byte
  bool failed = false;       // a send or receive failed: nothing more goes out
  RingBuffer send;           // queued by net_send, drained by the thread
  RingBuffer receive;        // filled by the thread, taken by net_recv

  void Reset() {
    used = peer_closed = failed = false;
    socket = kNoSocket;
    send.Clear();
    receive.Clear();
  }
  // Over once nothing more can arrive and everything that did has been read.
  bool Finished() const { return (peer_closed || failed) && receive.Stored() == 0; }
};

struct Network {
  std::atomic<int32_t> mode{0};  // 0 none, 1 server, 2 client
  std::atomic<bool> started{false};
  // Guards every ring, the used flags, the connected flag and the release of
  // a connection.
  std::mutex lock;
  std::thread thread;
  std::atomic<bool> running{false};  // the network thread has not ended
  std::atomic<bool> stop{false};
  WakeSignal wake;
  std::atomic<bool> wake_pending{false};
  std::atomic<uint64_t> wake_ups{0};
  // Server.
  Socket listener = kNoSocket;
  Connection channels[kServerChannels];
  int used_count = 0;
  // Client.
  std::string host;
  uint16_t port = 0;
  Connection client;
  std::atomic<bool> connected{false};
};
Network net;

// The network thread's wait for its sockets and its wake signal.
void Wait(SocketWait* sockets, int count, int timeout_ms) {
  WaitForSockets(sockets, count, net.wake, timeout_ms);
  net.wake_ups.fetch_add(1, std::memory_order_relaxed);
  net.wake_pending = false;  // before the rings are looked at, so no request is missed
}

void ReportSocketError(int32_t code) { ShowError(1, "%s", SocketErrorMessage(code)); }

// Wakes the network thread once however often it is asked before it runs.
void WakeNetworkThread() {
  if (!net.wake_pending.exchange(true)) SignalWake(net.wake);
}

// Sends what the socket takes and, when the socket is readable, receives what
// fits, without blocking. Called by the network thread without the lock: the
// lock covers the indices and flags, not the socket calls. That is safe
// because each ring has one producer and one consumer, the builtins never
// touch the part of a ring the thread is sending from or receiving into, and
// only the network thread clears a ring or sets the failed and closed flags
// while it runs.
void Pump(Connection& c, bool readable) {
  int32_t error;
  for (;;) {
    std::span<const uint8_t> piece;
    {
      std::lock_guard guard(net.lock);
      if (!c.failed) piece = c.send.ReadablePiece();
    }
    if (piece.empty()) break;
    long n = SendSome(c.socket, piece.data(), piece.size(), &error);
    if (n == 0) break;
    std::lock_guard guard(net.lock);
    if (n < 0) {
      c.failed = true;
      c.send.Clear();
      break;
    }
    c.send.Consume(static_cast<uint32_t>(n));
  }
  while (readable) {
    std::span<uint8_t> piece;
    {
      std::lock_guard guard(net.lock);
      if (!c.failed && !c.peer_closed) piece = c.receive.WritablePiece();
    }
    if (piece.empty()) break;
    long n = ReceiveSome(c.socket, piece.data(), piece.size(), &error);
    if (n == 0) break;
    std::lock_guard guard(net.lock);
    if (n > 0) {
      c.receive.Commit(static_cast<uint32_t>(n));
    } else if (error == 0) {
      c.peer_closed = true;
    } else {
      c.failed = true;
      c.send.Clear();
    }
  }
}

// What the thread waits for on a connection: room to receive into (a full
// ring leaves the data in the socket, which throttles the peer) and queued
// bytes to send. False when there is nothing to wait for.
bool Wanted(const Connection& c, SocketWait& w) {
  w.socket = c.socket;
  w.want_read = !c.failed && !c.peer_closed && c.receive.Free() > 0;
  w.want_write = !c.failed && c.send.Stored() > 0;
  return w.want_read || w.want_write;
}

// Before the sockets close, what the script queued still goes out and is
// acknowledged (a server channel closes with a reset, which would drop what
// is still in flight), while the peers take it, up to a time limit.
void FlushQueued(Connection* const* connections, int count) {
  uint32_t start = TickCount();
  for (;;) {
    SocketWait waits[kServerChannels];
    int n = 0;
    bool in_flight = false;
    for (int i = 0; i < count; ++i) {
      Connection& c = *connections[i];
      if (c.socket == kNoSocket) continue;
      Pump(c, false);
      std::lock_guard guard(net.lock);
      if (c.failed) continue;
      if (c.send.Stored() > 0) waits[n++] = {c.socket, false, true};
      else if (UnacknowledgedBytes(c.socket) > 0) in_flight = true;
    }
    uint32_t spent = TickCount() - start;
    if ((n == 0 && !in_flight) || spent >= kFlushOnCloseMs) return;
    // Acknowledgements raise no event: those are waited for in short steps.
    int step = in_flight ? 1 : static_cast<int>(std::min<uint32_t>(kFlushOnCloseMs - spent, 50));
    WaitForSockets(waits, n, net.wake, step);
  }
}

// Under the lock.
void CloseChannel(Connection& c) {
  CloseSocket(c.socket);
  c.Reset();
  --net.used_count;
}

void AcceptWaiting(uint32_t& accept_paused_at, bool& accept_paused) {
  for (int k = 0; k < 16; ++k) {  // a few per pass, so channels are served meanwhile
    int32_t error;
    Socket s = AcceptConnection(net.listener, &error);
    if (s == kNoSocket) {
      if (error) {
        ReportSocketError(error);
        accept_paused = true;
        accept_paused_at = TickCount();
      }
      return;
    }
    bool taken = false;
    {
      std::lock_guard guard(net.lock);
      for (Connection& c : net.channels) {
        if (c.used) continue;
        c.Reset();
        c.used = true;
        c.socket = s;
        ++net.used_count;
        taken = true;
        break;
      }
    }
    if (!taken) {
      ShowError(1, "%s", kTooManyClients);
      CloseSocket(s);
    }
  }
}

void ServerThread() {
  bool accept_paused = false;
  uint32_t accept_paused_at = 0;
  while (!net.stop) {
    SocketWait waits[kServerChannels + 1];
    int owner[kServerChannels + 1];  // channel of each wait; -1 the listener
    int count = 0;
    if (accept_paused && TickCount() - accept_paused_at >= kAcceptPauseMs) accept_paused = false;
    if (!accept_paused) {
      waits[count] = {net.listener, true, false};
      owner[count++] = -1;
    }
    {
      std::lock_guard guard(net.lock);
      for (int i = 0; i < kServerChannels; ++i)
        if (net.channels[i].used && Wanted(net.channels[i], waits[count])) owner[count++] = i;
    }
    Wait(waits, count, accept_paused ? static_cast<int>(kAcceptPauseMs) : -1);
    if (net.stop) break;
    bool readable[kServerChannels] = {};
    for (int i = 0; i < count; ++i) {
      if (owner[i] >= 0) readable[owner[i]] = waits[i].readable;
      else if (waits[i].readable) AcceptWaiting(accept_paused_at, accept_paused);
    }
    for (int i = 0; i < kServerChannels; ++i) {
      Connection& c = net.channels[i];
      if (!c.used) continue;  // set and cleared only by this thread
      Pump(c, readable[i]);
      std::lock_guard guard(net.lock);
      if (c.Finished()) CloseChannel(c);
    }
  }
  Connection* open[kServerChannels];
  int n = 0;
  for (Connection& c : net.channels)
    if (c.used) open[n++] = &c;
  FlushQueued(open, n);
  {
    std::lock_guard guard(net.lock);
    for (Connection& c : net.channels)
      if (c.used) CloseChannel(c);
    CloseSocket(net.listener);
    net.listener = kNoSocket;
  }
  net.running = false;
}

void EndClient() {
  {
    std::lock_guard guard(net.lock);
    net.connected = false;
    CloseSocket(net.client.socket);
    net.client.Reset();
    net.host.clear();
  }
  net.running = false;
}

// The outcome of a name lookup, shared with the thread that does it.
struct Lookup {
  std::mutex lock;
  bool done = false;
  bool found = false;
  uint32_t address = 0;
};

// Lookups left to finish alone, and how many of those may be under way: a
// script that opens and closes in a loop on a slow name waits for one to end
// rather than piling up threads.
std::atomic<int> lookups_under_way{0};
constexpr int kLookupsUnderWayLimit = 4;

// Looks the host name up on a thread of its own, so that net_close never
// waits for the resolver: when the stop comes first, the lookup is left to
// finish alone. False when the name does not resolve or on a stop.
bool LookUpHost(uint32_t* address) {
  while (lookups_under_way >= kLookupsUnderWayLimit) {
    if (net.stop) return false;
    Wait(nullptr, 0, 50);
  }
  auto lookup = std::make_shared<Lookup>();
  ++lookups_under_way;
  try {
    std::thread([lookup, host = net.host] {
      uint32_t found_address = 0;
      bool found = ResolveIPv4(host.c_str(), &found_address);
      {
        std::lock_guard guard(lookup->lock);
        lookup->found = found;
        lookup->address = found_address;
        lookup->done = true;
      }
      --lookups_under_way;
      SignalWake(net.wake);  // the wake signal lives as long as the process
    }).detach();
  } catch (const std::system_error&) {
    --lookups_under_way;
    return false;
  }
  while (!net.stop) {
    {
      std::lock_guard guard(lookup->lock);
      if (lookup->done) {
        *address = lookup->address;
        return lookup->found;
      }
    }
    Wait(nullptr, 0, -1);
  }
  return false;
}

void ClientThread() {
  Connection& c = net.client;
  uint32_t address = 0;
  bool found = net.started && LookUpHost(&address);
  if (net.stop) {
    EndClient();
    return;
  }
  if (!found) {
    ShowError(1, "%s", kCannotConnect);
    EndClient();
    return;
  }
  int32_t error;
  Socket s = StartConnect(address, net.port, &error);
  if (s == kNoSocket) {
    ReportSocketError(error);
    EndClient();
    return;
  }
  {
    std::lock_guard guard(net.lock);
    c.socket = s;
  }
  // Connecting: net_close may end the wait at any time.
  for (;;) {
    if (net.stop) {
      EndClient();
      return;
    }
    SocketWait w{s, false, true};
    Wait(&w, 1, -1);
    if (!w.writable) continue;
    error = FinishConnect(s);
    if (error) {
      ReportSocketError(error);
      EndClient();
      return;
    }
    break;
  }
  {
    std::lock_guard guard(net.lock);
    net.connected = true;
  }
  while (!net.stop) {
    SocketWait w;
    bool any;
    {
      std::lock_guard guard(net.lock);
      any = Wanted(c, w);
    }
    Wait(&w, any ? 1 : 0, -1);
    if (net.stop) break;
    Pump(c, any && w.readable);
    std::lock_guard guard(net.lock);
    if (c.Finished()) break;
  }
  if (net.stop) {
    Connection* open[] = {&c};
    FlushQueued(open, 1);
  }
  EndClient();
}

bool StartNetworkThread(void (*body)()) {
  net.running = true;
  try {
    net.thread = std::thread(body);
  } catch (const std::system_error&) {
    net.running = false;
    return false;
  }
  return true;
}

bool OpenServer(int32_t port) {
  if (!net.started) return false;
  {
    std::lock_guard guard(net.lock);
    for (Connection& c : net.channels) c.Reset();
    net.used_count = 0;
  }
  int32_t error;
  Socket s = OpenListeningSocket(static_cast<uint16_t>(port), &error);
  if (s == kNoSocket) {
    ReportSocketError(error);
    return false;
  }
  net.listener = s;
  if (!StartNetworkThread(ServerThread)) {
    CloseSocket(s);
    net.listener = kNoSocket;
    return false;
  }
  net.mode = 1;
  return true;
}

bool OpenClient(const char* host, int32_t port) {
  {
    std::lock_guard guard(net.lock);
    net.client.Reset();
    net.connected = false;
    net.host.assign(host, strnlen(host, kHostNameLimit));
  }
  net.port = static_cast<uint16_t>(port);
  if (!StartNetworkThread(ClientThread)) return false;
  net.mode = 2;
  return true;
}

// The connection a builtin names, under the lock; null when there is none.
Connection* Named(int32_t mode, int32_t channel) {
  if (mode == 1) {
    if (channel < 0 || channel >= kServerChannels || !net.channels[channel].used) return nullptr;
    return &net.channels[channel];
  }
  return net.connected ? &net.client : nullptr;
}

}  // namespace

const char* SocketErrorMessage(int32_t code) {
  for (const SocketMessage& m : kSocketMessages)
    if (m.code == code) return m.text;
  return kUndefinedError;
}

uint64_t NetworkThreadWakeUps() { return net.wake_ups.load(std::memory_order_relaxed); }

bool NetStart() {
  if (net.wake.fd < 0 && !OpenWakeSignal(net.wake)) return false;
  net.started = true;
  return true;
}

void NetShutdown() {
  NetClose();
  net.started = false;
}

void NetClose() {
  if (net.thread.joinable()) {
    net.stop = true;
    SignalWake(net.wake);
    net.thread.join();
  }
  net.stop = false;
  net.wake_pending = false;
  net.mode = 0;
}

uint32_t builtin_net_open(BuiltinArgs args) {
  uint32_t host = args.u(0);
  int32_t port = args.i(1);
  NetClose();
  if (port < 0 || port > 65535) return 0;
  if (net.wake.fd < 0 && !OpenWakeSignal(net.wake)) return 0;
  return (host == 0 ? OpenServer(port) : OpenClient(args.str(0), port)) ? 1 : 0;
}

uint32_t builtin_net_close(BuiltinArgs) {
  NetClose();
  return 0;
}

uint32_t builtin_net_send(BuiltinArgs args) {
  int32_t mode = net.mode;
  int32_t length = args.i(2);
  if ((mode != 1 && mode != 2) || length < 0) return static_cast<uint32_t>(-1);
  uint32_t queued;
  {
    std::lock_guard guard(net.lock);
    Connection* c = Named(mode, args.i(0));
    if (!c || c->failed) return static_cast<uint32_t>(-1);
    queued = c->send.Put(args.ptr(1), static_cast<uint32_t>(length));
  }
  if (queued) WakeNetworkThread();
  return queued;
}

uint32_t builtin_net_recv(BuiltinArgs args) {
  int32_t mode = net.mode;
  int32_t length = args.i(2);
  if ((mode != 1 && mode != 2) || length < 0) return static_cast<uint32_t>(-1);
  uint32_t copied;
  bool wake;
  {
    std::lock_guard guard(net.lock);
    Connection* c = Named(mode, args.i(0));
    if (!c) return static_cast<uint32_t>(-1);
    bool was_full = c->receive.Free() == 0;
    copied = c->receive.Take(args.ptr(1), static_cast<uint32_t>(length));
    // The thread waits again for data once there is room, and ends a closed
    // connection once it has been read.
    wake = copied && (was_full || c->Finished());
  }
  if (wake) WakeNetworkThread();
  return copied;
}

uint32_t builtin_net_state(BuiltinArgs) {
  switch (net.mode) {
    case 1:
      return net.running ? 1 : 0;
    case 2:
      return net.connected ? 1 : net.running ? 2 : 0;
    default:
      return 0;
  }
}
