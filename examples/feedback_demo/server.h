// The feedback server: its location and properties (the response matrix,
// its inverse, the singular-value spectrum, the message history and the
// weights), and the monitors it uses.
#ifndef ZUB_DEMO_SERVER_H
#define ZUB_DEMO_SERVER_H

#include <string>
#include <vector>

#include "options.h"
#include "support/inversion.h"
#include "support/library_log.h"
#include "zub_feedback.h"

namespace demo {

// Entries kept by the server's message history.
constexpr int kHistorySize = 16;

// A monitor reads at most this far from the axis (mm): a reading beyond it,
// or one that is not a number, is not a beam position.
constexpr double kMonitorRange = 100.0;

// The spectrum of the last inversion, as the text and the picture show it.
struct spectrum_view {
  std::vector<double> values;  // all singular values, largest first
  int nosv = 0;         // invert's count: the first nosv entered the inverse
  double cutoff = 0.0;  // the tolerance times the largest singular value
  double rounding_level = 0.0;  // where the matrix's float rounding lies
  bool kept(size_t i) const { return static_cast<int>(i) < nosv; }
};

class feedback_server {
 public:
  feedback_server(const options& o, const zub_cli::library_log& log);

  EqFct& location() { return loc_; }
  MDFA_ResponseMatrix& response() { return response_; }
  K_ringbuf& history() { return history_; }
  const std::vector<bool>& used() const { return used_; }
  const spectrum_view& spectrum() const { return sv_; }
  K_spectrum& spectrum_property() { return spectrum_; }
  float tolerance() const { return tol_; }

  // Loads the response matrix from the options' file; a file with a line
  // that would not load as it reads is refused.
  void load();

  // Leaves monitor i out of the correction: weight 0.
  void leave_out(int i);

  // Replaces the response matrix (monitors x correctors), as a server
  // does with a measured one.
  void set_response(const zub_feedback::matrix& r);

  // Whether the response matrix is a measured one (set_response).
  bool measured() const { return measured_; }

  // The tolerance of the inversions from now on (as --tol takes it).
  void set_tolerance(float tol) { requested_tol_ = tol; }

  // Inverts the weighted matrix; a refusal of the library is the demo's.
  void invert();

  // The RESPONSE_MATRIX property's elements (monitors x correctors).
  zub_feedback::matrix response_matrix() const;
  // The INVERSE property's elements (correctors x monitors), as the loop
  // takes them.
  zub_feedback::matrix inverse_matrix() const;

  // What the operator must know of the last inversion, on standard error.
  void print_warnings() const;

 private:
  const options& o_;
  const zub_cli::library_log& log_;
  EqFct loc_;
  MDFA_ResponseMatrix response_;
  MDFA_ResponseMatrix inverse_;
  K_spectrum spectrum_;
  K_ringbuf history_;
  zub_cli::weighted_inversion weights_;
  std::vector<bool> used_;
  spectrum_view sv_;
  float requested_tol_ = -1.0f;
  bool measured_ = false;
  float tol_ = -1.0f;
  std::vector<std::string> warnings_;
};

}  // namespace demo

#endif  // ZUB_DEMO_SERVER_H
