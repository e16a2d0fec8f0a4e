#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "JBoxHelp.h"
#include "JModuleObj.h"

// The host's own boxes, for wiring a module into a graph.

// One integer output whose value the user sets.
class JIntegerSource : public JAddObj, public JBoxHelp {
 public:
  JIntegerSource();
  JIntegerSource(const JIntegerSource& other);
  JIntegerSource& operator=(const JIntegerSource&) = delete;
  ~JIntegerSource() override = default;

  [[nodiscard]] const char* className() const override { return "IntegerSource"; }
  [[nodiscard]] JObject* clone() const override { return new JIntegerSource(*this); }
  [[nodiscard]] JString description() const override;
  [[nodiscard]] JString outputDescription(int n) const override;
  [[nodiscard]] JString propertyDescription(const JString& name) const override;

  // Stores value and broadcasts it to the linked inputs.
  void setValue(int value);
  [[nodiscard]] int getValue() const { return value_.load(); }

  JString outputName(int n) override;
  void getOutput(int n, JLinkObj& link, JDataType& data) override;
  void drawInterior(JGraphics g, int x, int y, int w, int h) override;
  JArray getProperties() override;
  unsigned char updateProperty(JProperty& property) override;

 protected:
  void writeContent(JOutputStream& stream) override;
  void readContent(JDictionary& dictionary) override;

 private:
  std::atomic<int> value_{0};
};

// One text input; hands every text it receives to its handler.
class JTextSink : public JAddObj, public JBoxHelp {
 public:
  JTextSink();
  JTextSink(const JTextSink& other);
  JTextSink& operator=(const JTextSink&) = delete;
  ~JTextSink() override = default;

  [[nodiscard]] const char* className() const override { return "TextSink"; }
  [[nodiscard]] JObject* clone() const override { return new JTextSink(*this); }
  [[nodiscard]] JString description() const override;
  [[nodiscard]] JString inputDescription(int n) const override;

  // Called on the thread that delivered the text. Not copied by clone().
  void setHandler(std::function<void(const std::string& text)> handler);
  // Whether each text asks for a repaint, so a shown face keeps its count
  // current. Off by default: a repaint wakes the host thread per request.
  void setRepaintOnText(bool on) { repaintOnText_ = on; }
  [[nodiscard]] std::string lastText() const;
  [[nodiscard]] int received() const { return received_.load(); }

  JString inputName(int n) override;
  int inputType(int n) override;
  void inputChanged(int n, JLinkObj& link) override;
  void drawInterior(JGraphics g, int x, int y, int w, int h) override;

 private:
  mutable std::mutex lock_;  // guards last_, handler_
  std::atomic<bool> repaintOnText_{false};
  std::string last_;
  std::function<void(const std::string&)> handler_;
  std::atomic<int> received_{0};
};

// One integer input; hands every value it receives to its handler.
class JIntegerSink : public JAddObj, public JBoxHelp {
 public:
  JIntegerSink();
  JIntegerSink(const JIntegerSink& other);
  JIntegerSink& operator=(const JIntegerSink&) = delete;
  ~JIntegerSink() override = default;

  [[nodiscard]] const char* className() const override { return "IntegerSink"; }
  [[nodiscard]] JObject* clone() const override { return new JIntegerSink(*this); }
  [[nodiscard]] JString description() const override;
  [[nodiscard]] JString inputDescription(int n) const override;

  // Called on the thread that delivered the value. Not copied by clone().
  void setHandler(std::function<void(int value)> handler);
  [[nodiscard]] int lastValue() const { return last_.load(); }
  [[nodiscard]] int received() const { return received_.load(); }

  JString inputName(int n) override;
  void inputChanged(int n, JLinkObj& link) override;
  void drawInterior(JGraphics g, int x, int y, int w, int h) override;

 private:
  mutable std::mutex lock_;  // guards handler_
  std::function<void(int)> handler_;
  std::atomic<int> last_{0};
  std::atomic<int> received_{0};
};

// Registers IntegerSource, TextSink and IntegerSink with the class registry
// (once).
void registerHostModules();
