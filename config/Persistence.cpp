// The settings saved with the graph: nineteen entries after the base's.

#include <cstdio>

#include "JPersist.h"
#include "QenoServer.h"

namespace {

// "key3", "key3offset": names of key setting i (0-based).
struct KeyNames {
  explicit KeyNames(int i) {
    std::snprintf(key, sizeof key, "key%d", i + 1);
    std::snprintf(offset, sizeof offset, "key%doffset", i + 1);
  }
  char key[16]{};
  char offset[24]{};
};

}  // namespace

void QenoServer::writeContent(JOutputStream& stream) {
  JAddObj::writeContent(stream);
  JCriticalSection::Guard hold(settingsLock);
  putObject(stream, "address", hostName);
  putInteger(stream, "port", port);
  putObject(stream, "url", url);
  for (int i = 0; i < kKeyCount; ++i) {
    const KeyNames names(i);
    putObject(stream, names.key, keys[i].key);
    putInteger(stream, names.offset, keys[i].keyOffset);
  }
}

void QenoServer::readContent(JDictionary& dictionary) {
  JAddObj::readContent(dictionary);
  // An absent text keeps the field; an absent integer reads as 0. Only texts
  // are taken from text entries.
  auto readText = [&](const char* key, JString& field) {
    if (auto* text = dynamic_cast<JString*>(getObject(dictionary, key))) field = *text;
  };
  JCriticalSection::Guard hold(settingsLock);
  readText("address", hostName);
  port = getInteger(dictionary, "port", 0);
  readText("url", url);
  for (int i = 0; i < kKeyCount; ++i) {
    const KeyNames names(i);
    readText(names.key, keys[i].key);
    keys[i].keyOffset = getInteger(dictionary, names.offset, 0);
  }
}
