#pragma once

#include <cstddef>

#include "QenoVersion.h"

class JOutputStream;
class JDictionary;

// Root of every host class. Modules override the virtual operations; the host
// calls them. Copies are made with clone(), which the registry also uses to
// create instances of a registered class.
class JObject {
 public:
  JObject() = default;
  JObject(const JObject&) = default;
  JObject& operator=(const JObject&) = default;
  virtual ~JObject() = default;

  [[nodiscard]] virtual const char* className() const { return "JObject"; }
  [[nodiscard]] virtual std::size_t hashCode() const;
  [[nodiscard]] virtual JObject* clone() const { return new JObject(*this); }
  virtual void run() {}

  // Makes this object's class known to the host: the registry keeps the name
  // and a clone of this object as the prototype, never this object itself.
  // Returns the registered name, stable while the class stays registered.
  virtual char* Register();

  // Entry points for the host's persistence code; they call the protected
  // virtual operations that modules override.
  void saveContent(JOutputStream& stream) { writeContent(stream); }
  void loadContent(JDictionary& dictionary) { readContent(dictionary); }

  static void putObject(JOutputStream& stream, const char* key, JObject& value);
  static void putInteger(JOutputStream& stream, const char* key, int value);
  // The stored object (owned by the dictionary), or null when key is absent.
  static JObject* getObject(JDictionary& dictionary, const char* key);
  static int getInteger(JDictionary& dictionary, const char* key, int defaultValue);

 protected:
  virtual void writeContent(JOutputStream& /*stream*/) {}
  virtual void readContent(JDictionary& /*dictionary*/) {}
};
