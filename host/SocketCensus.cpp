#include "SocketCensus.h"

#include "SocketLedger.h"

int SocketCensus::listeners(int port) {
  return SocketLedger::count(SocketHandle::Kind::kListener, port);
}

int SocketCensus::connections(int port) {
  return SocketLedger::count(SocketHandle::Kind::kConnection, port);
}
