#include "BasicBox.h"

#include <qeno/JComponent.h>
#include <qeno/JPersist.h>
#include <qeno/JPropertyRefusal.h>

#include <algorithm>

namespace {

// The boxes this thread is handing a value on from, innermost last.
thread_local std::vector<const BasicBox*> sending;

struct Sending {
  explicit Sending(const BasicBox* box) { sending.push_back(box); }
  ~Sending() { sending.pop_back(); }
  Sending(const Sending&) = delete;
  Sending& operator=(const Sending&) = delete;
};

}  // namespace

BasicBox::BasicBox(int inputs) {
  inputCount = inputs;
  outputCount = 1;
  width = 80;
  height = 40;
}

BasicBox::BasicBox(const BasicBox& other)
    : JAddObj(other), JBoxHelp(other), result_(other.result_.load()) {}

JString BasicBox::outputName(int /*n*/) {
  return "out";
}

void BasicBox::getOutput(int /*n*/, JLinkObj& /*link*/, JDataType& data) {
  static_cast<int&>(static_cast<JIntegerData&>(data)) = result_.load();
}

void BasicBox::drawInterior(JGraphics g, int x, int y, int w, int h) {
  drawText(g, caption(), JRect(x, y, w, h / 2));
  drawText(g, JString("= ") + JInteger::toJString(result_.load(), 10),
           JRect(x, y + h / 2, w, h - h / 2));
}

JString BasicBox::outputDescription(int /*n*/) const {
  return "The last result, sent on whenever it changes or is computed anew.";
}

void BasicBox::publish(int value) {
  result_ = value;
  repaint();
  // A loop of links that leads back here would hand values round for ever:
  // the value is kept, and the loop ends at the box it started from.
  if (std::find(sending.begin(), sending.end(), this) != sending.end()) return;
  const Sending hold(this);
  broadcast(0);
}

int BasicBox::readInteger(JLinkObj& link) {
  int value = 0;
  link.access(JIntegerData(value));
  return value;
}

OperatorBox::OperatorBox(std::vector<const char*> names) : BasicBox(2), names_(std::move(names)) {}

OperatorBox::OperatorBox(const OperatorBox& other)
    : BasicBox(other),
      names_(other.names_),
      operation_(other.operation_.load()),
      operand_(other.operand_.load()) {}

JString OperatorBox::inputName(int n) {
  return n == 0 ? "a" : "b";
}

void OperatorBox::inputChanged(int n, JLinkObj& link) {
  const int value = readInteger(link);
  if (n == 0) {
    publish(compute(operation_.load(), value, operand_.load()));
  } else if (n == 1) {
    operand_ = value;
    repaint();
  }
}

JString OperatorBox::inputDescription(int n) const {
  return n == 0 ? "Each value is combined with the operand, and the result sent on out."
                : "Replaces the operand and sends nothing, so a result may come back here.";
}

JString OperatorBox::propertyDescription(const JString& name) const {
  if (name == "operand") return "The second number of the operation; a value on b replaces it.";
  if (!(name == "operation")) return {};
  JString text = "What the box computes: ";
  for (std::size_t i = 0; i < names_.size(); ++i) {
    text = text + (i == 0 ? "" : i + 1 == names_.size() ? " or " : ", ") + names_[i];
  }
  return text + ".";
}

JString OperatorBox::operationName() const {
  return names_.at(static_cast<std::size_t>(operation_.load()));
}

JString OperatorBox::caption() const {
  return operationName() + " " + JInteger::toJString(operand_.load(), 10);
}

int OperatorBox::find(const JString& name) const {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (name == names_[i]) return static_cast<int>(i);
  }
  return -1;
}

JArray OperatorBox::getProperties() {
  JArray list = JAddObj::getProperties();
  list.append(JStringProperty("operation", operationName()));
  list.append(JIntegerProperty("operand", operand_.load(), INT_MIN, INT_MAX));
  return list;
}

unsigned char OperatorBox::updateProperty(JProperty& property) {
  if (JAddObj::updateProperty(property) != 0) return 1;
  const JString name = property.getName();
  if (auto* text = dynamic_cast<JStringProperty*>(&property); text && name == "operation") {
    const int number = find(text->value);
    if (number < 0) {
      // Not one of this box's operations: refused, naming those it has.
      JString known;
      for (const char* operation : names_) {
        known = known + (known.str().empty() ? "" : ", ") + operation;
      }
      JPropertyRefusal::refuse(*this, JString("operation must be one of ") + known);
      return 0;
    }
    operation_ = number;
  } else if (auto* integer = dynamic_cast<JIntegerProperty*>(&property);
             integer && name == "operand") {
    operand_ = integer->value;
  } else {
    return 0;
  }
  repaint();
  return 1;
}

void OperatorBox::writeContent(JOutputStream& stream) {
  JAddObj::writeContent(stream);
  JString name = operationName();
  putObject(stream, "operation", name);
  putInteger(stream, "operand", operand_.load());
}

void OperatorBox::readContent(JDictionary& dictionary) {
  JAddObj::readContent(dictionary);
  if (auto* text = dynamic_cast<JString*>(getObject(dictionary, "operation"))) {
    if (const int number = find(*text); number >= 0) {
      operation_ = number;
    } else {
      JComponent::debug(JString(className()) + ": unknown operation \"" + *text + "\", kept " +
                        operationName());
    }
  }
  operand_ = getInteger(dictionary, "operand", 0);
}
