// The programs' command lines: one reading of "--option value" and
// "--option=value", and the rules for the values they share.
#ifndef ZUB_TOOLS_OPTIONS_H
#define ZUB_TOOLS_OPTIONS_H

#include <string>
#include <vector>

namespace zub_cli {

// Walks the arguments from argv[first]. A "--option=value" argument is
// split at its first '='; any other argument stands as it is.
class argument_scanner {
 public:
  argument_scanner(int argc, char** argv, int first);

  // Moves to the next argument; false after the last.
  bool next();
  // The argument, without its "=value".
  const std::string& name() const { return name_; }
  // The argument as it was given.
  const char* raw() const { return argv_[at_]; }
  // The option's value: after its '=', or else the next argument, which is
  // then used up (a usage error "OPTION needs a value" when there is none).
  std::string value();
  // For an option that is a flag: "--flag=value" is a usage error.
  void no_value() const;
  // Whether the argument is the flag `name` (or `short_name`), checked with
  // no_value().
  bool flag(const char* name, const char* short_name = nullptr) const;

 private:
  int argc_;
  char** argv_;
  int at_;
  std::string name_;
  std::string inline_value_;
  bool has_inline_ = false;
};

// A finite double written as the whole of `text`: "OPTION wants a number,
// not 'TEXT'" otherwise.
double parse_real(const std::string& option, const std::string& text);

// A whole number from lo to hi written as the whole of `text`.
long long parse_integer(const std::string& option, const std::string& text,
                        long long lo, long long hi);

// The value of --tol: -1 asks for the library's internal tolerance;
// otherwise a number from 0 up to what a float holds, as invert takes its
// tolerance as a float. A number that would be 0 as a float, and is not 0,
// is refused.
float parse_tolerance(const std::string& text);

// A number from 0 up to what a float holds, by the same rule.
float parse_float(const std::string& option, const std::string& text);

// A list of indices from 0: "3", "3,7", "10-12", "3,10-12"; sorted, each
// once.
std::vector<long long> parse_index_list(const std::string& option,
                                        const std::string& text);

}  // namespace zub_cli

#endif  // ZUB_TOOLS_OPTIONS_H
