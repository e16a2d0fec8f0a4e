// The commands qeno-host reads from standard input: one table gives each
// command's name, arguments, help text and handler, and `help` prints it.

#include <algorithm>
#include <sstream>

#include "BoxRenderer.h"
#include "Console.h"
#include "GraphFile.h"
#include "HostApp.h"
#include "HostModules.h"
#include "JComponent.h"
#include "PropertySheet.h"
#include "SocketCensus.h"

namespace {

// Name and arguments take this many columns in the help text.
constexpr std::size_t kUsageWidth = 17;
// What the user sees of a text: valid UTF-8 as itself, controls escaped.
constexpr JComponent::EscapeStyle kShown = JComponent::EscapeStyle::kUtf8;

}  // namespace

const std::vector<HostApp::Command>& HostApp::commands() {
  static const std::vector<Command> table = {
      {"reply", "N", "number sent in every reply (input sendOutput)", &HostApp::replyCommand},
      {"enable", "N", "value on input readInput: non-zero starts the server",
       &HostApp::enableCommand},
      {"set", "NAME VALUE", "edit a property (see props)", &HostApp::setCommand},
      {"props", "", "show the property sheet", &HostApp::propsCommand},
      {"stop", "", "stop the server and wait for it", &HostApp::stopCommand},
      {"shutdown", "", "mark the server idle and drop its client", &HostApp::shutdownCommand},
      {"status", "", "server state, square colour, port", &HostApp::statusCommand},
      {"outputs", "", "the current value of every output", &HostApp::outputsCommand},
      {"save", "FILE", "save the graph", &HostApp::saveCommand},
      {"render", "FILE", "render the box to a PNG file", &HostApp::renderCommand},
      {"server", "[N]", "list the servers, or act on server N from now on",
       &HostApp::serverCommand},
      {"help", "", "this list", &HostApp::helpCommand},
      {"quit", "", "stop everything and exit", &HostApp::quitCommand},
      {"exit", "", nullptr, &HostApp::quitCommand},
  };
  return table;
}

void HostApp::runCommand(const std::string& line) {
  std::istringstream words(line);
  std::string command;
  if (!(words >> command)) return;
  std::string rest;
  std::getline(words >> std::ws, rest);
  for (const Command& entry : commands()) {
    if (command == entry.name) return (this->*entry.handler)(rest);
  }
  console::err("unknown command '" + JComponent::escape(command, kShown) + "'; type help");
}

bool HostApp::needNumber(const std::string& command, const std::string& rest, int& value) {
  if (parseWholeNumber(rest, value)) return true;
  console::err(command + " takes a whole number, not '" + JComponent::escape(rest, kShown) + "'");
  return false;
}

void HostApp::helpCommand(const std::string& /*rest*/) {
  std::string text = "commands:";
  for (const Command& entry : commands()) {
    if (entry.help == nullptr) continue;
    std::string usage = entry.name;
    if (*entry.arguments != '\0') usage += std::string(" ") + entry.arguments;
    usage.resize(std::max(usage.size() + 1, kUsageWidth), ' ');
    text += "\n  " + usage + entry.help;
  }
  console::out(text);
}

void HostApp::quitCommand(const std::string& /*rest*/) {
  quit_ = true;
}

void HostApp::replyCommand(const std::string& rest) {
  Server& server = servers_[selected_];
  int value = 0;
  if (!needNumber("reply", rest, value)) return;
  if (server.reply == nullptr) return console::err("no source is linked to sendOutput");
  server.reply->setValue(value);
}

void HostApp::enableCommand(const std::string& rest) {
  Server& server = servers_[selected_];
  int value = 0;
  if (!needNumber("enable", rest, value)) return;
  if (server.enable == nullptr) return console::err("no source is linked to readInput");
  enable(server, value);
}

void HostApp::setCommand(const std::string& rest) {
  std::istringstream parts(rest);
  std::string name;
  parts >> name;
  std::string value;
  std::getline(parts >> std::ws, value);
  if (name.empty()) return console::err("set takes NAME VALUE");
  std::string error;
  if (!editProperty(*servers_[selected_].box, name, value, error)) return console::err(error);
}

void HostApp::propsCommand(const std::string& /*rest*/) {
  printProperties(*servers_[selected_].box);
}

void HostApp::stopCommand(const std::string& /*rest*/) {
  servers_[selected_].box->stop();
}

void HostApp::shutdownCommand(const std::string& /*rest*/) {
  servers_[selected_].box->shutdown();
}

void HostApp::statusCommand(const std::string& /*rest*/) {
  printStatus();
}

void HostApp::outputsCommand(const std::string& /*rest*/) {
  for (const OutputRow& row : listOutputs(*servers_[selected_].box)) {
    std::string name = row.name;
    name.resize(std::max<std::size_t>(name.size() + 1, 10), ' ');
    console::out(name + row.value);
  }
}

void HostApp::saveCommand(const std::string& rest) {
  if (rest.empty()) return console::err("save takes a FILE");
  try {
    saveGraphFile(*graph_, rest);
    console::out("saved the graph to " + rest);
  } catch (const std::exception& e) {
    console::err(e.what());
  }
}

void HostApp::renderCommand(const std::string& rest) {
  if (rest.empty()) return console::err("render takes a FILE");
  std::string error = renderModuleToPng(*servers_[selected_].box, rest);
  if (!error.empty()) return console::err(error);
  console::out("rendered the box to " + rest);
}

void HostApp::serverCommand(const std::string& rest) {
  if (rest.empty()) {
    for (std::size_t i = 0; i < servers_.size(); ++i) {
      console::out((i == selected_ ? "* " : "  ") + std::to_string(i) + ": port " +
                   std::to_string(portOf(*servers_[i].box)));
    }
    return;
  }
  int index = 0;
  if (!parseWholeNumber(rest, index) || index < 0 ||
      static_cast<std::size_t>(index) >= servers_.size()) {
    return console::err("server takes a number from 0 to " + std::to_string(servers_.size() - 1));
  }
  selected_ = static_cast<std::size_t>(index);
}

void HostApp::enable(Server& server, int value) {
  if (value != 0) server.startedPort = portOf(*server.box);
  server.enable->setValue(value);
}

void HostApp::printProperties(JModuleObj& box) {
  for (const PropertyRow& row : listProperties(box)) {
    std::string text = row.name;
    text.resize(std::max<std::size_t>(text.size() + 1, 20), ' ');
    std::string value = JComponent::escape(row.value, kShown);
    if (row.isInteger) {
      value.resize(std::max<std::size_t>(value.size() + 1, 12), ' ');
      value += std::to_string(row.lower) + ".." + std::to_string(row.upper);
    }
    console::out(text + value);
  }
}

int HostApp::stateOf(const Server& server) {
  const int port = server.startedPort;
  if (port != 0 && SocketCensus::connections(port) > 0) return 2;
  if (port != 0 && SocketCensus::listeners(port) > 0) return 1;
  return 0;
}

void HostApp::printStatus() {
  Server& server = servers_[selected_];
  const int port = server.startedPort;
  const int state = stateOf(server);
  static const char* const names[] = {"idle", "listening", "connected"};
  // The square is what a user sees of the connection flag: the last red or
  // green rectangle the box's paint filled.
  const char* flag = "not shown";
  for (const JFilledRect& fill : paintedFills(*server.box)) {
    if (fill.color == JColor::green) flag = "1 (green)";
    if (fill.color == JColor::red) flag = "0 (red)";
  }
  console::out("server state " + std::to_string(state) + " (" + names[state] +
               "), connected flag " + flag + ", port " + std::to_string(portOf(*server.box)) +
               (state != 0 ? ", serving on " + std::to_string(port) : std::string()));
}
