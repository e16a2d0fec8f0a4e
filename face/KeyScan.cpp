// Routines around the key settings. Nothing in the running module calls them
// yet; they are kept, tested, for publishing values on outputs 0 to 28.

#include "QenoServer.h"

bool QenoServer::scanKeys(void* /*first*/, void* /*second*/) {
  const char* keyTexts[kKeyCount];
  int offsets[kKeyCount];
  {
    std::lock_guard<std::mutex> hold(keysLock);
    for (int i = 0; i < kKeyCount; ++i) {
      keyTexts[i] = keys[i].key.c_str();
      offsets[i] = keys[i].keyOffset;
    }
  }
  static_cast<void>(keyTexts);
  static_cast<void>(offsets);
  return false;
}

int QenoServer::matchKeyChar(char ch, const char* key, int pos, int len) {
  if (pos == -1 || pos >= len || key[pos] != ch) return 0;
  return pos + 1 == len ? -1 : pos + 1;
}

int QenoServer::readDecimal(const char* text, int len, int pos) {
  int value = 0;
  for (int i = pos; i < len; ++i) {
    if (text[i] < '0' || text[i] > '9') return value;
    // Overflow wraps, as in the original arithmetic, without undefined
    // behaviour.
    value = static_cast<int>(static_cast<unsigned int>(value) * 10U +
                             static_cast<unsigned int>(text[i] - '0'));
  }
  return -1;
}

void QenoServer::publishAll() {
  outputsPublished = 1;
  int count = 0;
  {
    std::lock_guard<std::mutex> hold(keysLock);
    count = publishCount;
  }
  for (int i = 0; i < count; ++i) broadcast(i);
}
