#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "JBoxHelp.h"
#include "JCriticalSection.h"
#include "JModuleObj.h"
#include "JSocket.h"
#include "JSocketStreams.h"
#include "JString.h"
#include "JThread.h"
#include "QenoServerPorts.h"
#include "ThreadAnnotations.h"

// One key setting: a text and an offset, shown in the property sheet and
// saved with the graph.
struct KeySetting {
  JString key;
  int32_t keyOffset = 0;
};

// Qeno Server: a box in the graph that is a small TCP server. A non-zero value
// on readInput starts a worker that serves one client at a time; every chunk
// a client sends goes out on xml_10, and the client gets sendOutput's value
// as "%d,x" once its text holds two line-break characters in a row. The
// numbers of its ports and states are in QenoServerPorts.h.
//
// The host calls every virtual operation on its host thread; the worker
// thread runs run() and everything it calls. It describes itself, its ports
// and its properties in words (JBoxHelp) beside the code they describe.
class QenoServer : public JAddObj, public JBoxHelp {
 public:
  static constexpr int kKeyCount = 8;
  static constexpr int kPollIntervalMs = 100;
  static constexpr int kChunkSize = 10000;
  static constexpr int kAccumulateLimit = 5000;
  static constexpr int kReceiveLimit = 400;

  QenoServer();
  QenoServer& operator=(const QenoServer&) = delete;
  ~QenoServer() override;

  [[nodiscard]] const char* className() const override { return "QenoServer"; }
  // A new instance with this one's configuration, inputs, indicator and
  // outputs, but idle: no worker, sockets of its own.
  [[nodiscard]] JObject* clone() const override;
  [[nodiscard]] JString description() const override;

  // ---- network service (server/)
  void run() override;  // worker thread
  // Stops the worker and waits for it to end, in any state.
  void stop() override;
  // Marks the server idle and closes the client connection without waiting;
  // the worker ends within one poll interval.
  void shutdown() override;
  virtual void startServer(JString host, int port, JString url);
  virtual void listen();        // worker thread; throws JSocketException* "listen"
  virtual bool acceptClient();  // worker thread
  virtual void closeSockets();  // any thread
  void serveRequest();          // worker thread
  void resetExchange();         // worker thread
  static bool hasLineBreakPair(const char* text);
  // One receive result of the exchange (worker thread): n bytes (at most
  // kChunkSize) in chunk, which has room for one more, or recv's failure or
  // end of stream. Publishes and accumulates a chunk; dataLength is the
  // length of the text in dataBuf. Returns whether that text ends the request.
  bool takeReceived(ssize_t n, char* chunk, std::size_t& dataLength);

  // ---- key scan (server/): a request's numbers onto the integer outputs
  // Worker thread, once a request has ended: for every key active at the
  // exchange's start, reads the number after the key's first occurrence in
  // text (plus its offset) into the key's integer output, and sets
  // publishCount to one more than the highest output found. Returns whether
  // any key was found.
  bool scanKeys(const char* text, int length);
  static int matchKeyChar(char ch, const char* key, int pos, int len);
  // The unsigned decimal number that starts at text[pos] and runs until a
  // non-digit or len; -1 when pos is outside the text, text[pos] is not a
  // digit, or the number does not fit in 32 bits.
  static int readDecimal(const char* text, int len, int pos);
  // Worker thread: sets outputsPublished and broadcasts outputs 0 to
  // publishCount - 1.
  void publishAll();
  // A key takes part in the scan unless it is empty or the default.
  static bool isActiveKey(const JString& key);

  // ---- ports (face/)
  JString inputName(int n) override;
  JString outputName(int n) override;
  int inputType(int n) override;
  int outputType(int n) override;
  void getOutput(int n, JLinkObj& link, JDataType& data) override;  // any thread
  bool inputAllowed(int n) override;
  JFRect inputArea(int n) override;
  JFRect outputArea(int n) override;
  int inputFace(int n) override;
  JFPoint inputPoint(int n, JLinkObj& link) override;
  JFPoint outputPoint(int n, JLinkObj& link) override;
  void inputChanged(int n, JLinkObj& link) override;
  [[nodiscard]] JString inputDescription(int n) const override;
  [[nodiscard]] JString outputDescription(int n) const override;
  // ---- painting (face/)
  void paint(JGraphics g, double dx, double dy, JRegion& region, double scale) override;
  void drawInterior(JGraphics g, int x, int y, int w, int h) override;

  // ---- property sheet (config/)
  JArray getProperties() override;
  unsigned char updateProperty(JProperty& property) override;
  [[nodiscard]] JString propertyDescription(const JString& name) const override;

  // ---- the module's fields, grouped by the threads that write them.

  // Written by host threads (loading, the property sheet, links into the
  // inputs); read by the worker and the painting. hostName, port and url
  // reach a worker only as the copies startServer takes; inputChanged takes
  // those copies on whatever thread delivers readInput, hence the lock.
  JString hostName QENO_GUARDED_BY(settingsLock);
  int32_t port QENO_GUARDED_BY(settingsLock) = 80;
  JString url QENO_GUARDED_BY(settingsLock);
  std::array<KeySetting, kKeyCount> keys QENO_GUARDED_BY(settingsLock);
  std::atomic<int32_t> enableValue{0};  // input readInput
  std::atomic<int32_t> replyValue{0};   // input sendOutput
  std::atomic<uint8_t> serveRequested{0};
  std::array<float, ServerPorts::kPerType> floatValues{};  // nothing writes them after construction

  // Written by the worker; host threads read the outputs and the square.
  std::atomic<uint8_t> connectedFlag{0};
  std::atomic<uint8_t> outputsPublished{0};
  int32_t publishCount QENO_GUARDED_BY(settingsLock) = 0;
  std::array<int32_t, kKeyCount> keyLength QENO_GUARDED_BY(settingsLock){};
  std::array<std::atomic<int32_t>, ServerPorts::kPerType> intValues{};
  std::array<JString, ServerPorts::kPerType> textValues QENO_GUARDED_BY(outputLock);

  // The worker's own: no other thread touches them while it runs.
  JSocketInputStream inputStream;    // the served client's requests are read through it
  JSocketOutputStream outputStream;  // the reply is sent through it
  // The connection served last, until its end of stream goes out.
  JSocket servedClient;
  // The accumulated request text of the exchange in progress.
  std::array<char, kChunkSize> dataBuf{};
  int32_t receiveCount = 0;
  // The active keys as they stood when the exchange began.
  std::array<KeySetting, kKeyCount> exchangeKeys;
  uint8_t activeKeys = 0;  // bit i: key i + 1 is active

  // Written by both: startServer and stop on host threads, the worker as it
  // runs and ends.
  std::atomic<ServerState> serverState{ServerState::kIdle};
  // Set by startServer, cleared by the worker once it has listened.
  std::atomic<uint8_t> startPending{0};
  // Set by stop, shutdown and a worker that ends: the worker must end now.
  std::atomic<bool> stopRequested{false};
  // Opened by the worker, closed from any thread to wake a blocked accept or
  // receive (closing is thread-safe).
  JSocket clientSocket;
  JServerSocket serverSocket;
  JThread worker;  // thread-safe handle; assigned only under lock
  // The settings a worker serves with, copied by startServer before it starts
  // the worker; see workerPortUnlocked().
  JString workerHost QENO_GUARDED_BY(lock);
  int32_t workerPort QENO_GUARDED_BY(lock) = 0;
  JString workerUrl QENO_GUARDED_BY(lock);

  // Serialises startServer and stop, so that one worker at a time is handed
  // its settings and started, and a stop never falls between a start's check
  // and its start. Guards the worker's settings copies.
  mutable JCriticalSection lock;
  // Guards the settings (host name, port, url, keys) against their readers
  // on other threads (a delivery to readInput, the worker's copy of the keys
  // at each exchange) and what the worker records of the keys. Held only to
  // copy: never across a wait, so it cannot join a deadlock that lock can.
  mutable JCriticalSection settingsLock;
  // Guards the text outputs, which the worker assigns while hosts read them.
  mutable JCriticalSection outputLock;
  // Held by a delivery to readInput from its test of the state to its start:
  // of two deliveries at once (a worker's and the host's), the second sees
  // the first's start pending rather than waiting in startServer for a
  // client of the first one's listener.
  mutable JCriticalSection startGate;

 protected:
  QenoServer(const QenoServer& other);
  void writeContent(JOutputStream& stream) override;
  void readContent(JDictionary& dictionary) override;

 private:
  // The worker reads its settings without the lock: startServer wrote them
  // before it started this worker, and writes them again only after the
  // worker has ended.
  [[nodiscard]] int workerPortUnlocked() const QENO_NO_THREAD_SAFETY_ANALYSIS { return workerPort; }
  void serve();  // worker thread: run()'s loop
  bool acceptLoop();
  void endConnection(bool stillUp);
  void releaseClient();
  void finishWorker();
};
