#pragma once

#include <map>
#include <string>

// What many boxes of a graph have alike, kept once: the port layouts of a
// class at a size, the entries of a class's property sheet. Each entry is a
// JSON text under a key, with the number of boxes that use it; an entry no
// box uses goes, so one that comes back is told anew. Host thread.
class SharedShapes {
 public:
  // One more box uses text under key: true when the table had nothing under
  // key (text is kept, and told by the next added()) or the same text; false
  // when it holds another, which the box cannot share.
  bool use(const std::string& key, const std::string& text);
  // One box fewer uses key (an empty key: none).
  void release(const std::string& key);
  // The entries kept since the last call, as the members of a JSON object,
  // or an empty string.
  std::string added();
  // Every entry, as the members of a JSON object.
  [[nodiscard]] std::string all() const;

 private:
  struct Entry {
    std::string text;
    int uses = 0;
  };
  std::map<std::string, Entry> entries_;
  std::string added_;
};
