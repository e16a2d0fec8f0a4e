#include "Console.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace console {
namespace {

std::mutex& lock() {
  static std::mutex instance;
  return instance;
}
std::atomic<bool> interactive{false};

}  // namespace

void out(const std::string& line) {
  std::lock_guard<std::mutex> hold(lock());
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void err(const std::string& line) {
  std::lock_guard<std::mutex> hold(lock());
  std::fprintf(stderr, "qeno-host: %s\n", line.c_str());
  std::fflush(stderr);
}

void prompt() {
  if (!interactive) return;
  std::lock_guard<std::mutex> hold(lock());
  std::fputs("qeno> ", stdout);
  std::fflush(stdout);
}

void setInteractive(bool value) {
  interactive = value;
}

}  // namespace console
