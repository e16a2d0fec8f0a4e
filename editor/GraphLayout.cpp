#include "GraphLayout.h"

#include <algorithm>
#include <cstddef>
#include <map>

namespace {

// Where the layout starts when nothing is placed, and the room between boxes.
constexpr double kMargin = 40;
constexpr double kColumnGap = 80;
constexpr double kRowGap = 40;

// Each box's column: the longest chain of links that leads to it, counted
// in boxes. A loop stops growing once a chain is as long as the graph.
std::vector<std::size_t> columnsOf(const JGraph& graph) {
  const auto& modules = graph.modules();
  std::map<const JModuleObj*, std::size_t> index;
  for (std::size_t i = 0; i < modules.size(); ++i) index[modules[i].get()] = i;
  std::vector<std::size_t> column(modules.size(), 0);
  const auto links = graph.links();
  for (std::size_t round = 0; round < modules.size(); ++round) {
    bool grew = false;
    for (const auto& link : links) {
      const std::size_t from = index.at(link->getSource());
      const std::size_t to = index.at(link->getTarget());
      if (from == to || column[from] + 1 <= column[to] || column[from] + 1 >= modules.size()) {
        continue;
      }
      column[to] = column[from] + 1;
      grew = true;
    }
    if (!grew) break;
  }
  return column;
}

}  // namespace

void layOutUnplaced(JGraph& graph, const std::vector<GivenPlace>& given) {
  const auto& modules = graph.modules();
  std::vector<std::size_t> unplaced;
  double top = kMargin;
  for (std::size_t i = 0; i < modules.size() && i < given.size(); ++i) {
    if (given[i].x && given[i].y) {
      top = std::max(top, modules[i]->y + modules[i]->height + kRowGap);
    } else {
      unplaced.push_back(i);
    }
  }
  if (unplaced.empty()) return;

  // The columns that hold a box to lay out, left to right, and each one's width.
  const std::vector<std::size_t> column = columnsOf(graph);
  std::map<std::size_t, double> widest;
  for (std::size_t i : unplaced) {
    widest[column[i]] = std::max(widest[column[i]], modules[i]->width);
  }
  std::map<std::size_t, double> left;
  double x = kMargin;
  for (const auto& [number, width] : widest) {
    left[number] = x;
    x += width + kColumnGap;
  }
  std::map<std::size_t, double> below;
  for (std::size_t i : unplaced) {
    JModuleObj& box = *modules[i];
    double& y = below.try_emplace(column[i], top).first->second;
    if (!given[i].x) box.x = left[column[i]];
    if (!given[i].y) box.y = y;
    y += box.height + kRowGap;
  }
}
