#pragma once

#include <qeno/JModuleObj.h>

#include <atomic>

// A box that counts the texts arriving on its input "text" (for a
// QenoServer: the chunks its clients send) and offers the count on its
// integer output "count".
class ChunkCounter : public JAddObj {
 public:
  ChunkCounter();
  ChunkCounter(const ChunkCounter& other);
  ChunkCounter& operator=(const ChunkCounter&) = delete;
  ~ChunkCounter() override = default;

  [[nodiscard]] const char* className() const override { return "ChunkCounter"; }
  [[nodiscard]] JObject* clone() const override { return new ChunkCounter(*this); }

  JString inputName(int n) override;
  int inputType(int n) override;
  JString outputName(int n) override;
  // Called on the thread that delivered the text: a server's worker thread.
  void inputChanged(int n, JLinkObj& link) override;
  void getOutput(int n, JLinkObj& link, JDataType& data) override;
  void drawInterior(JGraphics g, int x, int y, int w, int h) override;

 private:
  std::atomic<int> count_{0};
};
