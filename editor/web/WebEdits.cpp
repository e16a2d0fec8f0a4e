// The page's changes to the graph: each request is checked here on its HTTP
// thread, then applied on the host thread as a command typed on standard
// input would be.
#include <httplib.h>

#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>

#include "HostModules.h"
#include "ModuleGuard.h"
#include "PropertySheet.h"
#include "WebUiShared.h"

namespace {

using nlohmann::json;
using Outcome = WebUi::Shared::Outcome;

constexpr auto kHostWait = std::chrono::seconds(5);
constexpr std::size_t kMaxBodyBytes = std::size_t{16} * 1024;
constexpr const char* kServerClass = "QenoServer";

Outcome failure(int status, const std::string& reason, const std::string& field = {}) {
  json body = {{"error", reason}};
  if (!field.empty()) body["field"] = field;
  return {status, body.dump(-1, ' ', false, json::error_handler_t::replace)};
}

Outcome success() {
  return {200, R"({"ok":true})"};
}

// The request's body as a JSON object, or the reason it is not one.
bool parseBody(const std::string& body, json& parsed, std::string& reason) {
  try {
    parsed = json::parse(body);
  } catch (const json::parse_error& e) {
    reason = std::string("bad JSON: ") + e.what();
    return false;
  }
  if (!parsed.is_object()) {
    reason = "bad JSON: the body must be an object";
    return false;
  }
  return true;
}

// A whole-number field that lies in [0, limit).
bool indexField(const json& body, const char* name, std::size_t& index, std::string& reason) {
  auto found = body.find(name);
  if (found == body.end() || !found->is_number_integer() || found->get<long long>() < 0) {
    reason = std::string("'") + name + "' must be a whole number of at least 0";
    return false;
  }
  index = static_cast<std::size_t>(found->get<long long>());
  return true;
}

// A field given as text or as a number, as the property sheet takes it. A
// number with a fraction or an exponent goes to the sheet as written, to be
// refused there, unless rounded says to round it.
bool valueField(const json& body, const char* name, std::string& value, std::string& reason,
                bool rounded = false) {
  auto found = body.find(name);
  if (found != body.end() && found->is_string()) {
    value = found->get<std::string>();
    return true;
  }
  if (found != body.end() && found->is_number_integer()) {
    value = found->dump();
    return true;
  }
  if (found != body.end() && found->is_number_float()) {
    const double number = found->get<double>();
    constexpr double kWidest = 2147483647.0;
    value = rounded && std::abs(number) <= kWidest ? std::to_string(std::llround(number))
                                                   : found->dump();
    return true;
  }
  reason = std::string("'") + name + "' must be text or a number";
  return false;
}

void reply(httplib::Response& res, const Outcome& outcome) {
  res.status = outcome.status;
  res.set_content(outcome.body, "application/json");
}

// Reads the body, chunked or not, but never more than the limit: past it the
// rest stays unread and the connection closes.
bool readBody(const httplib::ContentReader& read, std::string& body, httplib::Response& res) {
  bool tooLarge = false;
  const bool whole = read(httplib::ContentReceiver([&](const char* data, std::size_t length) {
    if (length > kMaxBodyBytes - body.size()) {
      tooLarge = true;
      return false;
    }
    body.append(data, length);
    return true;
  }));
  if (whole && !tooLarge) return true;
  reply(res, tooLarge ? failure(413, "request body too large")
                      : failure(400, "the request's body could not be read"));
  res.set_header("Connection", "close");
  return false;
}

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

void WebUi::Shared::addEditRoutes(httplib::Server& server) {
  // Checks a body that names a module and runs edit on the host thread with
  // the module (when it exists) and the parsed body.
  auto route = [this](std::function<Outcome(JModuleObj&, const json&)> edit) {
    return [this, edit](const httplib::Request& /*req*/, httplib::Response& res,
                        const httplib::ContentReader& read) {
      std::string text;
      if (!readBody(read, text, res)) return;
      json body;
      std::string reason;
      std::size_t index = 0;
      if (!parseBody(text, body, reason)) return reply(res, failure(400, reason));
      if (!indexField(body, "module", index, reason)) return reply(res, failure(400, reason));
      reply(res, runOnHost([this, index, body, edit] {
              const auto& boxes = graph.modules();
              if (index >= boxes.size()) {
                return failure(404, "no module " + std::to_string(index));
              }
              Outcome outcome = edit(*boxes[index], body);
              if (outcome.status == 200 && hooks.edited) hooks.edited(*boxes[index]);
              return outcome;
            }));
    };
  };

  server.Post("/api/property", route([](JModuleObj& box, const json& body) {
                std::string name;
                std::string value;
                std::string reason;
                auto found = body.find("name");
                if (found == body.end() || !found->is_string()) {
                  return failure(400, "'name' must be the text of a property's name");
                }
                name = found->get<std::string>();
                if (!valueField(body, "value", value, reason)) return failure(400, reason);
                if (!editProperty(box, name, value, reason)) return failure(422, reason, name);
                return success();
              }));
  server.Post(
      "/api/move", route([](JModuleObj& box, const json& body) {
        std::string x;
        std::string y;
        std::string reason;
        // Positions come as pixels; the sheet keeps whole numbers.
        if (!valueField(body, "x", x, reason, true) || !valueField(body, "y", y, reason, true)) {
          return failure(400, reason);
        }
        if (!editProperty(box, "x", x, reason) || !editProperty(box, "y", y, reason)) {
          return failure(422, reason);
        }
        return success();
      }));
  server.Post("/api/command", route([](JModuleObj& box, const json& body) {
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
  server.Post("/api/save", [this](const httplib::Request& /*req*/, httplib::Response& res,
                                  const httplib::ContentReader& read) {
    std::string text;
    if (!readBody(read, text, res)) return;
    json body;
    std::string reason;
    if (!parseBody(text, body, reason)) return reply(res, failure(400, reason));
    if (!hooks.save) return reply(res, failure(409, "no file to save to: start with --save FILE"));
    reply(res, runOnHost([this] {
            std::string error = hooks.save();
            return error.empty() ? success() : failure(500, error);
          }));
  });
}
