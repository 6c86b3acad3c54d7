// Process-wide services of the server framework: logging, the clock and the
// debug level. A host may redirect logging and time (tests, simulations).
#ifndef KARST_RUNTIME_H
#define KARST_RUNTIME_H

#include <ctime>
#include <functional>
#include <string>

// Debug bit mask of the server; 0 means quiet.
extern int KARST_debug;

// Current time of the server, seconds since the epoch.
time_t KARSTtime();

namespace karst {

using LogSink = std::function<void(const std::string& where,
                                   const std::string& message, unsigned level)>;

// Logs one message. `where` names the reporting operation, `level` is a
// single-bit mask (0x80000000 errors, 0x80 information, 0x8 timing).
void printtostderr(const std::string& where, const std::string& message,
                   unsigned level);

// Installs a sink that receives every message exactly as it was passed and
// returns the previous one. An empty sink restores the standard-error writer.
LogSink set_log_sink(LogSink sink);

// Makes KARSTtime() return f() and returns the previous source. An empty
// function restores the system clock.
std::function<time_t()> set_time_source(std::function<time_t()> f);

}  // namespace karst

#endif  // KARST_RUNTIME_H
