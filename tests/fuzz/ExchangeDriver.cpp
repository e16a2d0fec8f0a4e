#include "ExchangeDriver.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

#include "HostModules.h"
#include "JComponent.h"
#include "JGraph.h"
#include "QenoServer.h"

namespace qeno::test {
namespace {

// Keys of the fixture's server, chosen to meet the fuzzer's bytes often;
// key 8 stays at its default, so it must never be found.
const KeySetting kKeys[QenoServer::kKeyCount - 1] = {{"n=", 0}, {"=", 0},   {"ab", -3}, {"\r\n", 0},
                                                     {"x", 2},  {"aab", 0}, {"0", -1}};

// One server for the whole run, like the one a host keeps serving.
struct Fixture {
  Fixture() {
    auto owned = std::make_unique<QenoServer>();
    server = owned.get();
    for (std::size_t i = 0; i < std::size(kKeys); ++i) server->keys[i] = kKeys[i];
    graph.add(std::move(owned));
    auto ownedSink = std::make_unique<JTextSink>();
    sink = ownedSink.get();
    graph.add(std::move(ownedSink));
    graph.link(*server, ServerPorts::kTextOutput, *sink, 0);
  }
  JGraph graph;
  QenoServer* server = nullptr;
  JTextSink* sink = nullptr;
};

bool isLineBreak(char c) {
  return c == '\r' || c == '\n';
}

bool modelEnds(const std::string& text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (isLineBreak(text[i]) && isLineBreak(text[i + 1])) return true;
  }
  return false;
}

class Reader {
 public:
  Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  [[nodiscard]] bool done() const { return at_ >= size_; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::size_t length() {
    const std::size_t low = byte();
    return low | (static_cast<std::size_t>(byte()) << 8);
  }
  std::string bytes(std::size_t count) {
    count = std::min(count, size_ - std::min(at_, size_));
    std::string out(reinterpret_cast<const char*>(data_ + at_), count);
    at_ += count;
    return out;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// What key i reads from text: the digits after its first occurrence plus
// its offset, or -1.
int64_t modelKey(const std::string& text, const KeySetting& setting) {
  const std::string key = setting.key.str();
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return -1;
  const int64_t start = static_cast<int64_t>(at + key.size()) + setting.keyOffset;
  if (start < 0 || start >= static_cast<int64_t>(text.size())) return -1;
  int64_t value = -1;
  for (std::size_t i = static_cast<std::size_t>(start); i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') break;
    value = (value < 0 ? 0 : value * 10) + (text[i] - '0');
    if (value > INT32_MAX) return -1;
  }
  return value;
}

std::string published(const QenoServer& server) {
  JCriticalSection::Guard hold(server.outputLock);
  return server.textValues[ServerPorts::kTextOutput - ServerPorts::kFirstTextOutput].str();
}

class Run {
 public:
  explicit Run(Fixture& fixture) : f_(fixture) {
    JComponent::debugCapture([this](const std::string& line) { lines_.push_back(line); });
    startExchange();
  }
  ~Run() { JComponent::debugSilence(); }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // Feeds one result; returns what broke, if anything.
  std::string feed(ssize_t n, const std::string& payload) {
    QenoServer& server = *f_.server;
    std::vector<char> chunk(n > 0 ? static_cast<std::size_t>(n) + 1 : 1, '\x55');
    std::memcpy(chunk.data(), payload.data(), payload.size());
    const std::string before = published(server);
    const int delivered = f_.sink->received();
    lines_.clear();
    server.connectedFlag = 0;  // so that each result shows whether it sets the flag

    const bool ended = server.takeReceived(n, chunk.data(), dataLength_);

    std::string line;
    if (n > 0) {
      const std::string text = payload.substr(0, payload.find('\0'));
      if (chunk[static_cast<std::size_t>(n)] != '\0') return "no zero byte after the chunk";
      if (published(server) != text) return "xml_10 does not hold the chunk's text";
      if (f_.sink->received() != delivered + 1) return "not one delivery for one chunk";
      if (f_.sink->lastText() != text) return "the sink got another text";
      if (server.connectedFlag != 1) return "connectedFlag not set by a chunk";
      if (model_.size() + static_cast<std::size_t>(n) < QenoServer::kAccumulateLimit) {
        model_ += text;
      }
      line = JComponent::escape("dataBuf now: " + model_);
    } else {
      if (published(server) != before) return "xml_10 changed without a chunk";
      if (f_.sink->received() != delivered) return "a delivery without a chunk";
      if (server.connectedFlag != 0) return "connectedFlag set without a chunk";
      line = n == -1 ? "-1" : n == 0 ? "z result" : "hmm. weird result";
      const ServerState state = n >= -1 ? ServerState::kIdle : ServerState::kConnected;
      if (server.serverState != state) {
        return "state " + std::to_string(static_cast<int>(server.serverState.load())) +
               " after \"" + line + "\"";
      }
    }
    if (lines_.size() != 1 || lines_[0] != line) {
      return "not the one debug line \"" + line.substr(0, 60) + "\" but " +
             std::to_string(lines_.size()) + " lines" +
             (lines_.empty() ? "" : ", first \"" + lines_[0].substr(0, 60) + "\"");
    }
    const char* text = server.dataBuf.data();
    const std::size_t length = strnlen(text, server.dataBuf.size());
    if (length == server.dataBuf.size()) return "the accumulated text has no zero byte";
    if (length >= QenoServer::kAccumulateLimit) return "the accumulated text reached the limit";
    if (std::string(text, length) != model_) return "the accumulated text differs from the model";
    if (dataLength_ != length) return "the accumulated length is not the text's";
    if (ended != modelEnds(model_)) return "the end test disagrees with the model";

    if (ended || server.serverState != ServerState::kConnected ||
        ++passes_ >= QenoServer::kReceiveLimit - 1) {
      const std::string broken = checkScan();
      if (!broken.empty()) return broken;
      startExchange();
    }
    return {};
  }

  // The key scan at the end of the exchange, against the model.
  std::string checkScan() {
    QenoServer& server = *f_.server;
    int32_t before[10];
    for (int i = 0; i < 10; ++i) before[i] = server.intValues[i];
    const bool found = server.scanKeys(server.dataBuf.data(), static_cast<int>(dataLength_));
    int highest = 0;
    for (int i = 0; i < QenoServer::kKeyCount; ++i) {
      const int64_t expected =
          i < static_cast<int>(std::size(kKeys)) ? modelKey(model_, kKeys[i]) : -1;
      if (expected >= 0) highest = i + 1;
      if (server.intValues[i] != (expected >= 0 ? expected : before[i])) {
        return "int_" + std::to_string(i + 1) + " holds " + std::to_string(server.intValues[i]) +
               ", not " + std::to_string(expected);
      }
    }
    if (found != (highest > 0) || server.publishCount != highest) {
      return "the scan reports " + std::to_string(server.publishCount) + " outputs, not " +
             std::to_string(highest);
    }
    return {};
  }

 private:
  // What serveRequest does before its first receive.
  void startExchange() {
    QenoServer& server = *f_.server;
    server.serverState = ServerState::kConnected;
    server.resetExchange();
    server.receiveCount = 0;
    server.dataBuf[0] = '\0';
    dataLength_ = 0;
    model_.clear();
    passes_ = 0;
  }

  Fixture& f_;
  std::vector<std::string> lines_;
  std::size_t dataLength_ = 0;
  std::string model_;
  int passes_ = 0;
};

}  // namespace

std::string driveExchange(const uint8_t* data, std::size_t size) {
  static Fixture* const fixture = new Fixture;  // lives for the process
  Run run(*fixture);
  Reader in(data, size);
  for (int record = 0; !in.done(); ++record) {
    const uint8_t tag = in.byte();
    ssize_t n = 0;
    std::string payload;
    switch (tag % 5) {
      case 0:
        payload = in.bytes(std::min<std::size_t>(in.length(), QenoServer::kChunkSize));
        n = static_cast<ssize_t>(payload.size());
        break;
      case 1: {
        const char fill = static_cast<char>(in.byte());
        payload.assign(in.length() % (QenoServer::kChunkSize + 1), fill);
        n = static_cast<ssize_t>(payload.size());
        break;
      }
      case 2:
        n = 0;
        break;
      case 3:
        n = -1;
        break;
      default:
        n = -2 - in.byte();
    }
    const std::string broken = run.feed(n, payload);
    if (!broken.empty()) return "record " + std::to_string(record) + ": " + broken;
  }
  return {};
}

}  // namespace qeno::test
