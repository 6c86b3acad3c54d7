// Benchmarks of the library's operations, each beside the bare routine it is
// built on, on the same data in the same run:
//   BM_invert/M/N         beside BM_gsl_svd/M/N      (gsl_linalg_SV_decomp)
//   BM_pinv/M/N           beside BM_arma_pinv/M/N    (arma::pinv)
//   BM_svd_inverse/M/N    beside BM_arma_pinv/M/N    (arma::pinv, which
//                                                 calls dgesdd too)
//   BM_multiply/M/N       beside BM_dgemv/M/N        (cblas_dgemv)
//                         and BM_gsl_dgemm/M/N   (the product alone, as
//                                                 multiply forms it)
//                         and BM_apply/M/N       (what a server's cycle
//                                                 costs through the core)
//   BM_apply/M/N          beside BM_dgemv/M/N
//   BM_loop_step/M/N      beside BM_dgemv/M/N        (one cycle of the orbit
//                                                 loop: checks, law, limits)
//   BM_loop_step_interleaved/M/N  the two in turn, each call timed; its
//                         counter `ratio`, the medians' ratio, is the
//                         figure that a loaded machine does not shift
//   BM_load_file/M/N      beside BM_stream_read/M/N  (one pass of >>), a
//   BM_load_file_recent/M/N   file changed long ago and one changed a moment
//                             ago (compared once more, the pause skipped);
//                             real time in the table, as a server waits it
//   BM_ringbuf_store/S and BM_ringbuf_get/S
//   BM_element_value/M/N      beside BM_float_load/M/N   (the element store
//   BM_element_set_value/M/N  beside BM_float_store/M/N   alone)
// M x N is the response matrix (monitors x actuators). The last thing printed
// is the table of each operation's time over its baseline's. `make bench`
// runs this with one BLAS thread.
//
//   zub_bench --invert_peak_memory
// instead inverts the 1000 x 500 matrix once and prints how far the resident
// set grew beyond what the matrices had already taken.
//
//   zub_bench --property_memory
// instead constructs a 1000 x 1000 matrix property and prints the heap that
// it holds.

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <gsl/gsl_blas.h>
#include <gsl/gsl_cblas.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_vector.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <armadillo>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "feedback_loop.h"
#include "gsl_owners.h"
#include "karst.h"
#include "load_file.h"
#include "matrix_io.h"
#include "shifted_clock.h"
#include "zub_feedback.h"
#include "zub_feedback/core.h"

namespace {

// ---------------------------------------------------------------- test data

// Monitors x actuators.
constexpr int kShapes[][2] = {
    {40, 20}, {200, 100}, {500, 250}, {1000, 500}, {250, 500}};
// The per-cycle product through the core: a small and a large orbit.
constexpr int kApplyShapes[][2] = {{200, 100}, {1000, 500}};
// The fast inverse, also at a size that GSL's SVD would take seconds for.
constexpr int kFastInverseShapes[][2] = {
    {200, 100}, {500, 250}, {1000, 500}, {250, 500}, {2000, 1000}};
constexpr int kRingSizes[] = {10, 100, 1000};
// The element store: a matrix whose floats fit the second-level cache and one
// that does not.
constexpr int kStoreShapes[][2] = {{200, 100}, {1000, 500}};

// A message of the length a feedback server typically logs.
constexpr const char* kMessage =
    "INFO: orbit feedback applied 48 corrections, rms deviation 0.0213 mm";

using Matrix = zub_internal::gsl_matrix_owner;
using Vector = zub_internal::gsl_vector_owner;

// The fixed m x n test matrix, element by element, row by row: uniform in
// [-1, 1) from a fixed-seed generator plus sqrt(max(m, n)) on the diagonal,
// which keeps every singular value far from 0. Each element is a float, as
// the response matrix holds it, so that baselines on doubles see the very
// same numbers.
class TestMatrix {
 public:
  TestMatrix(int m, int n)
      : n_(n),
        diagonal_(std::sqrt(static_cast<double>(std::max(m, n)))),
        generator_(0x7a7562u + static_cast<std::uint64_t>(m) * 65537u +
                   static_cast<std::uint64_t>(n)) {}

  double next() {
    const double u = static_cast<double>(generator_() >> 11) * 0x1.0p-52 - 1.0;
    const bool on_diagonal = row_ == col_;
    if (++col_ == n_) {
      col_ = 0;
      ++row_;
    }
    return static_cast<float>(on_diagonal ? u + diagonal_ : u);
  }

 private:
  int n_;
  double diagonal_;
  std::mt19937_64 generator_;
  int row_ = 0;
  int col_ = 0;
};

// Row by row.
std::vector<double> test_values(int m, int n) {
  TestMatrix t(m, n);
  std::vector<double> v(static_cast<size_t>(m) * static_cast<size_t>(n));
  for (double& x : v) x = t.next();
  return v;
}

void fill_test_matrix(MDFA_ResponseMatrix& A) {
  TestMatrix t(A.rows, A.cols);
  for (int i = 0; i < A.rows; ++i) {
    for (int j = 0; j < A.cols; ++j) {
      A.set_value(static_cast<float>(t.next()), i, j, -1, -1, -1, -1);
    }
  }
}

int rows_of(const benchmark::State& state) {
  return static_cast<int>(state.range(0));
}
int cols_of(const benchmark::State& state) {
  return static_cast<int>(state.range(1));
}

// Drops what the operations log and write to std::cout while it lives: the
// cost of producing a message stays in the measurement, its terminal does not.
class Quiet {
 public:
  Quiet()
      : previous_sink_(karst::set_log_sink(
            [](const std::string&, const std::string&, unsigned) {})),
        previous_cout_(std::cout.rdbuf(&discard_)) {}
  ~Quiet() {
    std::cout.rdbuf(previous_cout_);
    karst::set_log_sink(std::move(previous_sink_));
  }
  Quiet(const Quiet&) = delete;
  Quiet& operator=(const Quiet&) = delete;

 private:
  struct Discard : std::streambuf {
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override {
      return n;
    }
  };
  karst::LogSink previous_sink_;
  Discard discard_;
  std::streambuf* previous_cout_;
};

// The test matrix as a text file, one line per monitor, removed at the end.
class MatrixFile {
 public:
  MatrixFile(int m, int n)
      : path_(std::filesystem::temp_directory_path() /
              ("zub_bench_" + std::to_string(::getpid()) + "_" +
               std::to_string(m) + "x" + std::to_string(n) + ".txt")) {
    const std::vector<double> v = test_values(m, n);
    std::ofstream out(path_);
    out << zub_feedback::matrix_text(zub_feedback::const_matrix_view(
        v.data(), static_cast<size_t>(m), static_cast<size_t>(n)));
  }
  ~MatrixFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  MatrixFile(const MatrixFile&) = delete;
  MatrixFile& operator=(const MatrixFile&) = delete;

  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// ---------------------------------------------------------------- invert /
// gsl_svd

void BM_invert(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  EqFct loc("BENCH");
  MDFA_ResponseMatrix A("A", m, n, &loc);
  fill_test_matrix(A);
  MDFA_ResponseMatrix inverse("A_INV", n, m, &loc);
  K_spectrum spectrum("A_SV", std::min(m, n), &loc);
  int nosv = 0;
  {
    Quiet quiet;
    for (auto _ : state) {
      float tol = -1.0f;  // the internal tolerance, as a server asks for it
      A.invert(inverse, spectrum, &tol, &nosv);
    }
  }
  if (nosv != std::min(m, n)) state.SkipWithError("singular values were cut");
}

// GSL's SVD on a fresh copy of the matrix that invert decomposes: the test
// matrix turned so that it has at least as many rows as columns.
void BM_gsl_svd(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  const std::vector<double> v = test_values(m, n);
  const size_t r = static_cast<size_t>(std::min(m, n));
  const size_t c = static_cast<size_t>(std::max(m, n));
  const Matrix oriented(gsl_matrix_alloc(c, r));
  for (size_t i = 0; i < c; ++i) {
    for (size_t j = 0; j < r; ++j) {
      gsl_matrix_set(oriented.get(), i, j,
                     m >= n ? v[i * r + j] : v[j * c + i]);
    }
  }
  const Matrix U(gsl_matrix_alloc(c, r));
  const Matrix V(gsl_matrix_alloc(r, r));
  const Vector S(gsl_vector_alloc(r));
  const Vector work(gsl_vector_alloc(r));
  for (auto _ : state) {
    state.PauseTiming();
    gsl_matrix_memcpy(U.get(), oriented.get());
    state.ResumeTiming();
    gsl_linalg_SV_decomp(U.get(), V.get(), S.get(), work.get());
    benchmark::DoNotOptimize(S->data);
  }
}

// ---------------------------------------------------------------- pinv /
// arma_pinv

void BM_pinv(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  EqFct loc("BENCH");
  MDFA_ResponseMatrix A("A", m, n, &loc);
  fill_test_matrix(A);
  MDFA_ResponseMatrix inverse("A_INV", n, m, &loc);
  Quiet quiet;
  for (auto _ : state) {
    float tol = 0.0f;  // no input filtering; the loop over A runs anyway
    A.pinv(inverse, &tol);
  }
}

void BM_arma_pinv(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  const std::vector<double> v = test_values(m, n);
  arma::mat A(static_cast<arma::uword>(m), static_cast<arma::uword>(n));
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) {
      A(static_cast<arma::uword>(i), static_cast<arma::uword>(j)) =
          v[static_cast<size_t>(i * n + j)];
    }
  }
  for (auto _ : state) {
    arma::mat B = arma::pinv(A);
    benchmark::DoNotOptimize(B.memptr());
  }
}

// ---------------------------------------------------------------- svd_inverse
// / arma_pinv

void BM_svd_inverse(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  const std::vector<double> v = test_values(m, n);
  const zub_feedback::const_matrix_view a(v.data(), static_cast<size_t>(m),
                                          static_cast<size_t>(n));
  int kept = 0;
  for (auto _ : state) {
    auto r = zub_feedback::svd_inverse(a);
    kept = r ? r.value().kept : -1;
    benchmark::DoNotOptimize(r);
  }
  if (kept != std::min(m, n)) state.SkipWithError("modes were cut");
}

// ---------------------------------------------------------------- multiply /
// dgemv

// The n x m inverse times a column of m monitor deviations, as a server does
// at every cycle.
void BM_multiply(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  EqFct loc("BENCH");
  MDFA_ResponseMatrix inverse("A_INV", n, m, &loc);
  fill_test_matrix(inverse);
  MDFA_ResponseMatrix deviations("DEV", m, 1, &loc);
  fill_test_matrix(deviations);
  MDFA_ResponseMatrix corrections("CORR", n, 1, &loc);
  for (auto _ : state) {
    inverse.multiply(deviations, corrections);
  }
}

void BM_dgemv(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  const std::vector<double> inverse = test_values(n, m);
  const std::vector<double> deviations = test_values(m, 1);
  std::vector<double> corrections(static_cast<size_t>(n));
  for (auto _ : state) {
    cblas_dgemv(CblasRowMajor, CblasNoTrans, n, m, 1.0, inverse.data(), m,
                deviations.data(), 1, 0.0, corrections.data(), 1);
    benchmark::DoNotOptimize(corrections.data());
    benchmark::ClobberMemory();
  }
}

// The same product through the core, as a server's cycle calls it.
void BM_apply(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  const std::vector<double> inverse = test_values(n, m);
  const std::vector<double> deviations = test_values(m, 1);
  std::vector<double> corrections(static_cast<size_t>(n));
  const zub_feedback::const_matrix_view view(
      inverse.data(), static_cast<size_t>(n), static_cast<size_t>(m));
  bool applied = true;
  for (auto _ : state) {
    applied = zub_feedback::apply(view, deviations.data(), deviations.size(),
                                  corrections.data(), corrections.size())
                  .ok() &&
              applied;
    benchmark::DoNotOptimize(corrections.data());
    benchmark::ClobberMemory();
  }
  if (!applied) state.SkipWithError("apply refused");
}

// An orbit loop with every check and limit on, on the inverse that
// BM_dgemv multiplies, and two sets of readings to give it in turn, so that
// no monitor looks stale and the rms never grows twice in a row; limits
// that leave the step whole, so that each cycle goes the whole way.
class LoopCycle {
 public:
  LoopCycle(int m, int n)
      : values_(test_values(n, m)),
        first_(test_values(m, 1)),
        second_(first_),
        settings_(static_cast<size_t>(n), 0.0),
        delta_(static_cast<size_t>(n)),
        m_(m),
        n_(n) {
    for (double& x : second_) x *= -1.0;
    zub_feedback::matrix inverse(static_cast<size_t>(n),
                                 static_cast<size_t>(m));
    std::copy(values_.begin(), values_.end(), inverse.data());
    zub_feedback::loop_options options;
    options.integral_gain = 0.05;
    options.integral_limit.assign(static_cast<size_t>(n), 1e6);
    options.limits.lower.assign(static_cast<size_t>(n), -1e9);
    options.limits.upper.assign(static_cast<size_t>(n), 1e9);
    options.limits.max_step.assign(static_cast<size_t>(n), 1e9);
    options.monitor_min.assign(static_cast<size_t>(m), -1e3);
    options.monitor_max.assign(static_cast<size_t>(m), 1e3);
    options.saturation_cycles = 5;
    auto loop = zub_feedback::orbit_loop::create(std::move(inverse), options);
    if (loop) loop_.emplace(std::move(loop).value());
  }

  bool ready() const { return loop_.has_value(); }

  // One cycle; false when the step was not applied whole.
  bool step() {
    const std::vector<double>& readings = ++cycle_ % 2 ? first_ : second_;
    const zub_feedback::step_outcome out =
        loop_->step(readings.data(), readings.size(), settings_.data(),
                    settings_.size(), delta_.data(), delta_.size());
    benchmark::DoNotOptimize(delta_.data());
    benchmark::ClobberMemory();
    return out.status == zub_feedback::loop_status::applied;
  }

  // BM_dgemv's product on the same inverse and readings.
  void dgemv() {
    const std::vector<double>& readings = cycle_ % 2 ? first_ : second_;
    cblas_dgemv(CblasRowMajor, CblasNoTrans, n_, m_, 1.0, values_.data(), m_,
                readings.data(), 1, 0.0, delta_.data(), 1);
    benchmark::DoNotOptimize(delta_.data());
    benchmark::ClobberMemory();
  }

 private:
  std::vector<double> values_;
  std::vector<double> first_;
  std::vector<double> second_;
  std::vector<double> settings_;
  std::vector<double> delta_;
  int m_;
  int n_;
  long cycle_ = 0;
  std::optional<zub_feedback::orbit_loop> loop_;
};

void BM_loop_step(benchmark::State& state) {
  LoopCycle cycle(rows_of(state), cols_of(state));
  if (!cycle.ready()) {
    state.SkipWithError("the loop was not created");
    return;
  }
  bool whole = true;
  for (auto _ : state) whole = cycle.step() && whole;
  if (!whole) state.SkipWithError("a step was not applied whole");
}

// The same step and BM_dgemv's product in turn, each call timed: the
// counter `ratio` is the median step over the median product. On a machine
// that others share, the load shifts between two benchmarks run one after
// the other; within one, both see the same.
void BM_loop_step_interleaved(benchmark::State& state) {
  LoopCycle cycle(rows_of(state), cols_of(state));
  if (!cycle.ready()) {
    state.SkipWithError("the loop was not created");
    return;
  }
  using Clock = std::chrono::steady_clock;
  std::vector<double> step_seconds;
  std::vector<double> dgemv_seconds;
  bool whole = true;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    whole = cycle.step() && whole;
    const Clock::time_point t1 = Clock::now();
    cycle.dgemv();
    const Clock::time_point t2 = Clock::now();
    step_seconds.push_back(std::chrono::duration<double>(t1 - t0).count());
    dgemv_seconds.push_back(std::chrono::duration<double>(t2 - t1).count());
  }
  if (!whole) state.SkipWithError("a step was not applied whole");
  const auto median = [](std::vector<double>& v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  const double step = median(step_seconds);
  const double dgemv = median(dgemv_seconds);
  state.counters["step_us"] = step * 1e6;
  state.counters["dgemv_us"] = dgemv * 1e6;
  state.counters["ratio"] = step / dgemv;
}

// The product alone, as multiply forms it on its working copies: GSL's dgemm
// with a one-column right-hand side. What multiply adds to this is the
// element store.
void BM_gsl_dgemm(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  const std::vector<double> inverse = test_values(n, m);
  const std::vector<double> deviations = test_values(m, 1);
  const Matrix gslThis(
      gsl_matrix_alloc(static_cast<size_t>(n), static_cast<size_t>(m)));
  const Matrix gslA(gsl_matrix_alloc(static_cast<size_t>(m), 1));
  const Matrix gslB(gsl_matrix_alloc(static_cast<size_t>(n), 1));
  std::copy(inverse.begin(), inverse.end(), gslThis->data);
  std::copy(deviations.begin(), deviations.end(), gslA->data);
  for (auto _ : state) {
    gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, gslThis.get(), gslA.get(),
                   0.0, gslB.get());
    benchmark::DoNotOptimize(gslB->data);
    benchmark::ClobberMemory();
  }
}

// ---------------------------------------------------------------- load_file /
// stream_read

// load_file's work with `clock` in place of the system's: a file written by
// the benchmark's setup looks as old as the clock is ahead.
void load_file_with(benchmark::State& state,
                    const zub_test::shifted_clock& clock) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  const MatrixFile file(m, n);
  const std::string path = file.path();
  EqFct loc("BENCH");
  MDFA_ResponseMatrix A("A", m, n, &loc);
  bool loaded = true;
  {
    Quiet quiet;
    for (auto _ : state) {
      loaded = zub_internal::load_matrix_file(A, path.c_str(), clock) && loaded;
    }
  }
  if (!loaded) state.SkipWithError("the file was not loaded");
}

void BM_load_file(benchmark::State& state) {
  load_file_with(state, zub_test::shifted_clock(3600));
}

void BM_load_file_recent(benchmark::State& state) {
  load_file_with(state, zub_test::shifted_clock(0));
}

void BM_stream_read(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  const MatrixFile file(m, n);
  const std::string path = file.path();
  long long count = 0;
  for (auto _ : state) {
    std::ifstream in(path);
    double val;
    double sum = 0.0;
    count = 0;
    while (in >> val) {
      sum += val;
      ++count;
    }
    benchmark::DoNotOptimize(sum);
  }
  if (count != static_cast<long long>(m) * n) {
    state.SkipWithError("the file did not read back");
  }
}

// ---------------------------------------------------------------- ring buffer

void BM_ringbuf_store(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  EqFct loc("BENCH");
  K_ringbuf log("LOG", size, &loc);
  for (int i = 0; i < size; ++i) log.store(kMessage);  // a full buffer
  for (auto _ : state) log.store(kMessage);
}

// One entry, the oldest, as a remote client asks for it with an index.
void BM_ringbuf_get(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  EqFct loc("BENCH");
  K_ringbuf log("LOG", size, &loc);
  for (int i = 0; i < size; ++i) log.store(kMessage);
  EqData request;
  request.set(size - 1);
  int length = 0;
  for (auto _ : state) {
    EqData reply;
    log.get(nullptr, &request, &reply, nullptr);
    length = reply.length();
    benchmark::DoNotOptimize(reply);
  }
  if (length != 1) state.SkipWithError("the reply is not one entry");
}

// ---------------------------------------------------------------- the element
// store alone

// Every element of the matrix read once through the virtual value(), as the
// library reads it, row by row. The pointer is laundered so that the call
// goes through the virtual table, as it does from the library.
void BM_element_value(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  EqFct loc("BENCH");
  MDFA_ResponseMatrix A("A", m, n, &loc);
  fill_test_matrix(A);
  K_mdfloat_array* store = &A;
  benchmark::DoNotOptimize(store);
  for (auto _ : state) {
    for (int i = 0; i < m; ++i) {
      for (int j = 0; j < n; ++j) {
        float v = store->value(i, j, -1, -1, -1, -1);
        benchmark::DoNotOptimize(v);
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * m * n);
}

// The same loop over a plain float array: one load per element (kept one by
// one, as the calls above are, rather than vectorised).
void BM_float_load(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  const std::vector<double> v = test_values(m, n);
  const std::vector<float> elements(v.begin(), v.end());
  const float* data = elements.data();
  benchmark::DoNotOptimize(data);
  for (auto _ : state) {
    for (int i = 0; i < m; ++i) {
      for (int j = 0; j < n; ++j) {
        float x = data[static_cast<size_t>(i) * static_cast<size_t>(n) +
                       static_cast<size_t>(j)];
        benchmark::DoNotOptimize(x);
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * m * n);
}

void BM_element_set_value(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  EqFct loc("BENCH");
  MDFA_ResponseMatrix A("A", m, n, &loc);
  K_mdfloat_array* store = &A;
  benchmark::DoNotOptimize(store);
  for (auto _ : state) {
    for (int i = 0; i < m; ++i) {
      for (int j = 0; j < n; ++j) {
        store->set_value(static_cast<float>(j), i, j, -1, -1, -1, -1);
      }
    }
    benchmark::ClobberMemory();
  }
  if (A.value(m - 1, n - 1, -1, -1, -1, -1) != static_cast<float>(n - 1)) {
    state.SkipWithError("the elements were not written");
  }
  state.SetItemsProcessed(state.iterations() * m * n);
}

// One store per element, each made before the next (not vectorised).
void BM_float_store(benchmark::State& state) {
  const int m = rows_of(state);
  const int n = cols_of(state);
  std::vector<float> elements(static_cast<size_t>(m) * static_cast<size_t>(n));
  float* data = elements.data();
  benchmark::DoNotOptimize(data);
  for (auto _ : state) {
    for (int i = 0; i < m; ++i) {
      for (int j = 0; j < n; ++j) {
        data[static_cast<size_t>(i) * static_cast<size_t>(n) +
             static_cast<size_t>(j)] = static_cast<float>(j);
        benchmark::ClobberMemory();
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * m * n);
}

void matrix_shapes(benchmark::internal::Benchmark* b) {
  for (const auto& shape : kShapes) b->Args({shape[0], shape[1]});
}

void ring_sizes(benchmark::internal::Benchmark* b) {
  for (int size : kRingSizes) b->Arg(size);
}

void store_shapes(benchmark::internal::Benchmark* b) {
  for (const auto& shape : kStoreShapes) b->Args({shape[0], shape[1]});
}

void apply_shapes(benchmark::internal::Benchmark* b) {
  for (const auto& shape : kApplyShapes) b->Args({shape[0], shape[1]});
}

void fast_inverse_shapes(benchmark::internal::Benchmark* b) {
  for (const auto& shape : kFastInverseShapes) b->Args({shape[0], shape[1]});
}

// The shapes of matrix_shapes and then those of the fast inverse that it
// lacks: arma::pinv is the fast inverse's baseline.
std::vector<std::array<int, 2>> all_shapes() {
  std::vector<std::array<int, 2>> out;
  for (const auto& shape : kShapes) out.push_back({shape[0], shape[1]});
  for (const auto& shape : kFastInverseShapes) {
    const std::array<int, 2> s = {shape[0], shape[1]};
    if (std::find(out.begin(), out.end(), s) == out.end()) out.push_back(s);
  }
  return out;
}

void arma_pinv_shapes(benchmark::internal::Benchmark* b) {
  for (const auto& shape : all_shapes()) b->Args({shape[0], shape[1]});
}

BENCHMARK(BM_invert)->Apply(matrix_shapes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_gsl_svd)->Apply(matrix_shapes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pinv)->Apply(matrix_shapes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_arma_pinv)->Apply(arma_pinv_shapes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_svd_inverse)
    ->Apply(fast_inverse_shapes)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_multiply)->Apply(matrix_shapes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_dgemv)->Apply(matrix_shapes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_gsl_dgemm)->Apply(matrix_shapes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_apply)->Apply(apply_shapes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_loop_step)->Apply(matrix_shapes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_loop_step_interleaved)
    ->Apply(matrix_shapes)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_load_file)->Apply(matrix_shapes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_load_file_recent)
    ->Apply(matrix_shapes)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_stream_read)->Apply(matrix_shapes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ringbuf_store)->Apply(ring_sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ringbuf_get)->Apply(ring_sizes)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_element_value)->Apply(store_shapes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_float_load)->Apply(store_shapes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_element_set_value)
    ->Apply(store_shapes)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_float_store)->Apply(store_shapes)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------- the BLAS in
// use

// OpenBLAS's own query, when the BLAS loaded is OpenBLAS; -1 otherwise.
int blas_threads() {
  using Query = int (*)();
  void* f = ::dlsym(RTLD_DEFAULT, "openblas_get_num_threads");
  return f != nullptr ? reinterpret_cast<Query>(f)() : -1;
}

std::string blas_config() {
  using Query = char* (*)();
  void* f = ::dlsym(RTLD_DEFAULT, "openblas_get_config");
  return f != nullptr ? reinterpret_cast<Query>(f)() : "not OpenBLAS";
}

// The file of the library that serves `symbol` in this process.
std::string served_by(const char* symbol) {
  Dl_info info;
  void* f = ::dlsym(RTLD_DEFAULT, symbol);
  if (f == nullptr || ::dladdr(f, &info) == 0 || info.dli_fname == nullptr) {
    return "nothing";
  }
  return info.dli_fname;
}

// ---------------------------------------------------------------- the table of
// ratios

std::string format_time(double seconds) {
  char text[32];
  if (seconds >= 1e-3) {
    std::snprintf(text, sizeof text, "%.4g ms", seconds * 1e3);
  } else if (seconds >= 1e-6) {
    std::snprintf(text, sizeof text, "%.4g us", seconds * 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.4g ns", seconds * 1e9);
  }
  return text;
}

// The console output as usual, then, last, the table: each operation over
// its baseline, by the median of the repetitions when there are several.
class PairTableReporter : public benchmark::ConsoleReporter {
 public:
  explicit PairTableReporter(bool color)
      : ConsoleReporter(color ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median =
          run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      Measured& m = seconds_[run.run_name.str()];
      if (m.median && !median) continue;
      const double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
      m = {run.GetAdjustedCPUTime() / unit, run.GetAdjustedRealTime() / unit,
           median};
      repetitions_ = std::max(repetitions_, run.repetitions);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    print_table(GetOutputStream());
  }

 private:
  struct Measured {
    double seconds = 0.0;       // CPU time
    double real_seconds = 0.0;  // what a caller waits
    bool median = false;
  };

  // One line of the table: operation/args over the benchmark `baseline`,
  // shown as `label`; a target of 0 means none at this size.
  void row(std::ostream& out, const std::string& operation,
           const std::string& baseline, const std::string& label,
           const std::string& args, double target, bool real = false) const {
    const auto op = seconds_.find(operation + "/" + args);
    const auto base = seconds_.find(baseline);
    if (op == seconds_.end() || base == seconds_.end()) return;
    const auto time = [real](const Measured& m) {
      return real ? m.real_seconds : m.seconds;
    };
    const double ratio = time(op->second) / time(base->second);
    char line[160];
    std::snprintf(line, sizeof line, "%-24s %-15s %-9s %11s %11s %7.2f",
                  (operation.substr(3) + (real ? " (real)" : "")).c_str(),
                  label.c_str(), args.c_str(),
                  format_time(time(op->second)).c_str(),
                  format_time(time(base->second)).c_str(), ratio);
    out << line;
    if (target > 0) {
      std::snprintf(line, sizeof line, "  <= %-5g %s", target,
                    ratio <= target ? "met" : "MISSED");
      out << line;
    }
    out << '\n';
  }

  void print_table(std::ostream& out) const {
    const int threads = blas_threads();
    out << "\nEach operation beside its baseline, CPU time per call (real time "
           "where marked)";
    if (repetitions_ > 1) out << " (median of " << repetitions_ << " runs)";
    out << ", "
        << (threads < 0 ? std::string("unknown") : std::to_string(threads))
        << " BLAS thread(s)\n";
    if (threads != 1) {
      out << "WARNING: the ratios assume one BLAS thread "
             "(OPENBLAS_NUM_THREADS=1, as make bench sets)\n";
    }
    char head[160];
    std::snprintf(head, sizeof head, "%-24s %-15s %-9s %11s %11s %7s  %s",
                  "operation", "baseline", "m/n", "operation", "baseline",
                  "ratio", "target");
    out << head << '\n';
    struct Pair {
      const char* operation;
      const char* baseline;
      double target;
      int smallest_rows;  // of the shapes the target applies to
      int smallest_cols;
      bool real;  // real time beside the CPU time
    };
    const Pair pairs[] = {
        {"BM_invert", "BM_gsl_svd", 1.05, 200, 100, false},
        {"BM_pinv", "BM_arma_pinv", 1.05, 200, 100, false},
        {"BM_multiply", "BM_dgemv", 20.0, 500, 250, false},
        {"BM_multiply", "BM_gsl_dgemm", 0.0, 0, 0, false},
        {"BM_apply", "BM_dgemv", 1.2, 200, 100, false},
        {"BM_multiply", "BM_apply", 0.0, 0, 0, false},
        {"BM_svd_inverse", "BM_arma_pinv", 1.2, 200, 100, false},
        {"BM_loop_step", "BM_dgemv", 1.3, 200, 100, false},
        {"BM_load_file", "BM_stream_read", 2.5, 0, 0, true},
        {"BM_load_file_recent", "BM_stream_read", 0.0, 0, 0, true}};
    // A pair not measured at a shape has no line for it.
    for (const Pair& p : pairs) {
      for (const auto& shape : all_shapes()) {
        const std::string args =
            std::to_string(shape[0]) + "/" + std::to_string(shape[1]);
        const bool applies =
            static_cast<long>(shape[0]) * shape[1] >=
            static_cast<long>(p.smallest_rows) * p.smallest_cols;
        const std::string baseline = std::string(p.baseline) + "/" + args;
        const std::string label = std::string(p.baseline).substr(3);
        row(out, p.operation, baseline, label, args, applies ? p.target : 0.0);
        if (p.real) row(out, p.operation, baseline, label, args, 0.0, true);
      }
    }
    // A get of one entry should cost the same whatever the buffer's size.
    for (int size : kRingSizes) {
      row(out, "BM_ringbuf_get", "BM_ringbuf_get/10", "ringbuf_get/10",
          std::to_string(size), size > 10 ? 1.5 : 0.0);
    }
    for (int size : kRingSizes) {
      const auto store =
          seconds_.find("BM_ringbuf_store/" + std::to_string(size));
      if (store == seconds_.end()) continue;
      char line[160];
      std::snprintf(line, sizeof line, "%-24s %-15s %-9d %11s", "ringbuf_store",
                    "", size, format_time(store->second.seconds).c_str());
      out << line;
      if (size == 1000) {
        out << std::string(22, ' ') << "< 50 us  "
            << (store->second.seconds < 50e-6 ? "met" : "MISSED");
      }
      out << '\n';
    }
    // The element store per access, beside a plain float array.
    const std::pair<const char*, const char*> accesses[] = {
        {"BM_element_value", "BM_float_load"},
        {"BM_element_set_value", "BM_float_store"}};
    bool head_printed = false;
    for (const auto& access : accesses) {
      for (const auto& shape : kStoreShapes) {
        const std::string args =
            std::to_string(shape[0]) + "/" + std::to_string(shape[1]);
        const auto op = seconds_.find(std::string(access.first) + "/" + args);
        const auto base =
            seconds_.find(std::string(access.second) + "/" + args);
        if (op == seconds_.end() || base == seconds_.end()) continue;
        const double elements = static_cast<double>(shape[0]) * shape[1];
        char line[160];
        if (!head_printed) {
          std::snprintf(line, sizeof line, "\n%-20s %-15s %-9s %11s %11s %7s",
                        "element store", "plain array", "m/n", "per access",
                        "per access", "ratio");
          out << line << '\n';
          head_printed = true;
        }
        std::snprintf(line, sizeof line,
                      "%-20s %-15s %-9s %8.3f ns %8.3f ns %7.2f",
                      std::string(access.first).substr(3).c_str(),
                      std::string(access.second).substr(3).c_str(),
                      args.c_str(), op->second.seconds / elements * 1e9,
                      base->second.seconds / elements * 1e9,
                      op->second.seconds / base->second.seconds);
        out << line << '\n';
      }
    }
  }

  std::map<std::string, Measured> seconds_;
  long repetitions_ = 1;
};

// ---------------------------------------------------------------- peak memory
// of invert

long peak_resident_kb() {
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int invert_peak_memory() {
  const int m = 1000;
  const int n = 500;
  EqFct loc("BENCH");
  MDFA_ResponseMatrix A("A", m, n, &loc);
  fill_test_matrix(A);  // element by element: nothing but the matrices grows
  MDFA_ResponseMatrix inverse("A_INV", n, m, &loc);
  inverse.init(0.0f);
  K_spectrum spectrum("A_SV", std::min(m, n), &loc);
  const long before = peak_resident_kb();
  int nosv = 0;
  {
    Quiet quiet;
    float tol = -1.0f;
    A.invert(inverse, spectrum, &tol, &nosv);
  }
  const long after = peak_resident_kb();
  std::printf(
      "invert %d x %d: peak resident set %.1f MB before the call (the program "
      "and its matrices), %.1f MB after; the call added %.1f MB; %d singular "
      "values kept\n",
      m, n, before / 1024.0, after / 1024.0, (after - before) / 1024.0, nosv);
  return 0;
}

// ---------------------------------------------------------------- memory of
// a matrix property

// Bytes that malloc has handed out, from its heap and as separate mappings.
size_t heap_in_use() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

int property_memory() {
  const int m = 1000;
  const int n = 1000;
  const size_t before = heap_in_use();
  EqFct loc("BENCH");
  MDFA_ResponseMatrix A("A", m, n, &loc);
  A.init(1.0f);  // every element written: nothing is left to be paged in
  const size_t held = heap_in_use() - before;
  std::printf(
      "matrix property %d x %d: %zu bytes of heap (%.2f MB, %.2f bytes per "
      "element)\n",
      m, n, held, held / 1e6, static_cast<double>(held) / (m * n));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--invert_peak_memory") == 0) {
      return invert_peak_memory();
    }
    if (std::strcmp(argv[i], "--property_memory") == 0) {
      return property_memory();
    }
  }
  // Colours only for a terminal, and never when --benchmark_color says no:
  // a reporter of our own does not read that flag.
  bool color = ::isatty(STDOUT_FILENO) != 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::string flag = "--benchmark_color=";
    if (arg.compare(0, flag.size(), flag) == 0) {
      const std::string v = arg.substr(flag.size());
      color = color && v != "false" && v != "no" && v != "0" && v != "off";
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("blas", blas_config());
  benchmark::AddCustomContext("blas_threads", std::to_string(blas_threads()));
  benchmark::AddCustomContext("cblas_dgemm", served_by("cblas_dgemm"));
  benchmark::AddCustomContext("dgesdd_", served_by("dgesdd_"));
  PairTableReporter reporter(color);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
