// A server calls the library for months: thousands of rounds of every
// operation, the failing paths included, must leave the resident memory and
// the open file descriptors where they were after a warm-up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "matrix_io.h"
#include "memory_probe.h"
#include "temp_file.h"
#include "zub_feedback.h"

namespace {

using zub_test::memory_is_instrumented;
using zub_test::resident_bytes;

int open_descriptors() {
  int n = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}

// Silences the library's messages for the lifetime of the object, keeping
// none of them (a capture would grow by itself).
class DiscardLog {
 public:
  DiscardLog()
      : previous_(
            karst::set_log_sink([this](const std::string&, const std::string&,
                                       unsigned) { ++count_; })) {}
  ~DiscardLog() { karst::set_log_sink(std::move(previous_)); }
  DiscardLog(const DiscardLog&) = delete;
  DiscardLog& operator=(const DiscardLog&) = delete;
  long count() const { return count_; }

 private:
  long count_ = 0;
  karst::LogSink previous_;
};

// Drops what goes to std::cout for the lifetime of the object: invert
// writes a line there for every tall matrix.
class DiscardStdout {
 public:
  DiscardStdout() : previous_(std::cout.rdbuf(&null_)) {}
  ~DiscardStdout() { std::cout.rdbuf(previous_); }
  DiscardStdout(const DiscardStdout&) = delete;
  DiscardStdout& operator=(const DiscardStdout&) = delete;

 private:
  struct NullBuffer : std::streambuf {
    int overflow(int c) override { return traits_type::not_eof(c); }
  };
  NullBuffer null_;
  std::streambuf* previous_;
};

constexpr int kMonitors = 24;
constexpr int kActuators = 16;

std::string matrix_text(int rows, int cols) {
  zub_feedback::matrix m(static_cast<size_t>(rows), static_cast<size_t>(cols));
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      // Diagonally dominant, so every singular value is kept.
      m(static_cast<size_t>(i), static_cast<size_t>(j)) =
          (i == j ? 4.0 : 0.0) + 0.01 * ((i * 7 + j * 3) % 11);
    }
  }
  return "# response matrix\n" + zub_feedback::matrix_text(m);
}

// Everything a feedback server does with the library in one cycle, and the
// ways each call can fail.
class Cycle {
 public:
  explicit Cycle(const zub_test::TempDir& dir)
      : good_(dir.write("rm.txt", matrix_text(kMonitors, kActuators))),
        wrong_shape_(
            dir.write("wrong.txt", matrix_text(kMonitors - 1, kActuators))),
        missing_((dir.path() / "missing.txt").string()),
        rm_("RM", kMonitors, kActuators, &loc_),
        inverse_("RM.INV", kActuators, kMonitors, &loc_),
        wrong_inverse_("RM.BAD", kMonitors, kActuators, &loc_),
        deviations_("BPM", kMonitors, 1, &loc_),
        corrections_("CORR", kActuators, 1, &loc_),
        transposed_("RM.T", kActuators, kMonitors, &loc_),
        poisoned_("NAN", 3, 3, &loc_),
        poisoned_inverse_("NAN.INV", 3, 3, &loc_),
        spectrum_("RM.SV", kActuators, &loc_),
        history_("HISTORY", 8, &loc_) {
    deviations_.init(0.25f);
    poisoned_.init(1.0f);
    poisoned_.set_value(std::nanf(""), 1, 1, -1, -1, -1, -1);
  }

  void run(int round) {
    ok_ &= rm_.load_file(good_.c_str());
    ok_ &= !rm_.load_file(wrong_shape_.c_str());
    ok_ &= !rm_.load_file(missing_.c_str());

    float tol = -1.0f;
    int nosv = 0;
    rm_.invert(inverse_, spectrum_, &tol, &nosv);
    ok_ &= nosv == kActuators;
    rm_.invert(wrong_inverse_, spectrum_, &tol, &nosv);  // refused
    float pinv_tol = 1e-6f;
    rm_.pinv(inverse_, &pinv_tol);
    try {
      poisoned_.pinv(poisoned_inverse_, &pinv_tol);
    } catch (const std::runtime_error&) {
      // Armadillo's failed SVD, passed to the caller.
    }
    inverse_.multiply(deviations_, corrections_);
    rm_.multiply(deviations_, corrections_);  // refused
    rm_.transpose(transposed_);
    rm_.entrywise_product(rm_, rm_);

    // Messages of changing length, so that the entries' strings are freed
    // and allocated anew.
    history_.store(("cycle " + std::to_string(round) +
                    std::string(static_cast<size_t>(round % 97), '.'))
                       .c_str());
    EqData whole, one, none, request;
    history_.get(nullptr, &request, &whole, nullptr);
    request.set(round % 10);  // beyond the buffer from 8 on
    history_.get(nullptr, &request, &one, nullptr);
    history_.set(nullptr, &request, &none, nullptr);
    ok_ &= whole.length() == 8;
  }

  bool ok() const { return ok_; }

 private:
  EqFct loc_;
  std::string good_;
  std::string wrong_shape_;
  std::string missing_;
  MDFA_ResponseMatrix rm_;
  MDFA_ResponseMatrix inverse_;
  MDFA_ResponseMatrix wrong_inverse_;
  MDFA_ResponseMatrix deviations_;
  MDFA_ResponseMatrix corrections_;
  MDFA_ResponseMatrix transposed_;
  MDFA_ResponseMatrix poisoned_;
  MDFA_ResponseMatrix poisoned_inverse_;
  K_spectrum spectrum_;
  K_ringbuf history_;
  bool ok_ = true;
};

// ---------------------------------------------------------------- soak

TEST(Soak, ThousandsOfCyclesKeepMemoryAndDescriptorsFlat) {
  if (memory_is_instrumented()) {
    GTEST_SKIP() << "resident memory means nothing under a sanitizer or "
                    "valgrind; their leak checks cover this";
  }
  zub_test::TempDir dir;
  DiscardLog log;
  DiscardStdout quiet;
  Cycle cycle(dir);

  // The warm-up lets the allocator, the streams and the BLAS reach their
  // working sizes.
  constexpr int kWarmUp = 500;
  constexpr int kRounds = 5000;
  for (int r = 0; r < kWarmUp; ++r) cycle.run(r);
  const long rss_start = resident_bytes();
  const int fds_start = open_descriptors();
  for (int r = kWarmUp; r < kWarmUp + kRounds; ++r) cycle.run(r);
  const long rss_end = resident_bytes();
  const int fds_end = open_descriptors();

  std::printf(
      "resident memory after %d warm-up cycles: %ld KiB, after %d "
      "more: %ld KiB\n",
      kWarmUp, rss_start / 1024, kRounds, rss_end / 1024);
  RecordProperty("rss_start_kib", std::to_string(rss_start / 1024));
  RecordProperty("rss_end_kib", std::to_string(rss_end / 1024));

  EXPECT_TRUE(cycle.ok()) << "an operation of the cycle gave a wrong result";
  EXPECT_GT(log.count(), 0);
  EXPECT_EQ(fds_end, fds_start);
  // 512 KiB over 5000 cycles: a leak of 100 bytes a cycle shows.
  EXPECT_LE(rss_end - rss_start, 512L * 1024)
      << "resident memory grew from " << rss_start / 1024 << " KiB to "
      << rss_end / 1024 << " KiB";
}

}  // namespace
