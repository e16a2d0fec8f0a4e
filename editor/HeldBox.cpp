#include "HeldBox.h"

#include "JBoxStatus.h"
#include "JRegistry.h"
#include "ModuleGuard.h"

namespace {

bool isPlaceKey(const std::string& key) {
  return key == "x" || key == "y" || key == "width" || key == "height";
}

}  // namespace

HeldBox::HeldBox(const std::string& className, std::vector<JContentEntry> content, CrashEntry crash)
    : className_(className), content_(std::move(content)), crash_(std::move(crash)) {
  JDictionary settings(content_);
  JAddObj::readContent(settings);
  JRegistry::instance().inspect(className_, [this](JObject& prototype) {
    if (auto* box = dynamic_cast<JModuleObj*>(&prototype)) takePortsOf(*box);
  });
  inputCount = static_cast<int>(inputs_.size());
  outputCount = static_cast<int>(outputs_.size());
}

// The registered instance answers as the box would; its code is not the
// held box's crash, which was in the operation recorded.
void HeldBox::takePortsOf(JModuleObj& prototype) {
  const double w = prototype.width > 0 ? prototype.width : 1;
  const double h = prototype.height > 0 ? prototype.height : 1;
  auto portOf = [&](bool input, int n) {
    const JFRect area = input ? prototype.inputArea(n) : prototype.outputArea(n);
    Port p;
    p.name = (input ? prototype.inputName(n) : prototype.outputName(n)).str();
    p.type = input ? prototype.inputType(n) : prototype.outputType(n);
    p.left = (area.x - prototype.x) / w;
    p.top = (area.y - prototype.y) / h;
    p.width = area.width / w;
    p.height = area.height / h;
    p.face = input ? prototype.inputFace(n) : prototype.outputFace(n);
    return p;
  };
  ModuleGuard::call(&prototype, "a port query", [&] {
    for (int n = 0; n < prototype.getInputCount(); ++n) inputs_.push_back(portOf(true, n));
    for (int n = 0; n < prototype.getOutputCount(); ++n) outputs_.push_back(portOf(false, n));
  });
}

void HeldBox::tellHeld(JModuleObj& box) {
  auto* held = dynamic_cast<HeldBox*>(&box);
  if (held == nullptr) return;
  const CrashEntry& crash = held->crash_;
  ModuleGuard::setFault(&box, {crash.operation, "it crashed the host (" + crash.signal + "); " +
                                                    crash.heldText() + " until released"});
  JBoxStatus::set(box, "held: it crashed in " + crash.operation, JStatusColour::kRed);
}

const HeldBox::Port* HeldBox::port(bool input, int n) const {
  const std::vector<Port>& ports = input ? inputs_ : outputs_;
  return n >= 0 && static_cast<std::size_t>(n) < ports.size() ? &ports[static_cast<std::size_t>(n)]
                                                              : nullptr;
}

JString HeldBox::inputName(int n) {
  const Port* p = port(true, n);
  return p != nullptr ? JString(p->name) : JAddObj::inputName(n);
}

JString HeldBox::outputName(int n) {
  const Port* p = port(false, n);
  return p != nullptr ? JString(p->name) : JAddObj::outputName(n);
}

int HeldBox::inputType(int n) {
  const Port* p = port(true, n);
  return p != nullptr ? p->type : JAddObj::inputType(n);
}

int HeldBox::outputType(int n) {
  const Port* p = port(false, n);
  return p != nullptr ? p->type : JAddObj::outputType(n);
}

JFRect HeldBox::areaOf(bool input, int n) {
  const Port* p = port(input, n);
  if (p == nullptr) return input ? JAddObj::inputArea(n) : JAddObj::outputArea(n);
  return JFRect(x + p->left * width, y + p->top * height, p->width * width, p->height * height);
}

JFRect HeldBox::inputArea(int n) {
  return areaOf(true, n);
}

JFRect HeldBox::outputArea(int n) {
  return areaOf(false, n);
}

int HeldBox::inputFace(int n) {
  const Port* p = port(true, n);
  return p != nullptr ? p->face : JAddObj::inputFace(n);
}

int HeldBox::outputFace(int n) {
  const Port* p = port(false, n);
  return p != nullptr ? p->face : JAddObj::outputFace(n);
}

// Where a link meets the box: the middle of the port's edge of its area.
JFPoint HeldBox::pointOf(bool input, int n) {
  const JFRect area = areaOf(input, n);
  const Port* p = port(input, n);
  switch (p != nullptr ? p->face : (input ? kFaceLeft : kFaceRight)) {
    case kFaceTop:
      return JFPoint(area.x + area.width / 2, y);
    case kFaceBottom:
      return JFPoint(area.x + area.width / 2, y + height);
    case kFaceRight:
      return JFPoint(x + width, area.y + area.height / 2);
    default:
      return JFPoint(x, area.y + area.height / 2);
  }
}

JFPoint HeldBox::inputPoint(int n, JLinkObj& /*link*/) {
  return pointOf(true, n);
}

JFPoint HeldBox::outputPoint(int n, JLinkObj& /*link*/) {
  return pointOf(false, n);
}

void HeldBox::drawInterior(JGraphics g, int x, int y, int w, int h) {
  drawText(g, className_, JRect(x, y + h / 12, w, h / 3));
  drawText(g, "held: it crashed", JRect(x, y + h / 2, w, h / 3));
}

void HeldBox::writeContent(JOutputStream& stream) {
  JAddObj::writeContent(stream);
  for (const JContentEntry& entry : content_) {
    if (isPlaceKey(entry.key)) continue;
    if (entry.isInteger) {
      stream.putInteger(entry.key, entry.integer);
    } else if (entry.object) {
      stream.putObject(entry.key, *entry.object);
    }
  }
}
