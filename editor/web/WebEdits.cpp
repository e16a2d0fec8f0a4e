// The page's changes to the graph: each request is checked here on its HTTP
// thread, then applied on the host thread through the graph's one editor, as
// a command typed on standard input would be.
#include <httplib.h>

#include <chrono>

#include "GraphEditor.h"
#include "JRegistry.h"
#include "ModuleGuard.h"
#include "WebRequests.h"
#include "WebUiShared.h"

using namespace webrequest;

namespace {

constexpr auto kHostWait = std::chrono::seconds(5);
constexpr const char* kServerClass = "QenoServer";

}  // namespace

WebUi::Shared::Outcome WebUi::Shared::runOnHost(std::function<Outcome()> work) {
  struct Pending {
    std::mutex lock;  // guards done, outcome
    std::condition_variable finished;
    bool done = false;
    Outcome outcome;
  };
  auto pending = std::make_shared<Pending>();
  graph.post([self = shared_from_this(), pending, work = std::move(work)] {
    Outcome outcome = self->stopping ? failure(503, "qeno-host is stopping") : work();
    {
      std::lock_guard<std::mutex> hold(pending->lock);
      pending->outcome = std::move(outcome);
      pending->done = true;
    }
    pending->finished.notify_all();
    self->markDirty();
  });
  // Waits in slices so that a stop does not wait for a task that will not run.
  const auto deadline = std::chrono::steady_clock::now() + kHostWait;
  std::unique_lock<std::mutex> hold(pending->lock);
  while (!pending->done) {
    if (stopping) return failure(503, "qeno-host is stopping");
    if (std::chrono::steady_clock::now() >= deadline) {
      return failure(503, "qeno-host did not answer in time");
    }
    pending->finished.wait_for(hold, std::chrono::milliseconds(50));
  }
  return pending->outcome;
}

WebUi::Shared::Handler WebUi::Shared::onHost(std::function<Outcome(const Json&)> edit,
                                             std::size_t limit) {
  return
      [this, edit = std::move(edit), limit](const httplib::Request& /*req*/, httplib::Response& res,
                                            const httplib::ContentReader& read) {
        std::string text;
        if (!readBody(read, text, res, limit)) return;
        Json body;
        std::string reason;
        if (!parseBody(text, body, reason)) return reply(res, failure(400, reason));
        reply(res, runOnHost([edit, body = std::move(body)] { return edit(body); }));
      };
}

void WebUi::Shared::addEditRoutes(httplib::Server& server) {
  // Checks a body that names a box by its number and runs edit on the host
  // thread with the box, when it exists.
  auto route = [this](std::function<Outcome(JModuleObj&, int, const Json&)> edit) {
    return onHost([this, edit](const Json& body) {
      std::string reason;
      int number = 0;
      if (!indexField(body, "module", number, reason)) return failure(400, reason);
      JModuleObj* box = graph.numbered(number);
      if (box == nullptr) return failure(404, "no module " + std::to_string(number));
      Outcome outcome = edit(*box, number, body);
      // Looked up again: the box the edit leaves under the number is the one told.
      box = graph.numbered(number);
      if (outcome.status == 200 && box != nullptr && hooks.edited) hooks.edited(*box);
      return outcome;
    });
  };

  server.Post("/api/property", route([this](JModuleObj& /*box*/, int number, const Json& body) {
                std::string value;
                std::string reason;
                auto found = body.find("name");
                if (found == body.end() || !found->is_string()) {
                  return failure(400, "'name' must be the text of a property's name");
                }
                const std::string name = found->get<std::string>();
                if (!valueField(body, "value", value, reason)) return failure(400, reason);
                const std::string error = editor.setProperty(number, name, value);
                return error.empty() ? success() : failure(422, error, name);
              }));
  server.Post("/api/move", route([this](JModuleObj& /*box*/, int number, const Json& body) {
                double x = 0;
                double y = 0;
                std::string reason;
                if (!numberField(body, "x", x, reason) || !numberField(body, "y", y, reason)) {
                  return failure(400, reason);
                }
                return outcomeOf(editor.move(number, x, y));
              }));
  server.Post("/api/command", route([](JModuleObj& box, int /*number*/, const Json& body) {
                auto found = body.find("command");
                const std::string command =
                    found != body.end() && found->is_string() ? found->get<std::string>() : "";
                if (command != "stop" && command != "shutdown") {
                  return failure(400, "'command' must be \"stop\" or \"shutdown\"");
                }
                if (std::string(box.className()) != kServerClass) {
                  return failure(422, std::string(box.className()) + " has no " + command);
                }
                if (command == "stop") {
                  ModuleGuard::call(&box, "stop", [&box] { box.stop(); });
                } else {
                  ModuleGuard::call(&box, "shutdown", [&box] { box.shutdown(); });
                }
                return success();
              }));
  server.Post("/api/save", onHost([this](const Json& /*body*/) {
                if (!hooks.save) return failure(409, "no file to save to: start with --save FILE");
                std::string error = hooks.save();
                return error.empty() ? success() : failure(500, error);
              }));
  addGraphEditRoutes(server);
}
