#include "JBoxStatus.h"

#include <map>
#include <mutex>

#include "JModuleObj.h"

namespace {

struct Lines {
  std::mutex lock;  // guards byBox, observer
  std::map<const JModuleObj*, JBoxStatus::Line> byBox;
  std::function<void(const JModuleObj&)> observer;
};

Lines& lines() {
  static Lines table;
  return table;
}

}  // namespace

void JBoxStatus::set(const JModuleObj& box, const JString& text, JStatusColour colour) {
  Lines& all = lines();
  std::function<void(const JModuleObj&)> observer;
  {
    std::lock_guard<std::mutex> hold(all.lock);
    if (text.str().empty()) {
      if (all.byBox.erase(&box) == 0) return;
    } else {
      // A box outside a graph (a prototype, a clone on its way in) keeps nothing.
      if (box.graph() == nullptr) return;
      Line& line = all.byBox[&box];
      if (line.text == text.str() && line.colour == colour) return;
      line = Line{text.str(), colour};
    }
    observer = all.observer;
  }
  if (observer) observer(box);
}

void JBoxStatus::clear(const JModuleObj& box) {
  set(box, JString(), JStatusColour::kNone);
}

std::optional<JBoxStatus::Line> JBoxStatus::of(const JModuleObj& box) {
  Lines& all = lines();
  std::lock_guard<std::mutex> hold(all.lock);
  auto found = all.byBox.find(&box);
  if (found == all.byBox.end()) return std::nullopt;
  return found->second;
}

void JBoxStatus::forget(const JModuleObj& box) {
  Lines& all = lines();
  std::lock_guard<std::mutex> hold(all.lock);
  all.byBox.erase(&box);
}

void JBoxStatus::setObserver(std::function<void(const JModuleObj& box)> observer) {
  Lines& all = lines();
  std::lock_guard<std::mutex> hold(all.lock);
  all.observer = std::move(observer);
}

const char* JBoxStatus::colourName(JStatusColour colour) {
  switch (colour) {
    case JStatusColour::kGrey:
      return "grey";
    case JStatusColour::kGreen:
      return "green";
    case JStatusColour::kYellow:
      return "yellow";
    case JStatusColour::kRed:
      return "red";
    case JStatusColour::kBlue:
      return "blue";
    case JStatusColour::kNone:
      break;
  }
  return "none";
}
