#pragma once

#include <memory>
#include <string>
#include <vector>

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

// A new box of a registered class, a clone of its registered instance; null
// when the class is not registered, its clone failed or it is not a box.
std::unique_ptr<JModuleObj> makeBox(const std::string& className);

std::string graphToJson(const JGraph& graph);
// The boxes numbered numbers and the links among them, as a file of their own.
std::string graphPartToJson(const JGraph& graph, const std::vector<int>& numbers);
// source names the text in messages (usually the file's path).
std::unique_ptr<JGraph> graphFromJson(const std::string& json, const std::string& source);
