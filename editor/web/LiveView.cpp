#include "LiveView.h"

#include <httplib.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "GraphEditor.h"
#include "HostCalls.h"
#include "JBoxStatus.h"
#include "JComponent.h"
#include "PortQueries.h"
#include "RouteTable.h"
#include "ServerBox.h"
#include "SocketCensus.h"

using webrequest::Outcome;
using webrequest::refuse;

namespace {

// Change events a slow stream may still catch up on; further behind, it
// gets the whole state again.
constexpr std::size_t kChangesKept = 64;
constexpr int kMaxPublishesPerSecond = 30;

}  // namespace

LiveView::LiveView(JGraph& graph, const GraphEditor& editor, GraphSnapshot::Hooks hooks,
                   bool canSave)
    : graph_(graph), snapshot_(graph, std::move(hooks), canSave, &editor) {}

LiveView::~LiveView() {
  if (publisher_.joinable()) stop();
}

void LiveView::start() {
  publish();  // the first state, before any page asks
  // A served request shows as the values its box hands on, and a server's
  // text as a chunk received, whether or not anything is linked to it.
  graph_.setOutputObserver([this](const JModuleObj& box, int output) { touchedBy(box, output); });
  JBoxStatus::setObserver([this](const JModuleObj& box) { markStatus(box); });
  publisher_ = std::thread([this] { runPublisher(); });
}

void LiveView::stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  graph_.setOutputObserver(nullptr);
  JBoxStatus::setObserver(nullptr);
  changedSignal_.notify_all();
  publishedSignal_.notify_all();
  if (publisher_.joinable()) publisher_.join();
}

void LiveView::markDirty() {
  // Called for every value a box publishes: only the first since the last
  // snapshot wakes the publisher.
  if (dirty_.exchange(true)) return;
  { std::lock_guard<std::mutex> hold(lock_); }
  changedSignal_.notify_all();
}

void LiveView::markEdited() {
  snapshot_.markEdited();
  markDirty();
}

void LiveView::markBoxEdited(int number) {
  snapshot_.markBoxEdited(number);
  markDirty();
}

void LiveView::markRepainted(const JModuleObj& box) {
  snapshot_.markRepainted(box);
  markDirty();
}

void LiveView::markStatus(const JModuleObj& box) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    touched_.insert(&box);
  }
  markDirty();
}

void LiveView::addLogLine(const JModuleObj* box, const std::string& text,
                          PageLog::Clock::time_point when) {
  log_.add(box, text, when);
  markDirty();
}

std::string LiveView::takeState() {
  publish();
  {
    // Nothing changed since the last whole was taken: it stands.
    std::lock_guard<std::mutex> hold(lock_);
    if (stateSequence_ == sequence_ && !state_.empty()) return state_;
  }
  std::string whole = snapshot_.whole();
  std::lock_guard<std::mutex> hold(lock_);
  state_ = whole;
  stateSequence_ = sequence_;
  return whole;
}

void LiveView::touchedBy(const JModuleObj& box, int output) {
  const bool text = ServerBox::isReceivedText(box, output);
  if (text) {
    // Every text a server receives is a line of the log, sink or no sink.
    JString received;
    PortQueries::readOutput(const_cast<JModuleObj&>(box), output, JStringData(received));
    log_.add(&box, "port " + std::to_string(SocketCensus::portOf(&box)) + " received " +
                       GraphSnapshot::shownText(received.str()));
  }
  // A request hands on several values: each worker tells a box once a snapshot.
  thread_local const LiveView* lastView = nullptr;
  thread_local const JModuleObj* lastBox = nullptr;
  thread_local std::uint64_t lastRound = 0;
  const std::uint64_t round = rounds_.load();
  if (!text && lastView == this && lastBox == &box && lastRound == round) return;
  lastView = this;
  lastBox = &box;
  lastRound = round;
  {
    std::lock_guard<std::mutex> hold(lock_);
    touched_.insert(&box);
    if (text) ++chunks_[&box];
  }
  markDirty();
}

void LiveView::publish() {
  std::map<const JModuleObj*, long> chunks;
  std::set<const JModuleObj*> told;
  std::map<const JModuleObj*, int> numbers;
  for (const auto& box : graph_.modules()) numbers.emplace(box.get(), graph_.numberOf(*box));
  {
    // A box that left the graph leaves its count, lest a new box at its
    // address take it over.
    std::lock_guard<std::mutex> hold(lock_);
    std::erase_if(chunks_, [&](const auto& item) { return numbers.count(item.first) == 0; });
    chunks = chunks_;
    told.swap(touched_);
    ++rounds_;
  }
  log_.release([&](const JModuleObj* box) {
    auto found = numbers.find(box);
    return found == numbers.end() ? -1 : found->second;
  });
  std::string change;
  try {
    change = snapshot_.update(chunks, told);
  } catch (...) {
    // Never the end of the page: the next take looks again.
    JComponent::debugCurrentException("the page's snapshot failed");
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!change.empty() || sequence_ == 0) {
      images_ = snapshot_.images();
      ++sequence_;
      changes_.emplace_back(sequence_, std::move(change));
      if (changes_.size() > kChangesKept) changes_.pop_front();
    }
    buildQueued_ = false;
    nextSweep_ = snapshot_.nextSweep();
    // Pictures left unpainted for want of time are painted next.
    if (snapshot_.behind()) dirty_ = true;
  }
  publishedSignal_.notify_all();
  changedSignal_.notify_all();
}

void LiveView::runPublisher() {
  const auto gap = std::chrono::milliseconds(1000 / kMaxPublishesPerSecond);
  std::unique_lock<std::mutex> hold(lock_);
  while (!stopping_) {
    // What no box tells (a connection opened or closed without a text, a
    // listen again after a reply) shows by the sweep, which runs even when
    // nothing else asks for a snapshot.
    const auto due = nextSweep_;
    changedSignal_.wait_until(hold, due, [&] { return stopping_ || (dirty_ && !buildQueued_); });
    if (stopping_) break;
    dirty_ = false;
    buildQueued_ = true;
    hold.unlock();
    graph_.post([self = shared_from_this()] {
      if (!self->stopping_) {
        self->publish();
      } else {
        std::lock_guard<std::mutex> hold(self->lock_);
        self->buildQueued_ = false;
      }
    });
    hold.lock();
    // The gap counts from the end of the build, so streams never get more.
    changedSignal_.wait(hold, [&] { return stopping_ || !buildQueued_; });
    changedSignal_.wait_for(hold, gap, [&] { return stopping_.load(); });
  }
}

void LiveView::addRoutes(RouteTable& routes, const HostCalls& calls) {
  routes.get("/api/graph", [this, &calls](const httplib::Request&, httplib::Response& res) {
    // Taken now, so that it shows every change made before the request.
    const Outcome outcome = calls.run([this] { return Outcome{200, takeState()}; });
    res.status = outcome.status;
    res.set_content(outcome.body, "application/json");
  });
  routes.get(R"(/api/box/(\d{1,6})\.png)",
             [this](const httplib::Request& req, httplib::Response& res) {
               const int number = std::stoi(req.matches[1].str());
               std::shared_ptr<const std::string> png;
               {
                 std::lock_guard<std::mutex> hold(lock_);
                 auto found = images_.find(number);
                 if (found != images_.end()) png = found->second.png;
               }
               if (!png) return refuse(res, 404, "no box " + req.matches[1].str());
               res.set_content(*png, "image/png");
             });
  addEventRoute(routes, calls);
}
