// Configuration: the settings saved with the graph, graph files, and the
// property sheet.

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "BoxRenderer.h"
#include "GraphFile.h"
#include "HostModules.h"
#include "JComponent.h"
#include "JGraph.h"
#include "JPersist.h"
#include "JProperty.h"
#include "JRegistry.h"
#include "ModuleLibrary.h"
#include "QenoServer.h"
#include "Serving.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

// One persisted entry, comparable: an integer or a text.
struct Entry {
  std::string key;
  bool isInteger = false;
  int integer = 0;
  std::string text;
  bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
  out << e.key << "=";
  if (e.isInteger) return out << e.integer;
  return out << '"' << JComponent::escape(e.text) << '"';
}

std::vector<Entry> contentOf(JObject& object) {
  JOutputStream stream;
  object.saveContent(stream);
  std::vector<Entry> entries;
  for (const JContentEntry& e : stream.entries()) {
    Entry entry{e.key, e.isInteger, e.integer, ""};
    if (!e.isInteger) {
      auto* text = dynamic_cast<JString*>(e.object.get());
      entry.text = text != nullptr ? text->str() : std::string("<not a text>");
    }
    entries.push_back(entry);
  }
  return entries;
}

const Entry* find(const std::vector<Entry>& entries, const std::string& key) {
  for (const Entry& e : entries) {
    if (e.key == key) return &e;
  }
  return nullptr;
}

// The module's configuration fields, comparable.
struct Settings {
  std::string host;
  int port = 0;
  std::string url;
  std::vector<std::pair<std::string, int>> keys;
  bool operator==(const Settings&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Settings& s) {
  out << JComponent::escape(s.host) << ":" << s.port << " " << JComponent::escape(s.url);
  for (const auto& [key, offset] : s.keys)
    out << " [" << JComponent::escape(key) << "," << offset << "]";
  return out;
}

Settings settingsOf(const QenoServer& server) {
  Settings s{server.hostName.str(), server.port, server.url.str(), {}};
  for (const KeySetting& k : server.keys) s.keys.emplace_back(k.key.str(), k.keyOffset);
  return s;
}

// The nineteen keys in their order.
std::vector<std::string> moduleKeys() {
  std::vector<std::string> keys{"address", "port", "url"};
  for (int i = 1; i <= 8; ++i) {
    keys.push_back("key" + std::to_string(i));
    keys.push_back("key" + std::to_string(i) + "offset");
  }
  return keys;
}

// Texts that a careless encoding would change: quotes, backslashes, line
// breaks, escapes, UTF-8, bytes that are not UTF-8, zero bytes, nothing; and
// numbers outside what the property sheet offers.
void setAwkwardSettings(QenoServer& server) {
  server.hostName = "quote\" back\\slash\r\n";
  server.port = 70000;
  server.url = "/euro \xe2\x82";  // cut off at the end
  const std::string texts[8] = {"\x1b[31m",
                                "caf\xc3\xa9",
                                "\xff\xfe",
                                "",
                                std::string("nul\0inside", 10),
                                "\xc0\xaf",      // overlong '/'
                                "\xed\xa0\x80",  // an encoded surrogate
                                "tab\there \xf0\x9f\x98\x80"};
  const int offsets[8] = {-51, 51, INT_MIN, INT_MAX, 0, -1, 7, 50};
  for (int i = 0; i < 8; ++i) server.keys[i] = KeySetting{JString(texts[i]), offsets[i]};
}

}  // namespace

// ---- the module's record

class PersistenceTest : public ::testing::Test {
 protected:
  // server's record, read into target.
  static void copyRecord(QenoServer& server, QenoServer& target) {
    JOutputStream stream;
    server.saveContent(stream);
    JDictionary dictionary(stream.entries());
    target.loadContent(dictionary);
  }

  QenoServer source;
  QenoServer target;
};

TEST_F(PersistenceTest, ARecordRestoresEveryByteAndNumberExactly) {
  setAwkwardSettings(source);
  copyRecord(source, target);
  EXPECT_EQ(settingsOf(target), settingsOf(source));
  EXPECT_EQ(target.keys[4].key.length(), 10);  // the zero byte did not cut it short
}

TEST_F(PersistenceTest, TheNineteenEntriesFollowTheBaseContentInOrder) {
  setAwkwardSettings(source);
  const std::vector<Entry> entries = contentOf(source);
  std::vector<std::string> keys{"x", "y", "width", "height"};
  for (const std::string& key : moduleKeys()) keys.push_back(key);
  ASSERT_EQ(entries.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(entries[i].key, keys[i]);
    const bool integer = i < 4 || keys[i] == "port" || keys[i].ends_with("offset");
    EXPECT_EQ(entries[i].isInteger, integer) << keys[i];
    EXPECT_NE(entries[i].text, "<not a text>") << keys[i];
  }
  EXPECT_EQ(*find(entries, "address"), (Entry{"address", false, 0, "quote\" back\\slash\r\n"}));
  EXPECT_EQ(*find(entries, "port"), (Entry{"port", true, 70000, ""}));
  EXPECT_EQ(*find(entries, "key3"), (Entry{"key3", false, 0, "\xff\xfe"}));
  EXPECT_EQ(*find(entries, "key3offset"), (Entry{"key3offset", true, INT_MIN, ""}));
}

TEST_F(PersistenceTest, BaseContentAloneKeepsTextsAndZeroesNumbers) {
  setAwkwardSettings(target);
  const Settings before = settingsOf(target);
  source.x = 7;
  JOutputStream stream;
  source.saveContent(stream);
  std::vector<JContentEntry> baseOnly(stream.entries().begin(), stream.entries().begin() + 4);
  JDictionary dictionary(baseOnly);
  target.loadContent(dictionary);

  Settings expected = before;
  expected.port = 0;
  for (auto& key : expected.keys) key.second = 0;
  EXPECT_EQ(settingsOf(target), expected);
  EXPECT_EQ(target.x, 7);
}

TEST_F(PersistenceTest, AnAddressWithoutAPortGivesPortZeroOnTheFace) {
  JOutputStream stream;
  JString host("example.org");
  JObject::putObject(stream, "address", host);
  JDictionary dictionary(stream.entries());
  target.loadContent(dictionary);
  EXPECT_EQ(target.hostName.str(), "example.org");
  EXPECT_EQ(target.port, 0);
  const JImage image = renderModule(target);
  EXPECT_TRUE(qeno::test::samePixels(
      image, qeno::test::renderTextLines(target, "Qeno Server", "example.org:0"),
      qeno::test::faceLinesOf(image, target).address));
}

TEST_F(PersistenceTest, EntriesOfTheOtherKindReadAsAbsent) {
  JOutputStream stream;
  JObject::putInteger(stream, "address", 5);  // a number under a text key
  JString text("8080");
  JObject::putObject(stream, "port", text);  // a text under a number key
  JIntegerProperty notAText("url", 1, 0, 2);
  JObject::putObject(stream, "url", notAText);  // an object that is not a text
  JDictionary dictionary(stream.entries());
  target.port = 1234;
  target.loadContent(dictionary);
  EXPECT_EQ(target.hostName.str(), "localhost");
  EXPECT_EQ(target.url.str(), "/");
  EXPECT_EQ(target.port, 0);
}

// ---- graph files

class GraphFileTest : public ::testing::Test {
 protected:
  GraphFileTest() : library(QENO_MODULE_PATH) {
    JComponent::debugSilence();
    registerHostModules();
  }

  static JModuleObj& add(JGraph& graph, const char* className) {
    std::unique_ptr<JObject> object = JRegistry::instance().create(className);
    auto* module = dynamic_cast<JModuleObj*>(object.get());
    if (module == nullptr) throw std::runtime_error(std::string("cannot create ") + className);
    object.release();
    return graph.add(std::unique_ptr<JModuleObj>(module));
  }

  // A server of the loaded library, holding the awkward settings.
  static JModuleObj& addAwkwardServer(JGraph& graph) {
    JModuleObj& server = add(graph, "QenoServer");
    QenoServer settings;
    setAwkwardSettings(settings);
    JOutputStream stream;
    settings.saveContent(stream);
    JDictionary dictionary(stream.entries());
    server.loadContent(dictionary);
    return server;
  }

  // Server, integer source into its input 1, text sink on its output 29.
  void buildGraph(JGraph& graph) {
    JModuleObj& server = addAwkwardServer(graph);
    auto& source = static_cast<JIntegerSource&>(add(graph, "IntegerSource"));
    source.setValue(17);
    JModuleObj& sink = add(graph, "TextSink");
    graph.link(source, 0, server, ServerPorts::kSendOutput);
    graph.link(server, ServerPorts::kTextOutput, sink, 0);
  }

  static void expectSameGraph(const JGraph& loaded, const JGraph& original) {
    ASSERT_EQ(loaded.modules().size(), original.modules().size());
    for (std::size_t i = 0; i < original.modules().size(); ++i) {
      EXPECT_STREQ(loaded.modules()[i]->className(), original.modules()[i]->className());
      EXPECT_EQ(contentOf(*loaded.modules()[i]), contentOf(*original.modules()[i])) << i;
    }
    auto ends = [](const JGraph& graph) {
      std::vector<std::tuple<int, int, int, int>> result;
      for (const auto& l : graph.links()) {
        result.emplace_back(graph.indexOf(*l->getSource()), l->getOutput(),
                            graph.indexOf(*l->getTarget()), l->getInput());
      }
      return result;
    };
    EXPECT_EQ(ends(loaded), ends(original));
  }

  std::vector<std::string> filesInFolder() const {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) {
      names.push_back(item.path().filename().string());
    }
    return names;
  }

  static void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  // The message loading text gives, or "" when it loads.
  static std::string loadError(const std::string& text) {
    try {
      graphFromJson(text, "graph.json");
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }

  ModuleLibrary library;  // outlives every instance of its class
  qeno::test::TempFolder scratch{"qeno-graph-"};
  std::string folder = scratch.dir().string();  // empty when it could not be made
};

TEST_F(GraphFileTest, JsonTextRestoresModulesContentAndLinks) {
  JGraph graph;
  buildGraph(graph);
  const std::unique_ptr<JGraph> loaded = graphFromJson(graphToJson(graph), "memory");
  expectSameGraph(*loaded, graph);
}

TEST_F(GraphFileTest, AFileRestoresTheGraphAndEncodesEachKindPlainly) {
  ASSERT_FALSE(folder.empty());
  JGraph graph;
  buildGraph(graph);
  const std::string path = folder + "/graph.json";
  saveGraphFile(graph, path);
  EXPECT_EQ(filesInFolder(), std::vector<std::string>{"graph.json"});  // no temporary left

  std::ifstream in(path, std::ios::binary);
  const Json document = Json::parse(in);
  EXPECT_EQ(document["format"], "qeno-graph");
  EXPECT_EQ(document["version"], 1);
  const Json& content = document["modules"][0]["content"];
  EXPECT_EQ(document["modules"][0]["class"], "QenoServer");
  EXPECT_TRUE(content["port"].is_number_integer());
  EXPECT_EQ(content["port"], 70000);
  EXPECT_EQ(content["key3offset"], INT_MIN);
  EXPECT_EQ(content["address"], "quote\" back\\slash\r\n");
  EXPECT_EQ(content["key2"], "caf\xc3\xa9");  // valid UTF-8 stays a plain string
  EXPECT_EQ(content["key3"], (Json{{"bytes", "fffe"}}));
  EXPECT_EQ(content["key6"], (Json{{"bytes", "c0af"}}));
  EXPECT_EQ(content["key7"], (Json{{"bytes", "eda080"}}));
  EXPECT_EQ(content["url"], (Json{{"bytes", "2f6575726f20e282"}}));
  EXPECT_EQ(content["key8"], "tab\there \xf0\x9f\x98\x80");
  EXPECT_EQ(document["links"][1], (Json{{"from", {{"module", 0}, {"output", 29}}},
                                        {"to", {{"module", 2}, {"input", 0}}}}));

  const std::unique_ptr<JGraph> loaded = loadGraphFile(path);
  expectSameGraph(*loaded, graph);
}

TEST_F(GraphFileTest, SavingReplacesAnExistingFileWhole) {
  ASSERT_FALSE(folder.empty());
  const std::string path = folder + "/graph.json";
  writeFile(path, std::string(100000, 'x'));
  JGraph graph;
  add(graph, "IntegerSource");
  saveGraphFile(graph, path);
  EXPECT_EQ(filesInFolder(), std::vector<std::string>{"graph.json"});
  EXPECT_EQ(loadGraphFile(path)->modules().size(), 1U);
}

TEST_F(GraphFileTest, SaveAndLoadFailuresNameThePathAndTheSystemsReason) {
  JGraph graph;
  const std::string missing = folder + "/no/such/folder/graph.json";
  try {
    saveGraphFile(graph, missing);
    FAIL() << "saved into a missing folder";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), missing + ": cannot write: No such file or directory");
  }
  try {
    loadGraphFile(missing);
    FAIL() << "loaded a missing file";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), missing + ": cannot read: No such file or directory");
  }
  try {
    loadGraphFile(folder);
    FAIL() << "loaded a folder";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), folder + ": cannot read: Is a directory");
  }
}

TEST_F(GraphFileTest, MissingEntriesReadAsAbsent) {
  const std::unique_ptr<JGraph> loaded = graphFromJson(
      R"({"format": "qeno-graph", "version": 1, "modules": [{"class": "QenoServer",
          "content": {"address": "example.org", "key2": {"bytes": "C3A9"}}}], "links": []})",
      "graph.json");
  JModuleObj& server = *loaded->modules()[0];
  const std::vector<Entry> content = contentOf(server);
  EXPECT_EQ(find(content, "address")->text, "example.org");
  EXPECT_EQ(find(content, "port")->integer, 0);
  EXPECT_EQ(find(content, "url")->text, "/");
  EXPECT_EQ(find(content, "key2")->text, "\xc3\xa9");  // upper-case hex is taken too
  const JImage image = renderModule(server);
  EXPECT_TRUE(qeno::test::samePixels(
      image, qeno::test::renderTextLines(server, "Qeno Server", "example.org:0"),
      qeno::test::faceLinesOf(image, server).address));
}

TEST_F(GraphFileTest, BoxesWithoutPlacesAreLaidOutApartAndPlacedOnesKeepTheirs) {
  // Sources feed a server that feeds sinks; one box has a place, one half of one.
  const std::string text = R"({"modules": [
      {"class": "QenoServer", "content": {}},
      {"class": "IntegerSource", "content": {}},
      {"class": "IntegerSource", "content": {}},
      {"class": "IntegerSink", "content": {}},
      {"class": "IntegerSink", "content": {"x": 900}},
      {"class": "TextSink", "content": {"x": 10, "y": 20, "width": 80, "height": 300}}],
    "links": [{"from": {"module": 1, "output": 0}, "to": {"module": 0, "input": 0}},
              {"from": {"module": 2, "output": 0}, "to": {"module": 0, "input": 1}},
              {"from": {"module": 0, "output": 0}, "to": {"module": 3, "input": 0}},
              {"from": {"module": 0, "output": 1}, "to": {"module": 4, "input": 0}},
              {"from": {"module": 0, "output": 29}, "to": {"module": 5, "input": 0}}]})";
  const std::unique_ptr<JGraph> graph = graphFromJson(text, "graph.json");
  const auto& boxes = graph->modules();
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    for (std::size_t j = i + 1; j < boxes.size(); ++j) {
      const JModuleObj& a = *boxes[i];
      const JModuleObj& b = *boxes[j];
      const bool apart = a.x + a.width <= b.x || b.x + b.width <= a.x || a.y + a.height <= b.y ||
                         b.y + b.height <= a.y;
      EXPECT_TRUE(apart) << "boxes " << i << " and " << j << " overlap";
    }
  }
  EXPECT_EQ(boxes[5]->x, 10);
  EXPECT_EQ(boxes[5]->y, 20);
  EXPECT_EQ(boxes[4]->x, 900);
  // Left to right along the links, and below the placed box.
  EXPECT_LT(boxes[1]->x, boxes[0]->x);
  EXPECT_EQ(boxes[1]->x, boxes[2]->x);
  EXPECT_LT(boxes[0]->x, boxes[3]->x);
  EXPECT_GE(boxes[1]->y, 320);
  // The same file, the same places.
  const std::unique_ptr<JGraph> again = graphFromJson(text, "graph.json");
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    EXPECT_EQ(again->modules()[i]->x, boxes[i]->x);
    EXPECT_EQ(again->modules()[i]->y, boxes[i]->y);
  }
}

TEST_F(GraphFileTest, BadFilesAreRefusedWithOneLineNamingTheFault) {
  // A valid document with a server (0), an integer source (1) and a text
  // sink (2), changed by each case.
  const Json valid = Json::parse(R"({"format": "qeno-graph", "version": 1,
      "modules": [{"class": "QenoServer", "content": {"address": "h", "port": 81}},
                  {"class": "IntegerSource", "content": {}},
                  {"class": "TextSink", "content": {}}],
      "links": [{"from": {"module": 1, "output": 0}, "to": {"module": 0, "input": 1}}]})");
  ASSERT_EQ(loadError(valid.dump()), "");
  auto changed = [&](const std::function<void(Json&)>& change) {
    Json document = valid;
    change(document);
    return document.dump();
  };
  auto serverEntry = [&](const char* key, const Json& value) {
    return changed([&](Json& d) { d["modules"][0]["content"][key] = value; });
  };
  auto link = [](int from, int output, int to, int input) {
    return Json{{"from", {{"module", from}, {"output", output}}},
                {"to", {{"module", to}, {"input", input}}}};
  };
  const std::string server = "graph.json: module 0 (QenoServer): ";
  const std::string mustBeText = " must be a text (a string or {\"bytes\": \"<hex>\"})";
  const std::string range = " must be an integer from -2147483648 to 2147483647";
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"{\"format\": \"qeno-graph\",", "graph.json: not a valid JSON document: "},
      {"[]", "graph.json: not a graph file: the document is not an object"},
      {changed([](Json& d) { d["format"] = "other"; }),
       "graph.json: not a graph file: \"format\" must be \"qeno-graph\""},
      {changed([](Json& d) { d["version"] = 2; }),
       "graph.json: version 2 is not supported (only 1)"},
      {changed([](Json& d) { d["modules"][1]["class"] = "NoSuchClass"; }),
       "graph.json: module 1 (NoSuchClass): no such class is registered"},
      {changed([](Json& d) { d["modules"][2].erase("content"); }),
       "graph.json: module 2 (TextSink): \"content\" must be an object"},
      {serverEntry("port", "80"), server + "entry \"port\" must be an integer"},
      {serverEntry("port", 80.0), server + "entry \"port\" must be an integer"},
      {serverEntry("key1offset", true), server + "entry \"key1offset\" must be an integer"},
      {serverEntry("port", 2147483648LL), server + "entry \"port\"" + range},
      {serverEntry("key8offset", -2147483649LL), server + "entry \"key8offset\"" + range},
      {serverEntry("address", 5), server + "entry \"address\"" + mustBeText},
      {serverEntry("url", Json::object()), server + "entry \"url\"" + mustBeText},
      {serverEntry("url", Json::array({"/"})), server + "entry \"url\"" + mustBeText},
      {serverEntry("key1", false), server + "entry \"key1\"" + mustBeText},
      {serverEntry("key1", nullptr), server + "entry \"key1\"" + mustBeText},
      {serverEntry("key1", Json{{"bytes", "abc"}}), server + "entry \"key1\"" + mustBeText},
      {serverEntry("key1", Json{{"bytes", "zz"}}), server + "entry \"key1\"" + mustBeText},
      {serverEntry("key1", Json{{"bytes", "ab"}, {"more", 1}}),
       server + "entry \"key1\"" + mustBeText},
      {serverEntry("prot", 8080), server + "entry \"prot\" is not one that QenoServer stores"},
      {serverEntry("line\nbreak", 1),
       server + "entry \"line\\nbreak\" is not one that QenoServer stores"},
      {changed([&](Json& d) { d["links"].push_back(link(1, 0, 5, 0)); }),
       "graph.json: link 1: module 5 does not exist (the graph has 3 modules)"},
      {changed([&](Json& d) { d["links"].push_back(link(0, 0, 2, 0)); }),
       "graph.json: link 1 (module 0 output 0 to module 2 input 0): int_1 (QenoServer box 0) "
       "carries an integer; text (TextSink box 2) takes text"},
      {changed([&](Json& d) { d["links"].push_back(link(0, 30, 2, 0)); }),
       "graph.json: link 1 (module 0 output 30 to module 2 input 0): QenoServer box 0 has no "
       "output 30 (outputs 0 to 29)"},
      {changed([&](Json& d) { d["links"].push_back(link(1, 0, 0, 1)); }),
       "graph.json: link 1 (module 1 output 0 to module 0 input 1): cannot link value "
       "(IntegerSource box 1) to sendOutput (QenoServer box 0): the input takes no further link, "
       "value (IntegerSource box 1) feeds it"},
  };
  for (const Case& c : cases) {
    const std::string message = loadError(c.text);
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    if (c.message.ends_with(": ")) {
      EXPECT_TRUE(message.starts_with(c.message)) << message;
    } else {
      EXPECT_EQ(message, c.message);
    }
  }
  // A quoted piece of a file that is not UTF-8 comes out escaped.
  const std::string message = loadError("{\"format\": \"\xff\"}");
  EXPECT_TRUE(message.starts_with("graph.json: not a valid JSON document: ")) << message;
  EXPECT_NE(message.find("\\xff"), std::string::npos) << message;
  EXPECT_EQ(message.find('\xff'), std::string::npos) << message;
}

TEST_F(GraphFileTest, ARefusedFileLeavesTheExistingGraphAsItWas) {
  ASSERT_FALSE(folder.empty());
  const std::string good = folder + "/good.json";
  const std::string bad = folder + "/bad.json";
  {
    JGraph graph;
    buildGraph(graph);
    saveGraphFile(graph, good);
  }
  const std::unique_ptr<JGraph> existing = loadGraphFile(good);
  const std::vector<Entry> before = contentOf(*existing->modules()[0]);

  // The modules of the bad file are fine; its last link is not.
  std::ifstream in(good, std::ios::binary);
  Json document = Json::parse(in);
  document["modules"][0]["content"]["port"] = 9999;
  document["links"].push_back(document["links"][0]);
  writeFile(bad, document.dump());
  try {
    loadGraphFile(bad);
    FAIL() << "loaded a bad file";
  } catch (const std::runtime_error& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with(bad + ": link 2 ")) << e.what();
  }
  EXPECT_EQ(existing->modules().size(), 3U);
  EXPECT_EQ(existing->links().size(), 2U);
  EXPECT_EQ(contentOf(*existing->modules()[0]), before);
}

// ---- property sheet

namespace {

const char* const kBaseEntries[] = {"x", "y", "width", "height"};

}  // namespace

class PropertySheetTest : public ::testing::Test {
 protected:
  QenoServer server;
};

TEST_F(PropertySheetTest, AFreshInstanceListsItsNineteenEntriesAfterTheBase) {
  JArray list = server.getProperties();
  ASSERT_EQ(list.size(), 4 + 19);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(list.at(i)->className(), std::string("JIntegerProperty"));
    EXPECT_EQ(static_cast<JProperty*>(list.at(i))->getName().str(), kBaseEntries[i]);
  }
  auto expectText = [&](int i, const char* name, const char* value) {
    auto* p = dynamic_cast<JStringProperty*>(list.at(i));
    ASSERT_NE(p, nullptr) << name;
    EXPECT_EQ(p->getName().str(), name);
    EXPECT_EQ(p->value.str(), value);
  };
  auto expectInteger = [&](int i, const std::string& name, int value, int lower, int upper) {
    auto* p = dynamic_cast<JIntegerProperty*>(list.at(i));
    ASSERT_NE(p, nullptr) << name;
    EXPECT_EQ(p->getName().str(), name);
    EXPECT_EQ(std::make_tuple(p->value, p->lower, p->upper), std::make_tuple(value, lower, upper))
        << name;
  };
  expectText(4, "hostName/IPaddress", "localhost");
  expectInteger(5, "port", 80, 80, 10000);
  expectText(6, "url", "/");
  for (int k = 1; k <= 8; ++k) {
    const std::string key = "key" + std::to_string(k);
    expectText(5 + 2 * k, key.c_str(), "(undefined)");
    expectInteger(6 + 2 * k, key + "offset", 0, -50, 50);
  }
}

TEST_F(PropertySheetTest, EachNameSetsOnlyItsOwnFieldAndRepaints) {
  std::vector<std::string> names = moduleKeys();
  names[0] = "hostName/IPaddress";  // persisted as "address"
  for (std::size_t i = 0; i < names.size(); ++i) {
    QenoServer fresh;
    Settings expected = settingsOf(fresh);
    const bool integer = names[i] == "port" || names[i].ends_with("offset");
    const int number = 1000 + static_cast<int>(i);  // outside every limit
    const std::string text = "edited " + names[i];
    std::unique_ptr<JProperty> property;
    if (integer) {
      property = std::make_unique<JIntegerProperty>(names[i], number, 0, 0);
    } else {
      property = std::make_unique<JStringProperty>(names[i], text);
    }
    if (i == 0) expected.host = text;
    if (i == 1) expected.port = number;
    if (i == 2) expected.url = text;
    if (i >= 3) {
      auto& key = expected.keys[(i - 3) / 2];
      if (integer) {
        key.second = number;
      } else {
        key.first = text;
      }
    }
    const int repaints = fresh.repaintCount();
    EXPECT_EQ(fresh.updateProperty(*property), 1) << names[i];
    EXPECT_EQ(settingsOf(fresh), expected) << names[i];
    EXPECT_EQ(fresh.repaintCount(), repaints + 1) << names[i];
  }
}

TEST_F(PropertySheetTest, UnknownNamesAndWrongKindsAreRefusedWithoutRepaint) {
  setAwkwardSettings(server);
  const Settings before = settingsOf(server);
  const int repaints = server.repaintCount();
  std::vector<std::unique_ptr<JProperty>> refused;
  for (const char* name :
       {"address", "hostName", "Port", "key9", "key0offset", "key1offset2", ""}) {
    refused.push_back(std::make_unique<JStringProperty>(name, "text"));
    refused.push_back(std::make_unique<JIntegerProperty>(name, 1, 0, 2));
  }
  // Known names, the other kind of value.
  refused.push_back(std::make_unique<JStringProperty>("port", "8080"));
  refused.push_back(std::make_unique<JStringProperty>("key3offset", "3"));
  refused.push_back(std::make_unique<JIntegerProperty>("url", 1, 0, 2));
  refused.push_back(std::make_unique<JIntegerProperty>("hostName/IPaddress", 1, 0, 2));
  refused.push_back(std::make_unique<JIntegerProperty>("key3", 1, 0, 2));
  refused.push_back(std::make_unique<JProperty>("port"));
  for (const auto& property : refused) {
    EXPECT_EQ(server.updateProperty(*property), 0)
        << property->className() << " " << property->getName().str();
  }
  EXPECT_EQ(settingsOf(server), before);
  EXPECT_EQ(server.repaintCount(), repaints);
}

TEST_F(PropertySheetTest, TheBaseHandlerGoesFirst) {
  const Settings before = settingsOf(server);
  const int repaints = server.repaintCount();
  JIntegerProperty width("width", 321, 24, 2000);
  EXPECT_EQ(server.updateProperty(width), 1);
  EXPECT_EQ(server.width, 321);
  EXPECT_EQ(settingsOf(server), before);
  EXPECT_EQ(server.repaintCount(), repaints + 1);  // the base's own repaint only
}

TEST_F(PropertySheetTest, ANewPortShowsAtOnceWhileARunningServerKeepsItsOldOne) {
  JComponent::debugSilence();
  const int oldPort = qeno::test::freePort();
  server.port = oldPort;
  qeno::test::startServing(server, 3);
  ASSERT_TRUE(qeno::test::waitUntil([&] { return server.serverState == ServerState::kListening; }));

  const int repaints = server.repaintCount();
  JIntegerProperty port("port", 9876, 80, 10000);
  EXPECT_EQ(server.updateProperty(port), 1);
  EXPECT_EQ(server.port, 9876);
  EXPECT_GT(server.repaintCount(), repaints);
  EXPECT_EQ(server.workerPort, oldPort);
  const JImage image = renderModule(server);
  EXPECT_TRUE(qeno::test::samePixels(
      image, qeno::test::renderTextLines(server, "Qeno Server", "localhost:9876"),
      qeno::test::faceLinesOf(image, server).address));

  qeno::test::TcpClient client;
  ASSERT_TRUE(client.connect(oldPort));
  ASSERT_TRUE(client.send("\r\n"));
  EXPECT_EQ(client.readAll(), "3,x");
}
