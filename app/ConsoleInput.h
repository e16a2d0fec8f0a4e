#pragma once

#include <cstddef>
#include <string>

// Whole command lines out of the pieces standard input delivers. A line may
// end in CR LF. Host thread.
class ConsoleInput {
 public:
  // Input that never ends a line must not grow without bound.
  static constexpr std::size_t kLongestLine = std::size_t{64} * 1024;

  // Takes what a read returned; a line longer than the limit is dropped,
  // and told.
  void append(const char* data, std::size_t size);
  // The next whole line, without its line end; false when none is complete.
  bool next(std::string& line);

 private:
  std::string pending_;
};
