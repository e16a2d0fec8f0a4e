#pragma once

#include <nlohmann/json.hpp>
#include <string>

// How a graph file holds texts, and how its messages quote them.
namespace graphtext {

using Json = nlohmann::ordered_json;

// RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(const std::string& text);
// Messages are one line of text whatever a path, key or quoted piece of a
// broken file holds: controls are escaped, and so are bytes above 0x7f when
// they do not form UTF-8.
std::string oneLine(const std::string& text);
// Valid UTF-8 as a JSON string, anything else as {"bytes": "<hex>"}.
Json encodeText(const std::string& text);
// The text a JSON value stands for, or false when it is not a text.
bool decodeText(const Json& value, std::string& text);

}  // namespace graphtext
