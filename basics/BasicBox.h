#pragma once

#include <qeno/JBoxHelp.h>
#include <qeno/JData.h>
#include <qeno/JModuleObj.h>

#include <atomic>
#include <climits>
#include <vector>

// What the stock boxes share: one integer output whose value the face shows
// under a caption, and delivery that stops when a loop of links brings a
// value back to the box that sent it. Each box says what it does in words.
class BasicBox : public JAddObj, public JBoxHelp {
 public:
  BasicBox(const BasicBox& other);
  BasicBox& operator=(const BasicBox&) = delete;
  ~BasicBox() override = default;

  [[nodiscard]] int result() const { return result_.load(); }

  JString outputName(int n) override;
  void getOutput(int n, JLinkObj& link, JDataType& data) override;
  void drawInterior(JGraphics g, int x, int y, int w, int h) override;
  [[nodiscard]] JString outputDescription(int n) const override;

 protected:
  explicit BasicBox(int inputs);

  // The face's first line: what the box does.
  [[nodiscard]] virtual JString caption() const = 0;
  // Makes value the output's, repaints, and hands it to the linked inputs.
  // Any thread.
  void publish(int value);
  static int readInteger(JLinkObj& link);

 private:
  std::atomic<int> result_{0};
};

// A box whose result is an operation on its input "a" and an operand: the
// "operand" property, which a value on input "b" replaces. A value on "a"
// computes and sends the result; a value on "b" only changes the operand, so
// a box may feed its own result back into "b" (a running total).
class OperatorBox : public BasicBox {
 public:
  OperatorBox(const OperatorBox& other);
  OperatorBox& operator=(const OperatorBox&) = delete;
  ~OperatorBox() override = default;

  JString inputName(int n) override;
  void inputChanged(int n, JLinkObj& link) override;
  JArray getProperties() override;
  unsigned char updateProperty(JProperty& property) override;
  [[nodiscard]] JString inputDescription(int n) const override;
  [[nodiscard]] JString propertyDescription(const JString& name) const override;

  [[nodiscard]] int operand() const { return operand_.load(); }
  [[nodiscard]] JString operationName() const;

 protected:
  // names: the operations' names in the order of their numbers.
  explicit OperatorBox(std::vector<const char*> names);
  [[nodiscard]] int operation() const { return operation_.load(); }
  [[nodiscard]] virtual int compute(int operation, int a, int b) const = 0;
  [[nodiscard]] JString caption() const override;

  void writeContent(JOutputStream& stream) override;
  void readContent(JDictionary& dictionary) override;

 private:
  // The number of the operation called name, or -1.
  [[nodiscard]] int find(const JString& name) const;

  std::vector<const char*> names_;
  std::atomic<int> operation_{0};
  std::atomic<int> operand_{0};
};
