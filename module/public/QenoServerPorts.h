#pragma once

#include <cstdint>

// The numbers by which a graph and the host know a QenoServer box: the
// states of its server and the indices of its ports. The editor and
// qeno-host reach the class itself only through the registry, so these live
// apart from it.

// The server's state, as serverState holds it: the values are those the
// debug lines and saved test logs show.
enum class ServerState : std::uint8_t {
  kIdle = 0,       // no worker, or one that is ending
  kListening = 1,  // waiting for a client
  kConnected = 2,  // serving a client
};

struct ServerPorts {
  // Inputs.
  static constexpr int kReadInput = 0;   // "readInput": non-zero starts the server
  static constexpr int kSendOutput = 1;  // "sendOutput": the number every reply carries
  static constexpr int kInputCount = 2;

  // Outputs: ten of each type, named from 1 within each group.
  static constexpr int kPerType = 10;
  static constexpr int kFirstIntOutput = 0;     // "int_1"; key i writes int_i
  static constexpr int kFirstFloatOutput = 10;  // "float_1"
  static constexpr int kFirstTextOutput = 20;   // "xml_1"
  static constexpr int kTextOutput = 29;        // "xml_10": every chunk a client sends
  static constexpr int kOutputCount = 30;
};
