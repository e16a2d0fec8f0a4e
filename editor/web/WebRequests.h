#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

namespace httplib {
class ContentReader;
struct Response;
}  // namespace httplib

// The pieces every edit request of the page is made of: its body read within
// a limit, its JSON fields checked, and its answer.
namespace webrequest {

using Json = nlohmann::json;

// The answer to one request of the API.
struct Outcome {
  int status = 200;
  std::string body;  // JSON
};

// Bodies of most edits; an import or a paste carries a whole graph.
constexpr std::size_t kMaxBodyBytes = std::size_t{16} * 1024;
constexpr std::size_t kMaxGraphBodyBytes = std::size_t{4} * 1024 * 1024;

Outcome failure(int status, const std::string& reason, const std::string& field = {});
Outcome success(Json extra = Json::object());
void reply(httplib::Response& res, const Outcome& outcome);
// A plain-text refusal. It closes the connection: a body that was not read
// must not be taken for the next request.
void refuse(httplib::Response& res, int status, const std::string& reason);
// An editor's answer: success, or its refusal, the user's to mend, as 422.
Outcome outcomeOf(const std::string& error, Json extra = Json::object());

// Reads the body, chunked or not, but never more than limit bytes: past it
// the rest stays unread, the answer is 413 and the connection closes.
bool readBody(const httplib::ContentReader& read, std::string& body, httplib::Response& res,
              std::size_t limit = kMaxBodyBytes);
// The body as a JSON object, or the reason it is not one.
bool parseBody(const std::string& body, Json& parsed, std::string& reason);
// A whole-number field of at least 0.
bool indexField(const Json& body, const char* name, int& index, std::string& reason);
// A field given as text or as a number, as the property sheet takes it. A
// number with a fraction or an exponent goes to the sheet as written, to be
// refused there, unless rounded says to round it.
bool valueField(const Json& body, const char* name, std::string& value, std::string& reason,
                bool rounded = false);
// A number field (a position or an offset).
bool numberField(const Json& body, const char* name, double& value, std::string& reason);

}  // namespace webrequest
