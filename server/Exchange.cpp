// One request/reply exchange on an accepted connection.

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "JComponent.h"
#include "JException.h"
#include "QenoServer.h"

void QenoServer::resetExchange() {
  outputsPublished = 0;
  JCriticalSection::Guard hold(settingsLock);
  publishCount = 0;
  activeKeys = 0;
  for (int i = 0; i < kKeyCount; ++i) {
    keyLength[i] = keys[i].key.length();
    // Only active keys are copied: a box without keys pays nothing more.
    if (!isActiveKey(keys[i].key)) continue;
    exchangeKeys[i] = keys[i];
    activeKeys |= static_cast<uint8_t>(1U << i);
  }
}

bool QenoServer::hasLineBreakPair(const char* text) {
  int run = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\n' || *p == '\r') {
      if (++run == 2) return true;
    } else {
      run = 0;
    }
  }
  return false;
}

bool QenoServer::takeReceived(ssize_t n, char* chunk, std::size_t& dataLength) {
  if (n > 0) {
    chunk[n] = '\0';
    {
      JCriticalSection::Guard hold(outputLock);
      textValues[ServerPorts::kTextOutput - ServerPorts::kFirstTextOutput] = JString(chunk);
    }
    broadcast(ServerPorts::kTextOutput);
    connectedFlag = 1;
    if (dataLength + static_cast<std::size_t>(n) < kAccumulateLimit) {
      const std::size_t textLength = std::strlen(chunk);
      std::memcpy(dataBuf.data() + dataLength, chunk, textLength + 1);
      dataLength += textLength;
    }
    // The whole request so far: formatted only for a channel that shows it.
    if (JComponent::debugging()) {
      char shown[kChunkSize + 100];
      std::snprintf(shown, sizeof shown, "dataBuf now: %s", dataBuf.data());
      JComponent::debug(shown);
    }
  } else if (n == -1) {
    JComponent::debug("-1");
    serverState = ServerState::kIdle;
  } else if (n == 0) {
    JComponent::debug("z result");
    serverState = ServerState::kIdle;
  } else {
    JComponent::debug("hmm. weird result");
  }
  return hasLineBreakPair(dataBuf.data());
}

void QenoServer::serveRequest() {
  resetExchange();
  receiveCount = 0;
  dataBuf[0] = '\0';
  std::size_t dataLength = 0;
  char chunk[kChunkSize + 1];
  try {
    while (serverState == ServerState::kConnected) {
      const int socketHandle = static_cast<int>(inputStream);
      // A client must never be able to end the process: at the limit the
      // request counts as complete.
      if (++receiveCount >= kReceiveLimit) {
        JComponent::debug("receive limit reached");
        break;
      }
      if (JComponent::debugging()) {
        std::snprintf(chunk, sizeof chunk, "socketHandle is %d", socketHandle);
        JComponent::debug(chunk);
      }
      ssize_t n = 0;
      do {
        n = ::recv(socketHandle, chunk, kChunkSize, 0);
      } while (n < 0 && errno == EINTR);
      JComponent::debug("got result");
      if (takeReceived(n, chunk, dataLength)) break;
    }
    // A request cut off by a stop is not a request; one that ended is
    // scanned before its reply, so the graph can answer with what it sent.
    if (activeKeys != 0 && !stopRequested &&
        scanKeys(dataBuf.data(), static_cast<int>(dataLength))) {
      publishAll();
    }
  } catch (JException* e) {
    JComponent::debug("input stream thread got exception");
    delete e;
    return;
  }
  JComponent::debug("getting out");
  const int socketHandle = static_cast<int>(outputStream);
  char reply[500];
  std::snprintf(reply, sizeof reply, "%d,x", replyValue.load());
  JComponent::debug(reply);
  ssize_t sent = 0;
  do {
    // MSG_NOSIGNAL: a peer that has gone must not raise SIGPIPE.
    sent = ::send(socketHandle, reply, std::strlen(reply), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (JComponent::debugging()) {
    char result[100];
    std::snprintf(result, sizeof result, "send result is %d", static_cast<int>(sent));
    JComponent::debug(result);
  }
}
