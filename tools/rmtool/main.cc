// rmtool: looks at a response-matrix file before a feedback server uses it.
//
//   rmtool info FILE                               shape, values, bad lines
//   rmtool svd FILE [--tol T] [--keep K] [--tikhonov A] [exclusions]
//                                                  singular values, cut-off
//   rmtool invert FILE [--tol T] [--keep K] [--tikhonov A] [--pinv]
//                 [exclusions] -o OUT              the inverse, as a file
//   rmtool apply INVERSE DEVIATIONS                corrector settings
//
// Every computation is the library's numeric core: a file is read once and
// parsed as load_file parses it, inverted with truncated_svd_inverse (the
// numbers of the property's invert), regularized_inverse (--keep,
// --tikhonov) or pseudo_inverse (the property's pinv) and
// applied with multiply; the count of kept singular values is the core's.
// The tool formats the results and warns.
//
// Exit status: 0 done, 1 a file or its content was refused, 2 bad usage.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "support/format.h"
#include "support/options.h"
#include "support/program.h"

namespace rmtool {

using zub_cli::bad_usage;
using zub_cli::format;

namespace {

arguments parse(int argc, char** argv, int first) {
  arguments a;
  zub_cli::argument_scanner args(argc, argv, first);
  while (args.next()) {
    const std::string& arg = args.name();
    if (args.flag("--help", "-h")) {
      a.help = true;
    } else if (args.flag("--version")) {
      a.version = true;
    } else if (args.flag("--verbose", "-v")) {
      a.verbose = true;
    } else if (arg == "--tol") {
      a.tol = zub_cli::parse_tolerance(args.value());
      a.tol_given = true;
    } else if (arg == "--keep") {
      a.keep = static_cast<int>(
          zub_cli::parse_integer(arg, args.value(), 0, 1000000000));
      a.keep_given = true;
    } else if (arg == "--tikhonov") {
      const std::string text = args.value();
      a.tikhonov = zub_cli::parse_real(arg, text);
      if (!(a.tikhonov >= 0.0)) {
        bad_usage("--tikhonov wants a number from 0 up, not '" + text + "'");
      }
      a.tikhonov_given = true;
    } else if (args.flag("--pinv")) {
      a.pinv = true;
    } else if (arg == "--zero-below") {
      a.zero_below = zub_cli::parse_float(arg, args.value());
      a.zero_below_given = true;
    } else if (arg == "--exclude-monitors" || arg == "--exclude-correctors") {
      std::vector<long long>& into = arg == "--exclude-monitors"
                                         ? a.exclude_monitors
                                         : a.exclude_correctors;
      std::vector<std::string>& names = arg == "--exclude-monitors"
                                            ? a.exclude_monitor_names
                                            : a.exclude_corrector_names;
      // An item that starts with neither a digit nor '-' is a name.
      const std::string value = args.value();
      std::string indices;
      bool any_index = false;
      for (size_t p = 0; p <= value.size();) {
        size_t end = value.find(',', p);
        if (end == std::string::npos) end = value.size();
        const std::string item = value.substr(p, end - p);
        if (!item.empty() && item[0] != '-' &&
            (item[0] < '0' || item[0] > '9')) {
          names.push_back(item);
        } else {
          indices += (any_index ? "," : "") + item;
          any_index = true;
        }
        p = end + 1;
      }
      if (any_index) {
        const std::vector<long long> l =
            zub_cli::parse_index_list(arg, indices);
        // Sorted over all the lists, each index once.
        into.insert(into.end(), l.begin(), l.end());
        std::sort(into.begin(), into.end());
        into.erase(std::unique(into.begin(), into.end()), into.end());
      }
    } else if (arg == "-o" || arg == "--output") {
      a.out = args.value();
      if (a.out.empty()) bad_usage(arg + " needs a file name");
    } else if (arg.size() > 1 && arg[0] == '-') {
      bad_usage(std::string("unknown option '") + args.raw() + "'");
    } else {
      a.positional.push_back(arg);
    }
  }
  // Each option for what it does: the tolerance is the truncated SVD's,
  // the input filter the pseudo-inverse's.
  if (a.pinv && a.tol_given) {
    bad_usage(
        "--tol is the truncated SVD's tolerance; with --pinv, the input "
        "filter is --zero-below");
  }
  if (a.zero_below_given && !a.pinv) {
    bad_usage("--zero-below is the input filter of --pinv");
  }
  // --keep and --tikhonov ask for the regularised inverse, which --pinv is
  // not; its relative cut-off is a given --tol, as the library's internal
  // tolerance belongs to the truncated SVD of the property.
  if (a.regularized() && a.pinv) {
    bad_usage(
        "--keep and --tikhonov regularise the SVD inverse; --pinv takes "
        "neither");
  }
  if (a.regularized() && a.tol_given && a.tol < 0.0f) {
    bad_usage(
        "--tol -1 (the internal tolerance) is the truncated SVD's; with "
        "--keep or --tikhonov, give --tol T from 0 or leave it out");
  }
  return a;
}

const char kUsage[] =
    "usage: rmtool COMMAND ARGUMENTS [--verbose]\n"
    "Checks a response-matrix file (one line of numbers per monitor, one\n"
    "number per corrector, '#' first on a line for a comment) with the\n"
    "zub_feedback library, the way a feedback server reads and uses it.\n"
    "Line numbers count from 1; monitors, correctors, rows, columns and\n"
    "singular values from 0.\n"
    "\n"
    "  rmtool info FILE\n"
    "      Shape (data lines = monitors, the count of values that most data\n"
    "      lines hold = correctors), value range, zero rows and columns.\n"
    "      Names every line that the loader refuses, with why (one that holds\n"
    "      another count, where a value the loader does not read, such as\n"
    "      nan, inf, a typo or a comma, ends the values; a blank line; a '#'\n"
    "      after blanks; a value beyond the float range; a byte-order mark)\n"
    "      and then exits 1. Shows the names and metadata of a named file\n"
    "      ('# monitors: NAME ...', '# correctors: NAME ...', '# key: value'\n"
    "      before the data).\n"
    "  rmtool svd FILE [--tol T] [--keep K] [--tikhonov A] [EXCLUSIONS]\n"
    "      All singular values, which of them the inverse keeps, the\n"
    "      tolerance used and the condition number; with --keep or\n"
    "      --tikhonov, each mode's filter factor and the effective condition;\n"
    "      for each mode the three monitors and correctors that weigh most in\n"
    "      it (largest |U|, |V|), by name in a named file.\n"
    "  rmtool invert FILE [--tol T] [--keep K] [--tikhonov A] [EXCLUSIONS]\n"
    "                -o OUT\n"
    "  rmtool invert FILE --pinv [--zero-below A] -o OUT\n"
    "      Writes the inverse (correctors x monitors) to OUT in the same text\n"
    "      format, so that load_file reads it back; a named file's names\n"
    "      swapped (its monitors are the matrix's correctors) and metadata "
    "kept,\n"
    "      a unit A/B written as B/A (another unit is left out).\n"
    "  rmtool apply INVERSE DEVIATIONS\n"
    "      Prints INVERSE x DEVIATIONS: the corrector settings for a column "
    "of\n"
    "      monitor deviations (one number per line, or all on one line), one\n"
    "      per line. Negate them to cancel the deviations.\n"
    "  svd, invert and apply refuse a file with an offending line.\n"
    "\n"
    "Options:\n"
    "  --tol T    truncated SVD: -1 (default) derives the tolerance from the\n"
    "             matrix; T from 0 to 3.4e38 keeps the singular values\n"
    "             s > T x s_max.\n"
    "  --keep K   the regularised inverse, with at most the K largest\n"
    "             singular values.\n"
    "  --tikhonov A\n"
    "             the regularised inverse with Tikhonov damping: mode i\n"
    "             enters with s_i / (s_i^2 + A^2) instead of 1 / s_i (its\n"
    "             filter factor s_i^2 / (s_i^2 + A^2)); A in the units of the\n"
    "             singular values. With --keep or --tikhonov the inverse is\n"
    "             computed in double precision (LAPACK), not as a server's\n"
    "             invert; --tol T from 0 is its relative cut-off (without it\n"
    "             max(m, n) x 2^-52, the rounding of doubles); --pinv and\n"
    "             --tol -1 are refused.\n"
    "  --pinv     invert with the Moore-Penrose pseudo-inverse (Armadillo)\n"
    "             instead of the truncated SVD.\n"
    "  --zero-below A\n"
    "             the input filter of --pinv: elements with 0 < |a| < A are\n"
    "             zeroed first (default 0, none).\n"
    "  --exclude-monitors LIST, --exclude-correctors LIST\n"
    "             leave these monitors (rows) or correctors (columns) out of\n"
    "             the inversion: their rows or columns are set to 0, and\n"
    "             the inverse gets zeros in their places. LIST: indices from\n"
    "             0, separated by commas, a-b for a range (3,7,10-12), or\n"
    "             names from the file's '# monitors:' or '# correctors:'\n"
    "             line (an item that starts with neither a digit nor '-').\n"
    "  -o OUT     output file of invert (also --output OUT).\n"
    "  --verbose  also show what each step found: the shape read, the\n"
    "             tolerance and count of the inversion, values left out.\n"
    "  --version  the version of rmtool and of the library.\n"
    "  --help     this text.\n"
    "Options take their value as the next argument or after '='.\n"
    "\n"
    "Warnings go to standard error and leave the exit status 0: no singular\n"
    "value kept; a kept singular value at the float rounding level of the\n"
    "matrix; singular values above that level that the internal tolerance\n"
    "cuts (it grows with the square of the matrix's units); from svd, two\n"
    "neighbouring kept singular values more than 100 x apart whose gains\n"
    "the inverse leaves more than 100 x apart, with the --keep and the\n"
    "--tikhonov that would damp the smaller.\n"
    "Exit status: 0 done, 1 a file or its content refused, 2 bad usage.\n";

}  // namespace

void expect_positional(const arguments& a, size_t n, const char* command,
                       const char* what) {
  if (a.positional.size() != n) {
    bad_usage(format("%s wants %s", command, what));
  }
}

// The command line, run.
int run(int argc, char** argv) {
  if (argc < 2) bad_usage("no command given");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version") {
    zub_cli::print_version("rmtool");
    return 0;
  }
  const arguments a = parse(argc, argv, 2);
  if (a.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (a.version) {
    zub_cli::print_version("rmtool");
    return 0;
  }
  if (command == "info") return run_info(a);
  if (command == "svd") return run_svd(a);
  if (command == "invert") return run_invert(a);
  if (command == "apply") return run_apply(a);
  bad_usage("unknown command '" + command + "'");
}

}  // namespace rmtool

int main(int argc, char** argv) {
  return zub_cli::run_main("rmtool", [&] { return rmtool::run(argc, argv); });
}
