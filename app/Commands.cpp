#include "Commands.h"

#include <algorithm>
#include <sstream>

#include "BoxRenderer.h"
#include "Console.h"
#include "HeldBox.h"
#include "HeldBoxes.h"
#include "HostModules.h"
#include "JComponent.h"
#include "JRegistry.h"
#include "ModuleGuard.h"
#include "PropertySheet.h"
#include "ServerBox.h"

namespace {

// Name and arguments take this many columns in the help text.
constexpr std::size_t kUsageWidth = 20;
// What the user sees of a text: valid UTF-8 as itself, controls escaped.
constexpr JComponent::EscapeStyle kShown = JComponent::EscapeStyle::kUtf8;

}  // namespace

Commands::Commands(ServerSet& servers, GraphSaver& saver, GraphEditor& editor)
    : servers_(servers), saver_(saver), editor_(editor) {}

ServerSet::Server* Commands::selected() {
  if (servers_.size() == 0) {
    console::err(std::string("the graph holds no server; add one with: add ") +
                 ServerBox::kClassName);
    return nullptr;
  }
  selected_ = std::min(selected_, servers_.size() - 1);
  return &servers_[selected_];
}

bool Commands::splitPort(const std::string& text, int& box, std::string& port) {
  const std::size_t dot = text.find('.');
  if (dot == std::string::npos || dot + 1 == text.size()) return false;
  port = text.substr(dot + 1);
  return parseWholeNumber(text.substr(0, dot), box);
}

const std::vector<Commands::Command>& Commands::table() {
  static const std::vector<Command> commands = {
      {"reply", "N", "number sent in every reply (input sendOutput)", &Commands::replyCommand},
      {"enable", "N", "value on input readInput (its source's, if linked): non-zero starts",
       &Commands::enableCommand},
      {"set", "[N] NAME VALUE", "edit a property of box N, or of the server (see props)",
       &Commands::setCommand},
      {"props", "[N]", "show the property sheet of box N, or of the server",
       &Commands::propsCommand},
      {"stop", "", "stop the server and wait for it", &Commands::stopCommand},
      {"shutdown", "", "mark the server idle and drop its client", &Commands::shutdownCommand},
      {"status", "",
       "server state, square colour, port; every box's status line; boxes held, hanging, faulted",
       &Commands::statusCommand},
      {"outputs", "", "the current value of every output", &Commands::outputsCommand},
      {"save", "FILE", "save the graph", &Commands::saveCommand},
      {"render", "FILE", "render the box to a PNG file", &Commands::renderCommand},
      {"server", "[N]", "list the servers, or act on server N from now on (servers count apart)",
       &Commands::serverCommand},
      {"classes", "", "the classes a box can be made of", &Commands::classesCommand},
      {"add", "CLASS [X Y]", "add a box", &Commands::addCommand},
      {"remove", "N...", "remove boxes and their links", &Commands::removeCommand},
      {"link", "N.OUT M.IN", "link an output to an input (port names or numbers)",
       &Commands::linkCommand},
      {"unlink", "N.OUT M.IN", "remove that link; the input keeps its value",
       &Commands::unlinkCommand},
      {"undo", "", "undo the last edit", &Commands::undoCommand},
      {"redo", "", "redo the last undone edit", &Commands::redoCommand},
      {"release", "N", "let box N, held since it crashed, run again", &Commands::releaseCommand},
      {"help", "", "this list", &Commands::helpCommand},
      {"quit", "", "stop everything and exit", &Commands::quitCommand},
      {"exit", "", nullptr, &Commands::quitCommand},
  };
  return commands;
}

void Commands::run(const std::string& line) {
  std::istringstream words(line);
  std::string command;
  if (!(words >> command)) return;
  std::string rest;
  std::getline(words >> std::ws, rest);
  for (const Command& entry : table()) {
    if (command == entry.name) return (this->*entry.handler)(rest);
  }
  console::err("unknown command '" + JComponent::escape(command, kShown) + "'; type help");
}

bool Commands::needNumber(const std::string& command, const std::string& rest, int& value) {
  if (parseWholeNumber(rest, value)) return true;
  console::err(command + " takes a whole number, not '" + JComponent::escape(rest, kShown) + "'");
  return false;
}

void Commands::helpCommand(const std::string& /*rest*/) {
  std::string text = "commands:";
  for (const Command& entry : table()) {
    if (entry.help == nullptr) continue;
    std::string usage = entry.name;
    if (*entry.arguments != '\0') usage += std::string(" ") + entry.arguments;
    usage.resize(std::max(usage.size() + 1, kUsageWidth), ' ');
    text += "\n  " + usage + entry.help;
  }
  console::out(text);
}

void Commands::quitCommand(const std::string& /*rest*/) {
  quit_ = true;
}

void Commands::replyCommand(const std::string& rest) {
  int value = 0;
  ServerSet::Server* server = selected();
  if (server == nullptr || !needNumber("reply", rest, value)) return;
  if (server->reply == nullptr) return console::err("no source is linked to sendOutput");
  server->reply->setValue(value);
}

void Commands::enableCommand(const std::string& rest) {
  int value = 0;
  ServerSet::Server* server = selected();
  if (server == nullptr || !needNumber("enable", rest, value)) return;
  servers_.enable(*server, value);
}

void Commands::setCommand(const std::string& rest) {
  // "N NAME VALUE" edits box N, "NAME VALUE" the server. One separator goes
  // after the name; the value keeps the rest, leading spaces included, as
  // with --set NAME=VALUE.
  std::string text = rest;
  int number = -1;
  const std::size_t firstEnd = text.find_first_of(" \t");
  if (parseWholeNumber(text.substr(0, firstEnd), number)) {
    text.erase(0,
               firstEnd == std::string::npos ? firstEnd : text.find_first_not_of(" \t", firstEnd));
  } else {
    number = -1;
  }
  const std::size_t nameEnd = text.find_first_of(" \t");
  const std::string name = text.substr(0, nameEnd);
  const std::string value = nameEnd == std::string::npos ? "" : text.substr(nameEnd + 1);
  if (name.empty()) return console::err("set takes [N] NAME VALUE");
  if (number < 0) {
    ServerSet::Server* server = selected();
    if (server == nullptr) return;
    number = servers_.graph().numberOf(*server->box);
  }
  const std::string error = editor_.setProperty(number, name, value);
  if (!error.empty()) console::err(error);
}

void Commands::propsCommand(const std::string& rest) {
  if (rest.empty()) {
    if (ServerSet::Server* server = selected()) printProperties(*server->box);
    return;
  }
  int number = 0;
  if (!parseWholeNumber(rest, number)) {
    return console::err("props takes a box number, not '" + JComponent::escape(rest, kShown) + "'");
  }
  JModuleObj* box = servers_.graph().numbered(number);
  if (box == nullptr) return console::err("there is no box " + std::to_string(number));
  printProperties(*box);
}

void Commands::stopCommand(const std::string& /*rest*/) {
  ServerSet::Server* server = selected();
  if (server == nullptr) return;
  JModuleObj* box = server->box;
  ModuleGuard::call(box, "stop", [box] { box->stop(); });
}

void Commands::shutdownCommand(const std::string& /*rest*/) {
  ServerSet::Server* server = selected();
  if (server == nullptr) return;
  JModuleObj* box = server->box;
  ModuleGuard::call(box, "shutdown", [box] { box->shutdown(); });
}

void Commands::statusCommand(const std::string& /*rest*/) {
  if (ServerSet::Server* server = selected()) console::out(servers_.statusLine(*server));
  // The line under each box on the page, then trouble anywhere in the
  // graph: a held box (whose fault is its crash), a call that has not
  // returned, a fault.
  JGraph& graph = servers_.graph();
  for (const auto& module : graph.modules()) {
    if (auto line = servers_.boxStatus(*module)) {
      console::out("box " + std::to_string(graph.numberOf(*module)) + " (" + module->className() +
                   "): " + line->text);
    }
  }
  for (const HeldBoxes::Held& held : HeldBoxes::list(graph)) console::out(held.line);
  for (const ModuleGuard::Hang& hang : ModuleGuard::hangs()) console::out(hang.line());
  for (const auto& module : graph.modules()) {
    if (dynamic_cast<const HeldBox*>(module.get()) != nullptr) continue;
    const std::string fault = ServerSet::faultLine(*module);
    if (!fault.empty()) console::out(fault);
  }
}

void Commands::outputsCommand(const std::string& /*rest*/) {
  ServerSet::Server* server = selected();
  if (server == nullptr) return;
  for (const OutputRow& row : listOutputs(*server->box)) {
    std::string name = row.name;
    name.resize(std::max<std::size_t>(name.size() + 1, 10), ' ');
    console::out(name + row.value);
  }
}

void Commands::saveCommand(const std::string& rest) {
  if (rest.empty()) return console::err("save takes a FILE");
  saver_.saveTo(rest);
}

void Commands::renderCommand(const std::string& rest) {
  if (rest.empty()) return console::err("render takes a FILE");
  ServerSet::Server* server = selected();
  if (server == nullptr) return;
  std::string error = renderModuleToPng(*server->box, rest);
  if (!error.empty()) return console::err(error);
  console::out("rendered the box to " + rest);
}

void Commands::serverCommand(const std::string& rest) {
  if (rest.empty()) {
    for (std::size_t i = 0; i < servers_.size(); ++i) {
      console::out((i == selected_ ? "* " : "  ") + std::to_string(i) + ": port " +
                   std::to_string(ServerSet::portOf(*servers_[i].box)));
    }
    return;
  }
  if (selected() == nullptr) return;  // told: no server to count
  int index = 0;
  if (!parseWholeNumber(rest, index) || index < 0 ||
      static_cast<std::size_t>(index) >= servers_.size()) {
    return console::err("server takes a server's number, from 0 to " +
                        std::to_string(servers_.size() - 1) +
                        "; props and set take a box's number");
  }
  selected_ = static_cast<std::size_t>(index);
}

void Commands::printProperties(JModuleObj& box) {
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

void Commands::classesCommand(const std::string& /*rest*/) {
  for (const std::string& name : JRegistry::instance().names()) console::out(name);
}

void Commands::addCommand(const std::string& rest) {
  std::istringstream words(rest);
  std::string className;
  double x = 0;
  double y = 0;
  words >> className;
  if (className.empty()) return console::err("add takes CLASS [X Y]");
  if (!(words >> std::ws).eof() && !(words >> x >> y)) {
    return console::err("add takes CLASS [X Y], X and Y numbers");
  }
  int number = -1;
  const std::string error = editor_.add(className, x, y, number);
  if (!error.empty()) return console::err(error);
  console::out("added box " + std::to_string(number) + " (" + className + ")");
}

void Commands::removeCommand(const std::string& rest) {
  std::istringstream words(rest);
  std::vector<int> numbers;
  std::string word;
  while (words >> word) {
    int number = 0;
    if (!parseWholeNumber(word, number)) {
      return console::err("remove takes box numbers, not '" + JComponent::escape(word, kShown) +
                          "'");
    }
    numbers.push_back(number);
  }
  const std::string error = editor_.remove(numbers);
  if (!error.empty()) console::err(error);
}

void Commands::linkCommand(const std::string& rest) {
  linkOrUnlink("link", rest);
}

void Commands::unlinkCommand(const std::string& rest) {
  linkOrUnlink("unlink", rest);
}

void Commands::linkOrUnlink(const std::string& command, const std::string& rest) {
  std::istringstream words(rest);
  std::string from;
  std::string to;
  int fromBox = 0;
  int toBox = 0;
  std::string output;
  std::string input;
  if (!(words >> from >> to) || !splitPort(from, fromBox, output) || !splitPort(to, toBox, input)) {
    return console::err(command + " takes N.OUTPUT M.INPUT");
  }
  const std::string error = command == "link" ? editor_.link(fromBox, output, toBox, input)
                                              : editor_.unlink(fromBox, output, toBox, input);
  if (!error.empty()) console::err(error);
}

void Commands::undoCommand(const std::string& /*rest*/) {
  const std::string error = editor_.undo();
  if (!error.empty()) console::err(error);
}

void Commands::redoCommand(const std::string& /*rest*/) {
  const std::string error = editor_.redo();
  if (!error.empty()) console::err(error);
}

void Commands::releaseCommand(const std::string& rest) {
  int number = 0;
  if (!needNumber("release", rest, number)) return;
  const std::string error = editor_.release(number);
  if (!error.empty()) return console::err(error);
  console::out("box " + std::to_string(number) + " runs again");
}
