// The programs' command-line reading: both ways of giving a value, and the
// rules of the values they share.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/options.h"
#include "support/program.h"

namespace {

using zub_cli::argument_scanner;
using zub_cli::failure;

// The usage error that `f` throws, or "" when it throws none.
template <typename F>
std::string usage_error(F&& f) {
  try {
    f();
  } catch (const failure& e) {
    EXPECT_EQ(e.status, zub_cli::kExitUsage) << e.message;
    return e.message;
  }
  return "";
}

// (name, value) pairs as the scanner reads them; every argument after the
// first counts.
std::vector<std::string> scan(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argument_scanner s(static_cast<int>(argv.size()), argv.data(), 1);
  std::vector<std::string> out;
  while (s.next()) {
    out.push_back(s.name());
    if (!s.flag("--flag", "-f") && s.name().rfind("-", 0) == 0) {
      out.push_back(s.value());
    }
  }
  return out;
}

TEST(ArgumentScanner, TakesValuesAfterEqualsOrAsTheNextArgument) {
  EXPECT_EQ(scan({"p", "--tol=1e-3", "--svg", "a=b.svg", "--out=x=y", "file"}),
            (std::vector<std::string>{"--tol", "1e-3", "--svg", "a=b.svg",
                                      "--out", "x=y", "file"}));
  // Only a --long option is split at '='; an empty value is a value.
  EXPECT_EQ(
      scan({"p", "-o=x", "v", "--file=", "--flag", "-f"}),
      (std::vector<std::string>{"-o=x", "v", "--file", "", "--flag", "-f"}));
  EXPECT_EQ(usage_error([] { scan({"p", "--tol"}); }), "--tol needs a value");
  EXPECT_EQ(usage_error([] {
              scan({"p", "--flag=yes"});
            }),
            "--flag takes no value");
}

TEST(ParseTolerance, MinusOneOrZeroUpToTheFloatRange) {
  EXPECT_EQ(zub_cli::parse_tolerance("-1"), -1.0f);
  EXPECT_EQ(zub_cli::parse_tolerance("0"), 0.0f);
  EXPECT_EQ(zub_cli::parse_tolerance("1e-3"), 1e-3f);
  EXPECT_EQ(zub_cli::parse_tolerance("3.4e38"), 3.4e38f);
  EXPECT_EQ(zub_cli::parse_tolerance("1.5e-45"), 1.4e-45f);
  for (const char* bad :
       {"3.5e38", "-0.5", "-1.5", "1e999", "nan", "inf", "", "1x"}) {
    EXPECT_EQ(usage_error([&] { zub_cli::parse_tolerance(bad); }),
              "--tol wants -1 (the internal tolerance) or a number from 0 to "
              "3.4e38, not '" +
                  std::string(bad) + "'");
  }
  // Not 0, but 0 as the float that the library gets: refused, not taken
  // for 0.
  EXPECT_EQ(usage_error([] { zub_cli::parse_tolerance("1e-300"); }),
            "--tol 1e-300 would be 0 as a float: give 0, or a number from "
            "1.4e-45");
  EXPECT_EQ(usage_error([] { zub_cli::parse_float("--zero-below", "-1"); }),
            "--zero-below wants a number from 0 to 3.4e38, not '-1'");
  EXPECT_EQ(zub_cli::parse_float("--zero-below", "0.25"), 0.25f);
}

TEST(ParseNumbers, WholeTextAndBoundsIncluded) {
  EXPECT_EQ(zub_cli::parse_integer("--n", "0", 0, 10), 0);
  EXPECT_EQ(zub_cli::parse_integer("--n", "10", 0, 10), 10);
  EXPECT_EQ(usage_error([] { zub_cli::parse_integer("--n", "11", 0, 10); }),
            "--n wants a whole number from 0 to 10, not '11'");
  EXPECT_NE(usage_error([] { zub_cli::parse_integer("--n", "2.5", 0, 10); }),
            "");
  EXPECT_EQ(zub_cli::parse_real("--g", "-2.5e-3"), -2.5e-3);
  EXPECT_EQ(usage_error([] { zub_cli::parse_real("--g", "1e400"); }),
            "--g wants a number, not '1e400'");
}

TEST(ParseIndexList, SortedOnceEachWithRanges) {
  EXPECT_EQ(zub_cli::parse_index_list("--x", "12,3,10-12,3"),
            (std::vector<long long>{3, 10, 11, 12}));
  EXPECT_EQ(zub_cli::parse_index_list("--x", "0"), (std::vector<long long>{0}));
  for (const char* bad : {"", "a", "1,,2", "3-1", "-1", "1.5", "1,", "0-",
                          "1234567890", "0-99999999"}) {
    EXPECT_NE(usage_error([&] { zub_cli::parse_index_list("--x", bad); }), "")
        << bad;
  }
}

}  // namespace
