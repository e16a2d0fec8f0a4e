#pragma once

#include <functional>
#include <string>
#include <vector>

#include "JGraph.h"

// Every edit of the graph, from the console or the page, goes through here,
// and each is one step of one history that undo and redo walk. Boxes are
// named by their numbers in the graph, which an undone removal gives back.
// A refusal is one line saying why, and changes nothing. Host thread.
class GraphEditor {
 public:
  explicit GraphEditor(JGraph& graph);

  // A box of a registered class, a clone of its registered instance, at x, y.
  std::string add(const std::string& className, double x, double y, int& number);
  // The boxes and their links; a running server stops and frees its port first.
  std::string remove(const std::vector<int>& numbers);
  // Output `output` of box from to input `input` of box to: a port's name or
  // its number. Unlinking sends nothing: the input keeps its last value.
  std::string link(int from, const std::string& output, int to, const std::string& input);
  std::string unlink(int from, const std::string& output, int to, const std::string& input);
  std::string move(int number, double x, double y);
  std::string setProperty(int number, const std::string& name, const std::string& value);

  std::string undo();
  std::string redo();

  // Called after every change the editor makes, undo and redo included.
  void setChangeHandler(std::function<void()> handler) { changed_ = std::move(handler); }

 public:
  // Box numbers and port indices of a link.
  struct LinkEnds {
    int from = 0;
    int output = 0;
    int to = 0;
    int input = 0;
  };

 private:
  struct Step {
    std::string what;
    std::function<std::string()> apply;
    std::function<std::string()> revert;
  };
  // Applies step and keeps it, or returns the refusal and keeps nothing.
  std::string record(Step step);
  std::string boxOrError(int number, JModuleObj*& box) const;
  std::string portOrError(JModuleObj& box, bool input, const std::string& port, int& index) const;
  std::string resolveLink(int from, const std::string& output, int to, const std::string& input,
                          LinkEnds& ends) const;

  JGraph& graph_;
  std::vector<Step> done_;
  std::vector<Step> undone_;
  std::function<void()> changed_;
};
