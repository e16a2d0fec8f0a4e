#include "JComponent.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>

#include "JException.h"

namespace {

struct Channel {
  std::mutex lock;  // guards everything below and orders whole lines
  enum class Target { kStderr, kFile, kSilent, kCapture } target = Target::kStderr;
  std::FILE* file = nullptr;
  std::function<void(const std::string&)> sink;
  std::function<void(const std::string&)> observer;  // besides stderr or the file
  // target != kSilent, readable without the lock.
  std::atomic<bool> on{true};

  void closeFile() {
    if (file != nullptr) std::fclose(file);
    file = nullptr;
  }
};

Channel& channel() {
  static Channel instance;
  return instance;
}

std::string timeStamp() {
  using std::chrono::system_clock;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm parts{};
  ::localtime_r(&seconds, &parts);
  char text[40];
  std::size_t used = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  std::snprintf(text + used, sizeof text - used, ".%03d", static_cast<int>(millis));
  return text;
}

// The length of the valid UTF-8 sequence of more than one byte that starts
// at text[i], or 0.
std::size_t utf8SequenceAt(const std::string& text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t extra = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    extra = 1;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    extra = 2;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    extra = 3;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (text.size() - i <= extra) return 0;
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    // Only the first continuation byte has the narrowed range.
    if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xbf)) return 0;
  }
  return extra + 1;
}

}  // namespace

bool JComponent::isValidUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
    } else if (const std::size_t length = utf8SequenceAt(text, i); length > 0) {
      i += length;
    } else {
      return false;
    }
  }
  return true;
}

std::string JComponent::escape(const std::string& text, EscapeStyle style) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 && style == EscapeStyle::kUtf8) {
      const std::size_t length = utf8SequenceAt(text, i);
      const bool c1Control = byte == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0;
      if (length > 0 && !c1Control) {
        out.append(text, i, length);
        i += length - 1;
        continue;
      }
    }
    switch (byte) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (byte < 0x20 || byte >= 0x7f) {
          static const char* const hex = "0123456789abcdef";
          out += "\\x";
          out += hex[byte >> 4];
          out += hex[byte & 0x0f];
        } else {
          out += c;
        }
    }
  }
  return out;
}

bool JComponent::debugging() {
  return channel().on.load(std::memory_order_relaxed);
}

void JComponent::debug(const JString& text) {
  Channel& ch = channel();
  if (!ch.on.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> hold(ch.lock);
  switch (ch.target) {
    case Channel::Target::kSilent:
      return;
    case Channel::Target::kCapture:
      if (ch.sink) ch.sink(escape(text.str()));
      return;
    case Channel::Target::kFile:
    case Channel::Target::kStderr: {
      std::FILE* out = ch.target == Channel::Target::kFile ? ch.file : stderr;
      const std::string line = escape(text.str());
      std::fprintf(out, "[%s] %s\n", timeStamp().c_str(), line.c_str());
      std::fflush(out);
      if (ch.observer) ch.observer(line);
      return;
    }
  }
}

void JComponent::debugCurrentException(const std::string& where) {
  debug(JString(where + ": " + describeCurrentException()));
}

std::string JComponent::describeCurrentException() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (JThrowable* e) {
    std::string what = e != nullptr ? e->getMessage().str() : "a null exception";
    delete e;
    return what;
  } catch (...) {
    return "an exception of unknown type";
  }
}

void JComponent::debugToStderr() {
  Channel& ch = channel();
  std::lock_guard<std::mutex> hold(ch.lock);
  ch.closeFile();
  ch.sink = nullptr;
  ch.target = Channel::Target::kStderr;
  ch.on = true;
}

bool JComponent::debugToFile(const std::string& path, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "ae");
  if (file == nullptr) {
    error = std::string("cannot open debug log ") + path + ": " + std::strerror(errno);
    return false;
  }
  Channel& ch = channel();
  std::lock_guard<std::mutex> hold(ch.lock);
  ch.closeFile();
  ch.sink = nullptr;
  ch.file = file;
  ch.target = Channel::Target::kFile;
  ch.on = true;
  return true;
}

void JComponent::debugSilence() {
  Channel& ch = channel();
  std::lock_guard<std::mutex> hold(ch.lock);
  ch.closeFile();
  ch.sink = nullptr;
  ch.target = Channel::Target::kSilent;
  ch.on = false;
}

void JComponent::debugObserve(std::function<void(const std::string& line)> observer) {
  Channel& ch = channel();
  std::lock_guard<std::mutex> hold(ch.lock);
  ch.observer = std::move(observer);
}

void JComponent::debugCapture(std::function<void(const std::string& line)> sink) {
  Channel& ch = channel();
  std::lock_guard<std::mutex> hold(ch.lock);
  ch.closeFile();
  ch.sink = std::move(sink);
  ch.target = Channel::Target::kCapture;
  ch.on = true;
}
