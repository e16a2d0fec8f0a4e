#include "SocketCensus.h"

#include "SocketLedger.h"

int SocketCensus::listeners(int port) {
  return SocketLedger::count(SocketHandle::Kind::kListener, port);
}

int SocketCensus::connections(int port) {
  return SocketLedger::count(SocketHandle::Kind::kConnection, port);
}

int SocketCensus::listenersOf(const JObject* owner) {
  return SocketLedger::countOf(SocketHandle::Kind::kListener, owner);
}

int SocketCensus::connectionsOf(const JObject* owner) {
  return SocketLedger::countOf(SocketHandle::Kind::kConnection, owner);
}

int SocketCensus::portOf(const JObject* owner) {
  return SocketLedger::portOf(owner);
}

long SocketCensus::acceptedBy(const JObject* owner) {
  return SocketLedger::acceptedBy(owner);
}

void SocketCensus::forget(const JObject* owner) {
  SocketLedger::forget(owner);
}
