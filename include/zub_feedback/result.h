// What the numeric core's operations return: their value, or a refusal that
// says why. A refusal is a value, not an exception, and the core prints
// nothing: the caller decides what to log, raise or show.
#ifndef ZUB_FEEDBACK_RESULT_H
#define ZUB_FEEDBACK_RESULT_H

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace zub_feedback {

// Why an operation refused. Stable values: hosts may switch on them.
enum class error_code {
  shape_mismatch = 1,  // operands whose shapes do not fit
  not_finite,          // a NaN or an infinity where a number is needed
  beyond_float,        // a value that a float (the property's element) lacks
  bad_argument,        // an argument outside its range (a NaN tolerance, ...)
  svd_failed,          // the decomposition did not converge
  cannot_read,         // a file that is missing, unreadable, not regular
  file_changed,        // a file that changed while it was being read
  bad_rows,            // a file with another number of data lines
  bad_cols,            // a file whose last data line holds another count
  bad_line,            // a data line that does not load as a row
  cannot_write,        // a file that could not be written
  bad_names,           // a named file's names or metadata that do not fit
};

struct refusal {
  error_code code = error_code::bad_argument;
  // The text that the framework property logs for the same refusal, in its
  // words ("ERROR: ..."), cut as the property cuts it.
  std::string message;
  // For a file: the line concerned, counted from 1 as the loader counts
  // lines (comment lines included), 0 for none; the value's place in it,
  // from 1, 0 for none; and the text found there.
  long long line = 0;
  long long position = 0;
  std::string text;
  // What an operator needs to mend the input, naming the line and what was
  // found (`line 40: "NaN" is not a number`); may be empty.
  std::string detail;
};

// Thrown only when a caller takes the value of a refusal, or the refusal of
// a success: a mistake in the calling code, not a refusal.
class bad_result_access : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

template <class T>
class result {
 public:
  result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  result(refusal r) : v_(std::in_place_index<1>, std::move(r)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    check(true);
    return std::get<0>(v_);
  }
  const T& value() const& {
    check(true);
    return std::get<0>(v_);
  }
  T&& value() && {
    check(true);
    return std::get<0>(std::move(v_));
  }
  const refusal& error() const {
    check(false);
    return std::get<1>(v_);
  }

 private:
  void check(bool want_value) const {
    if (ok() != want_value) {
      throw bad_result_access(want_value
                                  ? "zub_feedback: value of a refusal: " +
                                        std::get<1>(v_).message
                                  : "zub_feedback: refusal of a success");
    }
  }
  std::variant<T, refusal> v_;
};

// The result of an operation that gives nothing but success or a refusal.
template <>
class result<void> {
 public:
  result() = default;
  result(refusal r) : refused_(true), r_(std::move(r)) {}

  bool ok() const { return !refused_; }
  explicit operator bool() const { return ok(); }
  const refusal& error() const {
    if (!refused_) {
      throw bad_result_access("zub_feedback: refusal of a success");
    }
    return r_;
  }

 private:
  bool refused_ = false;
  refusal r_;
};

using status = result<void>;

}  // namespace zub_feedback

#endif  // ZUB_FEEDBACK_RESULT_H
