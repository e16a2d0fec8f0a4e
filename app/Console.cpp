#include "Console.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <tuple>

namespace console {
namespace {

// Lines kept for a tee that comes later: the start's problems, before the
// page that shows them exists.
constexpr std::size_t kKeptForTee = 50;

using Kept = std::tuple<const JModuleObj*, std::string, std::chrono::system_clock::time_point>;

struct State {
  std::mutex lock;  // guards everything below, and orders whole lines
  Tee tee;
  std::deque<Kept> kept;  // while there is no tee
};

State& state() {
  static State instance;
  return instance;
}
std::atomic<bool> interactive{false};

// Called with the lock held.
void toTee(State& s, const JModuleObj* box, const std::string& line) {
  const auto now = std::chrono::system_clock::now();
  if (s.tee) {
    s.tee(box, line, now);
    return;
  }
  s.kept.emplace_back(box, line, now);
  if (s.kept.size() > kKeptForTee) s.kept.pop_front();
}

}  // namespace

void out(const std::string& line) {
  std::lock_guard<std::mutex> hold(state().lock);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void note(const std::string& line, const JModuleObj* box) {
  State& s = state();
  std::lock_guard<std::mutex> hold(s.lock);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  toTee(s, box, line);
}

void err(const std::string& line, const JModuleObj* box) {
  State& s = state();
  std::lock_guard<std::mutex> hold(s.lock);
  std::fprintf(stderr, "qeno-host: %s\n", line.c_str());
  std::fflush(stderr);
  toTee(s, box, line);
}

void prompt() {
  if (!interactive) return;
  std::lock_guard<std::mutex> hold(state().lock);
  std::fputs("qeno> ", stdout);
  std::fflush(stdout);
}

void setInteractive(bool value) {
  interactive = value;
}

void setTee(Tee tee) {
  State& s = state();
  std::lock_guard<std::mutex> hold(s.lock);
  s.tee = std::move(tee);
  if (!s.tee) return;
  for (const auto& [box, line, when] : s.kept) s.tee(box, line, when);
  s.kept.clear();
}

}  // namespace console
