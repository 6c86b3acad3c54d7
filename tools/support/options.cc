#include "support/options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "support/format.h"
#include "support/program.h"

namespace zub_cli {

argument_scanner::argument_scanner(int argc, char** argv, int first)
    : argc_(argc), argv_(argv), at_(first - 1) {}

bool argument_scanner::next() {
  if (at_ + 1 >= argc_) return false;
  name_ = argv_[++at_];
  has_inline_ = false;
  const size_t eq = name_.find('=');
  if (name_.rfind("--", 0) == 0 && eq != std::string::npos) {
    inline_value_ = name_.substr(eq + 1);
    name_.erase(eq);
    has_inline_ = true;
  }
  return true;
}

std::string argument_scanner::value() {
  if (has_inline_) return inline_value_;
  if (at_ + 1 >= argc_) bad_usage(name_ + " needs a value");
  return argv_[++at_];
}

void argument_scanner::no_value() const {
  if (has_inline_) bad_usage(name_ + " takes no value");
}

bool argument_scanner::flag(const char* name, const char* short_name) const {
  if (name_ != name && (short_name == nullptr || name_ != short_name)) {
    return false;
  }
  no_value();
  return true;
}

namespace {

// The finite double that is the whole of `text`.
bool read_real(const std::string& text, double& v) {
  errno = 0;
  char* end = nullptr;
  v = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && errno != ERANGE && std::isfinite(v);
}

// The largest float is 3.40282347e38: above this a value becomes an
// infinity on its way to the library, which takes its tolerances as floats.
constexpr double kLargestFloat = 3.4e38;

// A value of `option` read from `text` (`read`: it is a number, `v`), which
// takes `what_else` and a number from 0 to the float range; a number that
// is not 0 but would be as a float is refused rather than taken as 0.
float float_value(const std::string& option, const std::string& text, bool read,
                  double v, const char* what_else) {
  if (!read || v < 0 || v > kLargestFloat) {
    bad_usage(format("%s wants %sa number from 0 to 3.4e38, not '%s'",
                     option.c_str(), what_else, text.c_str()));
  }
  const float f = static_cast<float>(v);
  if (f == 0.0f && v != 0.0) {
    bad_usage(
        format("%s %s would be 0 as a float: give 0, or a number from "
               "1.4e-45",
               option.c_str(), text.c_str()));
  }
  return f;
}

}  // namespace

double parse_real(const std::string& option, const std::string& text) {
  double v;
  if (!read_real(text, v)) {
    bad_usage(option + " wants a number, not '" + text + "'");
  }
  return v;
}

long long parse_integer(const std::string& option, const std::string& text,
                        long long lo, long long hi) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < lo || v > hi) {
    bad_usage(format("%s wants a whole number from %lld to %lld, not '%s'",
                     option.c_str(), lo, hi, text.c_str()));
  }
  return v;
}

float parse_tolerance(const std::string& text) {
  double v;
  const bool read = read_real(text, v);
  if (read && v == -1.0) return -1.0f;
  return float_value("--tol", text, read, v, "-1 (the internal tolerance) or ");
}

float parse_float(const std::string& option, const std::string& text) {
  double v;
  const bool read = read_real(text, v);
  return float_value(option, text, read, v, "");
}

std::vector<long long> parse_index_list(const std::string& option,
                                        const std::string& text) {
  std::vector<long long> out;
  auto bad = [&]() {
    bad_usage(option +
              " wants indices from 0 separated by commas, a-b for a range, "
              "not '" +
              text + "'");
  };
  auto number = [&](const std::string& t) {
    if (t.empty() || t.size() > 9 ||
        t.find_first_not_of("0123456789") != std::string::npos) {
      bad();
    }
    return std::stoll(t);
  };
  if (text.empty()) bad();
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    const size_t dash = item.find('-');
    const long long a = number(item.substr(0, dash));
    const long long b =
        dash == std::string::npos ? a : number(item.substr(dash + 1));
    if (b < a || b - a > kMaxElements) bad();
    for (long long k = a; k <= b; ++k) out.push_back(k);
    at = comma + 1;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace zub_cli
