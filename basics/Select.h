#pragma once

#include "BasicBox.h"

// out = a while "select" is 0, else b; a value on any input sends out anew.
class Select : public BasicBox {
 public:
  Select();
  Select(const Select& other);
  [[nodiscard]] const char* className() const override { return "Select"; }
  [[nodiscard]] JObject* clone() const override { return new Select(*this); }
  [[nodiscard]] JString description() const override;
  [[nodiscard]] JString inputDescription(int n) const override;

  JString inputName(int n) override;
  void inputChanged(int n, JLinkObj& link) override;

 protected:
  [[nodiscard]] JString caption() const override;

 private:
  std::atomic<int> a_{0};
  std::atomic<int> b_{0};
  std::atomic<int> select_{0};
};

// Counts the non-zero values arriving on "in"; a non-zero value on "reset"
// sets the count back to 0. Every change sends the count; it stops at the
// largest int.
class Counter : public BasicBox {
 public:
  Counter();
  Counter(const Counter& other);
  [[nodiscard]] const char* className() const override { return "Counter"; }
  [[nodiscard]] JObject* clone() const override { return new Counter(*this); }
  [[nodiscard]] JString description() const override;
  [[nodiscard]] JString inputDescription(int n) const override;

  JString inputName(int n) override;
  JString outputName(int n) override;
  void inputChanged(int n, JLinkObj& link) override;

 protected:
  [[nodiscard]] JString caption() const override;

 private:
  std::atomic<int> count_{0};
};
