#include "platform/sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// POSIX errno values and the Windows socket error codes they stand for. Where
// POSIX has several values for one Windows condition, each is listed.
struct ErrorPair {
  int posix;
  int32_t code;
};
constexpr ErrorPair kErrorCodes[] = {
    {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},          {EPERM, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},          {ENFILE, 10024},
    {EWOULDBLOCK, 10035},     {EAGAIN, 10035},          {EINPROGRESS, 10036},     {EALREADY, 10037},
    {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},     {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},        {ENETUNREACH, 10051},     {ENETRESET, 10052},       {ECONNABORTED, 10053},
    {ECONNRESET, 10054},      {ENOBUFS, 10055},         {ENOMEM, 10055},          {EISCONN, 10056},
    {ENOTCONN, 10057},        {ESHUTDOWN, 10058},       {EPIPE, 10058},           {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},    {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},       {EUSERS, 10068},
    {EDQUOT, 10069},          {ESTALE, 10070},          {EREMOTE, 10071},
};

// Resolver failures: no such host 11001, try again 11002, unrecoverable
// 11003, a name without an IPv4 address 11004.
constexpr ErrorPair kResolverCodes[] = {
    {EAI_NONAME, 11001}, {EAI_AGAIN, 11002},  {EAI_FAIL, 11003},
    {EAI_NODATA, 11004}, {EAI_ADDRFAMILY, 11004}, {EAI_MEMORY, 10055},
};

int32_t LastError() { return SocketErrorCode(errno); }

bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

}  // namespace

int32_t SocketErrorCode(int posix_error) {
  for (const ErrorPair& p : kErrorCodes)
    if (p.posix == posix_error) return p.code;
  return 0;
}

int32_t ResolverErrorCode(int resolver_error) {
  if (resolver_error == EAI_SYSTEM) return SocketErrorCode(errno);
  for (const ErrorPair& p : kResolverCodes)
    if (p.posix == resolver_error) return p.code;
  return 0;
}

Socket OpenListeningSocket(uint16_t port, int32_t* error) {
  Socket s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) {
    *error = LastError();
    return kNoSocket;
  }
  int on = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 5) != 0) {
    *error = LastError();
    close(s);
    return kNoSocket;
  }
  *error = 0;
  return s;
}

Socket AcceptConnection(Socket listener, int32_t* error) {
  *error = 0;
  for (;;) {
    Socket s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (s >= 0) {
      linger off{1, 0};
      int on = 1;
      if (setsockopt(s, SOL_SOCKET, SO_LINGER, &off, sizeof off) != 0) {
        *error = LastError();
        close(s);
        return kNoSocket;
      }
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return s;
    }
    // A connection that was reset while it waited is simply gone; the others
    // are real failures.
    if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
    if (!WouldBlock(errno)) *error = LastError();
    return kNoSocket;
  }
}

bool ResolveIPv4(const char* host, uint32_t* address) {
  in_addr dotted{};
  if (inet_aton(host, &dotted)) {
    *address = dotted.s_addr;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return false;
  *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

Socket StartConnect(uint32_t address, uint16_t port, int32_t* error) {
  Socket s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) {
    *error = LastError();
    return kNoSocket;
  }
  int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  to.sin_port = htons(port);
  int r;
  do r = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);
  while (r != 0 && errno == EINTR);
  if (r != 0 && errno != EINPROGRESS) {
    *error = LastError();
    close(s);
    return kNoSocket;
  }
  *error = 0;
  return s;
}

int32_t FinishConnect(Socket s) {
  int e = 0;
  socklen_t size = sizeof e;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &e, &size) != 0) return LastError();
  return e ? (SocketErrorCode(e) ? SocketErrorCode(e) : -1) : 0;
}

long SendSome(Socket s, const void* data, size_t length, int32_t* error) {
  *error = 0;
  for (;;) {
    ssize_t n = send(s, data, length, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) return 0;
    *error = LastError();
    return -1;
  }
}

long ReceiveSome(Socket s, void* buffer, size_t length, int32_t* error) {
  *error = 0;
  for (;;) {
    ssize_t n = recv(s, buffer, length, 0);
    if (n > 0) return static_cast<long>(n);
    if (n == 0) return -1;  // the peer closed
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) return 0;
    *error = LastError();
    return -1;
  }
}

size_t UnacknowledgedBytes(Socket s) {
  int n = 0;
  return ioctl(s, SIOCOUTQ, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

void CloseSocket(Socket s) {
  if (s >= 0) close(s);
}

bool OpenWakeSignal(WakeSignal& w) {
  w.fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return w.fd >= 0;
}

void SignalWake(const WakeSignal& w) {
  uint64_t one = 1;
  if (w.fd >= 0) [[maybe_unused]] auto r = write(w.fd, &one, sizeof one);
}

void CloseWakeSignal(WakeSignal& w) {
  if (w.fd >= 0) close(w.fd);
  w.fd = -1;
}

bool WaitForSockets(SocketWait* sockets, int count, const WakeSignal& wake, int timeout_ms) {
  pollfd fixed[8];
  std::vector<pollfd> more;
  pollfd* fds = fixed;
  if (count + 1 > 8) {
    more.resize(static_cast<size_t>(count) + 1);
    fds = more.data();
  }
  fds[0] = {wake.fd, POLLIN, 0};
  for (int i = 0; i < count; ++i) {
    short events = static_cast<short>((sockets[i].want_read ? POLLIN : 0) | (sockets[i].want_write ? POLLOUT : 0));
    fds[i + 1] = {sockets[i].socket, events, 0};
    sockets[i].readable = sockets[i].writable = false;
  }
  int r;
  do r = poll(fds, static_cast<nfds_t>(count + 1), timeout_ms);
  while (r < 0 && errno == EINTR);
  if (r <= 0) return false;
  if (fds[0].revents) {
    uint64_t value;
    [[maybe_unused]] auto n = read(wake.fd, &value, sizeof value);
  }
  for (int i = 0; i < count; ++i) {
    short ev = fds[i + 1].revents;
    bool failed = ev & (POLLERR | POLLHUP | POLLNVAL);
    sockets[i].readable = (ev & POLLIN) || failed;
    sockets[i].writable = (ev & POLLOUT) || failed;
  }
  return true;
}
