#include "platform/single_instance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

// Abstract socket names live in the kernel, vanish with the process and need
// no file: a crashed instance never leaves a stale lock behind.
sockaddr_un AddressFor(std::string_view key, socklen_t& length) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  char name[64];
  int n = std::snprintf(name, sizeof name, "keva-%u-%016zx", static_cast<unsigned>(getuid()),
                        std::hash<std::string_view>{}(key));
  std::memcpy(a.sun_path + 1, name, static_cast<size_t>(n));  // sun_path[0] = 0: abstract
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
  return a;
}

}  // namespace

bool ClaimSingleInstance(std::string_view key, void (*on_raise)()) {
  socklen_t length;
  sockaddr_un address = AddressFor(key, length);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;  // no sockets: nothing to coordinate with
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(fd, 4) == 0) {
    std::thread([fd, on_raise] {
      for (;;) {
        int client = accept(fd, nullptr, nullptr);
        if (client < 0) continue;
        close(client);
        if (on_raise) on_raise();
      }
    }).detach();
    return true;
  }
  bool taken = errno == EADDRINUSE;
  close(fd);
  if (!taken) return true;  // the key cannot be held at all: run anyway
  int peer = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (peer >= 0) {
    connect(peer, reinterpret_cast<sockaddr*>(&address), length);  // the connection itself is the request
    close(peer);
  }
  return false;
}
