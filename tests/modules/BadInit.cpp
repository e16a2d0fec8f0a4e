// A library whose static initialisation throws before it registers.

#include <stdexcept>

#include "JObject.h"

namespace {

struct Boom {
  Boom() { throw std::runtime_error("no configuration for this box"); }
};

const Boom boom;

}  // namespace
