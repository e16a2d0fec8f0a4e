#pragma once

#include "JObject.h"

class JFPoint : public JObject {
 public:
  JFPoint() = default;
  JFPoint(double px, double py) : x(px), y(py) {}
  [[nodiscard]] const char* className() const override { return "JFPoint"; }
  [[nodiscard]] JObject* clone() const override { return new JFPoint(*this); }

  double x = 0;
  double y = 0;
};

class JFRect : public JFPoint {
 public:
  JFRect() = default;
  JFRect(double px, double py, double w, double h) : JFPoint(px, py), width(w), height(h) {}
  [[nodiscard]] const char* className() const override { return "JFRect"; }
  [[nodiscard]] JObject* clone() const override { return new JFRect(*this); }

  double width = 0;
  double height = 0;
};

// A rectangle in integer device coordinates.
class JRect : public JObject {
 public:
  JRect() = default;
  JRect(int px, int py, int w, int h) : x(px), y(py), width(w), height(h) {}
  [[nodiscard]] const char* className() const override { return "JRect"; }
  [[nodiscard]] JObject* clone() const override { return new JRect(*this); }
  bool operator==(const JRect& o) const {
    return x == o.x && y == o.y && width == o.width && height == o.height;
  }

  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The part of the device that needs painting; an empty region means all.
class JRegion : public JObject {
 public:
  JRegion() = default;
  explicit JRegion(const JRect& bounds) : bounds(bounds) {}
  [[nodiscard]] const char* className() const override { return "JRegion"; }
  [[nodiscard]] JObject* clone() const override { return new JRegion(*this); }
  [[nodiscard]] bool isEmpty() const { return bounds.width <= 0 || bounds.height <= 0; }

  JRect bounds;
};
