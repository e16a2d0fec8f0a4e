#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qeno::test {

// Feeds a sequence of receive results through QenoServer::takeReceived, the
// exchange's work on one receive, on one instance that lives as long as the
// process, with output 29 linked to a text sink. After every result it checks
// what must hold, against a plain model of the exchange kept beside it:
//   - the accumulated text is zero-terminated, under 5000 bytes, and equals
//     the model's (chunk texts cut at their first zero byte, a chunk kept
//     only while the received byte count stays under the limit);
//   - the end test agrees with a direct search for two line-break bytes;
//   - output 29 and the sink hold the last chunk up to its first zero byte,
//     and the sink got exactly one delivery per chunk;
//   - the debug line is the one the result calls for, and end of stream and
//     failure set the state to idle while a weird result leaves it.
//   - when an exchange ends, the key scan puts on each integer output what
//     the model reads after that key's first occurrence, and leaves the
//     others as they were.
// An exchange that ended (end test, idle state or the receive limit) is
// followed by a fresh one, as a new connection would be.
//
// The input is a list of records, each a tag byte and its operands, a record
// cut short by the end of the input taking what is there:
//   tag % 5 == 0  chunk: length L (two bytes, little-endian; at most
//                 10000), then L bytes; a chunk of no bytes is end of stream
//   tag % 5 == 1  fill: a byte B and a length L: L % 10001 copies of B
//   tag % 5 == 2  end of stream: recv returned 0
//   tag % 5 == 3  failure: recv returned -1
//   tag % 5 == 4  weird: recv returned -2 minus the next byte
//
// Returns an empty text, or what broke first.
std::string driveExchange(const uint8_t* data, std::size_t size);

}  // namespace qeno::test
