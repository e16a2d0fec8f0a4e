#include "ListenSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "SocketLedger.h"
#include "SocketSettings.h"

bool ListenAddress::operator==(const ListenAddress& other) const {
  return length == other.length && std::memcmp(&storage, &other.storage, length) == 0;
}

bool resolveListenAddress(const std::string& address, int port, ListenAddress& out,
                          std::string& error) {
  out = ListenAddress{};
  // A plain dotted or colon-hex address is parsed here, since a server
  // listens anew after every client and getaddrinfo costs that path more.
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    out.length = sizeof *v4;
    return true;
  }
  if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    out.length = sizeof *v6;
    return true;
  }
  // No address (every address), a scoped IPv6 address, a short IPv4 form.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc =
      ::getaddrinfo(address.empty() ? nullptr : address.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    error = "bad bind address '" + address + "': " + ::gai_strerror(rc);
    return false;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
  if (found->ai_addrlen > sizeof out.storage) {
    error = "bad bind address '" + address + "'";
    return false;
  }
  std::memcpy(&out.storage, found->ai_addr, found->ai_addrlen);
  out.length = found->ai_addrlen;
  return true;
}

int bindListenSocket(const ListenAddress& address, bool sharePort, int idleTimeoutMs) {
  const int fd = ::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -errno;
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (idleTimeoutMs > 0) {
    // Accepted connections inherit these (set before any can be accepted),
    // so the listener can be closed right after accept.
    timeval limit{};
    limit.tv_sec = idleTimeoutMs / 1000;
    limit.tv_usec = static_cast<suseconds_t>((idleTimeoutMs % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  // Binding and listening walk every socket bound to the port unless all of
  // them allow port reuse, and a server that re-opens its listener after
  // each client leaves a TIME_WAIT entry there per client: without this
  // option each re-listen costs time in proportion to the last minute's
  // clients. The option also lets listeners share a port, which the caller
  // must rule out.
  if (sharePort) ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
  if (::bind(fd, address.get(), address.length) != 0) {
    const int error = errno;
    ::close(fd);
    return -error;
  }
  return fd;
}

namespace {

struct Spare {
  int fd = -1;
  ListenAddress address;  // bound with SO_REUSEPORT, always
  int idleTimeoutMs = 0;

  void drop() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  ~Spare() { drop(); }
};

// Per thread: a worker's prepared socket ends with the worker, so a stopped
// server leaves nothing bound.
thread_local Spare spare;

}  // namespace

void prepareSpareListener(int port) {
  spare.drop();
  // Only a port whose listeners share it, as the server listens now: the
  // socket must be able to bind beside the current listener.
  if (port == 0 || SocketLedger::sharingOn(port) != PortSharing::kSharePort) return;
  const SocketSettings settings = SocketSettings::current();
  std::string error;
  if (!resolveListenAddress(settings.bindAddress, port, spare.address, error)) return;
  const int fd = bindListenSocket(spare.address, true, settings.idleTimeoutMs);
  if (fd < 0) return;
  spare.fd = fd;
  spare.idleTimeoutMs = settings.idleTimeoutMs;
}

int takeSpareListener(const ListenAddress& address, bool sharePort, int idleTimeoutMs) {
  if (spare.fd < 0) return -1;
  if (!sharePort || !(spare.address == address) || spare.idleTimeoutMs != idleTimeoutMs) {
    spare.drop();
    return -1;
  }
  const int fd = spare.fd;
  spare.fd = -1;
  return fd;
}

void dropSpareListener() {
  spare.drop();
}
