// A box that fails on purpose, for the host's guards: its settings say in
// which operation ("readContent", "inputChanged", "getOutput", "paint") and
// how ("std", a std::runtime_error; "host", a JException*; "int"; "crash", a
// null write; "spin", three seconds of work before it returns). It hands the
// value it takes on to its one output.

#include <atomic>
#include <chrono>
#include <stdexcept>

#include "JData.h"
#include "JException.h"
#include "JModuleObj.h"
#include "JPersist.h"

namespace {

class Faulty : public JAddObj {
 public:
  Faulty() {
    inputCount = 1;
    outputCount = 1;
  }
  Faulty(const Faulty& other)
      : JAddObj(other), fault_(other.fault_), how_(other.how_), value_(other.value_.load()) {}
  Faulty& operator=(const Faulty&) = delete;
  [[nodiscard]] const char* className() const override { return "Faulty"; }
  [[nodiscard]] JObject* clone() const override { return new Faulty(*this); }

  void writeContent(JOutputStream& stream) override {
    JAddObj::writeContent(stream);
    putObject(stream, "fault", fault_);
    putObject(stream, "how", how_);
  }
  void readContent(JDictionary& dictionary) override {
    JAddObj::readContent(dictionary);
    if (auto* text = dynamic_cast<JString*>(getObject(dictionary, "fault"))) fault_ = *text;
    if (auto* text = dynamic_cast<JString*>(getObject(dictionary, "how"))) how_ = *text;
    failIn("readContent");
  }
  void inputChanged(int /*n*/, JLinkObj& link) override {
    int value = 0;
    link.access(JIntegerData(value));
    // 0 is the value every box gets at start; only others fail.
    if (value != 0) failIn("inputChanged");
    value_ = value;
    broadcast(0);
  }
  void getOutput(int /*n*/, JLinkObj& /*link*/, JDataType& data) override {
    failIn("getOutput");
    static_cast<int&>(static_cast<JIntegerData&>(data)) = value_;
  }
  void paint(JGraphics g, double dx, double dy, JRegion& region, double scale) override {
    JAddObj::paint(g, dx, dy, region, scale);
    failIn("paint");
  }

 private:
  // A real fault, not one the undefined-behaviour checker of a sanitizer
  // build would stop first.
  __attribute__((no_sanitize("undefined"))) void failIn(const char* operation) {
    if (!(fault_ == operation)) return;
    if (how_ == "spin") {
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
      while (std::chrono::steady_clock::now() < until) {
      }
      return;
    }
    if (how_ == "host") throw new JException(JString("faulty ") + operation);
    if (how_ == "int") throw 7;
    if (how_ == "crash") {
      volatile int* nowhere = nullptr;
      *nowhere = 1;
    }
    throw std::runtime_error(std::string("faulty ") + operation);
  }

  JString fault_;
  JString how_;
  std::atomic<int> value_{0};
};

struct Registration {
  Registration() {
    Faulty prototype;
    prototype.Register();
  }
};

const Registration registration;

}  // namespace
