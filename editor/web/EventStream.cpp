// The page's event stream: the whole state when a page connects, then what
// changed, at most 30 times a second, and the log's new lines.
#include <httplib.h>

#include <chrono>

#include "HostCalls.h"
#include "LiveView.h"
#include "RouteTable.h"

namespace {

using webrequest::Outcome;
using webrequest::refuse;

constexpr auto kStreamPing = std::chrono::seconds(10);
// How often a waiting event stream looks whether its page is still there.
constexpr auto kStreamLook = std::chrono::milliseconds(250);

}  // namespace

void LiveView::addEventRoute(RouteTable& routes, const HostCalls& calls) {
  routes.get("/api/events", [this, &calls](const httplib::Request&, httplib::Response& res) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (streams_ >= kMaxStreams) return refuse(res, 503, "too many open pages");
      ++streams_;
    }
    struct Sent {
      std::uint64_t state = 0;  // sequence of the last state sent
      std::uint64_t log = 0;    // number of the next log line to send
      std::chrono::steady_clock::time_point ping;
    };
    auto sent = std::make_shared<Sent>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, &calls, sent](std::size_t /*offset*/, httplib::DataSink& sink) {
          // A dropped stream is opened again by the browser after a second.
          std::string message = sent->state == 0 ? "retry: 1000\n\n" : "";
          const auto now = std::chrono::steady_clock::now();
          if (sent->state == 0) sent->ping = now + kStreamPing;
          {
            std::unique_lock<std::mutex> hold(lock_);
            // A new stream, or one too far behind, starts from the whole,
            // taken for it on the host thread.
            const auto caughtUp = [&] {
              return sent->state != 0 && !changes_.empty() &&
                     changes_.front().first <= sent->state + 1;
            };
            if (!caughtUp() && stateSequence_ != sequence_) {
              hold.unlock();
              const Outcome taken = calls.run([this] { return Outcome{200, takeState()}; });
              hold.lock();
              if (taken.status != 200) return false;
            }
            publishedSignal_.wait_for(hold, kStreamLook, [&] {
              return stopping_ || sequence_ != sent->state || logCount_ != sent->log;
            });
            if (stopping_) return false;
            if (sequence_ != sent->state) {
              if (!caughtUp()) {
                message += "event: state\ndata: " + state_ + "\n\n";
                sent->state = stateSequence_;
              } else {
                for (const auto& [number, change] : changes_) {
                  if (number > sent->state) message += "event: change\ndata: " + change + "\n\n";
                }
                sent->state = sequence_;
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
          std::lock_guard<std::mutex> hold(lock_);
          --streams_;
        });
  });
}
