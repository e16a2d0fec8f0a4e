#include "Arithmetic.h"

#include <qeno/JComponent.h>

#include <algorithm>
#include <cstdint>

namespace {

enum ArithmeticOperation { kAdd, kSubtract, kMultiply, kDivide, kRemainder, kMin, kMax };
enum CompareOperation { kEqual, kLess, kGreater };

int saturate(std::int64_t value) {
  return static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
}

}  // namespace

Arithmetic::Arithmetic()
    : OperatorBox({"add", "subtract", "multiply", "divide", "remainder", "min", "max"}) {}

JString Arithmetic::description() const {
  return "out = a OP operand, OP being the operation; a result outside int stops at its "
         "limit, and a division by 0 gives 0.";
}

int Arithmetic::compute(int operation, int a, int b) const {
  // Every result of two ints fits in 64 bits, INT_MIN / -1 included.
  const std::int64_t wideA = a;
  const std::int64_t wideB = b;
  switch (operation) {
    case kAdd:
      return saturate(wideA + wideB);
    case kSubtract:
      return saturate(wideA - wideB);
    case kMultiply:
      return saturate(wideA * wideB);
    case kDivide:
    case kRemainder:
      if (b == 0) {
        JComponent::debug(JString("Arithmetic: ") + JInteger::toJString(a, 10) + " " +
                          operationName() + " 0: division by zero gives 0");
        return 0;
      }
      return saturate(operation == kDivide ? wideA / wideB : wideA % wideB);
    case kMin:
      return std::min(a, b);
    case kMax:
      return std::max(a, b);
    default:
      return 0;
  }
}

Compare::Compare() : OperatorBox({"equal", "less", "greater"}) {}

JString Compare::description() const {
  return "out = 1 when a OP operand holds, else 0, OP being the operation.";
}

int Compare::compute(int operation, int a, int b) const {
  switch (operation) {
    case kEqual:
      return a == b ? 1 : 0;
    case kLess:
      return a < b ? 1 : 0;
    case kGreater:
      return a > b ? 1 : 0;
    default:
      return 0;
  }
}
