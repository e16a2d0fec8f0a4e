#include "Select.h"

Select::Select() : BasicBox(3) {}

Select::Select(const Select& other)
    : BasicBox(other), a_(other.a_.load()), b_(other.b_.load()), select_(other.select_.load()) {}

JString Select::inputName(int n) {
  switch (n) {
    case 0:
      return "a";
    case 1:
      return "b";
    default:
      return "select";
  }
}

JString Select::description() const {
  return "out = a while select is 0, else b; a value on any input sends out anew.";
}

JString Select::inputDescription(int n) const {
  switch (n) {
    case 0:
      return "Sent on while select is 0.";
    case 1:
      return "Sent on while select is not 0.";
    default:
      return "0 picks a, any other value b.";
  }
}

void Select::inputChanged(int n, JLinkObj& link) {
  const int value = readInteger(link);
  switch (n) {
    case 0:
      a_ = value;
      break;
    case 1:
      b_ = value;
      break;
    case 2:
      select_ = value;
      break;
    default:
      return;
  }
  publish(select_.load() != 0 ? b_.load() : a_.load());
}

JString Select::caption() const {
  return select_.load() != 0 ? "select b" : "select a";
}

Counter::Counter() : BasicBox(2) {}

Counter::Counter(const Counter& other) : BasicBox(other), count_(other.count_.load()) {}

JString Counter::inputName(int n) {
  return n == 0 ? "in" : "reset";
}

JString Counter::outputName(int /*n*/) {
  return "count";
}

JString Counter::description() const {
  return "Counts the non-zero values that arrive on in, up to the largest int; every change "
         "sends the count.";
}

JString Counter::inputDescription(int n) const {
  return n == 0 ? "Each non-zero value adds one to the count."
                : "A non-zero value sets the count back to 0.";
}

void Counter::inputChanged(int n, JLinkObj& link) {
  if (n < 0 || n > 1 || readInteger(link) == 0) return;
  if (n == 1) {
    count_ = 0;
    publish(0);
    return;
  }
  // Two servers may count into one box at once: no value is lost.
  int count = count_.load();
  while (count < INT_MAX && !count_.compare_exchange_weak(count, count + 1)) {
  }
  publish(count < INT_MAX ? count + 1 : INT_MAX);
}

JString Counter::caption() const {
  return "count";
}
