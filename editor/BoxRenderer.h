#pragma once

#include <string>

#include "JGraphics.h"
#include "JModuleObj.h"

// Renders one module's box the way the host paints it, with a margin around
// it for its ports. Host thread.
JImage renderModule(JModuleObj& module, double scale = 1.0);
// The same, written to a PNG file; returns an empty string or the reason it
// failed.
std::string renderModuleToPng(JModuleObj& module, const std::string& path, double scale = 1.0);
