// The key settings: once a request has ended, the numbers it carries after
// each key reach the integer outputs int_1 to int_8, before the reply.

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "JComponent.h"
#include "QenoServer.h"

namespace {

bool isDigit(char ch) {
  return ch >= '0' && ch <= '9';
}

// Index of the first occurrence of key (keyLength bytes) in text, or -1.
// Each candidate start is matched afresh, so a partial match that fails
// never hides an occurrence that begins inside it ("n=" in "nn=8").
int findKey(const char* text, int length, const char* key, int keyLength) {
  if (keyLength <= 0 || keyLength > length) return -1;
  const char* const lastStart = text + (length - keyLength);
  for (const char* at = text; at <= lastStart; ++at) {
    at = static_cast<const char*>(
        std::memchr(at, key[0], static_cast<std::size_t>(lastStart - at) + 1));
    if (at == nullptr) return -1;
    int pos = 0;
    const char* next = at;
    do {
      pos = QenoServer::matchKeyChar(*next++, key, pos, keyLength);
    } while (pos > 0);
    if (pos == -1) return static_cast<int>(at - text);
  }
  return -1;
}

}  // namespace

bool QenoServer::isActiveKey(const JString& key) {
  return !key.empty() && !(key == "(undefined)");
}

bool QenoServer::scanKeys(const char* text, int length) {
  int found = 0;  // one more than the highest output index found
  for (int i = 0; i < kKeyCount; ++i) {
    if ((activeKeys & (1U << i)) == 0) continue;
    const KeySetting& setting = exchangeKeys[i];
    const int keyLength = setting.key.length();
    const int at = findKey(text, length, setting.key.c_str(), keyLength);
    if (at < 0) continue;
    // Wide: an offset loaded from a graph file may be any 32-bit value.
    const int64_t start = int64_t{at} + keyLength + setting.keyOffset;
    if (start < 0 || start >= length) continue;
    const int value = readDecimal(text, length, static_cast<int>(start));
    if (value < 0) continue;
    intValues[ServerPorts::kFirstIntOutput + i] = value;
    found = i + 1;
    char line[64];
    std::snprintf(line, sizeof line, "key%d found: %d on int_%d", i + 1, value, i + 1);
    JComponent::debug(line);
  }
  JCriticalSection::Guard hold(settingsLock);
  publishCount = found;
  return found > 0;
}

int QenoServer::matchKeyChar(char ch, const char* key, int pos, int len) {
  if (pos == -1 || pos >= len || key[pos] != ch) return 0;
  return pos + 1 == len ? -1 : pos + 1;
}

int QenoServer::readDecimal(const char* text, int len, int pos) {
  if (pos < 0 || pos >= len || !isDigit(text[pos])) return -1;
  int64_t value = 0;
  // The request has ended, so digits that run to its end are the whole number.
  for (int i = pos; i < len && isDigit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) return -1;
  }
  return static_cast<int>(value);
}

void QenoServer::publishAll() {
  outputsPublished = 1;
  int count = 0;
  {
    JCriticalSection::Guard hold(settingsLock);
    count = publishCount;
  }
  for (int i = 0; i < count; ++i) broadcast(ServerPorts::kFirstIntOutput + i);
}
