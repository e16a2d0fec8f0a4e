#include "SocketLedger.h"

#include <map>
#include <mutex>
#include <utility>

namespace {

struct Books {
  std::mutex lock;                            // guards everything below
  std::map<std::pair<int, int>, int> counts;  // (kind, port) -> open sockets
  // (kind, owner) -> its open sockets, and the port they are on.
  std::map<std::pair<int, const JObject*>, int> owned;
  std::map<const JObject*, int> ownerPorts;
  std::map<const JObject*, long> accepted;  // connections, since the owner was last forgotten
  // port -> listeners and connections not yet handed to the closer: while
  // there are any, a server is running there and its sharing stays known.
  std::map<int, int> claims;
  std::map<int, PortSharing> sharing;

  // Called with lock held.
  void releaseClaim(const SocketHandle& handle) {
    if (handle.claimReleased) return;
    handle.claimReleased = true;
    auto it = claims.find(handle.localPort());
    if (it != claims.end() && --it->second == 0) {
      claims.erase(it);
      sharing.erase(handle.localPort());
    }
  }

  // Called with lock held.
  void releaseOwner(const SocketHandle& handle) {
    if (handle.owner() == nullptr || handle.ownerReleased) return;
    handle.ownerReleased = true;
    auto mine = owned.find({static_cast<int>(handle.kind()), handle.owner()});
    if (mine != owned.end() && --mine->second == 0) owned.erase(mine);
    const auto listener =
        std::make_pair(static_cast<int>(SocketHandle::Kind::kListener), handle.owner());
    const auto connection =
        std::make_pair(static_cast<int>(SocketHandle::Kind::kConnection), handle.owner());
    if (owned.count(listener) == 0 && owned.count(connection) == 0) {
      ownerPorts.erase(handle.owner());
    }
  }
};

Books& books() {
  static Books instance;
  return instance;
}

}  // namespace

void SocketLedger::opened(const SocketHandle& handle) {
  Books& b = books();
  std::lock_guard<std::mutex> hold(b.lock);
  ++b.counts[{static_cast<int>(handle.kind()), handle.localPort()}];
  ++b.claims[handle.localPort()];
  if (handle.owner() != nullptr) {
    ++b.owned[{static_cast<int>(handle.kind()), handle.owner()}];
    b.ownerPorts[handle.owner()] = handle.localPort();
    if (handle.kind() == SocketHandle::Kind::kConnection) ++b.accepted[handle.owner()];
  }
}

void SocketLedger::closed(const SocketHandle& handle) {
  Books& b = books();
  std::lock_guard<std::mutex> hold(b.lock);
  auto it = b.counts.find({static_cast<int>(handle.kind()), handle.localPort()});
  if (it != b.counts.end() && --it->second == 0) b.counts.erase(it);
  b.releaseOwner(handle);
  b.releaseClaim(handle);
}

int SocketLedger::countOf(SocketHandle::Kind kind, const JObject* owner) {
  Books& b = books();
  std::lock_guard<std::mutex> hold(b.lock);
  auto it = b.owned.find({static_cast<int>(kind), owner});
  return it == b.owned.end() ? 0 : it->second;
}

int SocketLedger::portOf(const JObject* owner) {
  Books& b = books();
  std::lock_guard<std::mutex> hold(b.lock);
  auto it = b.ownerPorts.find(owner);
  return it == b.ownerPorts.end() ? 0 : it->second;
}

long SocketLedger::acceptedBy(const JObject* owner) {
  Books& b = books();
  std::lock_guard<std::mutex> hold(b.lock);
  auto it = b.accepted.find(owner);
  return it == b.accepted.end() ? 0 : it->second;
}

void SocketLedger::forget(const JObject* owner) {
  Books& b = books();
  std::lock_guard<std::mutex> hold(b.lock);
  b.accepted.erase(owner);
}

void SocketLedger::lingering(const SocketHandle& handle) {
  Books& b = books();
  std::lock_guard<std::mutex> hold(b.lock);
  // The exchange is over: the box no longer serves it, whatever the peer
  // still has to say before the closer shuts it.
  b.releaseOwner(handle);
  b.releaseClaim(handle);
}

int SocketLedger::count(SocketHandle::Kind kind, int port) {
  Books& b = books();
  std::lock_guard<std::mutex> hold(b.lock);
  auto it = b.counts.find({static_cast<int>(kind), port});
  return it == b.counts.end() ? 0 : it->second;
}

PortSharing SocketLedger::sharingOn(int port) {
  Books& b = books();
  std::lock_guard<std::mutex> hold(b.lock);
  auto it = b.sharing.find(port);
  return it == b.sharing.end() ? PortSharing::kUnchecked : it->second;
}

void SocketLedger::setSharing(int port, PortSharing sharing) {
  Books& b = books();
  std::lock_guard<std::mutex> hold(b.lock);
  if (b.claims.count(port) != 0) b.sharing[port] = sharing;
}
