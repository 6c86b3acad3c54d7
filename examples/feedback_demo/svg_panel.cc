#include "svg_panel.h"

#include <algorithm>
#include <cmath>

#include "support/format.h"

namespace demo {

using zub_cli::format;

std::string xml_escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
  }
  return out;
}

// A step of 1, 2 or 5 times a power of ten that cuts `span` into at most
// `most` parts.
double nice_step(double span, int most) {
  if (!(span > 0)) return 1.0;
  const double raw = span / most;
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0}) {
    if (m * p >= raw) return m * p;
  }
  return 10 * p;
}

// A number as an axis shows it: short, no trailing zeros.
std::string tick_label(double v) {
  if (std::fabs(v) < 1e-12) return "0";
  return format("%g", v);
}

void svg_panel::heading(const std::string& title,
                        const std::vector<legend_entry>& legend) {
  // About 7 px per character at 12 px.
  auto width = [](const std::string& text) {
    return 20 + 7.0 * static_cast<double>(text.size()) + 18;
  };
  int rows = 1;
  double x = x0_;
  for (const auto& entry : legend) {
    const double w = width(std::get<2>(entry));
    if (x + w > x1_ + 18 && x > x0_) {
      ++rows;
      x = x0_;
    }
    x += w;
  }
  o_ << "<text x=\"" << x0_ << "\" y=\"" << y0_ - 10 - 16 * rows
     << "\" font-size=\"15\" font-weight=\"bold\">" << xml_escape(title)
     << "</text>\n";
  x = x0_;
  double y = y0_ - 10 - 16 * (rows - 1);
  for (const auto& entry : legend) {
    const std::string text = xml_escape(std::get<2>(entry));
    const double w = width(std::get<2>(entry));
    if (x + w > x1_ + 18 && x > x0_) {
      y += 16;
      x = x0_;
    }
    const std::string& colour = std::get<0>(entry);
    const char kind = std::get<1>(entry);
    if (kind == 'b') {
      o_ << "<rect x=\"" << x << "\" y=\"" << y - 9
         << "\" width=\"12\" height=\"10\" fill=\"" << colour << "\"/>\n";
    } else if (kind == 'x') {
      cross(x + 6, y - 4, colour);
    } else {
      o_ << "<line x1=\"" << x << "\" y1=\"" << y - 4 << "\" x2=\"" << x + 16
         << "\" y2=\"" << y - 4 << "\" stroke=\"" << colour
         << "\" stroke-width=\"2\"" << dashes(kind) << "/>\n";
    }
    o_ << "<text x=\"" << x + 20 << "\" y=\"" << y << "\" font-size=\"12\">"
       << text << "</text>\n";
    x += w;
  }
}

const char* svg_panel::dashes(char kind) {
  return kind == 'd'   ? " stroke-dasharray=\"5,3\""
         : kind == 'o' ? " stroke-dasharray=\"2,2\""
                       : "";
}

void svg_panel::axis_titles(const std::string& x_title,
                            const std::string& y_title) {
  o_ << "<text x=\"" << (x0_ + x1_) / 2 << "\" y=\"" << y1_ + 36
     << "\" text-anchor=\"middle\">" << xml_escape(x_title) << "</text>\n";
  const double yc = (y0_ + y1_) / 2;
  o_ << "<text x=\"" << x0_ - 58 << "\" y=\"" << yc
     << "\" text-anchor=\"middle\" transform=\"rotate(-90 " << x0_ - 58 << " "
     << yc << ")\">" << xml_escape(y_title) << "</text>\n";
}

void svg_panel::frame() {
  o_ << "<rect x=\"" << x0_ << "\" y=\"" << y0_ << "\" width=\"" << x1_ - x0_
     << "\" height=\"" << y1_ - y0_ << "\" fill=\"none\" stroke=\"#444\"/>\n";
}

void svg_panel::y_tick(double y, const std::string& label, bool axis) {
  o_ << "<line x1=\"" << x0_ << "\" y1=\"" << y << "\" x2=\"" << x1_
     << "\" y2=\"" << y << "\" stroke=\"" << (axis ? "#888" : "#e4e4e4")
     << "\"/>\n<text x=\"" << x0_ - 6 << "\" y=\"" << y + 4
     << "\" text-anchor=\"end\" font-size=\"12\">" << label << "</text>\n";
}

void svg_panel::x_tick(double x, const std::string& label) {
  o_ << "<line x1=\"" << x << "\" y1=\"" << y1_ << "\" x2=\"" << x << "\" y2=\""
     << y1_ + 5 << "\" stroke=\"#444\"/>\n<text x=\"" << x << "\" y=\""
     << y1_ + 18 << "\" text-anchor=\"middle\" font-size=\"12\">" << label
     << "</text>\n";
}

void svg_panel::cross(double x, double y, const std::string& colour) {
  o_ << "<path d=\"M" << x - 4 << "," << y - 4 << " L" << x + 4 << "," << y + 4
     << " M" << x - 4 << "," << y + 4 << " L" << x + 4 << "," << y - 4
     << "\" stroke=\"" << colour << "\" stroke-width=\"2\"/>\n";
}

namespace {

// Labels of a log axis: 10 with the exponent raised.
std::string power_of_ten(int e) {
  return format("10<tspan dy=\"-6\" font-size=\"9\">%d</tspan>", e);
}

}  // namespace

// Decades e0 ... e1 that cover the positive values of v.
std::pair<int, int> decades(const std::vector<double>& v) {
  double lo = 0.0, hi = 0.0;
  for (double x : v) {
    if (!(x > 0) || !std::isfinite(x)) continue;
    if (lo == 0.0 || x < lo) lo = x;
    hi = std::max(hi, x);
  }
  if (hi == 0.0) return {0, 1};
  const int e0 = static_cast<int>(std::floor(std::log10(lo)));
  int e1 = static_cast<int>(std::ceil(std::log10(hi)));
  if (e1 == e0) ++e1;
  return {e0, e1};
}

void log_axis(svg_panel& p, int e0, int e1) {
  const int step = std::max(1, (e1 - e0 + 5) / 6);
  for (int e = e0; e <= e1; e += step) {
    p.y_tick(p.y1() - (p.y1() - p.y0()) * (e - e0) / (e1 - e0),
             power_of_ten(e));
  }
}

// Integer ticks 0 ... last along the x axis, at most about 12 of them.
void index_axis(svg_panel& p, int last,
                const std::function<double(double)>& x) {
  const double step = std::max(1.0, nice_step(std::max(last, 1), 12));
  for (double t = 0; t <= last + 1e-9; t += step) {
    p.x_tick(x(t), tick_label(t));
  }
}

}  // namespace demo
