#pragma once

#include <string>
#include <vector>

#include "CrashRecord.h"
#include "JModuleObj.h"
#include "JPersist.h"

// Stands in a graph for a box whose code crashed the host at its last run
// and is held until a user releases it. None of that code runs: no input
// reaches it, no thread of its own starts, nothing of it paints (a plain
// face says it is held). The stand-in keeps the box's class name, settings
// and links, so the graph saves as it was, and shows the ports of its class
// as the registered instance has them. Host thread.
class HeldBox : public JAddObj {
 public:
  HeldBox(const std::string& className, std::vector<JContentEntry> content, CrashEntry crash);

  // The held box's class, so the graph saves and names it as that class.
  [[nodiscard]] const char* className() const override { return className_.c_str(); }
  [[nodiscard]] JObject* clone() const override { return new HeldBox(*this); }

  [[nodiscard]] const CrashEntry& crash() const { return crash_; }

  // Once box is in its graph: marks it faulted with the crash, and gives it
  // its status line. Does nothing to a box that is not a stand-in.
  static void tellHeld(JModuleObj& box);

  JString inputName(int n) override;
  JString outputName(int n) override;
  int inputType(int n) override;
  int outputType(int n) override;
  JFRect inputArea(int n) override;
  JFRect outputArea(int n) override;
  int inputFace(int n) override;
  int outputFace(int n) override;
  JFPoint inputPoint(int n, JLinkObj& link) override;
  JFPoint outputPoint(int n, JLinkObj& link) override;
  void drawInterior(JGraphics g, int x, int y, int w, int h) override;

 protected:
  // The held box's settings as they came, its place and size as they are.
  void writeContent(JOutputStream& stream) override;

 private:
  // A port of the class, its area as a share of the box's extent.
  struct Port {
    std::string name;
    int type = 0;
    double left = 0;
    double top = 0;
    double width = 0;
    double height = 0;
    int face = kFaceLeft;
  };
  void takePortsOf(JModuleObj& prototype);
  [[nodiscard]] const Port* port(bool input, int n) const;
  [[nodiscard]] JFRect areaOf(bool input, int n);
  [[nodiscard]] JFPoint pointOf(bool input, int n);

  std::string className_;
  std::vector<JContentEntry> content_;
  CrashEntry crash_;
  std::vector<Port> inputs_;
  std::vector<Port> outputs_;
};
