#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CrashRecord.h"
#include "JGraph.h"

// Saved graphs: a JSON document listing the modules (class name and content,
// entries in order) and the links between them.

// Throws std::runtime_error with a one-line message naming the file.
void saveGraphFile(const JGraph& graph, const std::string& path);
// Whether a save to path could be written, found by creating and removing a
// file beside it as a save does. Throws as saveGraphFile.
void checkGraphFileWritable(const std::string& path);
// A new graph built from the file. Classes are created from the registry.
// Throws std::runtime_error with a one-line message naming the file and,
// where there is one, the module and entry at fault.
std::unique_ptr<JGraph> loadGraphFile(const std::string& path);
// The same for the graph qeno-host serves: while a box loads, its calls
// count as those of the box at its place (ModuleGuard::Loading), so that a
// crash in its clone or readContent is recorded; and the boxes at the
// places held (of the class recorded) are stand-ins (HeldBox), none of
// their code run.
std::unique_ptr<JGraph> loadServedGraphFile(const std::string& path,
                                            const std::map<int, CrashEntry>& held);

// A new box of a registered class, a clone of its registered instance; null
// when the class is not registered, its clone failed or it is not a box.
std::unique_ptr<JModuleObj> makeBox(const std::string& className);

std::string graphToJson(const JGraph& graph);
// The boxes numbered numbers and the links among them, as a file of their own.
std::string graphPartToJson(const JGraph& graph, const std::vector<int>& numbers);
// source names the text in messages (usually the file's path).
std::unique_ptr<JGraph> graphFromJson(const std::string& json, const std::string& source);
