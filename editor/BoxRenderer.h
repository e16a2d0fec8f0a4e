#pragma once

#include <string>
#include <vector>

#include "JGraphics.h"
#include "JModuleObj.h"

// Renders one module's box the way the host paints it, with a margin around
// it for its ports. Host thread.
JImage renderModule(JModuleObj& module, double scale = 1.0);
// The rectangles the box's paint filled, in drawing order, each placed
// relative to the box's top-left corner (at scale 1). How a host learns what
// a box shows without knowing where the box draws it.
std::vector<JFilledRect> paintedFills(JModuleObj& module);
// The rendered box written to a PNG file; returns an empty string or the reason it
// failed.
std::string renderModuleToPng(JModuleObj& module, const std::string& path, double scale = 1.0);
