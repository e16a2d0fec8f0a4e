#include "JObject.h"

#include <functional>

#include "JPersist.h"
#include "JRegistry.h"

std::size_t JObject::hashCode() const {
  return std::hash<const void*>{}(this);
}

char* JObject::Register() {
  return const_cast<char*>(JRegistry::instance().add(*this));
}

void JObject::putObject(JOutputStream& stream, const char* key, JObject& value) {
  stream.putObject(key, value);
}

void JObject::putInteger(JOutputStream& stream, const char* key, int value) {
  stream.putInteger(key, value);
}

JObject* JObject::getObject(JDictionary& dictionary, const char* key) {
  const JContentEntry* entry = dictionary.find(key);
  return entry && !entry->isInteger ? entry->object.get() : nullptr;
}

int JObject::getInteger(JDictionary& dictionary, const char* key, int defaultValue) {
  const JContentEntry* entry = dictionary.find(key);
  return entry && entry->isInteger ? entry->integer : defaultValue;
}
