#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "GraphPart.h"
#include "JGraph.h"

// Every edit of the graph, from the console or the page, goes through here,
// and each is one step of one history that undo and redo walk. Boxes are
// named by their numbers in the graph, which an undone removal gives back.
// A refusal is one line saying why, and changes nothing. The history is
// bounded: it keeps at most kMaxSteps steps, and the oldest go while the
// steps hold more than kMaxBytes (a removal or an import holds the settings
// of every box it took); the newest step stays whatever its size. Host
// thread.
class GraphEditor {
 public:
  static constexpr std::size_t kMaxSteps = 1000;
  static constexpr std::size_t kMaxBytes = std::size_t{4} << 20;

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
  struct Place {
    int number = 0;
    double x = 0;
    double y = 0;
  };
  // Several boxes moved as one step.
  std::string moves(const std::vector<Place>& places);
  std::string setProperty(int number, const std::string& name, const std::string& value);

  // The boxes and the links among them in the graph file format.
  std::string copy(const std::vector<int>& numbers, std::string& fragment) const;
  // The boxes of a fragment (as copy gives, or any graph file's text), dx, dy
  // from where it puts them, with their links; numbers gets theirs.
  std::string paste(const std::string& fragment, double dx, double dy, std::vector<int>& numbers);
  // The whole graph replaced by the file's (checked as a file given to
  // qeno-host is), as one step.
  std::string replaceAll(const std::string& file);

  std::string undo();
  std::string redo();

  // The box numbered number, held after a crash (HeldBox), runs again: a box
  // of its class made from its settings takes the stand-in's place and
  // links and gets its inputs' values. Not a step of the history: nothing
  // undoes it. When the box cannot be made, the stand-in stays.
  std::string release(int number);

  [[nodiscard]] bool canUndo() const { return !done_.empty(); }
  [[nodiscard]] bool canRedo() const { return !undone_.empty(); }
  [[nodiscard]] std::size_t steps() const { return done_.size() + undone_.size(); }

  // Called after every change the editor makes, undo and redo included,
  // with the number of the box whose settings changed, or -1 when the change
  // was to the graph's shape (boxes, links, places) only.
  void setChangeHandler(std::function<void(int edited)> handler) { changed_ = std::move(handler); }

  using LinkEnds = GraphPart::Link;

 private:
  struct Step {
    std::string what;
    std::function<std::string()> apply;
    std::function<std::string()> revert;
    int edited = -1;  // the box whose settings the step changes
    // Roughly what it holds: the texts its closures keep, plus what weight
    // tells once it is applied (the settings of the boxes it took).
    std::size_t bytes = 0;
    std::function<std::size_t()> weight = nullptr;
  };
  // Applies step and keeps it, or returns the refusal and keeps nothing.
  std::string record(Step step);
  std::string boxOrError(int number, JModuleObj*& box) const;
  // The refusal for the first number that names no box, or an empty string.
  std::string boxesOrError(const std::vector<int>& numbers) const;
  std::string portOrError(JModuleObj& box, bool input, const std::string& port, int& index) const;
  std::string resolveLink(int from, const std::string& output, int to, const std::string& input,
                          LinkEnds& ends) const;

  JGraph& graph_;
  void trim();

  std::deque<Step> done_;
  std::vector<Step> undone_;
  std::size_t bytes_ = 0;  // of the steps in done_ and undone_
  std::function<void(int)> changed_;
};
