// qeno-host: loads the Qeno Server module and runs it in a graph.

#include <exception>

#include "Console.h"
#include "HostApp.h"
#include "Options.h"

int main(int argc, char** argv) {
  Options options;
  if (auto code = parseOptions(argc, argv, options)) return *code;
  try {
    HostApp app(std::move(options));
    return app.run();
  } catch (const std::exception& e) {
    console::err(e.what());
    return 1;
  }
}
