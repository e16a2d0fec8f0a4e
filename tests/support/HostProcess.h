#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qeno::test {

// A port in [lower, upper] on 127.0.0.1 that was free a moment ago.
int freePortBetween(int lower, int upper);

// A child process with pipes on its standard input, output and error.
// Everything it prints is collected by reader threads; every wait is bounded.
// The destructor kills a child that is still running.
class HostProcess {
 public:
  HostProcess() = default;
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  bool start(const std::string& program, const std::vector<std::string>& args);
  bool writeLine(const std::string& line);
  void closeInput();
  // Waits until standard output (or error) contains text.
  bool waitForOutput(const std::string& text, int timeoutMs = 5000) const;
  bool waitForError(const std::string& text, int timeoutMs = 5000) const;
  [[nodiscard]] std::string output() const;
  // What standard output collected so far, which is then forgotten: a long
  // run need not hold all it printed.
  std::string takeOutput();
  [[nodiscard]] std::string error() const;
  void signal(int number) const;
  // The exit status, or -1 when the child did not end in time (or died by a
  // signal: then 128 + signal).
  int wait(int timeoutMs = 10000);
  [[nodiscard]] pid_t pid() const { return pid_; }

 private:
  void collect(int fd, std::string& into);

  pid_t pid_ = -1;
  int input_ = -1;
  int status_ = -1;
  mutable std::mutex lock_;  // guards out_, err_
  std::string out_;
  std::string err_;
  std::thread outReader_;
  std::thread errReader_;
};

}  // namespace qeno::test
