// keyscan_bench: what the key settings add to one request: recording the keys
// at the exchange's start and scanning a 4 KB request for eight keys, against
// the same request with every key at its default.

#include <benchmark/benchmark.h>

#include <string>

#include "JComponent.h"
#include "QenoServer.h"

namespace {

constexpr std::size_t kRequestBytes = 4096;

// A browser-like request padded with headers to kRequestBytes, with the
// query string first.
std::string request(const std::string& query) {
  std::string text = "GET /form" + query + " HTTP/1.1\r\nHost: localhost:8080\r\n" +
                     "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101\r\n" +
                     "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n" +
                     "Accept-Language: en-GB,en;q=0.5\r\nConnection: keep-alive\r\n";
  for (int i = 0; text.size() < kRequestBytes - 64; ++i) {
    text += "X-Padding-" + std::to_string(i) + ": the quick brown fox jumps over the lazy dog\r\n";
  }
  text.resize(kRequestBytes - 4, 'x');
  return text + "\r\n\r\n";
}

const char* const kKeys[QenoServer::kKeyCount] = {
    "id=", "n=", "page=", "size=", "from=", "to=", "sort=", "lang="};

void setKeys(QenoServer& server, bool active) {
  for (int i = 0; i < QenoServer::kKeyCount; ++i) {
    server.keys[i].key = active ? kKeys[i] : "(undefined)";
  }
}

// What serveRequest adds once the request has ended.
void endOfRequest(benchmark::State& state, bool active, const std::string& text) {
  JComponent::debugSilence();  // as in the measured qeno-host runs
  QenoServer server;
  setKeys(server, active);
  for (auto _ : state) {
    server.resetExchange();
    bool found = false;
    if (server.activeKeys != 0) found = server.scanKeys(text.data(), static_cast<int>(text.size()));
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_DefaultKeys(benchmark::State& state) {
  endOfRequest(state, false, request("?id=7&n=41&page=2&size=50&from=1&to=9&sort=3&lang=44"));
}

// Every key found in the query string, at the start of the request.
void BM_EightKeysInTheQuery(benchmark::State& state) {
  endOfRequest(state, true, request("?id=7&n=41&page=2&size=50&from=1&to=9&sort=3&lang=44"));
}

// No key in the request: each of the eight scans reads all 4 KB.
void BM_EightKeysAbsent(benchmark::State& state) {
  endOfRequest(state, true, request(""));
}

}  // namespace

BENCHMARK(BM_DefaultKeys);
BENCHMARK(BM_EightKeysInTheQuery);
BENCHMARK(BM_EightKeysAbsent);
BENCHMARK_MAIN();
