// The drawing pieces of the demo's picture: a panel with its title, legend,
// frame, axes and ticks, written as SVG into a stream.
#ifndef ZUB_DEMO_SVG_PANEL_H
#define ZUB_DEMO_SVG_PANEL_H

#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace demo {

std::string xml_escape(const std::string& s);

// A step of 1, 2 or 5 times a power of ten that cuts `span` into at most
// `most` parts.
double nice_step(double span, int most);

// A number as an axis shows it: short, no trailing zeros.
std::string tick_label(double v);

// A legend entry: colour, kind ('b' a box, 'l' a line, 'd' a dashed line,
// 'o' a dotted line, 'x' a cross) and text.
using legend_entry = std::tuple<std::string, char, std::string>;

// One panel of the picture: a plot area in pixels and the text around it.
class svg_panel {
 public:
  svg_panel(std::ostringstream& o, double x0, double y0, double x1, double y1)
      : o_(o), x0_(x0), y0_(y0), x1_(x1), y1_(y1) {}

  // Title above, and the legend under it, in as many rows as the panel's
  // width needs.
  void heading(const std::string& title,
               const std::vector<legend_entry>& legend);

  // Axis titles: below the plot area, and turned along its left side.
  void axis_titles(const std::string& x_title, const std::string& y_title);

  void frame();

  // A grid line and its label on the y axis.
  void y_tick(double y, const std::string& label, bool axis = false);

  // A tick and its label on the x axis.
  void x_tick(double x, const std::string& label);

  void cross(double x, double y, const std::string& colour);

  double x0() const { return x0_; }
  double x1() const { return x1_; }
  double y0() const { return y0_; }
  double y1() const { return y1_; }

 private:
  static const char* dashes(char kind);

  std::ostringstream& o_;
  const double x0_, y0_, x1_, y1_;
};

// Decades e0 ... e1 that cover the positive values of v.
std::pair<int, int> decades(const std::vector<double>& v);

// Labels of a log axis from 10^e0 to 10^e1, thinned out to about six.
void log_axis(svg_panel& p, int e0, int e1);

// Integer ticks 0 ... last along the x axis, at most about 12 of them.
void index_axis(svg_panel& p, int last, const std::function<double(double)>& x);

}  // namespace demo

#endif  // ZUB_DEMO_SVG_PANEL_H
