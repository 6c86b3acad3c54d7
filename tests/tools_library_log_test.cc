// How a program hosting properties shows the library's messages: errors
// always and counted, the rest on request, the previous sink back
// afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "karst.h"
#include "log_capture.h"
#include "report.h"
#include "stdout_capture.h"
#include "support/library_log.h"

namespace {

using zub_internal::kLevelError;
using zub_internal::kLevelInfo;

std::vector<std::string> details;
void keep_detail(const std::string& where, const std::string& text) {
  details.push_back(where + "|" + text);
}

TEST(LibraryLog, ErrorsAlwaysShownAndCountedDetailsOnRequest) {
  zub_test::LogCapture outer;
  for (const bool show : {false, true}) {
    details.clear();
    zub_test::StderrCapture err;
    {
      const zub_cli::library_log log({"prog", keep_detail, false}, show);
      karst::printtostderr("load_file", "INFO: Loading a ...\n", kLevelInfo);
      karst::printtostderr("invert", "ERROR: no tolerance !\n\n", kLevelError);
      karst::printtostderr("invert", "ERROR: again !", kLevelError);
      EXPECT_EQ(log.errors(), 2);
    }
    EXPECT_EQ(err.text(),
              "prog: invert: ERROR: no tolerance !\nprog: invert: ERROR: "
              "again !\n");
    EXPECT_EQ(details, show ? std::vector<std::string>{"load_file|INFO: "
                                                       "Loading a ..."}
                            : std::vector<std::string>{});
  }
  // The sink that was there before takes the messages again.
  karst::printtostderr("after", "INFO: x", kLevelInfo);
  ASSERT_EQ(outer.size(), 1u);
  EXPECT_EQ(outer.last().where, "after");
}

}  // namespace
