#pragma once

#include <string_view>

// The editor page's files, built into the program so that an installed
// qeno-host needs nothing beside it.
struct PageAsset {
  std::string_view path;  // as requested, "/index.html"
  std::string_view type;  // Content-Type
  std::string_view bytes;
};

// The file at path, or null.
const PageAsset* findPageAsset(std::string_view path);
