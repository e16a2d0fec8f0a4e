// The page's edits of one box: its properties, its place, its server's
// start, stop and shutdown; and saving.
#include "EditRoutes.h"

#include <httplib.h>

#include "GraphEditor.h"
#include "HostCalls.h"
#include "ModuleGuard.h"
#include "ServerBox.h"

using namespace webrequest;

EditRoutes::EditRoutes(JGraph& graph, GraphEditor& editor, const HostCalls& calls,
                       const WebUiHooks& hooks)
    : graph_(graph), editor_(editor), calls_(calls), hooks_(hooks) {}

void EditRoutes::addTo(RouteTable& routes) {
  addBoxEdits(routes);
  addGraphEdits(routes);
}

void EditRoutes::onHost(RouteTable& routes, const char* path, Edit edit, std::size_t bodyLimit) {
  routes.post(
      path,
      [this, edit = std::move(edit), bodyLimit](const httplib::Request& /*req*/,
                                                httplib::Response& res,
                                                const httplib::ContentReader& read) {
        std::string text;
        if (!readBody(read, text, res, bodyLimit)) return;
        Json body;
        std::string reason;
        if (!parseBody(text, body, reason)) return reply(res, failure(400, reason));
        reply(res, calls_.run([edit, body = std::move(body)] { return edit(body); }));
      },
      bodyLimit);
}

void EditRoutes::addBoxEdits(RouteTable& routes) {
  // Checks a body that names a box by its number and runs edit on the host
  // thread with the box, when it exists.
  auto onBox = [this](std::function<Outcome(JModuleObj&, int, const Json&)> edit) {
    return [this, edit = std::move(edit)](const Json& body) {
      std::string reason;
      int number = 0;
      if (!indexField(body, "module", number, reason)) return failure(400, reason);
      JModuleObj* box = graph_.numbered(number);
      if (box == nullptr) return failure(404, "no module " + std::to_string(number));
      Outcome outcome = edit(*box, number, body);
      // Looked up again: the box the edit leaves under the number is the one told.
      box = graph_.numbered(number);
      if (outcome.status == 200 && box != nullptr && hooks_.edited) hooks_.edited(*box);
      return outcome;
    };
  };

  onHost(routes, "/api/property", onBox([this](JModuleObj& /*box*/, int number, const Json& body) {
           std::string value;
           std::string reason;
           auto found = body.find("name");
           if (found == body.end() || !found->is_string()) {
             return failure(400, "'name' must be the text of a property's name");
           }
           const std::string name = found->get<std::string>();
           if (!valueField(body, "value", value, reason)) return failure(400, reason);
           const std::string error = editor_.setProperty(number, name, value);
           return error.empty() ? success() : failure(422, error, name);
         }));
  onHost(routes, "/api/move", onBox([this](JModuleObj& /*box*/, int number, const Json& body) {
           double x = 0;
           double y = 0;
           std::string reason;
           if (!numberField(body, "x", x, reason) || !numberField(body, "y", y, reason)) {
             return failure(400, reason);
           }
           return outcomeOf(editor_.move(number, x, y));
         }));
  onHost(routes, "/api/command", onBox([this](JModuleObj& box, int number, const Json& body) {
           auto found = body.find("command");
           const std::string command =
               found != body.end() && found->is_string() ? found->get<std::string>() : "";
           // Any box held since it crashed may be let run again.
           if (command == "release") return outcomeOf(editor_.release(number));
           if (command != "start" && command != "stop" && command != "shutdown") {
             return failure(400,
                            "'command' must be \"start\", \"stop\", \"shutdown\" or \"release\"");
           }
           if (!ServerBox::is(box)) {
             return failure(422, std::string(box.className()) + " has no " + command);
           }
           if (command == "start") {
             // readInput takes a 1, from its source if one is linked.
             ServerBox::setReadInput(box, 1);
           } else if (command == "stop") {
             ModuleGuard::call(&box, "stop", [&box] { box.stop(); });
           } else {
             ModuleGuard::call(&box, "shutdown", [&box] { box.shutdown(); });
           }
           return success();
         }));
  onHost(routes, "/api/save", [this](const Json& /*body*/) {
    if (!hooks_.save) return failure(409, "no file to save to: start with --save FILE");
    std::string error = hooks_.save();
    return error.empty() ? success() : failure(500, error);
  });
}
