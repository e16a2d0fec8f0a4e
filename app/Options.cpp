#include "Options.h"

#include <arpa/inet.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdio>

#include "QenoVersion.h"

namespace {

constexpr const char* kVersion = "qeno-host " QENO_HOST_VERSION;

std::string numericAddressCheck(const std::string& text) {
  unsigned char scratch[sizeof(in6_addr)];
  if (inet_pton(AF_INET, text.c_str(), scratch) == 1) return {};
  if (inet_pton(AF_INET6, text.c_str(), scratch) == 1) return {};
  return "'" + text + "' is not a numeric IPv4 or IPv6 address";
}

std::string clientTimeoutCheck(const std::string& text) {
  const char* first = text.data();
  const char* last = first + text.size();
  double seconds = 0;
  auto [end, problem] = std::from_chars(first, last, seconds);
  if (problem != std::errc() || end != last || first == last) {
    return "'" + text + "' is not a number of seconds";
  }
  if (!(seconds >= 0 && seconds <= 86400)) return text + " is not from 0 to 86400 seconds";
  return {};
}

// Splits "PORT", "ADDRESS:PORT" or "[V6]:PORT"; returns a reason or nothing.
std::string parseUiTarget(const std::string& text, Options& options) {
  std::string address = options.uiAddress;
  std::string port = text;
  const std::size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    address = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
      address = address.substr(1, address.size() - 2);
    }
    if (std::string problem = numericAddressCheck(address); !problem.empty()) return problem;
  }
  int value = -1;
  auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (error != std::errc() || end != port.data() + port.size() || value < 0 || value > 65535) {
    return "'" + port + "' is not a port from 0 to 65535";
  }
  options.uiAddress = address;
  options.uiPort = value;
  options.ui = true;
  return {};
}

}  // namespace

std::optional<int> parseOptions(int argc, char** argv, Options& options) {
  CLI::App app{
      "qeno-host: runs Qeno Server boxes in a graph, serving real clients.\n"
      "Commands on standard input drive the graph; type 'help' once it runs.",
      "qeno-host"};
  app.set_version_flag("--version", kVersion);
  std::vector<std::string> sets;
  std::string ui;

  app.add_option("--port", options.port,
                 "Port of the server (property 'port', 80 to 10000; default 8080)");
  app.add_option("--reply", options.reply, "Number sent in every reply (input 'sendOutput')");
  app.add_option("--host-name", options.hostName, "Host name shown in the box");
  app.add_option("--url", options.url, "URL setting of the box");
  app.add_option("--set", sets, "Any property, as NAME=VALUE (repeatable)")
      ->type_name("NAME=VALUE");
  app.add_option("--graph", options.graphFile, "Run the graph saved in FILE")->type_name("FILE");
  app.add_option("--save", options.saveFile,
                 "Save the graph to FILE within a second of every change, and on exit")
      ->type_name("FILE");
  app.add_flag("--properties", options.listProperties, "Print the property sheet and exit");
  app.add_option("--render", options.renderFile, "Render the box to this PNG on every repaint")
      ->type_name("FILE.png");
  app.add_option("--bind", options.bindAddress,
                 "Address the servers listen on (default 127.0.0.1: this machine only)")
      ->type_name("ADDRESS")
      ->check(CLI::Validator(numericAddressCheck, ""));
  // No description on the check: the help then shows SECONDS alone.
  app.add_option("--client-timeout", options.clientTimeoutSeconds,
                 "Close a connection idle this many seconds, 0 to 86400; 0: never (default 30)")
      ->type_name("SECONDS")
      ->check(CLI::Validator(clientTimeoutCheck, ""));
  app.add_option("--ui", ui,
                 "Serve the live editor page on PORT of 127.0.0.1, or of ADDRESS (0: any free "
                 "port); the address to open is printed")
      ->type_name("[ADDRESS:]PORT");
  app.add_flag("--quiet", options.quiet, "Silence the debug channel");
  app.add_flag("--safe", options.safe,
               "Deliver no input to the graph's boxes, so every server stays idle: opens a graph "
               "whose module fails at start, to mend it");
  app.add_option("--debug-log", options.debugLog, "Write the debug channel to FILE")
      ->type_name("FILE");
  auto* folders = app.add_option("--module-path", options.moduleFolders,
                                 "Also load every module library in DIR (repeatable)")
                      ->type_name("DIR")
                      ->allow_extra_args(false);
  app.add_option("--module", options.modulePath, "Load only this module library, no module folders")
      ->type_name("FILE")
      ->excludes(folders);
  app.add_flag("--classes", options.listClasses,
               "List the registered classes and their libraries, and exit");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "qeno-host: %s (see --help)\n", e.what());
    return 2;
  }
  for (const std::string& set : sets) {
    std::size_t equals = set.find('=');
    if (equals == std::string::npos || equals == 0) {
      std::fprintf(stderr, "qeno-host: --set takes NAME=VALUE, not '%s'\n", set.c_str());
      return 2;
    }
    options.settings.emplace_back(set.substr(0, equals), set.substr(equals + 1));
  }
  if (!ui.empty()) {
    if (std::string problem = parseUiTarget(ui, options); !problem.empty()) {
      std::fprintf(stderr, "qeno-host: --ui: %s\n", problem.c_str());
      return 2;
    }
  }
  if (!options.debugLog.empty() && options.quiet) {
    std::fprintf(stderr, "qeno-host: --quiet and --debug-log exclude each other\n");
    return 2;
  }
  return std::nullopt;
}
