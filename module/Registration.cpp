// Loading the library registers the class; it exports nothing else.

#include "QenoServer.h"

namespace {

char* registeredName = nullptr;

struct Registration {
  Registration() {
    QenoServer prototype;
    registeredName = prototype.Register();
  }
};

const Registration registration;

}  // namespace
