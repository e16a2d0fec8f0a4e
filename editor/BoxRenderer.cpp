#include "BoxRenderer.h"

#include <cmath>

#include "ModuleGuard.h"

namespace {

// Room around the box for the port stubs that stand out from its edges.
constexpr int kMargin = 16;

}  // namespace

JImage renderModule(JModuleObj& module, double scale) {
  if (!(scale > 0)) scale = 1.0;
  const int width = static_cast<int>(std::lround(module.width * scale)) + 2 * kMargin;
  const int height = static_cast<int>(std::lround(module.height * scale)) + 2 * kMargin;
  JImage image(width, height);
  // Offsets that put the box's corner kMargin pixels from the image's.
  const double dx = kMargin / scale - module.x;
  const double dy = kMargin / scale - module.y;
  JRegion everything;
  // A box whose paint throws shows what it drew until then.
  ModuleGuard::call(&module, "paint",
                    [&] { module.paint(image.graphics(), dx, dy, everything, scale); });
  return image;
}

std::string renderModuleToPng(JModuleObj& module, const std::string& path, double scale) {
  return renderModule(module, scale).writePng(path);
}

std::vector<JFilledRect> paintedFills(JModuleObj& module) {
  std::vector<JFilledRect> fills = renderModule(module).fills();
  for (JFilledRect& fill : fills) {
    fill.rect.x -= kMargin;
    fill.rect.y -= kMargin;
  }
  return fills;
}
