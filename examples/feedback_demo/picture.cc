#include "picture.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <tuple>

#include "orbit.h"
#include "support/format.h"
#include "svg_panel.h"

namespace demo {

using zub_cli::format;

namespace {

// The singular values of the last inversion, kept and cut, on a log scale.
void spectrum_panel(std::ostringstream& o, const spectrum_view& sv) {
  svg_panel p(o, 100, 110, 560, 320);
  const size_t k = sv.values.size();
  const auto [e0, e1] = decades(sv.values);
  const double lo = std::pow(10.0, e0), hi = std::pow(10.0, e1);
  const bool cutoff_shown = sv.cutoff >= lo && sv.cutoff <= hi;
  const std::string cutoff_text =
      format("cut-off %.2g%s", sv.cutoff,
             cutoff_shown || sv.cutoff <= 0 ? ""
             : sv.cutoff < lo               ? " (below the axis)"
                                            : " (above the axis)");
  // The float rounding level only where it meets the values.
  const bool rounding_shown =
      sv.rounding_level >= lo && sv.rounding_level <= hi;
  std::vector<legend_entry> legend = {
      {"#2a6fdb", 'b', format("kept (%d)", sv.nosv)},
      {"#aaaaaa", 'b', format("cut (%zu)", k - sv.nosv)},
      {"#d33", 'd', cutoff_text}};
  if (rounding_shown) {
    legend.push_back({"#e08a00", 'o',
                      format("float rounding level %.2g", sv.rounding_level)});
  }
  p.heading("Singular values of the response matrix", legend);
  auto y = [&](double s) {
    return p.y1() - (p.y1() - p.y0()) * (std::log10(s) - e0) / (e1 - e0);
  };
  log_axis(p, e0, e1);
  const double slot =
      (p.x1() - p.x0()) / static_cast<double>(std::max<size_t>(k, 1));
  auto x = [&](double i) { return p.x0() + slot * (i + 0.5); };
  for (size_t i = 0; i < k; ++i) {
    const double s = sv.values[i];
    const double w = std::max(slot * 0.7, 1.0);
    const char* fill = sv.kept(i) ? "#2a6fdb" : "#aaaaaa";
    const char* kind = sv.kept(i) ? "sv kept" : "sv cut";
    if (s > 0) {
      o << "<rect class=\"" << kind << "\" x=\"" << x(i) - w / 2 << "\" y=\""
        << y(s) << "\" width=\"" << w << "\" height=\"" << p.y1() - y(s)
        << "\" fill=\"" << fill << "\"/>\n";
    } else {
      // A zero has no place on a log scale: a marker on the axis.
      o << "<text class=\"" << kind << "\" x=\"" << x(i) << "\" y=\""
        << p.y1() - 4 << "\" text-anchor=\"middle\" font-size=\"11\" fill=\""
        << fill << "\">0</text>\n";
    }
  }
  if (rounding_shown) {
    o << "<line x1=\"" << p.x0() << "\" y1=\"" << y(sv.rounding_level)
      << "\" x2=\"" << p.x1() << "\" y2=\"" << y(sv.rounding_level)
      << "\" stroke=\"#e08a00\" stroke-width=\"2\" "
         "stroke-dasharray=\"2,2\"/>\n";
  }
  if (cutoff_shown) {
    o << "<line x1=\"" << p.x0() << "\" y1=\"" << y(sv.cutoff) << "\" x2=\""
      << p.x1() << "\" y2=\"" << y(sv.cutoff)
      << "\" stroke=\"#d33\" stroke-width=\"2\" stroke-dasharray=\"5,3\"/>\n";
  }
  index_axis(p, static_cast<int>(k) - 1, x);
  p.frame();
  p.axis_titles("index of the singular value, largest first",
                "singular value (mm/mrad)");
}

// The rms orbit at every iteration on a log scale, with the iterations at
// which a monitor was left out, and the monitors' noise, which a working
// feedback brings the rms down to.
void rms_panel(std::ostringstream& o, const run_record& r) {
  svg_panel p(o, 680, 110, 960, 320);
  std::vector<legend_entry> legend = {{"#333", 'l', "rms, monitors in use"}};
  if (!r.exclusions.empty())
    legend.push_back({"#999", 'd', "monitor left out"});
  std::vector<double> shown = r.rms_history;
  if (r.noise > 0) shown.push_back(r.noise);
  p.heading("Orbit rms against the iteration", legend);
  const auto [e0, e1] = decades(shown);
  const double lo = std::pow(10.0, e0);
  auto y = [&](double v) {
    const double c = std::isfinite(v) ? std::max(v, lo) : std::pow(10.0, e1);
    return p.y1() - (p.y1() - p.y0()) * (std::log10(c) - e0) / (e1 - e0);
  };
  log_axis(p, e0, e1);
  const int last = std::max<int>(static_cast<int>(r.rms_history.size()) - 1, 1);
  auto x = [&](double it) { return p.x0() + (p.x1() - p.x0()) * it / last; };
  for (const auto& [it, monitor] : r.exclusions) {
    o << "<line x1=\"" << x(it) << "\" y1=\"" << p.y0() << "\" x2=\"" << x(it)
      << "\" y2=\"" << p.y1()
      << "\" stroke=\"#999\" stroke-width=\"1.5\" stroke-dasharray=\"5,3\"/>\n"
      << "<text x=\"" << x(it) + 3 << "\" y=\"" << p.y0() + 12
      << "\" font-size=\"11\" fill=\"#666\">monitor " << monitor << "</text>\n";
  }
  // Labelled in the plot, at its start, where the orbit is still well
  // above it: a third row of legend would crowd the title.
  if (r.noise > 0) {
    o << "<line class=\"noise\" x1=\"" << p.x0() << "\" y1=\"" << y(r.noise)
      << "\" x2=\"" << p.x1() << "\" y2=\"" << y(r.noise)
      << "\" stroke=\"#e08a00\" stroke-width=\"2\" "
         "stroke-dasharray=\"2,2\"/>\n"
      << "<text x=\"" << p.x0() + 4 << "\" y=\"" << y(r.noise) - 5
      << "\" font-size=\"11\" fill=\"#b06a00\">"
      << format("monitor noise %.3g mm", r.noise) << "</text>\n";
  }
  o << "<polyline class=\"rms\" fill=\"none\" stroke=\"#333\" "
       "stroke-width=\"2\" points=\"";
  for (size_t i = 0; i < r.rms_history.size(); ++i) {
    o << (i ? " " : "") << x(static_cast<double>(i)) << ","
      << y(r.rms_history[i]);
  }
  o << "\"/>\n";
  if (r.rms_history.size() <= 60) {
    for (size_t i = 0; i < r.rms_history.size(); ++i) {
      o << "<circle cx=\"" << x(static_cast<double>(i)) << "\" cy=\""
        << y(r.rms_history[i]) << "\" r=\"2.5\" fill=\"#333\"/>\n";
    }
  }
  index_axis(p, static_cast<int>(r.rms_history.size()) - 1, x);
  p.frame();
  p.axis_titles("iteration", "rms orbit (mm)");
}

// The orbit at the monitors on a scale of its own; monitors left out are
// crosses on the axis.
void orbit_panel(std::ostringstream& o, double y0, const std::string& title,
                 const char* kind, const char* colour,
                 const std::vector<double>& v, const std::vector<bool>& used) {
  svg_panel p(o, 100, y0, 960, y0 + 200);
  const double r = rms(v, used);
  const size_t left_out =
      static_cast<size_t>(std::count(used.begin(), used.end(), false));
  std::vector<legend_entry> legend = {
      {colour, 'l', format("reading, rms %.3g mm", r)}};
  if (left_out > 0) {
    legend.push_back({"#999", 'x', format("monitor left out (%zu)", left_out)});
  }
  p.heading(title, legend);
  double range = 0.0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (used[i] && std::isfinite(v[i]))
      range = std::max(range, std::fabs(v[i]));
  }
  if (!(range > 0)) range = 1.0;
  const double step = nice_step(2 * range, 6);
  const double limit = std::ceil(range / step - 1e-9) * step;
  auto y = [&](double x) {
    return (p.y0() + p.y1()) / 2 - (p.y1() - p.y0()) / 2 * x / limit;
  };
  for (double t = -limit; t <= limit + step / 2; t += step) {
    p.y_tick(y(t), tick_label(t), std::fabs(t) < step / 2);
  }
  const size_t m = v.size();
  auto x = [&](double i) {
    return m <= 1 ? (p.x0() + p.x1()) / 2
                  : p.x0() + 10 + (p.x1() - p.x0() - 20) * i / (m - 1);
  };
  // One polyline per run of monitors in use with finite readings.
  o << "<polyline class=\"" << kind << "\" fill=\"none\" stroke=\"" << colour
    << "\" stroke-width=\"2\" points=\"";
  bool first = true;
  for (size_t i = 0; i < m; ++i) {
    if (!used[i] || !std::isfinite(v[i])) {
      if (!first)
        o << "\"/>\n<polyline class=\"" << kind << "\" fill=\"none\" stroke=\""
          << colour << "\" stroke-width=\"2\" points=\"";
      first = true;
      continue;
    }
    o << (first ? "" : " ") << x(static_cast<double>(i)) << "," << y(v[i]);
    first = false;
  }
  o << "\"/>\n";
  for (size_t i = 0; i < m; ++i) {
    if (!used[i]) {
      p.cross(x(static_cast<double>(i)), y(0), "#999");
    } else if (m <= 100 && std::isfinite(v[i])) {
      o << "<circle cx=\"" << x(static_cast<double>(i)) << "\" cy=\"" << y(v[i])
        << "\" r=\"2.5\" fill=\"" << colour << "\"/>\n";
    }
  }
  index_axis(p, static_cast<int>(m) - 1, x);
  p.frame();
  p.axis_titles("monitor", "orbit (mm)");
}

}  // namespace

std::string make_svg(const run_record& r) {
  std::ostringstream o;
  o.setf(std::ios::fixed);
  o.precision(1);
  o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" "
       "height=\"980\" viewBox=\"0 0 1000 980\" font-family=\"sans-serif\" "
       "font-size=\"13\">\n"
    << "<rect width=\"1000\" height=\"980\" fill=\"white\"/>\n"
    << "<text x=\"500\" y=\"28\" text-anchor=\"middle\" font-size=\"18\">"
    << xml_escape(r.title) << "</text>\n"
    << "<text x=\"500\" y=\"48\" text-anchor=\"middle\" fill=\"#555\">"
    << xml_escape(r.subtitle) << "</text>\n";
  spectrum_panel(o, r.spectrum);
  rms_panel(o, r);
  orbit_panel(o, 430, "Orbit before correction (iteration 0)", "orbit-before",
              "#d33", r.before, r.used_before);
  orbit_panel(o, 720,
              format("Orbit after correction (iteration %zu), on its own "
                     "scale",
                     r.rms_history.size() - 1),
              "orbit-after", "#2a6fdb", r.after, r.used);
  o << "</svg>\n";
  return o.str();
}

}  // namespace demo
