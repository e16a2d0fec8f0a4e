#include "SocketSettings.h"

#include <mutex>
#include <utility>

namespace {

std::mutex& settingsLock() {
  static std::mutex lock;
  return lock;
}
SocketSettings& settingsStore() {
  static SocketSettings settings;
  return settings;
}
std::function<void(int, const std::string&)>& listenObserver() {
  static std::function<void(int, const std::string&)> observer;
  return observer;
}

}  // namespace

SocketSettings SocketSettings::current() {
  std::lock_guard<std::mutex> hold(settingsLock());
  return settingsStore();
}

void SocketSettings::apply(const SocketSettings& settings) {
  std::lock_guard<std::mutex> hold(settingsLock());
  settingsStore() = settings;
}

void SocketSettings::setListenObserver(
    std::function<void(int port, const std::string& error)> observer) {
  std::lock_guard<std::mutex> hold(settingsLock());
  listenObserver() = std::move(observer);
}

void SocketSettings::notifyListen(int port, const std::string& error) {
  std::function<void(int, const std::string&)> observer;
  {
    std::lock_guard<std::mutex> hold(settingsLock());
    observer = listenObserver();
  }
  // Called without the lock: the observer may read the settings.
  if (observer) observer(port, error);
}
