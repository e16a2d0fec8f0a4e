#include "SocketCensus.h"

#include <map>
#include <mutex>
#include <utility>

#include "SocketHandle.h"

namespace {

struct Census {
  std::mutex lock;                            // guards counts
  std::map<std::pair<int, int>, int> counts;  // (kind, port) -> open sockets
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
}

void SocketCensus::closed(const SocketHandle& handle) {
  Census& c = census();
  std::lock_guard<std::mutex> hold(c.lock);
  auto it = c.counts.find({static_cast<int>(handle.kind()), handle.localPort()});
  if (it != c.counts.end() && --it->second == 0) c.counts.erase(it);
}

int SocketCensus::listeners(int port) {
  return countOf(SocketHandle::Kind::kListener, port);
}

int SocketCensus::connections(int port) {
  return countOf(SocketHandle::Kind::kConnection, port);
}
