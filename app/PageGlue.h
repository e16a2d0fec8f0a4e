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
