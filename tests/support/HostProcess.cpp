#include "HostProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <utility>

#include "TestSupport.h"

extern char** environ;

namespace qeno::test {

int freePortBetween(int lower, int upper) {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pick(lower, upper);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = pick(random);
    if (canBindLoopback(port)) return port;
  }
  return 0;
}

HostProcess::~HostProcess() {
  if (pid_ > 0 && status_ == -1) {
    ::kill(pid_, SIGKILL);
    wait(5000);
  }
  if (input_ >= 0) ::close(input_);
  if (outReader_.joinable()) outReader_.join();
  if (errReader_.joinable()) errReader_.join();
}

bool HostProcess::start(const std::string& program, const std::vector<std::string>& args) {
  int in[2];
  int out[2];
  int err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  input_ = in[1];
  outReader_ = std::thread([this, fd = out[0]] { collect(fd, out_); });
  errReader_ = std::thread([this, fd = err[0]] { collect(fd, err_); });
  return rc == 0;
}

void HostProcess::collect(int fd, std::string& into) {
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    std::lock_guard<std::mutex> hold(lock_);
    into.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
}

bool HostProcess::writeLine(const std::string& line) {
  const std::string text = line + "\n";
  return input_ >= 0 &&
         ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void HostProcess::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

bool HostProcess::waitForOutput(const std::string& text, int timeoutMs) const {
  return waitUntil([&] { return output().find(text) != std::string::npos; }, timeoutMs);
}

bool HostProcess::waitForError(const std::string& text, int timeoutMs) const {
  return waitUntil([&] { return error().find(text) != std::string::npos; }, timeoutMs);
}

std::string HostProcess::output() const {
  std::lock_guard<std::mutex> hold(lock_);
  return out_;
}

std::string HostProcess::takeOutput() {
  std::lock_guard<std::mutex> hold(lock_);
  return std::exchange(out_, std::string());
}

std::string HostProcess::error() const {
  std::lock_guard<std::mutex> hold(lock_);
  return err_;
}

void HostProcess::signal(int number) const {
  if (pid_ > 0 && status_ == -1) ::kill(pid_, number);
}

int HostProcess::wait(int timeoutMs) {
  if (status_ != -1) return status_;
  if (pid_ <= 0) return -1;
  int raw = 0;
  const bool ended = waitUntil([&] { return ::waitpid(pid_, &raw, WNOHANG) == pid_; }, timeoutMs);
  if (!ended) return -1;
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  // The child's pipes are at end of stream now: collect the last of its
  // output before anyone reads it.
  if (outReader_.joinable()) outReader_.join();
  if (errReader_.joinable()) errReader_.join();
  return status_;
}

}  // namespace qeno::test
