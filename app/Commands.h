#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "GraphEditor.h"
#include "GraphSaver.h"
#include "ServerSet.h"

// The commands qeno-host reads from standard input: one table gives each
// command's name, arguments, help text and handler, and `help` prints it.
// Host thread.
class Commands {
 public:
  Commands(ServerSet& servers, GraphSaver& saver, GraphEditor& editor);

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

  // The server commands act on, or null (told) when the graph has none.
  ServerSet::Server* selected();
  // "N.PORT" into a box number and a port's name or number.
  static bool splitPort(const std::string& text, int& box, std::string& port);
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
  void addCommand(const std::string& rest);
  void removeCommand(const std::string& rest);
  void linkCommand(const std::string& rest);
  void unlinkCommand(const std::string& rest);
  void linkOrUnlink(const std::string& command, const std::string& rest);
  void undoCommand(const std::string& rest);
  void redoCommand(const std::string& rest);
  void releaseCommand(const std::string& rest);
  void classesCommand(const std::string& rest);

  ServerSet& servers_;
  GraphSaver& saver_;
  GraphEditor& editor_;
  std::size_t selected_ = 0;
  bool quit_ = false;
};
