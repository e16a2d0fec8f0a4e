#include "JBoxHelp.h"

// The key function: the class's type information lives in this library, so
// a module's box and the host agree on it across libraries.
JBoxHelp::~JBoxHelp() = default;

JString JBoxHelp::description() const {
  return {};
}

JString JBoxHelp::inputDescription(int /*n*/) const {
  return {};
}

JString JBoxHelp::outputDescription(int /*n*/) const {
  return {};
}

JString JBoxHelp::propertyDescription(const JString& /*name*/) const {
  return {};
}
