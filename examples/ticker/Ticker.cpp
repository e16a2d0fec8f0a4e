#include "Ticker.h"

#include <qeno/JBoxStatus.h>
#include <qeno/JComponent.h>
#include <qeno/JData.h>
#include <qeno/JPersist.h>

#include <algorithm>
#include <chrono>

namespace {

constexpr int kIntervalLower = 10;
constexpr int kIntervalUpper = 60000;

}  // namespace

Ticker::Ticker() {
  inputCount = 1;
  outputCount = 1;
  width = 100;
  height = 50;
}

// A copy takes the settings; the thread stays with the box that runs it.
Ticker::Ticker(const Ticker& other) : JAddObj(other), interval_(other.interval_.load()) {}

Ticker::~Ticker() {
  stop();
}

JString Ticker::inputName(int /*n*/) {
  return "run";
}

JString Ticker::outputName(int /*n*/) {
  return "count";
}

// Any thread: a server's worker may deliver the value.
void Ticker::inputChanged(int /*n*/, JLinkObj& link) {
  int run = 0;
  link.access(JIntegerData(run));
  if (run != 0) {
    start();
  } else {
    stop();
  }
}

void Ticker::getOutput(int /*n*/, JLinkObj& /*link*/, JDataType& data) {
  static_cast<int&>(static_cast<JIntegerData&>(data)) = count_.load();
}

void Ticker::start() {
  if (tickerId_.load() == std::this_thread::get_id()) return;  // ticking, and asked again
  std::lock_guard<std::mutex> hold(control_);
  if (thread_.joinable()) {
    std::lock_guard<std::mutex> state(lock_);
    if (running_) return;  // already ticking
  }
  if (thread_.joinable()) thread_.join();  // a thread that stopped itself
  {
    std::lock_guard<std::mutex> state(lock_);
    running_ = true;
  }
  thread_ = std::thread(&Ticker::tick, this);
  JComponent::debug("Ticker: started");
  JBoxStatus::set(*this,
                  JString("ticking every ") + JInteger::toJString(interval_.load(), 10) + " ms",
                  JStatusColour::kGreen);
}

void Ticker::stop() {
  // A count that reaches "run" again arrives on the ticker's own thread,
  // which cannot wait for itself: it ends after this tick instead.
  const bool own = tickerId_.load() == std::this_thread::get_id();
  std::unique_lock<std::mutex> hold(control_, std::defer_lock);
  if (!own) hold.lock();  // so that no start() comes between the flag and the wait
  {
    std::lock_guard<std::mutex> state(lock_);
    running_ = false;
  }
  wake_.notify_all();
  JBoxStatus::set(*this, "stopped", JStatusColour::kGrey);
  if (!own && thread_.joinable()) {
    thread_.join();
    JComponent::debug("Ticker: stopped");
  }
}

void Ticker::tick() {
  tickerId_ = std::this_thread::get_id();
  std::unique_lock<std::mutex> state(lock_);
  while (running_) {
    const auto interval = std::chrono::milliseconds(interval_.load());
    // Woken early by stop(); otherwise one interval has passed.
    if (wake_.wait_for(state, interval, [this] { return !running_; })) break;
    state.unlock();
    ++count_;
    broadcast(0);  // the linked inputs take the count on this thread
    repaint();
    state.lock();
  }
  tickerId_ = std::thread::id();
}

JArray Ticker::getProperties() {
  JArray list = JAddObj::getProperties();
  list.append(JIntegerProperty("interval", interval_.load(), kIntervalLower, kIntervalUpper));
  return list;
}

unsigned char Ticker::updateProperty(JProperty& property) {
  if (JAddObj::updateProperty(property) != 0) return 1;
  auto* integer = dynamic_cast<JIntegerProperty*>(&property);
  if (integer == nullptr || !(property.getName() == "interval")) return 0;
  interval_ = integer->value;  // from the next tick on
  repaint();
  return 1;
}

void Ticker::writeContent(JOutputStream& stream) {
  JAddObj::writeContent(stream);
  putInteger(stream, "interval", interval_.load());
}

void Ticker::readContent(JDictionary& dictionary) {
  JAddObj::readContent(dictionary);
  // The sheet's limits do not guard a hand-written file.
  interval_ = std::clamp(getInteger(dictionary, "interval", 1000), kIntervalLower, kIntervalUpper);
}

void Ticker::drawInterior(JGraphics g, int x, int y, int w, int h) {
  drawText(g, JString("every ") + JInteger::toJString(interval_.load(), 10) + " ms",
           JRect(x, y, w, h / 2));
  drawText(g, JInteger::toJString(count_.load(), 10), JRect(x, y + h / 2, w, h / 2));
}

namespace {

struct Registration {
  Registration() {
    Ticker prototype;
    prototype.Register();
  }
};

const Registration registration;

}  // namespace
