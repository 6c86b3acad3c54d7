// An orbit feedback server on zub_feedback, in one screenful: its
// properties on a location, the response matrix loaded from its file and
// inverted, the singular values read back as a client reads them, and one
// correction per cycle, each recorded in the server's message history.
//
//   server_example [MATRIX_FILE]   (default: the shipped 24 x 12 beamline)
//
// The machine it corrects is the model itself, with random-looking
// corrector errors to start from; a real server reads its monitors instead.
#include <cmath>
#include <cstdio>

#include "zub_feedback.h"

namespace {

constexpr int kMonitors = 24;    // rows of the matrix
constexpr int kCorrectors = 12;  // columns
constexpr int kCycles = 8;
constexpr float kGain = 0.5f;  // part of each correction applied

// The rms of a column, e.g. the orbit at the monitors (mm).
double rms(const MDFA_ResponseMatrix& column) {
  double sum = 0.0;
  for (int i = 0; i < column.rows; ++i) {
    const double v = column.value(i, 0, -1, -1, -1, -1);
    sum += v * v;
  }
  return std::sqrt(sum / column.rows);
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : ZUB_EXAMPLE_MATRIX_FILE;
  char text[160];

  // The server's location and its properties, which the framework
  // publishes: the matrix (mm/mrad), its inverse, the singular values and a
  // history of the newest 32 messages.
  EqFct location("ORBIT.FEEDBACK");
  MDFA_ResponseMatrix response("RESPONSE_MATRIX", kMonitors, kCorrectors,
                               &location);
  MDFA_ResponseMatrix inverse("INVERSE", kCorrectors, kMonitors, &location);
  K_spectrum spectrum("SINGULAR_VALUES", kCorrectors, &location);
  K_ringbuf history("HISTORY", 32, &location);

  // A load fills the whole matrix from the file, or returns false and
  // leaves the matrix as it was; the library logs why.
  if (!response.load_file(path)) {
    std::fprintf(stderr, "server_example: %s was not loaded\n", path);
    return 1;
  }

  // The truncated-SVD inverse. tol -1 asks for the library's own tolerance,
  // which it writes back; kept is the number of singular values that
  // entered the inverse, and stays -1 when invert refuses (it logs why).
  float tol = -1.0f;
  int kept = -1;
  response.invert(inverse, spectrum, &tol, &kept);
  if (kept < 0) {
    std::fprintf(stderr, "server_example: the matrix was not inverted\n");
    return 1;
  }
  std::snprintf(text, sizeof text,
                "inverted %s: %d of %d singular values kept (tolerance %.2g)",
                path, kept, spectrum.spectrum_length(), tol);
  history.store(text);
  std::printf("%s\n", text);

  // What a client reading SINGULAR_VALUES gets: a float array, largest
  // first.
  EqData request, reply;
  spectrum.get(nullptr, &request, &reply, &location);
  std::printf("SINGULAR_VALUES:");
  for (int i = 0; i < reply.length(); ++i) {
    std::printf(" %.4g", reply.get_double(i));
  }
  std::printf("\n");

  // The machine: corrector kicks (mrad) make an orbit (mm).
  MDFA_ResponseMatrix kicks("KICKS", kCorrectors, 1, &location);
  MDFA_ResponseMatrix orbit("ORBIT", kMonitors, 1, &location);
  MDFA_ResponseMatrix change("CHANGE", kCorrectors, 1, &location);
  for (int j = 0; j < kCorrectors; ++j) {
    kicks.set_value(0.05f * static_cast<float>(std::sin(1.0 + 2.0 * j)), j, 0,
                    -1, -1, -1, -1);
  }

  // Each cycle: read the orbit, multiply it with the inverse, and take that
  // change, scaled by the gain, off the correctors.
  for (int cycle = 0; cycle <= kCycles; ++cycle) {
    response.multiply(kicks, orbit);
    std::snprintf(text, sizeof text, "cycle %d: orbit rms %.4f mm", cycle,
                  rms(orbit));
    history.store(text);
    std::printf("%s\n", text);
    inverse.multiply(orbit, change);
    for (int j = 0; j < kCorrectors; ++j) {
      kicks.set_value(kicks.value(j, 0, -1, -1, -1, -1) -
                          kGain * change.value(j, 0, -1, -1, -1, -1),
                      j, 0, -1, -1, -1, -1);
    }
  }

  // The history as a client reads it: without data in the request, the
  // whole buffer, newest first; entries never written have no time.
  history.get(nullptr, &request, &reply, &location);
  std::printf("HISTORY, newest first:\n");
  for (int i = 0; i < reply.length(); ++i) {
    const USTR* entry = reply.get_ustr(i);
    if (entry->tm != 0) std::printf("  %s\n", entry->str_data.c_str());
  }
  return 0;
}
