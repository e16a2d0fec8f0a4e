#include "QenoServer.h"

QenoServer::QenoServer() : hostName("localhost"), url("/") {
  inputCount = ServerPorts::kInputCount;
  outputCount = ServerPorts::kOutputCount;
  for (KeySetting& setting : keys) setting = KeySetting{"(undefined)", 0};
}

// A clone must not share a running original's sockets or worker: destroying
// it would stop the original. It starts idle with host objects of its own.
QenoServer::QenoServer(const QenoServer& other)
    : JAddObj(other),
      JBoxHelp(other),
      enableValue(other.enableValue.load()),
      replyValue(other.replyValue.load()),
      serveRequested(other.serveRequested.load()),
      floatValues(other.floatValues),
      connectedFlag(other.connectedFlag.load()),
      outputsPublished(other.outputsPublished.load()) {
  for (std::size_t i = 0; i < intValues.size(); ++i) intValues[i] = other.intValues[i].load();
  {
    // Settings are written on host threads while a delivery may read them,
    // and the worker writes what it records of the keys at every exchange.
    JCriticalSection::Guard hold(other.settingsLock);
    hostName = other.hostName;
    port = other.port;
    url = other.url;
    keys = other.keys;
    keyLength = other.keyLength;
    publishCount = other.publishCount;
  }
  {
    JCriticalSection::Guard hold(other.outputLock);
    textValues = other.textValues;
  }
  JCriticalSection::Guard hold(other.lock);
  workerHost = other.workerHost;
  workerPort = other.workerPort;
  workerUrl = other.workerUrl;
}

JObject* QenoServer::clone() const {
  return new QenoServer(*this);
}

JString QenoServer::description() const {
  return "A small TCP server. A non-zero readInput starts it listening on its host name and "
         "port; it serves one client at a time, hands each chunk of text the client sends on "
         "xml_10, and once the text holds two line breaks in a row answers with sendOutput's "
         "value as \"N,x\", closes the connection and listens again.";
}

QenoServer::~QenoServer() {
  // Called directly, not virtually: the worker must be gone before any
  // member it uses is released.
  QenoServer::stop();
}
