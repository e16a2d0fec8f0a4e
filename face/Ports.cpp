// The box's ports: names, types, placement, output values and input handling.

#include <string>

#include "JBoxWait.h"
#include "JData.h"
#include "QenoServer.h"

JString QenoServer::inputName(int n) {
  return n == ServerPorts::kReadInput ? JString("readInput") : JString("sendOutput");
}

JString QenoServer::outputName(int n) {
  static const char* const names[ServerPorts::kOutputCount] = {
      "int_1",   "int_2",   "int_3",   "int_4",    "int_5",   "int_6",   "int_7",   "int_8",
      "int_9",   "int_10",  "float_1", "float_2",  "float_3", "float_4", "float_5", "float_6",
      "float_7", "float_8", "float_9", "float_10", "xml_1",   "xml_2",   "xml_3",   "xml_4",
      "xml_5",   "xml_6",   "xml_7",   "xml_8",    "xml_9",   "xml_10"};
  // Hosts keep n below the output count; anything else gets an empty name
  // rather than a read outside the table.
  return n >= 0 && n < ServerPorts::kOutputCount ? JString(names[n]) : JString();
}

int QenoServer::inputType(int /*n*/) {
  return JIntegerData::id;
}

int QenoServer::outputType(int n) {
  if (n < ServerPorts::kFirstFloatOutput) return JIntegerData::id;
  if (n < ServerPorts::kFirstTextOutput) return JRealData::id;
  return JStringData::id;
}

void QenoServer::getOutput(int n, JLinkObj& /*link*/, JDataType& data) {
  if (n < 0 || n >= ServerPorts::kOutputCount) return;
  if (n < ServerPorts::kFirstFloatOutput) {
    static_cast<int&>(static_cast<JIntegerData&>(data)) =
        intValues[n - ServerPorts::kFirstIntOutput].load();
  } else if (n < ServerPorts::kFirstTextOutput) {
    // Exact widening: the float nearest 0.1 arrives as 0.100000001490116...
    static_cast<double&>(static_cast<JRealData&>(data)) =
        static_cast<double>(floatValues[n - ServerPorts::kFirstFloatOutput]);
  } else {
    // The worker assigns xml_10 while host threads read it.
    JCriticalSection::Guard hold(outputLock);
    static_cast<JString&>(static_cast<JStringData&>(data)) =
        textValues[n - ServerPorts::kFirstTextOutput];
  }
}

bool QenoServer::inputAllowed(int n) {
  return inputSet(n).count() == 0;
}

JFRect QenoServer::inputArea(int n) {
  if (n == ServerPorts::kReadInput) return topArea(n, 0, 1, 0.25, 0.5, 6);
  return leftArea(n, 1, 1, 0.25, 0.5, 6);
}

JFRect QenoServer::outputArea(int n) {
  return rightArea(n, 0, ServerPorts::kOutputCount, 0.1, 0.5, 6);
}

int QenoServer::inputFace(int n) {
  return n == ServerPorts::kReadInput ? kFaceTop : kFaceLeft;
}

JFPoint QenoServer::inputPoint(int n, JLinkObj& link) {
  if (n == ServerPorts::kReadInput) return topPoint(n, link, 0, 1, 0.25, 0.5);
  return leftPoint(n, link, 1, 1, 0.25, 0.5);
}

JFPoint QenoServer::outputPoint(int n, JLinkObj& link) {
  return rightPoint(n, link, 0, ServerPorts::kOutputCount, 0.1, 0.5);
}

void QenoServer::inputChanged(int n, JLinkObj& link) {
  if (n == ServerPorts::kReadInput) {
    int value = 0;
    link.access(JIntegerData(value));
    enableValue = value;
    if (value != 0) {
      // A value the worker hands back to this input starts nothing: on its
      // own thread a start would wait for that very worker to end.
      if (worker.isCurrentThread()) return;
      // A start still pending counts as running: one instance, one worker.
      // Tested again under the gate, which most deliveries need not take.
      const auto idle = [this] { return serverState == ServerState::kIdle && startPending == 0; };
      if (!idle()) return;
      // The gate waits for another delivery's start of this box, not a hang.
      const JBoxWait::Scope waiting(*this);
      JCriticalSection::Guard claim(startGate);
      if (idle()) {
        serveRequested = 1;
        JString host;
        int32_t startPort = 0;
        JString startUrl;
        {
          // The sheet may be editing them on the host thread right now.
          JCriticalSection::Guard hold(settingsLock);
          host = hostName;
          startPort = port;
          startUrl = url;
        }
        startServer(host, startPort, startUrl);
      }
    } else if (serverState != ServerState::kIdle && outputsPublished != 0) {
      // stop() awaits the worker; on the worker's own thread that would never
      // return, so there the server is only told to end.
      if (worker.isCurrentThread()) {
        shutdown();
      } else {
        stop();
      }
    }
  } else if (n == ServerPorts::kSendOutput) {
    int value = 0;
    link.access(JIntegerData(value));
    replyValue = value;
  }
}

JString QenoServer::inputDescription(int n) const {
  if (n == ServerPorts::kReadInput) {
    return "A non-zero value starts the server, when it is idle, on its host name and port.";
  }
  if (n != ServerPorts::kSendOutput) return {};
  return "The number every reply carries: a client gets it as \"N,x\".";
}

JString QenoServer::outputDescription(int n) const {
  if (n < 0 || n >= ServerPorts::kOutputCount) return {};
  if (n == ServerPorts::kTextOutput) return "Every chunk of text a client sends, as it arrives.";
  const int number = n % ServerPorts::kPerType + 1;
  if (n < ServerPorts::kFirstFloatOutput && number <= kKeyCount) {
    const std::string key = "key" + std::to_string(number);
    return "The number found after " + key + " in the last request (moved by " + key +
           "offset), handed on before the reply.";
  }
  if (n < ServerPorts::kFirstFloatOutput) {
    return "An integer no key feeds: it keeps the value the box was made with.";
  }
  if (n < ServerPorts::kFirstTextOutput) {
    return "A real number the server does not write: it keeps the value the box was made with.";
  }
  return "A text the server does not write: empty.";
}
