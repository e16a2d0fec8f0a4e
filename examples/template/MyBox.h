#pragma once

#include <qeno/JModuleObj.h>

#include <atomic>

// Doubles the integer on its input "in", adds its property "offset", and
// offers the result on its output "twice", held within the range of an int.
// The offset is saved with the graph and counts from the next value on.
class MyBox : public JAddObj {
 public:
  // The limits of "offset", which the property sheet holds a user to.
  static constexpr int kOffsetLower = -1000;
  static constexpr int kOffsetUpper = 1000;

  MyBox();
  MyBox(const MyBox& other);
  MyBox& operator=(const MyBox&) = delete;
  ~MyBox() override = default;

  [[nodiscard]] const char* className() const override { return "MyBox"; }
  [[nodiscard]] JObject* clone() const override { return new MyBox(*this); }

  JString inputName(int n) override;
  JString outputName(int n) override;
  void inputChanged(int n, JLinkObj& link) override;
  void getOutput(int n, JLinkObj& link, JDataType& data) override;
  void drawInterior(JGraphics g, int x, int y, int w, int h) override;

  JArray getProperties() override;
  unsigned char updateProperty(JProperty& property) override;

 protected:
  void writeContent(JOutputStream& stream) override;
  void readContent(JDictionary& dictionary) override;

 private:
  std::atomic<int> offset_{0};
  std::atomic<int> value_{0};
};
