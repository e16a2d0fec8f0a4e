#pragma once

#include <nlohmann/json.hpp>
#include <string>

// How a graph file holds texts and integers.
namespace graphtext {

using Json = nlohmann::ordered_json;

// Valid UTF-8 as a JSON string, anything else as {"bytes": "<hex>"}.
Json encodeText(const std::string& text);
// The text a JSON value stands for, or false when it is not a text.
bool decodeText(const Json& value, std::string& text);
// A JSON integer that fits an int. Floats (even 80.0) and booleans do not.
bool asInt32(const Json& value, int& result);

}  // namespace graphtext
