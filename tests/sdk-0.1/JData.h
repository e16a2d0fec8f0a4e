#pragma once

#include "JString.h"

// Data holders: each stands for one variable of its owner, so a link can read
// a value into it or an output can write one.
class JDataType : public JObject {
 public:
  [[nodiscard]] const char* className() const override { return "JDataType"; }
  [[nodiscard]] virtual int typeId() const = 0;
};

class JIntegerData : public JDataType {
 public:
  static constexpr int id = 1;
  explicit JIntegerData(int& variable) : variable_(&variable) {}
  [[nodiscard]] const char* className() const override { return "JIntegerData"; }
  [[nodiscard]] JObject* clone() const override { return new JIntegerData(*this); }
  [[nodiscard]] int typeId() const override { return id; }
  operator int&() const { return *variable_; }  // NOLINT(google-explicit-constructor)

 private:
  int* variable_;
};

class JRealData : public JDataType {
 public:
  static constexpr int id = 2;
  explicit JRealData(double& variable) : variable_(&variable) {}
  [[nodiscard]] const char* className() const override { return "JRealData"; }
  [[nodiscard]] JObject* clone() const override { return new JRealData(*this); }
  [[nodiscard]] int typeId() const override { return id; }
  operator double&() const { return *variable_; }  // NOLINT(google-explicit-constructor)

 private:
  double* variable_;
};

class JStringData : public JDataType {
 public:
  static constexpr int id = 3;
  explicit JStringData(JString& variable) : variable_(&variable) {}
  [[nodiscard]] const char* className() const override { return "JStringData"; }
  [[nodiscard]] JObject* clone() const override { return new JStringData(*this); }
  [[nodiscard]] int typeId() const override { return id; }
  operator JString&() const { return *variable_; }  // NOLINT(google-explicit-constructor)

 private:
  JString* variable_;
};
