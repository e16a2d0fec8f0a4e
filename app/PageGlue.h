#pragma once

#include <memory>

#include "GraphEditor.h"
#include "GraphSaver.h"
#include "Options.h"
#include "ServerSet.h"
#include "WebUi.h"

// The editor page (--ui) wired to the application: the servers' states, the
// sources it edits and the saving it offers. Host thread.
std::unique_ptr<WebUi> makePage(JGraph& graph, GraphEditor& editor, ServerSet& servers,
                                GraphSaver& saver);

// Serves the page where the options say and prints its address; tells why
// not and returns false.
bool startPage(WebUi& page, const Options& options);

// What qeno-host says reaches the page's log too, tied to its box: its lines
// on standard error and the start's, the faults module code is told in, and
// the debug channel's lines. A null page ends it; it must end before the
// page goes.
void logToPage(WebUi* page);
