#pragma once

#include <string>

// A library's static initialisation cannot be guarded in this process: a
// throw there ends it (it unwinds into the loader), as a crash does. So it
// runs first in a child process, which tells how it ended. Returns an
// empty string, or why the library must not be loaded ("its initialisation
// threw: ..."). A library the loader itself refuses passes: loading it
// here says why.
std::string probeModuleInitialisation(const std::string& path);
