// The page's event stream: the whole state when a page connects, then what
// changed, at most kMaxPublishesPerSecond times a second, and the texts
// received.
#include <httplib.h>

#include <chrono>

#include "WebRequests.h"
#include "WebUiShared.h"

namespace {

using webrequest::refuse;

constexpr int kMaxPublishesPerSecond = 30;
constexpr auto kStreamPing = std::chrono::seconds(10);
// How often a waiting event stream looks whether its page is still there.
constexpr auto kStreamLook = std::chrono::milliseconds(250);

}  // namespace

void WebUi::Shared::runPublisher() {
  const auto gap = std::chrono::milliseconds(1000 / kMaxPublishesPerSecond);
  std::unique_lock<std::mutex> hold(lock);
  while (!stopping) {
    changedSignal.wait(hold, [&] { return stopping || (dirty && !buildQueued); });
    if (stopping) break;
    dirty = false;
    buildQueued = true;
    hold.unlock();
    graph.post([self = shared_from_this()] {
      if (!self->stopping) {
        self->publish();
      } else {
        std::lock_guard<std::mutex> hold(self->lock);
        self->buildQueued = false;
      }
    });
    hold.lock();
    // The gap counts from the end of the build, so streams never get more.
    changedSignal.wait(hold, [&] { return stopping || !buildQueued; });
    changedSignal.wait_for(hold, gap, [&] { return stopping.load(); });
  }
}

void WebUi::Shared::addEventRoute(httplib::Server& server) {
  server.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) {
    {
      std::lock_guard<std::mutex> hold(lock);
      if (streams >= Shared::kMaxStreams) return refuse(res, 503, "too many open pages");
      ++streams;
    }
    struct Sent {
      std::uint64_t state = 0;  // sequence of the last state sent
      std::uint64_t log = 0;    // number of the next log line to send
      std::chrono::steady_clock::time_point ping;
    };
    auto sent = std::make_shared<Sent>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, sent](std::size_t /*offset*/, httplib::DataSink& sink) {
          // A dropped stream is opened again by the browser after a second.
          std::string message = sent->state == 0 ? "retry: 1000\n\n" : "";
          const auto now = std::chrono::steady_clock::now();
          if (sent->state == 0) sent->ping = now + kStreamPing;
          {
            std::unique_lock<std::mutex> hold(lock);
            // A new stream, or one too far behind, starts from the whole,
            // taken for it on the host thread.
            const auto caughtUp = [&] {
              return sent->state != 0 && !changes.empty() &&
                     changes.front().first <= sent->state + 1;
            };
            if (!caughtUp() && stateSequence != sequence) {
              hold.unlock();
              const Outcome taken = runOnHost([this] { return Outcome{200, takeState()}; });
              hold.lock();
              if (taken.status != 200) return false;
            }
            publishedSignal.wait_for(hold, kStreamLook, [&] {
              return stopping || sequence != sent->state || logCount != sent->log;
            });
            if (stopping) return false;
            if (sequence != sent->state) {
              if (!caughtUp()) {
                message += "event: state\ndata: " + state + "\n\n";
                sent->state = stateSequence;
              } else {
                for (const auto& [number, change] : changes) {
                  if (number > sent->state) message += "event: change\ndata: " + change + "\n\n";
                }
                sent->state = sequence;
              }
            }
            const std::string lines = logSince(sent->log);
            if (!lines.empty()) message += "event: log\ndata: " + lines + "\n\n";
          }
          if (message.empty() && now >= sent->ping) message = ": ping\n\n";
          if (!message.empty()) {
            sent->ping = now + kStreamPing;
            return sink.write(message.data(), message.size());
          }
          // Nothing to send: a page that went away gives its slot back now.
          return !sink.is_writable || sink.is_writable();
        },
        [this](bool /*success*/) {
          std::lock_guard<std::mutex> hold(lock);
          --streams;
        });
  });
}
