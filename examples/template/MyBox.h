#pragma once

#include <qeno/JModuleObj.h>

#include <atomic>

// Doubles the integer on its input "in" and offers it on its output "twice".
class MyBox : public JAddObj {
 public:
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

 private:
  std::atomic<int> value_{0};
};
