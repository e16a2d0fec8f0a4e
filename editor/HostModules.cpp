#include "HostModules.h"

#include "JGraph.h"
#include "JPersist.h"
#include "JRegistry.h"

// ---- JIntegerSource

JIntegerSource::JIntegerSource() {
  outputCount = 1;
  width = 80;
  height = 40;
}

JIntegerSource::JIntegerSource(const JIntegerSource& other)
    : JAddObj(other), JBoxHelp(other), value_(other.value_.load()) {}

void JIntegerSource::setValue(int value) {
  value_ = value;
  if (JGraph* owner = graph()) owner->noteChange();
  repaint();
  broadcast(0);
}

JString JIntegerSource::outputName(int /*n*/) {
  return "value";
}

void JIntegerSource::getOutput(int /*n*/, JLinkObj& /*link*/, JDataType& data) {
  static_cast<int&>(static_cast<JIntegerData&>(data)) = value_.load();
}

void JIntegerSource::drawInterior(JGraphics g, int x, int y, int w, int h) {
  drawText(g, JInteger::toJString(value_.load(), 10), JRect(x, y, w, h));
}

JArray JIntegerSource::getProperties() {
  JArray list = JAddObj::getProperties();
  list.append(JIntegerProperty("value", value_.load(), INT32_MIN, INT32_MAX));
  return list;
}

unsigned char JIntegerSource::updateProperty(JProperty& property) {
  if (JAddObj::updateProperty(property) != 0) return 1;
  auto* integer = dynamic_cast<JIntegerProperty*>(&property);
  if (integer == nullptr || !(property.getName() == "value")) return 0;
  setValue(integer->value);
  return 1;
}

JString JIntegerSource::description() const {
  return "A number you set, handed to every linked input whenever it is set.";
}

JString JIntegerSource::outputDescription(int /*n*/) const {
  return "The number set: the value property, or the page's Set 0 and Set 1.";
}

JString JIntegerSource::propertyDescription(const JString& name) const {
  return name == "value" ? JString("The number this box hands on; setting it sends it at once.")
                         : JString();
}

void JIntegerSource::writeContent(JOutputStream& stream) {
  JAddObj::writeContent(stream);
  putInteger(stream, "value", value_.load());
}

void JIntegerSource::readContent(JDictionary& dictionary) {
  JAddObj::readContent(dictionary);
  value_ = getInteger(dictionary, "value", value_.load());
}

// ---- JTextSink

JTextSink::JTextSink() {
  inputCount = 1;
  width = 80;
  height = 40;
}

JTextSink::JTextSink(const JTextSink& other)
    : JAddObj(other), JBoxHelp(other), last_(other.lastText()) {}

void JTextSink::setHandler(std::function<void(const std::string& text)> handler) {
  std::lock_guard<std::mutex> hold(lock_);
  handler_ = std::move(handler);
}

std::string JTextSink::lastText() const {
  std::lock_guard<std::mutex> hold(lock_);
  return last_;
}

JString JTextSink::inputName(int /*n*/) {
  return "text";
}
int JTextSink::inputType(int /*n*/) {
  return JStringData::id;
}

void JTextSink::inputChanged(int n, JLinkObj& link) {
  if (n != 0) return;
  JString text;
  link.access(JStringData(text));
  std::function<void(const std::string&)> handler;
  {
    std::lock_guard<std::mutex> hold(lock_);
    last_ = text.str();
    handler = handler_;
  }
  ++received_;
  if (repaintOnText_) repaint();  // the face shows the count
  if (handler) handler(text.str());
}

JString JTextSink::description() const {
  return "Takes text and counts the texts it received; fed by a server, it prints each one.";
}

JString JTextSink::inputDescription(int /*n*/) const {
  return "Any text: each one received is counted.";
}

void JTextSink::drawInterior(JGraphics g, int x, int y, int w, int h) {
  drawText(g, JInteger::toJString(received_.load(), 10) + " texts", JRect(x, y, w, h));
}

// ---- JIntegerSink

JIntegerSink::JIntegerSink() {
  inputCount = 1;
  width = 80;
  height = 40;
}

JIntegerSink::JIntegerSink(const JIntegerSink& other)
    : JAddObj(other), JBoxHelp(other), last_(other.last_.load()) {}

void JIntegerSink::setHandler(std::function<void(int value)> handler) {
  std::lock_guard<std::mutex> hold(lock_);
  handler_ = std::move(handler);
}

JString JIntegerSink::inputName(int /*n*/) {
  return "value";
}

void JIntegerSink::inputChanged(int n, JLinkObj& link) {
  if (n != 0) return;
  int value = 0;
  link.access(JIntegerData(value));
  // The face shows the value: a new one paints it anew.
  if (last_.exchange(value) != value || received_ == 0) repaint();
  std::function<void(int)> handler;
  {
    std::lock_guard<std::mutex> hold(lock_);
    handler = handler_;
  }
  ++received_;
  if (handler) handler(value);
}

JString JIntegerSink::description() const {
  return "Takes an integer and shows the last one it received; fed by a server, it prints each "
         "one.";
}

JString JIntegerSink::inputDescription(int /*n*/) const {
  return "Any integer: the face shows the last one received.";
}

void JIntegerSink::drawInterior(JGraphics g, int x, int y, int w, int h) {
  drawText(g, JInteger::toJString(last_.load(), 10), JRect(x, y, w, h));
}

void registerHostModules() {
  static std::once_flag once;
  std::call_once(once, [] {
    JRegistry::instance().add(JIntegerSource());
    JRegistry::instance().add(JTextSink());
    JRegistry::instance().add(JIntegerSink());
  });
}
