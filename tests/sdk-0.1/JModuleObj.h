#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "JData.h"
#include "JGeometry.h"
#include "JGraphics.h"
#include "JProperty.h"
#include "JString.h"

class JGraph;
class JLinkObj;
class JModuleObj;

// The links attached to one input of a module. Thread-safe.
class JFocusSet : public JObject {
 public:
  [[nodiscard]] const char* className() const override { return "JFocusSet"; }
  // Number of links in the set.
  [[nodiscard]] virtual int count() const;
  void add(JLinkObj* link);
  void remove(JLinkObj* link);

 private:
  mutable std::mutex lock_;  // guards links_
  std::vector<JLinkObj*> links_;
};

// Joins output `output` of `source` to input `input` of `target`. Created and
// owned by a JGraph.
class JLinkObj : public JObject {
 public:
  JLinkObj(JModuleObj* source, int output, JModuleObj* target, int input)
      : source_(source), output_(output), target_(target), input_(input) {}
  [[nodiscard]] const char* className() const override { return "JLinkObj"; }

  // Stores the link's value (the source's output) into the variable that data
  // stands for. A holder of another type than the output's is left alone.
  // Any thread.
  void access(const JDataType& data);

  [[nodiscard]] JModuleObj* getSource() const { return source_; }
  [[nodiscard]] int getOutput() const { return output_; }
  [[nodiscard]] JModuleObj* getTarget() const { return target_; }
  [[nodiscard]] int getInput() const { return input_; }

 private:
  JModuleObj* source_;
  int output_;
  JModuleObj* target_;
  int input_;
};

class JViewObj : public JFRect {
 public:
  [[nodiscard]] const char* className() const override { return "JViewObj"; }
};

// Edge codes of inputFace and outputFace.
enum JFace : int { kFaceLeft = 0, kFaceTop = 1, kFaceRight = 2, kFaceBottom = 3 };

// A box in a graph: ports, painting, properties. Unless said otherwise, the
// host calls every operation on its one host thread.
class JModuleObj : public JViewObj {
 public:
  // Unit of the box's insets and of small marks on it, in device pixels.
  static int depth2;

  JModuleObj();
  JModuleObj(const JModuleObj& other);
  JModuleObj& operator=(const JModuleObj& other);
  ~JModuleObj() override;

  [[nodiscard]] const char* className() const override { return "JModuleObj"; }
  [[nodiscard]] JObject* clone() const override { return new JModuleObj(*this); }

  virtual void startup() {}
  virtual void shutdown() {}
  virtual void stop() {}

  // Draws the box: background, frame and ports, then drawInterior.
  virtual void paint(JGraphics g, double dx, double dy, JRegion& region, double scale);
  // The box's extent in device pixels for the given offset and scale.
  virtual JRect getIExtent(double dx, double dy, double scale);
  virtual void drawInterior(JGraphics /*g*/, int /*x*/, int /*y*/, int /*w*/, int /*h*/) {}

  // The box's own entries: "x", "y", "width", "height".
  virtual JArray getProperties();
  // 1 when the property was one of the box's own and was applied, else 0.
  virtual unsigned char updateProperty(JProperty& property);

  virtual JString inputName(int n);
  virtual JString outputName(int n);
  virtual int inputType(int n);
  virtual int outputType(int n);
  virtual void getOutput(int n, JLinkObj& link, JDataType& data);
  virtual bool inputAllowed(int n);
  virtual bool outputAllowed(int n);
  virtual JFRect inputArea(int n);
  virtual JFRect outputArea(int n);
  virtual int inputFace(int n);
  virtual int outputFace(int n);
  virtual JFPoint inputPoint(int n, JLinkObj& link);
  virtual JFPoint outputPoint(int n, JLinkObj& link);
  // Input n is to take up the value that link offers. Called on the thread
  // that broadcast the value.
  virtual void inputChanged(int n, JLinkObj& link);
  // Hands output n's value to every linked input. Any thread.
  virtual void broadcast(int n);

  // Asks the host to paint the box again; from another thread it only queues
  // the request for the host thread. Any thread.
  void repaint();
  [[nodiscard]] int repaintCount() const { return repaints_.load(); }

  // The links of input n.
  JFocusSet& inputSet(int n);
  [[nodiscard]] int getInputCount() const { return inputCount; }
  [[nodiscard]] int getOutputCount() const { return outputCount; }

  static void drawText(JGraphics g, const JString& text, const JRect& rect);

  // Set by JGraph when the module joins or leaves it.
  void attachTo(JGraph* graph) { graph_.store(graph); }
  [[nodiscard]] JGraph* graph() const { return graph_.load(); }

 protected:
  void writeContent(JOutputStream& stream) override;
  void readContent(JDictionary& dictionary) override;

  // Port placement on the box's edges. For port n among `count` ports of an
  // edge starting at index `first`: the ports share the edge less a `margin`
  // fraction at each end, each port's hit area covers `share` of its slot and
  // stands `size` units out from the edge; a link meets the edge at the
  // slot's centre.
  JFRect topArea(int n, int first, int count, double margin, double share, int size);
  JFRect leftArea(int n, int first, int count, double margin, double share, int size);
  JFRect rightArea(int n, int first, int count, double margin, double share, int size);
  JFRect bottomArea(int n, int first, int count, double margin, double share, int size);
  JFPoint topPoint(int n, JLinkObj& link, int first, int count, double margin, double share);
  JFPoint leftPoint(int n, JLinkObj& link, int first, int count, double margin, double share);
  JFPoint rightPoint(int n, JLinkObj& link, int first, int count, double margin, double share);
  JFPoint bottomPoint(int n, JLinkObj& link, int first, int count, double margin, double share);

  int inputCount = 0;
  int outputCount = 0;

 private:
  std::atomic<JGraph*> graph_{nullptr};
  std::atomic<int> repaints_{0};
  std::mutex inputSetsLock_;  // guards inputSets_
  std::map<int, std::unique_ptr<JFocusSet>> inputSets_;
};

// The base of modules that a user adds to a graph from the class list.
class JAddObj : public JModuleObj {
 public:
  [[nodiscard]] const char* className() const override { return "JAddObj"; }
  [[nodiscard]] JObject* clone() const override { return new JAddObj(*this); }
};
