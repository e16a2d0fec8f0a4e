#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

class JModuleObj;

// The page's log: what qeno-host writes on standard error, its start-up
// lines, the debug channel and the texts its servers receive, each line with
// its time and the box it is about. Lines come from any thread; they join the
// log, numbered, when the host thread next takes the graph's state, which
// knows the boxes' numbers. The last kKept are kept.
class PageLog {
 public:
  // As many lines as the page keeps: a new page shows them all.
  static constexpr std::size_t kKept = 200;
  using Clock = std::chrono::system_clock;

  // Any thread; box may be null.
  void add(const JModuleObj* box, const std::string& text, Clock::time_point when = Clock::now());
  // Host thread: the lines added since join the log, each with the number
  // numberOf gives its box (-1: none, or a box that left). Returns whether
  // any joined.
  bool release(const std::function<int(const JModuleObj*)>& numberOf);
  // The lines from number next on as the data of a log event, or an empty
  // string when there are none; next moves on. Any thread.
  std::string since(std::uint64_t& next) const;
  // Lines in all so far. Any thread.
  [[nodiscard]] std::uint64_t count() const { return count_.load(); }

 private:
  struct Held {
    Clock::time_point when;
    const JModuleObj* box;
    std::string text;
  };
  mutable std::mutex lock_;              // guards held_, lines_
  std::deque<Held> held_;                // waiting for their boxes' numbers
  std::deque<std::string> lines_;        // the last ones, each a JSON object
  std::atomic<std::uint64_t> count_{0};  // lines ever joined; changed with lock_ held
};
