// The matrix writer: text that load_file reads back as the very floats.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "log_capture.h"
#include "matrix_bits.h"
#include "support/matrix_text.h"
#include "temp_file.h"
#include "zub_feedback.h"

namespace {

TEST(MatrixText, LoadsBackBitForBit) {
  MDFA_ResponseMatrix m("M", 2, 4, nullptr);
  const float values[] = {0.1f,   1.0f / 3,    -FLT_MAX, FLT_MIN,
                          1e-45f, 16777217.0f, -0.0f,    123456.789f};
  for (int k = 0; k < 8; ++k)
    m.set_value(values[k], k / 4, k % 4, -1, -1, -1, -1);
  const std::string text = zub_cli::matrix_text(m);
  EXPECT_EQ(text.substr(0, text.find('\n')),
            "0.100000001 0.333333343 -3.40282347e+38 1.17549435e-38");
  const zub_test::TempDir dir;
  MDFA_ResponseMatrix back("BACK", 2, 4, nullptr);
  zub_test::LogCapture log;
  ASSERT_TRUE(back.load_file(dir.write("m.txt", text).c_str()));
  EXPECT_EQ(zub_test::element_bits(back), zub_test::element_bits(m));
}

}  // namespace
