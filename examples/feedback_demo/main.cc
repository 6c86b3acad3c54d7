// A small orbit-feedback server in one process, hosted by the framework
// stand-in, on the shipped response matrix of a beamline.
//
// It does what a feedback server built on zub_feedback does: it constructs
// its properties on a location (the response matrix, its inverse, the
// singular-value spectrum and a ring buffer of messages), loads the matrix
// from its file, inverts it by truncated SVD and then corrects the orbit of a
// simulated machine (machine.h): the monitors' deviations are multiplied
// with the inverse, and the result, scaled by a gain, changes the
// correctors. Every computation on the matrices is the library's.
//
// Monitors are left out of the correction as a server does it, with weights
// on the response matrix, inverted by the core (tools/support/inversion.h):
// by the operator (--exclude-monitor), or by the server itself when a
// monitor's reading is not a number or beyond the monitors' range
// (--fail-monitor makes one read garbage). The loop is the library's
// (zub_feedback::orbit_loop): its checks, corrector limits and divergence
// guard decide each step; a loop that holds is reported as a failure.
// --measure measures the machine's matrix first with the library's
// procedure and corrects with the inverse of that one.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "console.h"
#include "feedback.h"
#include "machine.h"
#include "measure.h"
#include "options.h"
#include "orbit.h"
#include "picture.h"
#include "sample_chicane.h"
#include "server.h"
#include "support/atomic_file.h"
#include "support/format.h"
#include "support/library_log.h"
#include "support/program.h"
#include "zub_feedback/matrix_io.h"

namespace demo {

namespace {

using zub_cli::format;

// Exit status of a feedback whose loop held, that corrected nothing or
// stopped.
constexpr int kExitDiverged = 3;

std::string file_name(const std::string& path) {
  return path.substr(path.find_last_of('/') + 1);
}

// 1. The properties on their location, the matrix loaded, the monitors
// that the operator leaves out.
void start_up(feedback_server& server, const options& o) {
  const int M = o.monitors;
  const int N = o.actuators;
  std::printf(
      "     %s: RESPONSE_MATRIX %d x %d (monitors x correctors), "
      "INVERSE %d x %d,\n     SINGULAR_VALUES (up to %d points), "
      "HISTORY (ring buffer of %d messages);\n     weights of %d monitors "
      "and %d correctors (1 in use, 0 left out)\n",
      server.location().name().c_str(), M, N, N, M, std::min(M, N),
      kHistorySize, M, N);
  server.load();
  for (int i : o.exclude_monitors) {
    if (!server.used()[static_cast<size_t>(i)]) continue;
    server.leave_out(i);
    std::printf("     monitor %d left out by the operator\n", i);
    server.history().store(
        format("monitor %d left out by the operator", i).c_str());
  }
}

// 2. The inversion, its spectrum as the server shows it and as a client
// reads it, and what the operator must know of it.
void invert_matrix(feedback_server& server, const options& o,
                   const char* origin) {
  server.invert();
  print_inversion(server, origin);
  print_spectrum(server.spectrum());
  EqData request, reply;
  server.spectrum_property().get(nullptr, &request, &reply, &server.location());
  std::printf("     a client reading SINGULAR_VALUES gets %d points\n",
              reply.length());
  const std::string what =
      server.measured() ? "the measured matrix" : file_name(o.file);
  server.history().store(format("inverted %s: %d of %d singular values kept",
                                what.c_str(), server.spectrum().nosv,
                                std::min(o.monitors, o.actuators))
                             .c_str());
  server.print_warnings();
}

// 3. What the simulated machine starts with.
void describe_machine(const options& o) {
  std::printf(
      "     corrector errors %.3g mrad rms, monitor noise %.3g mm rms, "
      "seed %llu;\n     the machine's monitors and correctors are off the "
      "model by %.0f %% and %.0f %% rms\n",
      o.errors, o.noise, o.seed, kMonitorGainError * 100,
      kCorrectorGainError * 100);
  if (o.flip_sign) {
    std::printf(
        "     the machine responds with the opposite sign of the matrix "
        "(--flip-sign)\n");
  }
  for (const auto& f : o.fail_monitors) {
    std::printf(
        "     monitor %d breaks at iteration %d: from then on it reads "
        "garbage (%.0f mm at odd iterations, NaN at even ones)\n",
        f.monitor, f.from, kGarbageReading);
  }
}

// 3b. The machine's own matrix, measured, compared with the file's, and
// inverted for the feedback in its place. Unless told otherwise, singular
// values within the measurement's errors are cut: their modes would be the
// noise's, not the machine's.
void measure_matrix(feedback_server& server, simulated_machine& machine,
                    const options& o) {
  std::printf(
      "\n     Measuring the machine's response matrix: each corrector by "
      "+-%.3g mrad,\n     %zu orbits skipped after each setting and %zu "
      "averaged\n",
      kMeasureKick, kSettleCycles, kMeasureOrbits);
  const measurement_run run = measure(o, machine);
  const comparison c = compare(run.measured, server.response_matrix());
  const size_t elements = run.measured.response.size();
  std::printf(
      "     %zu orbits read; against the file's matrix: largest difference "
      "%.4f of its largest element (%.4g mm/mrad),\n     %zu of %zu "
      "elements beyond 3 standard errors (the largest standard error "
      "%.3g mm/mrad)\n",
      run.orbits_read, c.relative(), c.largest_element, c.beyond, elements,
      c.largest_error);
  server.history().store(
      format("measured the response matrix: largest difference %.4f of the "
             "largest element, %zu of %zu elements beyond 3 standard errors",
             c.relative(), c.beyond, elements)
          .c_str());
  if (!o.measure_out.empty()) {
    const zub_feedback::status written =
        zub_feedback::write_matrix_file(o.measure_out, run.measured.response);
    if (!written) zub_cli::refuse(written.error().message);
    std::printf("     measured matrix written to %s\n", o.measure_out.c_str());
  }
  server.set_response(run.measured.response);
  const char* origin = "given";
  if (o.tol == -1.0f) {
    // The file's largest singular value, from the first inversion: the
    // measured one is within the calibration errors of it.
    const double s_max =
        server.spectrum().values.empty() ? 0 : server.spectrum().values[0];
    const double level = 3 * c.largest_error *
                         (std::sqrt(static_cast<double>(o.monitors)) +
                          std::sqrt(static_cast<double>(o.actuators)));
    if (s_max > 0 && level > 0) {
      server.set_tolerance(static_cast<float>(std::min(level / s_max, 1.0)));
      origin = "the measurement's errors";
      std::printf(
          "     singular values below about 3 x %.3g x (sqrt %d + sqrt %d) = "
          "%.3g mm/mrad are the measurement's noise:\n     tolerance %.3g / "
          "%.4g (the file's s_max)\n",
          c.largest_error, o.monitors, o.actuators, level, level, s_max);
    } else {
      origin = "internal";
    }
  }
  invert_matrix(server, o, origin);
}

// The picture of the run. A picture passed on without its log still says
// that the run failed.
zub_cli::write_outcome draw(const options& o, const feedback_result& r,
                            const feedback_server& server) {
  run_record record;
  record.title = "Orbit feedback on " + file_name(o.file);
  record.subtitle = format(
      "%d monitors x %d correctors, gain %.2g, %d iteration%s, seed %llu",
      o.monitors, o.actuators, o.gain, r.done, r.done == 1 ? "" : "s", o.seed);
  if (!r.stopped.empty()) {
    record.subtitle += format("; the feedback stopped at iteration %d", r.done);
  } else if (r.held_at > 0) {
    record.subtitle += format(
        "; the loop held at iteration %d: the orbit kept growing", r.held_at);
  } else if (r.corrected_nothing) {
    record.subtitle +=
        "; no singular value kept: the feedback corrected nothing";
  }
  record.spectrum = server.spectrum();
  record.before = r.first;
  record.after = r.last;
  record.used_before = r.used_at_start;
  record.used = server.used();
  record.rms_history = r.rms_history;
  record.exclusions = r.exclusions;
  record.noise = o.noise;
  const zub_cli::write_outcome written =
      zub_cli::write_file_atomically(o.svg, make_svg(record));
  if (written.ok) std::printf("     picture written to %s\n", o.svg.c_str());
  return written;
}

// A feedback that failed, said on standard error.
void warn_of_failure(const feedback_result& r) {
  if (!r.stopped.empty()) {
    zub_cli::warn(kProgram, r.stopped);
  } else if (r.held_at > 0) {
    zub_cli::warn(kProgram,
                  format("at iteration %d the loop stopped the feedback "
                         "(%s): no corrector moved after it; the matrix and "
                         "the machine may differ in sign",
                         r.held_at, r.hold_reason.c_str()));
  } else if (r.corrected_nothing) {
    zub_cli::warn(kProgram, format("the inverse keeps no singular value: in %d "
                                   "iteration%s the feedback corrected nothing",
                                   r.done, r.done == 1 ? "" : "s"));
  }
}

int run(const options& o) {
  const zub_cli::library_log log(kLogStyle, !o.quiet);
  std::printf("zub_feedback demo: an orbit feedback server in one process\n\n");
  std::printf("1. Start-up: the location and its properties\n");
  feedback_server server(o, log);
  start_up(server, o);

  std::printf("\n2. Inversion by truncated SVD\n");
  invert_matrix(server, o, o.tol == -1.0f ? "internal" : "given");

  std::printf("\n3. The simulated machine\n");
  simulated_machine machine(o, server.response(), &server.location());
  const int errors_before = log.errors();
  describe_machine(o);
  if (o.measure) measure_matrix(server, machine, o);

  const feedback_result r = run_feedback(o, server, machine);
  if (log.errors() != errors_before)
    zub_cli::refuse("the feedback loop failed");
  // A client reading the history learns why the feedback stopped.
  if (!r.stopped.empty()) server.history().store(r.stopped.c_str());

  std::printf("\n5. The message history, read through the framework's get\n");
  print_history(server.history(), server.location());

  std::printf("\n6. A sample bunch-compressor chicane\n");
  print_sample_chicane();

  std::printf("\nSummary\n");
  print_summary(r, server.used(), o.noise);
  const zub_cli::write_outcome drawn = draw(o, r, server);
  warn_of_failure(r);
  // A failed feedback says so whether or not its picture was drawn.
  if (!drawn.ok && !r.failed()) zub_cli::refuse(drawn.message());
  if (!drawn.ok) zub_cli::warn(kProgram, drawn.message());
  return r.failed() ? kExitDiverged : 0;
}

}  // namespace

}  // namespace demo

int main(int argc, char** argv) {
  return zub_cli::run_main(demo::kProgram, [&] {
    const demo::options o = demo::parse(argc, argv);
    if (o.help) {
      demo::print_usage();
      return 0;
    }
    if (o.version) {
      zub_cli::print_version(demo::kProgram);
      return 0;
    }
    return demo::run(o);
  });
}
