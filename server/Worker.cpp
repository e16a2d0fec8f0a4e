// The server worker: start, listen, accept, serve, stop.

#include <chrono>
#include <utility>

#include "JBoxWait.h"
#include "JComponent.h"
#include "JException.h"
#include "QenoServer.h"

void QenoServer::startServer(JString host, int port, JString url) {
  // Waits for this box's own worker, not a hang.
  const JBoxWait::Scope waiting(*this);
  while (startPending != 0) JThread::sleep(kPollIntervalMs);
  JCriticalSection::Guard hold(lock);
  if (worker.isRunning()) {
    // A worker that is ending is awaited; one that still serves (it is
    // listening again after a connection ended) is never doubled.
    if (!stopRequested) return;
    worker.waitFor();
  }
  workerHost = host;
  workerPort = port;
  workerUrl = url;
  stopRequested = false;
  startPending = 1;
  worker = JThread(this);
  worker.start();
  worker.setPriority(JThread::TNORM_PRIORITY + 1);
}

void QenoServer::listen() {
  // The host refuses a port outside 0..65535 rather than wrapping it to
  // another port.
  serverSocket = JServerSocket(workerPortUnlocked());
  if (serverSocket.listen(1) == 0) throw new JSocketException("listen");
}

bool QenoServer::acceptClient() {
  if (serverSocket.accept(clientSocket) == 0) return false;
  // While a client is connected nobody else can connect.
  serverSocket.close();
  inputStream = JSocketInputStream(clientSocket);
  outputStream = JSocketOutputStream(clientSocket);
  return true;
}

void QenoServer::closeSockets() {
  try {
    serverSocket.close();
    clientSocket.close();
  } catch (JException* e) {
    delete e;
  }
}

void QenoServer::run() {
  // A box linked to xml_10 runs on this thread through broadcast, and
  // may throw anything: the worker ends idle, and the process lives on.
  try {
    serve();
  } catch (...) {
    JComponent::debugCurrentException("worker ended by an unexpected exception");
  }
  finishWorker();
}

void QenoServer::serve() {
  resetExchange();
  for (;;) {
    if (stopRequested) break;
    try {
      listen();
    } catch (JException* e) {
      JComponent::debug("got exception");
      JComponent::debug(e->getMessage());
      delete e;
      break;
    }
    // The client served last gets its end of stream only now, so that it
    // finds a listener when it reconnects at once.
    servedClient.closeGracefullyAndBindNextListener(serverSocket);
    // A stop that came while the socket was opening may have closed the old
    // socket only; the flag tells.
    if (stopRequested) break;
    serverState = ServerState::kListening;
    // Every listen repaints: an editor learns the state from its repaints.
    repaint();
    JComponent::debug("try to connect");
    try {
      const bool accepted = acceptLoop();
      startPending = 0;
      ServerState listening = ServerState::kListening;
      if (!accepted || !serverState.compare_exchange_strong(listening, ServerState::kConnected)) {
        break;
      }
      JComponent::debug("connected");
      connectedFlag = 1;
      repaint();  // the square turns green
      if (enableValue == 0 || stopRequested) break;
      if (serveRequested != 0) serveRequest();
      if (stopRequested) break;
      const bool stillUp = serverState == ServerState::kConnected;
      endConnection(stillUp);
      // The exchange found the connection gone: the serve loop tests readInput
      // again before anything else, and a 0 there ends the worker idle.
      if (!stillUp && enableValue == 0) break;
    } catch (JException* e) {
      delete e;
      break;
    }
  }
}

bool QenoServer::acceptLoop() {
  using Clock = std::chrono::steady_clock;
  while (serverState != ServerState::kIdle && !stopRequested) {
    const Clock::time_point began = Clock::now();
    if (acceptClient()) return true;
    // The host's accept already waited for a client; sleep only what is left
    // of the poll interval, so a failing accept cannot spin.
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
    if (waited < kPollIntervalMs && serverState != ServerState::kIdle && !stopRequested) {
      JThread::sleep(static_cast<int>(kPollIntervalMs - waited));
    }
  }
  return false;
}

// Worker thread: ends the served connection and frees its descriptor.
void QenoServer::endConnection(bool stillUp) {
  // The reply, then end of stream, must reach the client: a connection still
  // up is closed gracefully, once the next listener is up, so unread client
  // bytes cannot turn the close into a reset.
  if (stillUp) {
    servedClient = clientSocket;
    clientSocket = JSocket();
  }
  closeSockets();
  releaseClient();
}

// Worker thread only: it is the one thread that uses the raw descriptor, so
// dropping its hold here cannot pull the number from under anyone.
void QenoServer::releaseClient() {
  clientSocket = JSocket();
  inputStream = JSocketInputStream();
  outputStream = JSocketOutputStream();
}

// Every way out of the worker leaves the instance idle, with its sockets
// closed, so the next start finds it ready.
void QenoServer::finishWorker() {
  servedClient.closeGracefully();
  stopRequested = true;
  closeSockets();
  releaseClient();
  // A closed listening socket keeps its port bound until the descriptor is
  // released; a stopped server must leave the port to others.
  serverSocket = JServerSocket();
  serverState = ServerState::kIdle;
  startPending = 0;
  repaint();
}

void QenoServer::stop() {
  // Waits for this box's own worker (and a start that holds lock), not a hang.
  const JBoxWait::Scope waiting(*this);
  JCriticalSection::Guard hold(lock);
  const bool serving = serverState != ServerState::kIdle;
  if (!serving && !worker.isRunning()) return;
  stopRequested = true;
  serverState = ServerState::kIdle;
  worker.setPriority(JThread::TNORM_PRIORITY);
  closeSockets();
  // On the worker's own thread there is nothing to wait for: it ends once
  // this returns.
  if (!worker.isCurrentThread()) worker.waitFor();
  repaint();
}

void QenoServer::shutdown() {
  stopRequested = true;
  serverState = ServerState::kIdle;
  clientSocket.close();
}
