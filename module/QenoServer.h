#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "JCriticalSection.h"
#include "JModuleObj.h"
#include "JSocket.h"
#include "JSocketStreams.h"
#include "JString.h"
#include "JThread.h"

// One key setting: a text and an offset, shown in the property sheet and
// saved with the graph.
struct KeySetting {
  JString key;
  int32_t keyOffset = 0;
};

// Qeno Server: a box in the graph that is a small TCP server. A non-zero value
// on input 0 starts a worker that serves one client at a time; every chunk a
// client sends goes out on output 29, and the client gets input 1's value as
// "%d,x" once its text holds two line-break characters in a row.
//
// The host calls every virtual operation on its host thread; the worker
// thread runs run() and everything it calls.
class QenoServer : public JAddObj {
 public:
  static constexpr int kKeyCount = 8;
  static constexpr int kOutputCount = 30;
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

  // ---- painting (face/)
  void paint(JGraphics g, double dx, double dy, JRegion& region, double scale) override;
  void drawInterior(JGraphics g, int x, int y, int w, int h) override;

  // ---- property sheet (config/)
  JArray getProperties() override;
  unsigned char updateProperty(JProperty& property) override;

  // ---- state record, in this order; the worker shares the atomics.
  std::atomic<uint8_t> connectedFlag{0};
  JSocket clientSocket;
  JServerSocket serverSocket;
  JSocketInputStream inputStream;
  JSocketOutputStream outputStream;
  std::atomic<uint8_t> serverState{0};
  std::atomic<uint8_t> outputsPublished{0};
  JThread worker;
  JCriticalSection lock;
  int32_t publishCount = 0;  // guarded by keysLock
  std::atomic<int32_t> enableValue{0};
  std::atomic<int32_t> replyValue{0};
  JString hostName;
  int32_t port = 80;
  JString url;
  std::array<KeySetting, kKeyCount> keys;      // texts guarded by keysLock
  std::array<int32_t, kKeyCount> keyLength{};  // guarded by keysLock
  std::atomic<uint8_t> startPending{0};
  JString workerHost;
  int32_t workerPort = 0;
  JString workerUrl;
  std::atomic<uint8_t> serveRequested{0};
  std::array<std::atomic<int32_t>, 10> intValues{};  // the worker writes, hosts read
  std::array<float, 10> floatValues{};
  std::array<JString, 10> textValues;  // guarded by outputLock

  // ---- beyond the record
  // Set by stop, shutdown and a worker that ends: the worker must end now.
  std::atomic<bool> stopRequested{false};
  // The connection served last, until its end of stream goes out; worker only.
  JSocket servedClient;
  // The accumulated request text of the exchange in progress; worker only.
  std::array<char, kChunkSize> dataBuf{};
  int32_t receiveCount = 0;  // worker only
  // The active keys as they stood when the exchange began; worker only.
  std::array<KeySetting, kKeyCount> exchangeKeys;
  uint8_t activeKeys = 0;         // bit i: key i + 1 is active; worker only
  mutable std::mutex outputLock;  // guards textValues
  mutable std::mutex keysLock;    // guards the texts in keys, keyLength, publishCount

 protected:
  QenoServer(const QenoServer& other);
  void writeContent(JOutputStream& stream) override;
  void readContent(JDictionary& dictionary) override;

 private:
  void serve();  // worker thread: run()'s loop
  bool acceptLoop();
  void endConnection(bool stillUp);
  void releaseClient();
  void finishWorker();
};
