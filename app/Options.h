#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

// What the user asked for on the command line.
struct Options {
  // Ordered by size, so the struct carries no padding.
  double clientTimeoutSeconds = 30;
  std::vector<std::string> moduleFolders;                     // --module-path, in order
  std::vector<std::pair<std::string, std::string>> settings;  // --set NAME=VALUE, in order
  std::string modulePath;                                     // non-empty: load only this library
  std::string graphFile;
  std::string saveFile;
  std::string renderFile;
  std::string bindAddress = "127.0.0.1";
  std::string debugLog;
  std::string uiAddress = "127.0.0.1";
  std::optional<std::string> hostName;
  std::optional<std::string> url;
  int uiPort = 0;  // 0: any free port
  std::optional<int> port;
  std::optional<int> reply;
  bool listClasses = false;
  bool listProperties = false;
  bool quiet = false;
  bool safe = false;  // --safe: deliver no input, so every server stays idle
  bool ui = false;    // --ui [ADDRESS:]PORT: serve the editor page
};

// The port the one-box graph serves on when --port is not given: inside the
// property sheet's range and free of root-only ports.
constexpr int kDefaultPort = 8080;

// Parses argv. Returns the exit code to end with at once (help, version, or a
// one-line error already printed), or nothing to go on.
std::optional<int> parseOptions(int argc, char** argv, Options& options);
