// TCP over IPv4 for the network family: non-blocking sockets, a wake-up
// signal, and the waits that tie them together. Errors come back as the
// Windows socket error codes the engine's messages are keyed by (see
// SocketErrorCode in sockets.cpp for the table).
#pragma once
#include <cstddef>
#include <cstdint>

using Socket = int;
constexpr Socket kNoSocket = -1;

// The Windows socket error code for a POSIX errno value (0 when there is no
// counterpart, which the engine reports as an undefined error).
int32_t SocketErrorCode(int posix_error);
// The same for a resolver (getaddrinfo) failure.
int32_t ResolverErrorCode(int resolver_error);

// A listening socket on every local address at port: address reuse on,
// backlog 5, non-blocking. kNoSocket with *error set on failure.
Socket OpenListeningSocket(uint16_t port, int32_t* error);
// The next waiting connection, non-blocking, with linger 0 (closing it resets
// the connection). kNoSocket with *error 0 when none is waiting.
Socket AcceptConnection(Socket listener, int32_t* error);

// The IPv4 address (network order) of a dotted address or a host name; the
// name lookup may take the resolver's time. False when it does not resolve.
bool ResolveIPv4(const char* host, uint32_t* address);
// Starts a non-blocking connect; the socket becomes writable when it is done
// and FinishConnect tells how it went (0 connected, else an error code).
Socket StartConnect(uint32_t address, uint16_t port, int32_t* error);
int32_t FinishConnect(Socket s);

// Moves bytes without blocking. The result is the count moved (> 0), 0 when
// the call would block, or -1: the connection failed (*error set) or, for
// ReceiveSome, the peer closed it (*error 0).
long SendSome(Socket s, const void* data, size_t length, int32_t* error);
long ReceiveSome(Socket s, void* buffer, size_t length, int32_t* error);

// Bytes sent on the socket that the peer has not acknowledged yet (0 when
// unknown). A connection closed with a reset loses them.
size_t UnacknowledgedBytes(Socket s);

void CloseSocket(Socket s);

// Lets other threads wake a thread that waits in WaitForSockets.
struct WakeSignal {
  int fd = -1;
};
bool OpenWakeSignal(WakeSignal& w);
void SignalWake(const WakeSignal& w);
void CloseWakeSignal(WakeSignal& w);

// One socket to wait for: what to wait for, and what happened.
struct SocketWait {
  Socket socket = kNoSocket;
  bool want_read = false, want_write = false;
  bool readable = false, writable = false;  // failures and hang-ups count as both
};
// Waits until one of the sockets is ready, the wake signal is raised (it is
// cleared on return) or timeout_ms passes (-1: no limit). Returns false on a
// timeout with nothing ready.
bool WaitForSockets(SocketWait* sockets, int count, const WakeSignal& wake, int timeout_ms);
