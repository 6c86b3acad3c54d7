#include "console.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "orbit.h"
#include "support/format.h"

namespace demo {

using zub_cli::format;

namespace {

void show_detail(const std::string& where, const std::string& text) {
  std::printf("     | %s: %s\n", where.c_str(), text.c_str());
}

std::string clock_time(time_t t) {
  std::tm parts{};
  char buf[16] = "--:--:--";
  if (localtime_r(&t, &parts) != nullptr) {
    std::strftime(buf, sizeof buf, "%H:%M:%S", &parts);
  }
  return buf;
}

}  // namespace

const zub_cli::log_style kLogStyle{kProgram, show_detail, true};

void show_inversion(const zub_cli::library_log& log,
                    const zub_cli::inversion_outcome& out) {
  if (!log.shows_details()) return;
  // In the words that the property's invert logs the same facts.
  show_detail("INVERSION",
              format("INFO: Using %s: %e",
                     out.internal ? "internal tolerance for SVD cut off"
                                  : "user provided SVD cut off tolerance",
                     static_cast<double>(out.tol)));
  if (out.removed_infinite != 0) {
    show_detail("INVERSION", format("INFO: Removed %d infinite values from S",
                                    out.removed_infinite));
  }
  show_detail("INVERSION", format("INFO: Using %d from %zu singular values",
                                  out.nosv, out.singular.size()));
  if (out.transposed) {
    show_detail("INVERSION", "INFO: decomposed as its transpose");
  }
}

std::string number(double v, int decimals) {
  return std::isfinite(v) && std::fabs(v) < 1e5 ? format("%.*f", decimals, v)
                                                : format("%.*g", decimals, v);
}

void print_inversion(const feedback_server& server, const char* origin) {
  const spectrum_view& sv = server.spectrum();
  std::printf(
      "     tolerance %.2g (%s), cut-off = tolerance x s_max = %.2g\n"
      "     %d of %zu singular values kept\n",
      server.tolerance(), origin, sv.cutoff, sv.nosv, sv.values.size());
}

void print_spectrum(const spectrum_view& sv) {
  constexpr int kWidth = 44;
  double lo = 0.0, hi = 0.0;
  for (double s : sv.values) {
    if (s > 0 && (lo == 0.0 || s < lo)) lo = s;
    hi = std::max(hi, s);
  }
  const double span = hi > lo ? std::log10(hi / lo) : 1.0;
  std::printf("     singular values, log scale (# kept, . cut):\n");
  auto row = [&](size_t i) {
    const double s = sv.values[i];
    int n = 0;
    if (s > 0) {
      n = 1 + static_cast<int>(
                  std::lround((kWidth - 1) * std::log10(s / lo) / span));
    }
    const std::string bar(static_cast<size_t>(n), sv.kept(i) ? '#' : '.');
    std::printf("     %4zu  %10.4g  %-*s  %s\n", i, s, kWidth, bar.c_str(),
                sv.kept(i) ? "kept" : "cut");
  };
  const size_t k = sv.values.size();
  if (k <= 24) {
    for (size_t i = 0; i < k; ++i) row(i);
  } else {
    for (size_t i = 0; i < 10; ++i) row(i);
    std::printf("     %4s  (%zu more)\n", "...", k - 20);
    for (size_t i = k - 10; i < k; ++i) row(i);
  }
}

void print_history(K_ringbuf& history, EqFct& loc) {
  EqData request, reply;  // a request without data: the whole buffer
  history.get(nullptr, &request, &reply, &loc);
  int empty = 0;
  std::printf("     whole buffer, newest first (%d entries):\n",
              reply.length());
  for (int i = 0; i < reply.length(); ++i) {
    const USTR* e = reply.get_ustr(i);
    if (e->tm == 0) {
      ++empty;
    } else {
      std::printf("     %4d  %s  %s\n", i, clock_time(e->tm).c_str(),
                  e->str_data.c_str());
    }
  }
  if (empty > 0) std::printf("     (%d entries empty)\n", empty);
  request.set(0);  // the int 0: the newest entry alone
  history.get(nullptr, &request, &reply, &loc);
  const USTR* e = reply.get_ustr(0);
  std::printf("     entry 0 alone: %s\n",
              e != nullptr && e->tm != 0 ? e->str_data.c_str() : "(empty)");
}

void print_summary(const feedback_result& r, const std::vector<bool>& used,
                   double noise) {
  const double r0 = rms(r.first, used), r1 = rms(r.last, used);
  const size_t n = in_use(used);
  const std::string over =
      n == used.size() ? "" : format(" (the %zu monitors in use)", n);
  const int done = r.done;
  const char* const plural = done == 1 ? "" : "s";
  if (!r.stopped.empty()) {
    // The last readings are those that made it stop: no orbit to show.
    std::printf(
        "     orbit rms %s mm at the start%s; the feedback stopped at "
        "iteration %d\n",
        number(r0, 4).c_str(), over.c_str(), done);
  } else if (done == 0) {
    std::printf("     no feedback iterations: orbit rms %.4f mm%s\n", r0,
                over.c_str());
  } else if (r.corrected_nothing) {
    std::printf(
        "     orbit rms %s mm -> %s mm in %d iteration%s%s: the feedback "
        "corrected nothing, as the inverse keeps no singular value\n",
        number(r0, 4).c_str(), number(r1, 4).c_str(), done, plural,
        over.c_str());
  } else if (r.held_at > 0) {
    std::printf(
        "     orbit rms %s mm -> %s mm in %d iteration%s%s: the loop held "
        "from iteration %d on, the orbit growing, and moved no corrector "
        "after it\n",
        number(r0, 4).c_str(), number(r1, 4).c_str(), done, plural,
        over.c_str(), r.held_at);
  } else if (r1 > 0 && r1 < r0) {
    std::printf(
        "     orbit rms %.4f mm -> %.4f mm in %d iteration%s%s: %.1f "
        "times smaller\n",
        r0, r1, done, plural, over.c_str(), r0 / r1);
  } else if (r1 > 0) {
    std::printf(
        "     orbit rms %.4f mm -> %.4f mm in %d iteration%s%s: no smaller, "
        "within the monitors' noise of %.3g mm\n",
        r0, r1, done, plural, over.c_str(), noise);
  } else {
    std::printf("     orbit rms %.4f mm -> %.4f mm in %d iteration%s%s\n", r0,
                r1, done, plural, over.c_str());
  }
}

}  // namespace demo
