#pragma once

#include <vector>

#include "JGraph.h"

// Which coordinates a graph file gave a box.
struct GivenPlace {
  bool x = false;
  bool y = false;
};

// Lays out the boxes of a graph whose file gave them no place (given[i] for
// the graph's i-th box), so that none lies on another: in columns by how
// far along the links each is from a box nothing feeds (sources on the left,
// sinks on the right), each column's boxes one under the other in the file's
// order, below any boxes the file placed. A coordinate the file gave is
// kept. The same file always gives the same places. Host thread.
void layOutUnplaced(JGraph& graph, const std::vector<GivenPlace>& given);
