#include "SocketCensus.h"

#include <map>
#include <mutex>
#include <utility>

#include "SocketHandle.h"

namespace {

struct Census {
  std::mutex lock;                            // guards everything below
  std::map<std::pair<int, int>, int> counts;  // (kind, port) -> open sockets
  // port -> listeners and connections not yet handed to the closer: while
  // there are any, a server is running there and its sharing stays known.
  std::map<int, int> claims;
  std::map<int, SocketCensus::Sharing> sharing;

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
};

Census& census() {
  static Census instance;
  return instance;
}

int countOf(SocketHandle::Kind kind, int port) {
  Census& c = census();
  std::lock_guard<std::mutex> hold(c.lock);
  auto it = c.counts.find({static_cast<int>(kind), port});
  return it == c.counts.end() ? 0 : it->second;
}

}  // namespace

void SocketCensus::opened(const SocketHandle& handle) {
  Census& c = census();
  std::lock_guard<std::mutex> hold(c.lock);
  ++c.counts[{static_cast<int>(handle.kind()), handle.localPort()}];
  ++c.claims[handle.localPort()];
}

void SocketCensus::closed(const SocketHandle& handle) {
  Census& c = census();
  std::lock_guard<std::mutex> hold(c.lock);
  auto it = c.counts.find({static_cast<int>(handle.kind()), handle.localPort()});
  if (it != c.counts.end() && --it->second == 0) c.counts.erase(it);
  c.releaseClaim(handle);
}

void SocketCensus::lingering(const SocketHandle& handle) {
  Census& c = census();
  std::lock_guard<std::mutex> hold(c.lock);
  c.releaseClaim(handle);
}

SocketCensus::Sharing SocketCensus::sharingOn(int port) {
  Census& c = census();
  std::lock_guard<std::mutex> hold(c.lock);
  auto it = c.sharing.find(port);
  return it == c.sharing.end() ? Sharing::kUnchecked : it->second;
}

void SocketCensus::setSharing(int port, Sharing sharing) {
  Census& c = census();
  std::lock_guard<std::mutex> hold(c.lock);
  if (c.claims.count(port) != 0) c.sharing[port] = sharing;
}

int SocketCensus::listeners(int port) {
  return countOf(SocketHandle::Kind::kListener, port);
}

int SocketCensus::connections(int port) {
  return countOf(SocketHandle::Kind::kConnection, port);
}
