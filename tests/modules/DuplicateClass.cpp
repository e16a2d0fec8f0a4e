// A library that registers a class under a name another library has.

#include "JModuleObj.h"

namespace {

class Impostor : public JAddObj {
 public:
  [[nodiscard]] const char* className() const override { return "QenoServer"; }
  [[nodiscard]] JObject* clone() const override { return new Impostor(*this); }
};

struct Registration {
  Registration() {
    Impostor prototype;
    prototype.Register();
  }
};

const Registration registration;

}  // namespace
