#pragma once

#include "QenoServer.h"

namespace qeno::test {

// Starts server on its port as a non-zero readInput does, answering reply.
// Returns without waiting for the listen: await serverState == ServerState::kListening for that.
inline void startServing(QenoServer& server, int reply = 0) {
  server.replyValue = reply;
  server.enableValue = 1;
  server.serveRequested = 1;
  server.startServer(server.hostName, server.port, server.url);
}

}  // namespace qeno::test
