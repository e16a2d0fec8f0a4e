#pragma once

#include <qeno/JModuleObj.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// While its input "run" is non-zero, a thread of the box's own counts up
// every "interval" milliseconds and sends the count on the output "count".
// A 0 on "run", the host's stop() (it calls it before it removes the box)
// and the destructor end the thread and wait for it.
class Ticker : public JAddObj {
 public:
  Ticker();
  Ticker(const Ticker& other);
  Ticker& operator=(const Ticker&) = delete;
  ~Ticker() override;

  [[nodiscard]] const char* className() const override { return "Ticker"; }
  [[nodiscard]] JObject* clone() const override { return new Ticker(*this); }

  JString inputName(int n) override;
  JString outputName(int n) override;
  void inputChanged(int n, JLinkObj& link) override;
  void getOutput(int n, JLinkObj& link, JDataType& data) override;
  void stop() override;

  JArray getProperties() override;
  unsigned char updateProperty(JProperty& property) override;
  void drawInterior(JGraphics g, int x, int y, int w, int h) override;

 protected:
  void writeContent(JOutputStream& stream) override;
  void readContent(JDictionary& dictionary) override;

 private:
  void start();
  void tick();

  std::atomic<int> interval_{1000};  // milliseconds
  std::atomic<int> count_{0};

  std::mutex control_;  // serialises start() and stop(), guards thread_
  std::thread thread_;
  std::atomic<std::thread::id> tickerId_{};
  std::mutex lock_;  // guards running_, for wake_
  std::condition_variable wake_;
  bool running_ = false;
};
