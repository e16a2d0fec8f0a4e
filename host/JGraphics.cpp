#include "JGraphics.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>

const JColor JColor::black{0, 0, 0};
const JColor JColor::white{255, 255, 255};
const JColor JColor::red{255, 0, 0};
const JColor JColor::green{0, 255, 0};
const JColor JColor::gray{128, 128, 128};
const JColor JColor::lightGray{224, 224, 224};

struct JGraphics::Context {
  Context(int width, int height)
      : surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height)),
        cr(cairo_create(surface)) {
    // Crisp one-pixel shapes: no antialiasing of rectangles and lines.
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_line_width(cr, 1.0);
  }
  ~Context() {
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
  }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  cairo_surface_t* surface;
  cairo_t* cr;
  JColor color = JColor::black;
  std::vector<JFilledRect> fills;
};

void JGraphics::setJColor(const JColor& color) {
  if (!context_) return;
  context_->color = color;
  cairo_set_source_rgb(context_->cr, color.getRed() / 255.0, color.getGreen() / 255.0,
                       color.getBlue() / 255.0);
}

JColor JGraphics::getJColor() const {
  return context_ ? context_->color : JColor::black;
}

void JGraphics::fillRect(int x, int y, int width, int height) {
  if (!context_ || width <= 0 || height <= 0) return;
  cairo_rectangle(context_->cr, x, y, width, height);
  cairo_fill(context_->cr);
  context_->fills.push_back(JFilledRect{context_->color, JRect(x, y, width, height)});
}

void JGraphics::drawRect(int x, int y, int width, int height) {
  if (!context_ || width <= 0 || height <= 0) return;
  // Half-pixel offsets put the one-pixel outline exactly on the pixels.
  cairo_rectangle(context_->cr, x + 0.5, y + 0.5, width - 1, height - 1);
  cairo_stroke(context_->cr);
}

void JGraphics::drawLine(int x1, int y1, int x2, int y2) {
  if (!context_) return;
  cairo_move_to(context_->cr, x1 + 0.5, y1 + 0.5);
  cairo_line_to(context_->cr, x2 + 0.5, y2 + 0.5);
  cairo_stroke(context_->cr);
}

void JGraphics::drawText(const JString& text, const JRect& rect) {
  if (!context_ || rect.width <= 0 || rect.height <= 0 || text.empty()) return;
  std::string shown = text.str();
  for (char& c : shown) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f) c = '?';
  }
  cairo_t* cr = context_->cr;
  cairo_save(cr);
  cairo_rectangle(cr, rect.x, rect.y, rect.width, rect.height);
  cairo_clip(cr);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  double size = rect.height * 0.75;
  cairo_set_font_size(cr, size);
  cairo_text_extents_t extents{};
  cairo_text_extents(cr, shown.c_str(), &extents);
  if (extents.x_advance > rect.width && extents.x_advance > 0) {
    size = std::max(1.0, size * rect.width / extents.x_advance);
    cairo_set_font_size(cr, size);
    cairo_text_extents(cr, shown.c_str(), &extents);
  }
  cairo_font_extents_t font{};
  cairo_font_extents(cr, &font);
  double left = rect.x + (rect.width - extents.x_advance) / 2.0;
  double baseline = rect.y + (rect.height + font.ascent - font.descent) / 2.0;
  cairo_move_to(cr, left, baseline);
  cairo_show_text(cr, shown.c_str());
  cairo_restore(cr);
}

void JGraphics::setClip(const JRect& rect) {
  if (!context_) return;
  cairo_reset_clip(context_->cr);
  cairo_rectangle(context_->cr, rect.x, rect.y, rect.width, rect.height);
  cairo_clip(context_->cr);
}

JImage::JImage(int width, int height)
    : width_(std::max(1, width)),
      height_(std::max(1, height)),
      context_(std::make_shared<JGraphics::Context>(width_, height_)) {
  cairo_set_source_rgb(context_->cr, 1, 1, 1);
  cairo_paint(context_->cr);
  cairo_set_source_rgb(context_->cr, 0, 0, 0);
}

JGraphics JImage::graphics() const {
  return JGraphics(context_);
}

JColor JImage::pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return JColor::white;
  cairo_surface_flush(context_->surface);
  const unsigned char* data = cairo_image_surface_get_data(context_->surface);
  const int stride = cairo_image_surface_get_stride(context_->surface);
  uint32_t word = 0;
  std::copy_n(data + static_cast<std::ptrdiff_t>(y) * stride + static_cast<std::ptrdiff_t>(x) * 4,
              4, reinterpret_cast<unsigned char*>(&word));
  return JColor(static_cast<int>((word >> 16) & 0xff), static_cast<int>((word >> 8) & 0xff),
                static_cast<int>(word & 0xff));
}

const std::vector<JFilledRect>& JImage::fills() const {
  return context_->fills;
}

std::string JImage::writePng(const std::string& path) const {
  cairo_surface_flush(context_->surface);
  cairo_status_t status = cairo_surface_write_to_png(context_->surface, path.c_str());
  if (status == CAIRO_STATUS_SUCCESS) return {};
  return std::string("cannot write ") + path + ": " + cairo_status_to_string(status);
}

std::string JImage::pngBytes() const {
  cairo_surface_flush(context_->surface);
  std::string bytes;
  auto append = [](void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
  };
  if (cairo_surface_write_to_png_stream(context_->surface, append, &bytes) !=
      CAIRO_STATUS_SUCCESS) {
    return {};
  }
  return bytes;
}

void JImage::releaseCaches() {
  cairo_debug_reset_static_data();
  FcFini();
}
