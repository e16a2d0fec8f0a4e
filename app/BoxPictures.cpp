#include "BoxPictures.h"

#include <algorithm>
#include <utility>

#include "BoxRenderer.h"
#include "Console.h"

BoxPictures::BoxPictures(const ServerSet& servers, std::string renderFile)
    : servers_(servers), renderFile_(std::move(renderFile)) {}

bool BoxPictures::checkWritable() {
  if (!enabled()) return true;
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    const std::string error = renderModuleToPng(*servers_.all()[i].box, pathFor(i));
    if (!error.empty()) {
      console::err(error);
      return false;
    }
  }
  return true;
}

void BoxPictures::repainted(JModuleObj& box) {
  if (!enabled()) return;
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    if (servers_.all()[i].box != &box) continue;
    const std::string error = renderModuleToPng(box, pathFor(i));
    bool& failing = failing_[&box];
    if (!error.empty() && !failing) console::err(error);
    failing = !error.empty();
  }
}

std::string BoxPictures::pathFor(std::size_t index) const {
  if (index == 0) return renderFile_;
  // Built by appending only: GCC 12 at -O3 warns falsely (-Wrestrict) on
  // inserting a concatenated string.
  const std::size_t dot = std::min(renderFile_.rfind(".png"), renderFile_.size());
  std::string path(renderFile_, 0, dot);
  path += '-';
  path += std::to_string(index + 1);
  path.append(renderFile_, dot, std::string::npos);
  return path;
}
