#pragma once

#include "BasicBox.h"

// out = a OP b, for the operations add, subtract, multiply, divide,
// remainder, min and max. A result outside int saturates at its nearest
// limit; dividing by zero gives 0 and one debug line.
class Arithmetic : public OperatorBox {
 public:
  Arithmetic();
  [[nodiscard]] const char* className() const override { return "Arithmetic"; }
  [[nodiscard]] JObject* clone() const override { return new Arithmetic(*this); }
  [[nodiscard]] JString description() const override;

 protected:
  [[nodiscard]] int compute(int operation, int a, int b) const override;
};

// out = 1 when a OP b holds, else 0, for the operations equal, less and
// greater.
class Compare : public OperatorBox {
 public:
  Compare();
  [[nodiscard]] const char* className() const override { return "Compare"; }
  [[nodiscard]] JObject* clone() const override { return new Compare(*this); }
  [[nodiscard]] JString description() const override;

 protected:
  [[nodiscard]] int compute(int operation, int a, int b) const override;
};
