// The framework's data container: string records and the index that a
// remote request carries.
#include <gtest/gtest.h>

#include <climits>
#include <limits>
#include <vector>

#include "karst.h"

namespace {

int int_of_scalar(int code, double v) {
  EqData d;
  d.set_scalar(code, v);
  return d.get_int();
}

int int_of_array(int code, const std::vector<double>& v) {
  EqData d;
  d.set_array(code, v);
  return d.get_int();
}

// ---------------------------------------------------------------- get_int

TEST(EqData, IntScalarsAreReadAsTheyAre) {
  EqData d;
  d.set(-1);
  EXPECT_EQ(d.type(), 1);
  EXPECT_EQ(d.get_int(), -1);
  d.set(0);
  EXPECT_EQ(d.get_int(), 0);
  d.set(INT_MIN);
  EXPECT_EQ(d.get_int(), INT_MIN);
  // The other codes whose scalar is a 32-bit int.
  for (int code : {4, 26, 28, 29}) {
    EXPECT_EQ(int_of_scalar(code, 7), 7) << "code " << code;
    EXPECT_EQ(int_of_scalar(code, -5), -5) << "code " << code;
  }
}

TEST(EqData, FloatsAndDoublesTruncateTowardZero) {
  EqData d;
  d.set(2.9f);
  EXPECT_EQ(d.type(), 2);
  EXPECT_EQ(d.get_int(), 2);
  d.set(-0.5f);
  EXPECT_EQ(d.get_int(), 0);  // not -1: truncation, not floor
  d.set(-2.9f);
  EXPECT_EQ(d.get_int(), -2);
  d.set(3.99);
  EXPECT_EQ(d.type(), 6);
  EXPECT_EQ(d.get_int(), 3);
  d.set(-7.5);
  EXPECT_EQ(d.get_int(), -7);
}

// Storing into an integer type: truncated, the low bits kept; NaN and
// values beyond 64 bits give 0.
TEST(EqData, IntegerStorageWrapsAndTakesNanAsZero) {
  EXPECT_EQ(int_of_scalar(1, 4294967297.0), 1);  // 2^32 + 1
  EXPECT_EQ(int_of_scalar(25, 40000.0), 40000 - 65536);
  EXPECT_EQ(int_of_scalar(27, -1.0), 65535);
  EXPECT_EQ(int_of_scalar(1, -2.7), -2);
  for (int code : {1, 25, 27}) {
    EXPECT_EQ(int_of_scalar(code, std::numeric_limits<double>::quiet_NaN()), 0)
        << code;
    EXPECT_EQ(int_of_scalar(code, 1e30), 0) << code;
  }
}

TEST(EqData, NanAndOutOfRangeGiveIntMin) {
  EqData d;
  d.set(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(d.get_int(), INT_MIN);
  d.set(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(d.get_int(), INT_MIN);
  d.set(3e9f);
  EXPECT_EQ(d.get_int(), INT_MIN);
  d.set(-std::numeric_limits<double>::infinity());
  EXPECT_EQ(d.get_int(), INT_MIN);
  // The edges of int's range.
  d.set(2147483647.9);
  EXPECT_EQ(d.get_int(), INT_MAX);
  d.set(2147483648.0);
  EXPECT_EQ(d.get_int(), INT_MIN);
  d.set(-2147483648.9);
  EXPECT_EQ(d.get_int(), INT_MIN);
  d.set(2147483520.0f);  // the largest float below 2^31
  EXPECT_EQ(d.get_int(), 2147483520);
}

TEST(EqData, SixteenBitCodesExtendBySignedness) {
  EXPECT_EQ(int_of_scalar(25, -1), -1);
  EXPECT_EQ(int_of_scalar(25, 65535), -1);  // the bits of int16 -1
  EXPECT_EQ(int_of_scalar(27, 65535), 65535);
  EXPECT_EQ(int_of_scalar(27, -1), 65535);  // never negative
}

TEST(EqData, ArraysGiveTheirFirstElement) {
  EXPECT_EQ(int_of_array(100, {2.9, 5.0}), 2);
  EXPECT_EQ(int_of_array(100, {-0.5}), 0);
  EXPECT_EQ(int_of_array(110, {-7.7, 1.0}), -7);
  EXPECT_EQ(int_of_array(110, {std::numeric_limits<double>::quiet_NaN()}),
            INT_MIN);
  for (int code : {105, 111, 114, 117, 118}) {
    EXPECT_EQ(int_of_array(code, {-3.0, 9.0}), -3) << "code " << code;
  }
  EXPECT_EQ(int_of_array(113, {65535.0, 1.0}), -1);
  EXPECT_EQ(int_of_array(116, {-1.0, 1.0}), 65535);
  EXPECT_EQ(int_of_array(105, {}), 0);  // no first element
}

TEST(EqData, OtherCodesGiveZero) {
  EqData none;
  EXPECT_EQ(none.type(), 0);
  EXPECT_EQ(none.get_int(), 0);
  EXPECT_EQ(int_of_scalar(3, 5.0), 0);
  EXPECT_EQ(int_of_scalar(119, 5.0), 0);
  EXPECT_EQ(int_of_scalar(250, 5.0), 0);
  EXPECT_EQ(int_of_array(101, {5.0}), 0);
  EXPECT_EQ(int_of_array(119, {5.0}), 0);
  // String records carry an int of their own; it is not an index.
  EqData records;
  records.set(9, 0.0f, 0.0f, 0, "nine", 0);
  EXPECT_EQ(records.type(), 103);
  EXPECT_EQ(records.get_int(), 0);
}

// ---------------------------------------------------------------- records

TEST(EqData, RecordsAppendAtLengthAndIgnoreOtherIndices) {
  EqData d;
  d.set(1, 1.5f, 2.5f, 100, "one", 0);
  d.set(2, 0.0f, 0.0f, 200, "two", 1);
  d.set(3, 0.0f, 0.0f, 300, "gap", 3);   // beyond length(): ignored
  d.set(4, 0.0f, 0.0f, 400, "neg", -1);  // negative: ignored
  ASSERT_EQ(d.length(), 2);
  const USTR* first = d.get_ustr(0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->i1_data, 1);
  EXPECT_EQ(first->f1_data, 1.5f);
  EXPECT_EQ(first->f2_data, 2.5f);
  EXPECT_EQ(first->tm, 100);
  EXPECT_EQ(first->str_data, "one");
  EXPECT_EQ(d.get_ustr(1)->str_data, "two");
  EXPECT_EQ(d.get_ustr(2), nullptr);
  EXPECT_EQ(d.get_ustr(-1), nullptr);

  // Writing within the list replaces that record only.
  USTR replacement;
  replacement.tm = 500;
  replacement.str_data = "new";
  d.set(replacement, 0);
  EXPECT_EQ(d.length(), 2);
  EXPECT_EQ(d.get_ustr(0)->str_data, "new");
  EXPECT_EQ(d.get_ustr(0)->tm, 500);
  EXPECT_EQ(d.get_ustr(1)->str_data, "two");
}

TEST(EqData, RecordIntoNumbersReplacesThem) {
  EqData d;
  d.set_array(105, {1.0, 2.0, 3.0});
  EXPECT_EQ(d.get_ustr(0), nullptr);
  d.set(0, 0.0f, 0.0f, 7, "text", 0);
  EXPECT_EQ(d.type(), 103);
  ASSERT_EQ(d.length(), 1);
  EXPECT_EQ(d.get_ustr(0)->str_data, "text");
  // And a number replaces the records.
  d.set(5);
  EXPECT_EQ(d.type(), 1);
  EXPECT_EQ(d.length(), 1);
  EXPECT_EQ(d.get_ustr(0), nullptr);
}

TEST(EqData, CopyFromReplacesAllContent) {
  EqData src;
  src.set(0, 0.0f, 0.0f, 10, "a", 0);
  src.set(0, 0.0f, 0.0f, 20, "b", 1);
  EqData dst;
  for (int i = 0; i < 5; ++i) dst.set(i, 0.0f, 0.0f, 0, "old", i);
  dst.copy_from(&src);
  EXPECT_EQ(dst.type(), 103);
  ASSERT_EQ(dst.length(), 2);
  EXPECT_EQ(dst.get_ustr(1)->str_data, "b");
  // The copy is independent of its source.
  dst.get_ustr(0)->str_data = "changed";
  EXPECT_EQ(src.get_ustr(0)->str_data, "a");

  dst.copy_from(nullptr);
  dst.copy_from(&dst);
  EXPECT_EQ(dst.length(), 2);
  EXPECT_EQ(dst.get_ustr(0)->str_data, "changed");

  EqData numbers;
  numbers.set(2.5);
  dst.copy_from(&numbers);
  EXPECT_EQ(dst.type(), 6);
  EXPECT_EQ(dst.get_ustr(0), nullptr);
  EXPECT_EQ(dst.get_int(), 2);
}

TEST(EqData, ClearEmpties) {
  EqData d;
  d.set(0, 0.0f, 0.0f, 0, "x", 0);
  d.clear();
  EXPECT_EQ(d.type(), 0);
  EXPECT_EQ(d.length(), 0);
  EXPECT_EQ(d.get_ustr(0), nullptr);
}

}  // namespace
