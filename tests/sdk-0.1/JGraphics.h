#pragma once

#include <memory>
#include <string>
#include <vector>

#include "JGeometry.h"
#include "JString.h"

class JColor : public JObject {
 public:
  JColor() = default;
  JColor(int r, int g, int b) : red_(r), green_(g), blue_(b) {}
  [[nodiscard]] const char* className() const override { return "JColor"; }
  [[nodiscard]] JObject* clone() const override { return new JColor(*this); }
  [[nodiscard]] int getRed() const { return red_; }
  [[nodiscard]] int getGreen() const { return green_; }
  [[nodiscard]] int getBlue() const { return blue_; }
  bool operator==(const JColor& o) const {
    return red_ == o.red_ && green_ == o.green_ && blue_ == o.blue_;
  }

  static const JColor black;
  static const JColor white;
  static const JColor red;
  static const JColor green;
  static const JColor gray;
  static const JColor lightGray;

 private:
  int red_ = 0;
  int green_ = 0;
  int blue_ = 0;
};

// One rectangle a paint filled, in the image's pixels, and its colour.
struct JFilledRect {
  JColor color;
  JRect rect;
};

// One text that drawText drew: what it showed (after replacing what cannot
// be shown and shortening), and the rectangle its ink and advance cover.
struct JDrawnText {
  std::string text;
  JRect ink;
};

// A drawing context on an image. Copies draw on the same image (a module
// receives it by value). Host thread only.
class JGraphics : public JObject {
 public:
  JGraphics() = default;
  [[nodiscard]] const char* className() const override { return "JGraphics"; }
  [[nodiscard]] JObject* clone() const override { return new JGraphics(*this); }

  void setJColor(const JColor& color);
  [[nodiscard]] JColor getJColor() const;
  void fillRect(int x, int y, int width, int height);
  void drawRect(int x, int y, int width, int height);
  void drawLine(int x1, int y1, int x2, int y2);
  // Draws text centred in rect: as large as the rect's height allows,
  // smaller when it is too wide, and shortened to end in an ellipsis when
  // even the smallest legible size is too wide, so it always fits (nothing is
  // drawn where not even the ellipsis fits). UTF-8 shows as its characters;
  // control characters and bytes that are not UTF-8 show as '?'.
  void drawText(const JString& text, const JRect& rect);
  void setClip(const JRect& rect);

 private:
  friend class JImage;
  struct Context;
  explicit JGraphics(std::shared_ptr<Context> context) : context_(std::move(context)) {}
  std::shared_ptr<Context> context_;
};

// An image to paint on and save as PNG.
class JImage {
 public:
  JImage(int width, int height);
  [[nodiscard]] JGraphics graphics() const;
  [[nodiscard]] int width() const { return width_; }
  [[nodiscard]] int height() const { return height_; }
  // The colour of one pixel (for checks of what was drawn).
  [[nodiscard]] JColor pixel(int x, int y) const;
  // Every rectangle filled on the image so far, in drawing order: what a
  // paint drew, without reading it back from the pixels.
  [[nodiscard]] const std::vector<JFilledRect>& fills() const;
  // Every text drawn on the image so far, in drawing order.
  [[nodiscard]] const std::vector<JDrawnText>& texts() const;
  // Writes the image; returns an empty string, or the reason it failed.
  [[nodiscard]] std::string writePng(const std::string& path) const;
  // The image as PNG file bytes; empty when encoding failed.
  [[nodiscard]] std::string pngBytes() const;
  // Frees the font caches that text drawing keeps for the life of the
  // process. Call at the end, when no image is left.
  static void releaseCaches();

 private:
  int width_;
  int height_;
  std::shared_ptr<JGraphics::Context> context_;
};
