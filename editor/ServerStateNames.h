#pragma once

#include "QenoServerPorts.h"

// The word a user reads for a server state: in qeno-host's status line, the
// page's API and the page itself.
const char* serverStateName(ServerState state);
