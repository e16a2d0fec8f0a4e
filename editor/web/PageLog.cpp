#include "PageLog.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace {

// "13:45:07.125", local time.
std::string clockTime(PageLog::Clock::time_point when) {
  const std::time_t seconds = PageLog::Clock::to_time_t(when);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  std::tm parts{};
  ::localtime_r(&seconds, &parts);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(millis));
  return text;
}

}  // namespace

void PageLog::add(const JModuleObj* box, const std::string& text, Clock::time_point when) {
  std::lock_guard<std::mutex> hold(lock_);
  held_.push_back(Held{when, box, text});
  // Lines beyond what the log keeps would only push each other out.
  if (held_.size() > kKept) held_.pop_front();
}

bool PageLog::release(const std::function<int(const JModuleObj*)>& numberOf) {
  std::deque<Held> joining;
  {
    std::lock_guard<std::mutex> hold(lock_);
    joining.swap(held_);
  }
  if (joining.empty()) return false;
  std::deque<std::string> made;
  for (const Held& line : joining) {
    nlohmann::json entry = {{"time", clockTime(line.when)}, {"text", line.text}};
    const int number = line.box != nullptr ? numberOf(line.box) : -1;
    if (number >= 0) entry["module"] = number;
    made.push_back(entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  std::lock_guard<std::mutex> hold(lock_);
  for (std::string& line : made) lines_.push_back(std::move(line));
  count_ += made.size();
  while (lines_.size() > kKept) lines_.pop_front();
  return true;
}

std::string PageLog::since(std::uint64_t& next) const {
  std::lock_guard<std::mutex> hold(lock_);
  const std::uint64_t total = count_.load();
  const std::uint64_t first = total - lines_.size();
  if (next >= total) return {};
  next = std::max(next, first);
  std::string lines;
  for (auto line = lines_.begin() + static_cast<std::ptrdiff_t>(next - first); line != lines_.end();
       ++line) {
    lines += (lines.empty() ? "" : ",") + *line;
  }
  const std::uint64_t from = next;
  next = total;
  return "{\"first\":" + std::to_string(from) + ",\"lines\":[" + lines + "]}";
}
