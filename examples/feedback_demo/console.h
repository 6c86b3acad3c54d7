// What the demo prints: the library's messages under the step that caused
// them, numbers for its tables, the spectrum as a chart, the history read
// back through the framework, and the summary of a run.
#ifndef ZUB_DEMO_CONSOLE_H
#define ZUB_DEMO_CONSOLE_H

#include <string>
#include <vector>

#include "feedback.h"
#include "server.h"
#include "support/inversion.h"
#include "support/library_log.h"

namespace demo {

// The library's messages are shown indented under the step that caused
// them, with --quiet only the errors.
extern const zub_cli::log_style kLogStyle;

// What the inversion found (its tolerance, the count kept, the values left
// out), shown the same way as the library's messages.
void show_inversion(const zub_cli::library_log& log,
                    const zub_cli::inversion_outcome& out);

// A number for a table: fixed with `decimals` while it is short, with an
// exponent when it is not (a diverging orbit).
std::string number(double v, int decimals);

// The tolerance, where it came from ("internal", "given", ...), the
// cut-off and the count of the last inversion.
void print_inversion(const feedback_server& server, const char* origin);

// Bars on a log scale from the smallest positive value to the largest.
void print_spectrum(const spectrum_view& sv);

// The message history as a client reads it through get: the whole buffer,
// then the newest entry alone.
void print_history(K_ringbuf& history, EqFct& loc);

// How the orbit changed over the run, over the monitors in use at the end.
void print_summary(const feedback_result& r, const std::vector<bool>& used,
                   double noise);

}  // namespace demo

#endif  // ZUB_DEMO_CONSOLE_H
