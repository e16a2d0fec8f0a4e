#include "LiveView.h"

#include <httplib.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "GraphEditor.h"
#include "HostCalls.h"
#include "RouteTable.h"
#include "ServerBox.h"

using webrequest::Outcome;
using webrequest::refuse;

namespace {

// Change events a slow stream may still catch up on; further behind, it
// gets the whole state again.
constexpr std::size_t kChangesKept = 64;
// As many log lines as the page keeps: a new page shows them all.
constexpr std::size_t kLogKept = 200;
constexpr int kMaxPublishesPerSecond = 30;

}  // namespace

LiveView::LiveView(JGraph& graph, const GraphEditor& editor, GraphSnapshot::StateOf stateOf,
                   bool canSave)
    : graph_(graph), snapshot_(graph, std::move(stateOf), canSave, &editor) {}

LiveView::~LiveView() {
  if (publisher_.joinable()) stop();
}

void LiveView::start() {
  publish();  // the first state, before any page asks
  // A served request shows as the values its box hands on, and a server's
  // text counts as one received, whether or not anything is linked to it.
  graph_.setOutputObserver([this](const JModuleObj& box, int output) { touchedBy(box, output); });
  publisher_ = std::thread([this] { runPublisher(); });
}

void LiveView::stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  graph_.setOutputObserver(nullptr);
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

void LiveView::addLogLine(std::string line) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    logLines_.push_back(std::move(line));
    if (logLines_.size() > kLogKept) logLines_.pop_front();
    ++logCount_;
  }
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
    if (text) ++requests_[&box];
  }
  markDirty();
}

std::string LiveView::logSince(std::uint64_t& next) const {
  const std::uint64_t first = logCount_ - logLines_.size();
  if (next >= logCount_) return {};
  next = std::max(next, first);
  nlohmann::json lines = nlohmann::json::array();
  for (auto line = logLines_.begin() + static_cast<std::ptrdiff_t>(next - first);
       line != logLines_.end(); ++line) {
    lines.push_back(*line);
  }
  const nlohmann::json data = {{"first", next}, {"lines", std::move(lines)}};
  next = logCount_;
  return data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void LiveView::publish() {
  std::map<const JModuleObj*, long> served;
  std::set<const JModuleObj*> told;
  {
    // A box that left the graph leaves its count, lest a new box at its
    // address take it over.
    std::set<const JModuleObj*> present;
    for (const auto& box : graph_.modules()) present.insert(box.get());
    std::lock_guard<std::mutex> hold(lock_);
    std::erase_if(requests_, [&](const auto& item) { return present.count(item.first) == 0; });
    served = requests_;
    told.swap(touched_);
    ++rounds_;
  }
  std::string change = snapshot_.update(served, told);
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!change.empty() || sequence_ == 0) {
      images_ = snapshot_.images();
      ++sequence_;
      changes_.emplace_back(sequence_, std::move(change));
      if (changes_.size() > kChangesKept) changes_.pop_front();
    }
    buildQueued_ = false;
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
    changedSignal_.wait(hold, [&] { return stopping_ || (dirty_ && !buildQueued_); });
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
