#include "JGraphics.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>

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
  std::vector<JDrawnText> texts;
};

namespace {

// Below this many pixels a text is hard to read: a longer text is shortened
// instead of shrunk further.
constexpr double kLeastFontSize = 7.0;
constexpr const char* kEllipsis = "\u2026";

// The length of the valid UTF-8 sequence at text[at], or 0. Overlong forms,
// surrogates and code points above U+10FFFF are not valid.
std::size_t sequenceLength(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned int point = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    point = lead & 0x1fU;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    point = lead & 0x0fU;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    point = lead & 0x07U;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0U) != 0x80) return 0;
    point = (point << 6U) | (byte(at + i) & 0x3fU);
  }
  const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
  const bool surrogate = point >= 0xd800 && point <= 0xdfff;
  if (overlong || surrogate || point > 0x10ffff) return 0;
  return length;
}

// The text as the font can show it: valid UTF-8 as itself, control
// characters (C0, DEL, C1) and bytes of broken sequences as '?'.
std::string displayable(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t length = sequenceLength(text, at);
    const auto lead = static_cast<unsigned char>(text[at]);
    const bool c1 = length == 2 && lead == 0xc2 && static_cast<unsigned char>(text[at + 1]) < 0xa0;
    if (length == 0 || c1 || lead < 0x20 || lead == 0x7f) {
      shown += '?';
      at += length == 0 ? 1 : length;
    } else {
      shown.append(text, at, length);
      at += length;
    }
  }
  return shown;
}

// How wide a text is once drawn: from the leftmost of its origin and ink to
// the rightmost of its advance and ink.
struct Span {
  double lead;  // where the span starts, from the origin (0 or less)
  double width;
};

Span measure(cairo_t* cr, const std::string& text) {
  cairo_text_extents_t extents{};
  cairo_text_extents(cr, text.c_str(), &extents);
  const double lead = std::min(0.0, extents.x_bearing);
  const double right = std::max(extents.x_advance, extents.x_bearing + extents.width);
  return Span{lead, right - lead};
}

// The longest head of text, cut between characters, that fits width with an
// ellipsis after it; empty when not even the ellipsis fits.
std::string shortened(cairo_t* cr, const std::string& text, double width) {
  std::vector<std::size_t> cuts;  // character boundaries, shortest head first
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xc0U) != 0x80) cuts.push_back(i);
  }
  if (measure(cr, kEllipsis).width > width) return {};
  std::size_t low = 0;  // cuts[low] always fits
  std::size_t high = cuts.size();
  while (high - low > 1) {
    const std::size_t middle = (low + high) / 2;
    if (measure(cr, text.substr(0, cuts[middle]) + kEllipsis).width <= width) {
      low = middle;
    } else {
      high = middle;
    }
  }
  return text.substr(0, cuts[low]) + kEllipsis;
}

}  // namespace

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
  std::string shown = displayable(text.str());
  cairo_t* cr = context_->cr;
  cairo_save(cr);
  cairo_rectangle(cr, rect.x, rect.y, rect.width, rect.height);
  cairo_clip(cr);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  double size = rect.height * 0.75;
  const double least = std::min(size, kLeastFontSize);
  cairo_set_font_size(cr, size);
  Span span = measure(cr, shown);
  // Glyphs do not scale exactly with the size (their widths are rounded to
  // pixels), so each smaller size is measured again.
  for (int step = 0; step < 8 && span.width > rect.width && size > least; ++step) {
    size = std::max(least, std::min(size * rect.width / span.width, size - 0.25));
    cairo_set_font_size(cr, size);
    span = measure(cr, shown);
  }
  if (span.width > rect.width) {
    shown = shortened(cr, shown, rect.width);
    span = measure(cr, shown);
  }
  if (!shown.empty()) {
    cairo_font_extents_t font{};
    cairo_font_extents(cr, &font);
    const double left = rect.x + (rect.width - span.width) / 2.0 - span.lead;
    const double baseline = rect.y + (rect.height + font.ascent - font.descent) / 2.0;
    cairo_move_to(cr, left, baseline);
    cairo_show_text(cr, shown.c_str());
    const double inkLeft = left + span.lead;
    context_->texts.push_back(JDrawnText{
        shown, JRect(static_cast<int>(std::floor(inkLeft)), rect.y,
                     static_cast<int>(std::ceil(inkLeft + span.width) - std::floor(inkLeft)),
                     rect.height)});
  }
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

const std::vector<JDrawnText>& JImage::texts() const {
  return context_->texts;
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
