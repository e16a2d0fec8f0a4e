#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "GraphSaver.h"
#include "ServerSet.h"

// The commands qeno-host reads from standard input: one table gives each
// command's name, arguments, help text and handler, and `help` prints it.
// Host thread.
class Commands {
 public:
  Commands(ServerSet& servers, GraphSaver& saver);

  // Runs one line; an unknown command or a bad argument is told in a line.
  void run(const std::string& line);
  [[nodiscard]] bool quitRequested() const { return quit_; }
  // The property sheet as `props` and --properties print it.
  static void printProperties(JModuleObj& box);

 private:
  // How `help` shows a command (help is null for an alias it leaves out),
  // and what it does with the rest of the line.
  struct Command {
    const char* name;
    const char* arguments;
    const char* help;
    void (Commands::*handler)(const std::string& rest);
  };
  static const std::vector<Command>& table();

  ServerSet::Server& selected() { return servers_[selected_]; }
  bool needNumber(const std::string& command, const std::string& rest, int& value);

  void helpCommand(const std::string& rest);
  void quitCommand(const std::string& rest);
  void replyCommand(const std::string& rest);
  void enableCommand(const std::string& rest);
  void setCommand(const std::string& rest);
  void propsCommand(const std::string& rest);
  void stopCommand(const std::string& rest);
  void shutdownCommand(const std::string& rest);
  void statusCommand(const std::string& rest);
  void outputsCommand(const std::string& rest);
  void saveCommand(const std::string& rest);
  void renderCommand(const std::string& rest);
  void serverCommand(const std::string& rest);

  ServerSet& servers_;
  GraphSaver& saver_;
  std::size_t selected_ = 0;
  bool quit_ = false;
};
