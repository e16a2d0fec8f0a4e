#include "ConsoleInput.h"

#include "Console.h"

void ConsoleInput::append(const char* data, std::size_t size) {
  pending_.append(data, size);
  if (pending_.size() > kLongestLine && pending_.find('\n') == std::string::npos) {
    console::err("command line longer than " + std::to_string(kLongestLine) + " bytes ignored");
    pending_.clear();
  }
}

bool ConsoleInput::next(std::string& line) {
  const std::size_t newline = pending_.find('\n');
  if (newline == std::string::npos) return false;
  line = pending_.substr(0, newline);
  pending_.erase(0, newline + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}
