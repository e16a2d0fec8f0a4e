#include "ListenerProbe.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "JComponent.h"

namespace {

constexpr int kTcpListenState = 10;

std::atomic<bool> probeFailed{false};

// Asks the kernel's socket diagnostics for the listening TCP sockets of one
// family on port.
OtherListener otherInFamily(int family, int port, unsigned long ownInode) {
  const int link = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (link < 0) return OtherListener::kUnknown;
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
    ::close(link);
    return OtherListener::kUnknown;
  }
  bool found = false;
  bool answered = false;
  alignas(nlmsghdr) char buffer[16384];
  for (bool done = false; !done;) {
    ssize_t got = ::recv(link, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    auto length = static_cast<unsigned int>(got);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, length);
         h = NLMSG_NEXT(h, length)) {
      if (h->nlmsg_type == NLMSG_DONE) {
        answered = done = true;
        break;
      }
      if (h->nlmsg_type == NLMSG_ERROR) {  // the kernel could not answer
        done = true;
        break;
      }
      const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
      if (ntohs(socket->id.idiag_sport) == port && socket->idiag_inode != ownInode) found = true;
    }
  }
  ::close(link);
  if (found) return OtherListener::kFound;
  return answered ? OtherListener::kNone : OtherListener::kUnknown;
}

}  // namespace

OtherListener otherListenerOn(int port, unsigned long ownInode) {
  const OtherListener v4 = otherInFamily(AF_INET, port, ownInode);
  if (v4 == OtherListener::kFound) return v4;
  const OtherListener v6 = otherInFamily(AF_INET6, port, ownInode);
  if (v6 == OtherListener::kFound) return v6;
  return v4 == OtherListener::kNone && v6 == OtherListener::kNone ? OtherListener::kNone
                                                                  : OtherListener::kUnknown;
}

bool listenerProbeUsable() {
  return !probeFailed;
}

void listenerProbeFailed() {
  if (probeFailed.exchange(true)) return;
  JComponent::debug(
      "cannot ask the system which sockets listen on a port: listening without port sharing");
}
