#include "WebRequests.h"

#include <httplib.h>

#include <cmath>
#include <limits>

namespace webrequest {

Outcome failure(int status, const std::string& reason, const std::string& field) {
  Json body = {{"error", reason}};
  if (!field.empty()) body["field"] = field;
  return {status, body.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

Outcome success(Json extra) {
  extra["ok"] = true;
  return {200, extra.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

Outcome outcomeOf(const std::string& error, Json extra) {
  return error.empty() ? success(std::move(extra)) : failure(422, error);
}

void refuse(httplib::Response& res, int status, const std::string& reason) {
  res.status = status;
  res.set_header("Connection", "close");
  res.set_content(reason + "\n", "text/plain; charset=utf-8");
}

void reply(httplib::Response& res, const Outcome& outcome) {
  res.status = outcome.status;
  res.set_content(outcome.body, "application/json");
}

bool readBody(const httplib::ContentReader& read, std::string& body, httplib::Response& res,
              std::size_t limit) {
  bool tooLarge = false;
  const bool whole = read(httplib::ContentReceiver([&](const char* data, std::size_t length) {
    if (length > limit - body.size()) {
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

bool parseBody(const std::string& body, Json& parsed, std::string& reason) {
  try {
    parsed = Json::parse(body);
  } catch (const Json::parse_error& e) {
    reason = std::string("bad JSON: ") + e.what();
    return false;
  }
  if (!parsed.is_object()) {
    reason = "bad JSON: the body must be an object";
    return false;
  }
  return true;
}

bool indexField(const Json& body, const char* name, int& index, std::string& reason) {
  auto found = body.find(name);
  if (found == body.end() || !found->is_number_integer() || found->get<long long>() < 0 ||
      found->get<long long>() > std::numeric_limits<int>::max()) {
    reason = std::string("'") + name + "' must be a whole number of at least 0";
    return false;
  }
  index = static_cast<int>(found->get<long long>());
  return true;
}

bool valueField(const Json& body, const char* name, std::string& value, std::string& reason,
                bool rounded) {
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

bool numberField(const Json& body, const char* name, double& value, std::string& reason) {
  auto found = body.find(name);
  // Box places are kept as whole pixels within the sheet's limits.
  constexpr double kFarthest = 10000;
  if (found == body.end() || !found->is_number() || std::isnan(found->get<double>()) ||
      std::abs(found->get<double>()) > kFarthest) {
    reason = std::string("'") + name + "' must be a number from -10000 to 10000";
    return false;
  }
  value = std::round(found->get<double>());
  return true;
}

}  // namespace webrequest
