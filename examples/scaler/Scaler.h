#pragma once

#include <qeno/JBoxHelp.h>
#include <qeno/JModuleObj.h>

#include <atomic>

// Multiplies the value on its input "in" by its property "factor" and offers
// the product on its output "out". The factor is saved with the graph; the
// face shows the factor and the last product over a band that is green for a
// positive product, red for a negative one. It says what it does in words
// (JBoxHelp), which the editor page shows.
class Scaler : public JAddObj, public JBoxHelp {
 public:
  Scaler();
  Scaler(const Scaler& other);
  Scaler& operator=(const Scaler&) = delete;
  ~Scaler() override = default;

  [[nodiscard]] const char* className() const override { return "Scaler"; }
  [[nodiscard]] JObject* clone() const override { return new Scaler(*this); }

  JString inputName(int n) override;
  JString outputName(int n) override;
  void inputChanged(int n, JLinkObj& link) override;
  void getOutput(int n, JLinkObj& link, JDataType& data) override;

  JArray getProperties() override;
  unsigned char updateProperty(JProperty& property) override;

  [[nodiscard]] JString description() const override;
  [[nodiscard]] JString inputDescription(int n) const override;
  [[nodiscard]] JString outputDescription(int n) const override;
  [[nodiscard]] JString propertyDescription(const JString& name) const override;

  void paint(JGraphics g, double dx, double dy, JRegion& region, double scale) override;
  void drawInterior(JGraphics g, int x, int y, int w, int h) override;

 protected:
  void writeContent(JOutputStream& stream) override;
  void readContent(JDictionary& dictionary) override;

 private:
  std::atomic<int> factor_{2};
  std::atomic<int> product_{0};
};
