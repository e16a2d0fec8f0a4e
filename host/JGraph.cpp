#include "JGraph.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "JBoxStatus.h"
#include "JComponent.h"
#include "JRegistry.h"
#include "ModuleGuard.h"
#include "SocketCensus.h"

namespace {

// A port in words: its name (its number when it has none), its box and class.
std::string portText(const JGraph& graph, JModuleObj& module, bool input, int n) {
  std::string name;
  ModuleGuard::call(&module, input ? "inputName" : "outputName",
                    [&] { name = (input ? module.inputName(n) : module.outputName(n)).str(); });
  if (name.empty()) name = (input ? "input " : "output ") + std::to_string(n);
  const int number = graph.numberOf(module);
  return name + " (" + module.className() +
         (number >= 0 ? " box " + std::to_string(number) : std::string()) + ")";
}

// What a port carries, for a sentence: "an integer", "text"...
std::string dataWords(int type) {
  switch (type) {
    case JIntegerData::id:
      return "an integer";
    case JRealData::id:
      return "a real number";
    case JStringData::id:
      return "text";
    default:
      return "data of type " + std::to_string(type);
  }
}

std::string noPort(const JGraph& graph, JModuleObj& module, bool input, int n, int count) {
  const int number = graph.numberOf(module);
  std::string text = std::string(module.className()) +
                     (number >= 0 ? " box " + std::to_string(number) : std::string()) + " has no " +
                     (input ? "input " : "output ") + std::to_string(n);
  if (count == 0) return text + ": it has none";
  return text + " (" + (input ? "inputs" : "outputs") + " 0 to " + std::to_string(count - 1) + ")";
}

// The module's destructor is its code too: guarded, and the box forgotten.
void destroy(std::unique_ptr<JModuleObj> module) {
  const JModuleObj* box = module.get();
  ModuleGuard::call(box, "destructor", [&] { module.reset(); });
  // Only the address, as a key: the box's label had to outlive its destructor.
  ModuleGuard::forgetBox(box);  // NOLINT(clang-analyzer-cplusplus.NewDelete)
}

}  // namespace

JGraph::JGraph() : eventFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

JGraph::~JGraph() {
  stopAll();
  {
    std::lock_guard<std::mutex> hold(linksLock_);
    links_.clear();
  }
  for (auto& module : modules_) {
    module->attachTo(nullptr);
    JBoxStatus::forget(*module);
    SocketCensus::forget(module.get());
  }
  numbers_.clear();
  while (!modules_.empty()) {
    std::unique_ptr<JModuleObj> last = std::move(modules_.back());
    modules_.pop_back();
    destroy(std::move(last));
  }
  if (eventFd_ >= 0) ::close(eventFd_);
}

JModuleObj& JGraph::add(std::unique_ptr<JModuleObj> module, int number) {
  if (!module) throw std::invalid_argument("cannot add an empty module");
  if (number < 0) number = nextNumber_;
  if (numbered(number) != nullptr) {
    throw std::invalid_argument("box " + std::to_string(number) + " is in the graph already");
  }
  nextNumber_ = std::max(nextNumber_, number + 1);
  const char* name = module->className();
  ModuleGuard::nameBox(module.get(), number, name, JRegistry::instance().libraryOf(name));
  module->attachTo(this);
  const auto at = std::lower_bound(numbers_.begin(), numbers_.end(), number) - numbers_.begin();
  numbers_.insert(numbers_.begin() + at, number);
  auto added = modules_.insert(modules_.begin() + at, std::move(module));
  updatePlaces();
  noteChange();
  return **added;
}

JLinkObj& JGraph::link(JModuleObj& from, int output, JModuleObj& to, int input) {
  if (output < 0 || output >= from.getOutputCount()) {
    throw std::invalid_argument(noPort(*this, from, false, output, from.getOutputCount()));
  }
  if (input < 0 || input >= to.getInputCount()) {
    throw std::invalid_argument(noPort(*this, to, true, input, to.getInputCount()));
  }
  // The boxes' answers; a box whose code throws is told, and takes no link.
  auto ask = [&](JModuleObj& box, bool isInput, int port, const char* operation, auto query) {
    if (ModuleGuard::call(&box, operation, query)) return;
    throw std::invalid_argument(portText(*this, box, isInput, port) +
                                " cannot be linked: its box failed in " + operation);
  };
  // Each refusal names both ends, and why, in words.
  const auto ends = [&] {
    return portText(*this, from, false, output) + " to " + portText(*this, to, true, input);
  };
  int carries = 0;
  int takes = 0;
  bool outputFree = false;
  bool inputFree = false;
  ask(from, false, output, "outputType", [&] { carries = from.outputType(output); });
  ask(to, true, input, "inputType", [&] { takes = to.inputType(input); });
  if (carries != takes) {
    throw std::invalid_argument(portText(*this, from, false, output) + " carries " +
                                dataWords(carries) + "; " + portText(*this, to, true, input) +
                                " takes " + dataWords(takes));
  }
  ask(from, false, output, "outputAllowed", [&] { outputFree = from.outputAllowed(output); });
  if (!outputFree) {
    throw std::invalid_argument("cannot link " + ends() + ": the output takes no further link");
  }
  ask(to, true, input, "inputAllowed", [&] { inputFree = to.inputAllowed(input); });
  if (!inputFree) {
    std::string feeder;
    for (const auto& l : links()) {
      if (l->getTarget() == &to && l->getInput() == input) {
        feeder = ", " + portText(*this, *l->getSource(), false, l->getOutput()) + " feeds it";
        break;
      }
    }
    throw std::invalid_argument("cannot link " + ends() + ": the input takes no further link" +
                                feeder);
  }
  auto created = std::make_shared<JLinkObj>(&from, output, &to, input);
  to.inputSet(input).add(created.get());
  noteChange();
  ModuleGuard::Record* target = ModuleGuard::recordOf(&to);
  std::lock_guard<std::mutex> hold(linksLock_);
  links_.push_back(Wire{created, target});
  return *created;
}

void JGraph::unlink(JLinkObj& link) {
  std::unique_lock<std::mutex> hold(linksLock_);
  auto it = std::find_if(links_.begin(), links_.end(),
                         [&](const Wire& w) { return w.link.get() == &link; });
  if (it == links_.end()) return;
  std::shared_ptr<JLinkObj> removed = it->link;
  links_.erase(it);
  removed->getTarget()->inputSet(removed->getInput()).remove(removed.get());
  noteChange();
  // A value on its way through this link may still be delivered; wait for it.
  idle_.wait(hold, [this] { return inFlight_ == 0; });
}

void JGraph::unlinkAllOf(const JModuleObj& module) {
  std::unique_lock<std::mutex> hold(linksLock_);
  auto touches = [&](const Wire& w) {
    return w.link->getSource() == &module || w.link->getTarget() == &module;
  };
  for (auto& w : links_) {
    if (touches(w)) w.link->getTarget()->inputSet(w.link->getInput()).remove(w.link.get());
  }
  links_.erase(std::remove_if(links_.begin(), links_.end(), touches), links_.end());
  idle_.wait(hold, [this] { return inFlight_ == 0; });
}

void JGraph::remove(JModuleObj& module) {
  auto it = std::find_if(modules_.begin(), modules_.end(),
                         [&](const std::unique_ptr<JModuleObj>& m) { return m.get() == &module; });
  if (it == modules_.end()) return;
  // Links first: once no value is on its way in, none can start the module
  // again after its stop (a server fed a 1 would listen until destroyed).
  unlinkAllOf(module);
  ModuleGuard::call(&module, "stop", [&] { module.stop(); });
  // Detached before its queued repaints go, so none is queued after them.
  module.attachTo(nullptr);
  JBoxStatus::forget(module);
  SocketCensus::forget(&module);
  {
    std::lock_guard<std::mutex> hold(eventsLock_);
    repaints_.erase(&module);
  }
  std::unique_ptr<JModuleObj> removed = std::move(*it);
  numbers_.erase(numbers_.begin() + (it - modules_.begin()));
  modules_.erase(it);
  updatePlaces();
  destroy(std::move(removed));
  noteChange();
}

void JGraph::stopAll() {
  for (auto& module : modules_) {
    ModuleGuard::call(module.get(), "stop", [&] { module->stop(); });
  }
}

std::vector<std::shared_ptr<JLinkObj>> JGraph::links() const {
  std::vector<std::shared_ptr<JLinkObj>> all;
  std::lock_guard<std::mutex> hold(linksLock_);
  all.reserve(links_.size());
  for (const Wire& w : links_) all.push_back(w.link);
  return all;
}

void JGraph::recordCrashes() {
  recordsCrashes_ = true;
  updatePlaces();
}

void JGraph::updatePlaces() {
  if (!recordsCrashes_) return;
  for (std::size_t i = 0; i < modules_.size(); ++i) {
    ModuleGuard::setPlace(ModuleGuard::recordOf(modules_[i].get()), static_cast<int>(i));
  }
}

int JGraph::indexOf(const JModuleObj& module) const {
  for (std::size_t i = 0; i < modules_.size(); ++i) {
    if (modules_[i].get() == &module) return static_cast<int>(i);
  }
  return -1;
}

int JGraph::numberOf(const JModuleObj& module) const {
  const int index = indexOf(module);
  return index < 0 ? -1 : numbers_[static_cast<std::size_t>(index)];
}

JModuleObj* JGraph::numbered(int number) const {
  const auto at = std::lower_bound(numbers_.begin(), numbers_.end(), number);
  if (at == numbers_.end() || *at != number) return nullptr;
  return modules_[static_cast<std::size_t>(at - numbers_.begin())].get();
}

void JGraph::propagate(JModuleObj& source, int output) {
  std::vector<Wire> targets;
  {
    std::lock_guard<std::mutex> hold(linksLock_);
    if (outputObserver_) outputObserver_(source, output);
    for (const Wire& w : links_) {
      if (w.link->getSource() == &source && w.link->getOutput() == output) targets.push_back(w);
    }
    if (targets.empty()) return;
    ++inFlight_;
  }
  // Ends the delivery whatever happens, so unlink never waits for ever.
  struct Done {
    JGraph& graph;
    ~Done() {
      {
        std::lock_guard<std::mutex> hold(graph.linksLock_);
        --graph.inFlight_;
      }
      graph.idle_.notify_all();
    }
  } done{*this};
  // One failing box must not keep the value from the others, nor end the
  // thread that published it.
  for (const Wire& w : targets) {
    JModuleObj* target = w.link->getTarget();
    JLinkObj& link = *w.link;
    ModuleGuard::call(w.target, target, "inputChanged",
                      [&] { target->inputChanged(link.getInput(), link); });
  }
}

void JGraph::requestRepaint(JModuleObj& module) {
  {
    std::lock_guard<std::mutex> hold(eventsLock_);
    if (!repaints_.insert(&module).second) return;
  }
  signal();
}

void JGraph::post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> hold(eventsLock_);
    tasks_.push_back(std::move(task));
  }
  signal();
}

void JGraph::signal() {
  uint64_t one = 1;
  while (::write(eventFd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

int JGraph::processEvents() {
  uint64_t counter = 0;
  while (::read(eventFd_, &counter, sizeof counter) < 0 && errno == EINTR) {
  }
  std::vector<std::function<void()>> tasks;
  std::set<JModuleObj*> repaints;
  std::function<void(JModuleObj&)> handler;
  {
    std::lock_guard<std::mutex> hold(eventsLock_);
    tasks.swap(tasks_);
    repaints.swap(repaints_);
    handler = repaintHandler_;
  }
  // One failing task or repaint must neither end the host thread nor drop
  // the others.
  auto guarded = [](const std::function<void()>& work) {
    try {
      work();
    } catch (...) {
      JComponent::debugCurrentException("host event failed");
    }
  };
  for (auto& task : tasks) guarded(task);
  if (handler) {
    for (JModuleObj* module : repaints) guarded([&] { handler(*module); });
  }
  return static_cast<int>(tasks.size() + repaints.size());
}

bool JGraph::waitForEvents(int timeoutMs) {
  pollfd entry{eventFd_, POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

void JGraph::setOutputObserver(std::function<void(const JModuleObj&, int)> observer) {
  std::lock_guard<std::mutex> hold(linksLock_);
  outputObserver_ = std::move(observer);
}

void JGraph::setRepaintHandler(std::function<void(JModuleObj&)> handler) {
  std::lock_guard<std::mutex> hold(eventsLock_);
  repaintHandler_ = std::move(handler);
}
