#include "ListenerProbe.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "JComponent.h"
#include "ListenSocket.h"
#include "SocketSettings.h"

namespace {

constexpr int kTcpListenState = 10;

// Asks the kernel's socket diagnostics for the listening TCP sockets of one
// family on port. Any failure to get a complete answer is kUnknown: the
// caller must not take silence for a free port.
ListenerCheck checkFamily(int family, int port, unsigned long ownInode) {
  ListenerCheck result;
  auto unknown = [&result](const char* step, int error) {
    result.outcome = ListenerCheck::Outcome::kUnknown;
    result.whyUnknown = std::string(step) + ": " + std::strerror(error);
    return result;
  };
  const int link = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (link < 0) return unknown("socket diagnostics", errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{link};
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  message.request.sdiag_family = static_cast<uint8_t>(family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = 1U << kTcpListenState;
  message.request.id.idiag_sport = htons(static_cast<uint16_t>(port));
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(link, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0) {
    return unknown("socket diagnostics request", errno);
  }
  bool found = false;
  alignas(nlmsghdr) char buffer[16384];
  for (;;) {
    ssize_t got = ::recv(link, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return unknown("socket diagnostics answer", errno);
    if (got == 0) return unknown("socket diagnostics answer", EPIPE);
    auto length = static_cast<unsigned int>(got);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, length);
         h = NLMSG_NEXT(h, length)) {
      if (h->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
        return unknown("socket diagnostics answer", error->error != 0 ? -error->error : EPROTO);
      }
      if (h->nlmsg_type == NLMSG_DONE) {
        result.outcome = found ? ListenerCheck::Outcome::kFound : ListenerCheck::Outcome::kNone;
        return result;
      }
      const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
      if (ntohs(socket->id.idiag_sport) == port && socket->idiag_inode != ownInode) found = true;
    }
  }
}

}  // namespace

ListenerCheck checkOtherListeners(int port, unsigned long ownInode) {
  ListenerCheck v4 = checkFamily(AF_INET, port, ownInode);
  if (v4.outcome != ListenerCheck::Outcome::kNone) return v4;
  return checkFamily(AF_INET6, port, ownInode);
}

namespace {

int localPortOf(int fd) {
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
  return bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                     : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

// Opens a listening socket on address (this thread's prepared one when it
// fits), or returns -errno.
int openSocket(const ListenAddress& address, bool sharePort, int backlog) {
  const int idleTimeoutMs = SocketSettings::current().idleTimeoutMs;
  int fd = takeSpareListener(address, sharePort, idleTimeoutMs);
  if (fd < 0) fd = bindListenSocket(address, sharePort, idleTimeoutMs);
  if (fd < 0) return fd;
  if (::listen(fd, backlog) != 0) {
    const int error = errno;
    ::close(fd);
    return -error;
  }
  return fd;
}

void reportNoSharing(int port, const std::string& why) {
  static std::atomic<bool> told{false};
  if (told.exchange(true)) return;
  JComponent::debug(JString("cannot check for other listeners (" + why + "); port " +
                            std::to_string(port) + " and later ports listen without port sharing"));
}

}  // namespace

int openListener(const ListenAddress& address, int requestedPort, int backlog, int& boundPort,
                 PortSharing& sharing) {
  // Asking the kernel walks every listening socket of the system, so it is
  // done once while this process keeps a server's socket on the port, not
  // at each of its re-listens.
  sharing = requestedPort == 0 ? PortSharing::kUnchecked : SocketLedger::sharingOn(requestedPort);
  int fd = openSocket(address, sharing != PortSharing::kNoSharing, backlog);
  if (fd < 0) return fd;
  boundPort = requestedPort != 0 ? requestedPort : localPortOf(fd);
  if (sharing != PortSharing::kUnchecked) return fd;
  struct stat self {};
  ListenerCheck check;
  if (::fstat(fd, &self) != 0) {
    check.whyUnknown = std::string("fstat: ") + std::strerror(errno);
  } else {
    check = checkOtherListeners(boundPort, self.st_ino);
  }
  if (check.outcome == ListenerCheck::Outcome::kFound) {
    ::close(fd);
    return -EADDRINUSE;
  }
  sharing = PortSharing::kSharePort;
  if (check.outcome == ListenerCheck::Outcome::kUnknown) {
    // Fail closed: without an answer, listen as if the option did not
    // exist, so that the kernel itself refuses a port in use.
    ::close(fd);
    fd = openSocket(address, false, backlog);
    sharing = PortSharing::kNoSharing;
    if (fd < 0) return fd;
    if (requestedPort == 0) boundPort = localPortOf(fd);
    reportNoSharing(boundPort, check.whyUnknown);
  }
  return fd;
}
