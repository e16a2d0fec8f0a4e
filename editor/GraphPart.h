#pragma once

#include <memory>
#include <string>
#include <vector>

#include "CrashRecord.h"
#include "JGraph.h"
#include "JPersist.h"

// Some boxes of a graph, kept apart from it with their settings and the links
// that touch them: what a removal takes away and its undo puts back, and what
// a paste or an import puts in. Host thread.
class GraphPart {
 public:
  struct Box {
    int number = -1;  // -1: the graph gives the next free one when put
    std::string className;
    JOutputStream content;
    double dx = 0;  // moved by this much when put
    double dy = 0;
    // Set: the box is held after a crash, and is put back as its stand-in.
    std::shared_ptr<const CrashEntry> held;
  };
  // Box numbers and port indices of a link.
  struct Link {
    int from = 0;
    int output = 0;
    int to = 0;
    int input = 0;
  };

  // Takes the boxes numbered numbers out of graph, with every link that
  // touches one of them; a running server stops and frees its port first.
  static GraphPart take(JGraph& graph, const std::vector<int>& numbers);
  // Every box and link of other, a graph of its own (a file's, loaded), to be
  // numbered by the graph it is put into.
  static GraphPart from(const JGraph& other);

  // Every box is put dx, dy from where its settings place it.
  void shift(double dx, double dy);
  // Every box is put back as a stand-in held for crash (HeldBox), or, with
  // none, as a box of its class that runs.
  void hold(const std::shared_ptr<const CrashEntry>& crash);

  // Puts the boxes back, each under its number (a new one for -1, kept for
  // the next put), then the links, each delivering the value its output
  // holds. Returns an empty string or the last problem.
  std::string put(JGraph& graph);

  [[nodiscard]] std::vector<int> numbers() const;
  // Roughly what it holds: its boxes' settings and its links.
  [[nodiscard]] std::size_t bytes() const;
  [[nodiscard]] bool empty() const { return boxes_.empty(); }

  // A link between two boxes of graph, or null.
  static std::shared_ptr<JLinkObj> findLink(const JGraph& graph, const Link& ends);
  // Links the ends, and hands the output's value to the new link now, as
  // loading a graph does: a link made, put back or pasted delivers at once.
  static std::string makeLink(JGraph& graph, const Link& ends);
  static std::string dropLink(JGraph& graph, const Link& ends);

 private:
  std::vector<Box> boxes_;
  std::vector<Link> links_;
  // Links of a part from another graph name its boxes by position in boxes_.
  bool linksByPosition_ = false;
};
