// A box built against the 0.1 headers (sdk-0.1/, frozen as 0.1 shipped
// them), for the promise that a module of any 0.x loads and runs in every
// later 0.x: it doubles what it takes, keeps a setting, paints and writes to
// the debug channel, as a module of that time would.

#include <atomic>

#include "JComponent.h"
#include "JData.h"
#include "JModuleObj.h"
#include "JPersist.h"

namespace {

class OldDoubler : public JAddObj {
 public:
  OldDoubler() {
    inputCount = 1;
    outputCount = 1;
  }
  OldDoubler(const OldDoubler& other) : JAddObj(other), factor_(other.factor_.load()) {}
  OldDoubler& operator=(const OldDoubler&) = delete;
  [[nodiscard]] const char* className() const override { return "OldDoubler"; }
  [[nodiscard]] JObject* clone() const override { return new OldDoubler(*this); }

  void inputChanged(int /*n*/, JLinkObj& link) override {
    int value = 0;
    link.access(JIntegerData(value));
    value_ = value * factor_;
    JComponent::debug("OldDoubler: took a value");
    repaint();
    broadcast(0);
  }
  void getOutput(int /*n*/, JLinkObj& /*link*/, JDataType& data) override {
    static_cast<int&>(static_cast<JIntegerData&>(data)) = value_.load();
  }
  JArray getProperties() override {
    JArray list = JAddObj::getProperties();
    list.append(JIntegerProperty("factor", factor_.load(), -100, 100));
    return list;
  }
  unsigned char updateProperty(JProperty& property) override {
    if (JAddObj::updateProperty(property) != 0) return 1;
    auto* integer = dynamic_cast<JIntegerProperty*>(&property);
    if (integer == nullptr || !(property.getName() == "factor")) return 0;
    factor_ = integer->value;
    return 1;
  }
  void drawInterior(JGraphics g, int x, int y, int w, int h) override {
    drawText(g, JInteger::toJString(value_.load(), 10), JRect(x, y, w, h));
  }

 protected:
  void writeContent(JOutputStream& stream) override {
    JAddObj::writeContent(stream);
    putInteger(stream, "factor", factor_.load());
  }
  void readContent(JDictionary& dictionary) override {
    JAddObj::readContent(dictionary);
    factor_ = getInteger(dictionary, "factor", factor_.load());
  }

 private:
  std::atomic<int> factor_{2};
  std::atomic<int> value_{0};
};

struct Registration {
  Registration() {
    OldDoubler prototype;
    prototype.Register();
  }
};

const Registration registration;

}  // namespace
