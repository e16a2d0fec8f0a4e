// The property sheet: nineteen entries after the base's.

#include <cstdio>
#include <string>

#include "QenoServer.h"

namespace {

constexpr int kOffsetLower = -50;
constexpr int kOffsetUpper = 50;
constexpr int kPortLower = 80;
constexpr int kPortUpper = 10000;

}  // namespace

JArray QenoServer::getProperties() {
  JArray list = JModuleObj::getProperties();
  JCriticalSection::Guard hold(settingsLock);
  list.append(JStringProperty("hostName/IPaddress", hostName));
  list.append(JIntegerProperty("port", port, kPortLower, kPortUpper));
  list.append(JStringProperty("url", url));
  char name[24];
  for (int i = 0; i < kKeyCount; ++i) {
    std::snprintf(name, sizeof name, "key%d", i + 1);
    list.append(JStringProperty(name, keys[i].key));
    std::snprintf(name, sizeof name, "key%doffset", i + 1);
    list.append(JIntegerProperty(name, keys[i].keyOffset, kOffsetLower, kOffsetUpper));
  }
  return list;
}

unsigned char QenoServer::updateProperty(JProperty& property) {
  if (JModuleObj::updateProperty(property) != 0) return 1;
  const JString name = property.getName();
  // The kind is implied by the name; a property of the other kind under that
  // name is not taken (reading it as the wrong class would be undefined).
  auto* integer = dynamic_cast<JIntegerProperty*>(&property);
  auto* text = dynamic_cast<JStringProperty*>(&property);
  bool handled = false;
  {
    // A delivery to readInput may copy them on another thread meanwhile.
    JCriticalSection::Guard hold(settingsLock);
    if (name == "port") {
      if (integer != nullptr) port = integer->value;
      handled = integer != nullptr;
    } else if (name == "hostName/IPaddress") {
      if (text != nullptr) hostName = text->value;
      handled = text != nullptr;
    } else if (name == "url") {
      if (text != nullptr) url = text->value;
      handled = text != nullptr;
    } else {
      char keyName[24];
      for (int i = 0; i < kKeyCount && !handled; ++i) {
        std::snprintf(keyName, sizeof keyName, "key%d", i + 1);
        if (name == keyName) {
          if (text != nullptr) keys[i].key = text->value;
          handled = text != nullptr;
          break;
        }
        std::snprintf(keyName, sizeof keyName, "key%doffset", i + 1);
        if (name == keyName) {
          if (integer != nullptr) keys[i].keyOffset = integer->value;
          handled = integer != nullptr;
          break;
        }
      }
    }
  }
  if (!handled) return 0;
  repaint();
  return 1;
}

JString QenoServer::propertyDescription(const JString& name) const {
  if (name == "hostName/IPaddress") {
    return "The address the server listens on: a host name or an IP address. A change applies "
           "at the next start.";
  }
  if (name == "port")
    return "The TCP port the server listens on. A change applies at the next start.";
  if (name == "url") return "Kept and saved with the graph; the server does not use it.";
  const std::string& text = name.str();
  if (text.rfind("key", 0) != 0) return {};
  const std::string number = text.substr(3, text.find_first_not_of("0123456789", 3) - 3);
  if (number.empty() || number.size() > 1 || number[0] < '1' || number[0] > '0' + kKeyCount)
    return {};
  const std::string rest = text.substr(3 + number.size());
  const std::string key = "key" + number;
  if (rest.empty()) {
    return "Text looked for in each request: the number just after its first occurrence goes to "
           "int_" +
           number + ". Empty or \"(undefined)\": off.";
  }
  if (rest == "offset") {
    return "The number is read this many characters after the end of " + key +
           " (a negative offset reads before it).";
  }
  return {};
}
