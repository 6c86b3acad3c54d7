// The framework stand-in as the library and its hosts rely on it.
#include "karst.h"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <vector>

#include "log_capture.h"

namespace {

// ---------------------------------------------------------------- logging

TEST(Log, SinkReceivesMessagesUnchangedAndRestoresPrevious) {
  std::vector<std::string> outer;
  karst::LogSink before = karst::set_log_sink(
      [&](const std::string& w, const std::string& m, unsigned l) {
        outer.push_back(w + "|" + m + "|" + std::to_string(l));
      });
  {
    zub_test::LogCapture log;
    karst::printtostderr("where", "text with newline\n", 0x80u);
    karst::printtostderr(std::string("w2"), std::string("  "), 0x80000000u);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].where, "where");
    EXPECT_EQ(log[0].message, "text with newline\n");
    EXPECT_EQ(log[0].level, 0x80u);
    EXPECT_EQ(log[1].message, "  ");
    EXPECT_EQ(log[1].level, 0x80000000u);
  }
  // The capture restored the sink it replaced.
  karst::printtostderr("back", "again", 8u);
  EXPECT_EQ(outer, std::vector<std::string>{"back|again|8"});
  karst::set_log_sink(before);
}

TEST(Log, DefaultWritesOneLinePerMessageToStandardError) {
  karst::LogSink previous = karst::set_log_sink(nullptr);
  testing::internal::CaptureStderr();
  karst::printtostderr("op", "ends in newline\n", 0x80u);
  karst::printtostderr("op", "no newline", 0x8u);
  const std::string err = testing::internal::GetCapturedStderr();
  karst::set_log_sink(previous);
  EXPECT_EQ(err, "[00000080] op: ends in newline\n[00000008] op: no newline\n");
}

// ---------------------------------------------------------------- time

TEST(Time, SourceReplacesClockUntilRestored) {
  auto previous = karst::set_time_source([] { return time_t{1234}; });
  EXPECT_EQ(KARSTtime(), 1234);
  auto mine = karst::set_time_source(nullptr);
  ASSERT_TRUE(static_cast<bool>(mine));
  EXPECT_EQ(mine(), 1234);
  const time_t now = std::time(nullptr);
  EXPECT_LE(std::abs(KARSTtime() - now), 2);
  karst::set_time_source(previous);
}

TEST(Debug, GlobalStartsQuiet) { EXPECT_EQ(KARST_debug, 0); }

// ---------------------------------------------------------------- properties

TEST(MdFloatArray, FreshArrayHoldsZerosAndIgnoresOutsideAccess) {
  EqFct loc;
  K_mdfloat_array a("ARRAY", 2, 3, &loc, 0);
  EXPECT_EQ(a.data_type(), 109);
  EXPECT_EQ(a.dimension_count(), 2);
  EXPECT_EQ(a.name(), "ARRAY");
  EXPECT_EQ(a.owner(), &loc);
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_EQ(a.value(i, j, -1, -1, -1, -1), 0.0f);
  }
  a.set_value(7.5f, 1, 2, -1, -1, -1, -1);
  a.set_value(9.0f, 2, 0, -1, -1, -1, -1);   // row outside
  a.set_value(9.0f, 0, 3, -1, -1, -1, -1);   // column outside
  a.set_value(9.0f, -1, 0, -1, -1, -1, -1);  // negative
  EXPECT_EQ(a.value(1, 2, -1, -1, -1, -1), 7.5f);
  EXPECT_EQ(a.value(2, 0, -1, -1, -1, -1), 0.0f);
  EXPECT_EQ(a.value(0, 3, -1, -1, -1, -1), 0.0f);

  EqData all;
  a.get(nullptr, nullptr, &all, nullptr);
  ASSERT_EQ(all.length(), 6);
  EXPECT_EQ(all.get_double(5), 7.5);  // row-major: (1, 2) is the last
  EXPECT_EQ(all.get_double(4), 0.0);
}

TEST(MdFloatArray, NegativeShapeIsEmpty) {
  K_mdfloat_array a("NEG", -3, 4, nullptr, 0);
  a.set_value(1.0f, 0, 0, -1, -1, -1, -1);
  EXPECT_EQ(a.value(0, 0, -1, -1, -1, -1), 0.0f);
}

TEST(MdFloatArray, ValuesAreFloats) {
  K_mdfloat_array a("F", 1, 1, nullptr, 0);
  EqData in;
  in.set_array(karst::kTypeDoubleArray, {0.1});
  a.set(nullptr, &in, nullptr, nullptr);
  EXPECT_EQ(a.value(0, 0, -1, -1, -1, -1), 0.1f);
}

// The elements are floats held in place: a remote read sees them as one
// contiguous float array, whatever the reply held before, and a remote write
// of another numeric type is narrowed into them.
TEST(MdFloatArray, RemoteReadAndWriteGoThroughContiguousFloats) {
  K_mdfloat_array a("F", 2, 2, nullptr, 0);
  a.set_value(1.5f, 0, 1, -1, -1, -1, -1);
  a.set_value(-3.25f, 1, 1, -1, -1, -1, -1);

  EqData reply;
  reply.set_array(karst::kTypeDoubleArray, {9.0, 9.0, 9.0, 9.0, 9.0});
  a.get(nullptr, nullptr, &reply, nullptr);
  EXPECT_EQ(reply.type(), karst::kTypeFloatArray);
  ASSERT_EQ(reply.length(), 4);
  ASSERT_EQ(reply.float_count(), 4u);
  const float* f = reply.float_data();
  EXPECT_EQ(std::vector<float>(f, f + 4),
            (std::vector<float>{0.0f, 1.5f, 0.0f, -3.25f}));
  EXPECT_EQ(reply.get_double(3), -3.25);
  EXPECT_EQ(reply.get_double(4), 0.0);  // nothing left of the doubles

  EqData longer;  // int32 values, one more than the array holds
  longer.set_array(105, {7.0, -2.0, 16777217.0, 4.0, 5.0});
  a.set(nullptr, &longer, nullptr, nullptr);
  EXPECT_EQ(a.value(0, 0, -1, -1, -1, -1), 7.0f);
  EXPECT_EQ(a.value(0, 1, -1, -1, -1, -1), -2.0f);
  EXPECT_EQ(a.value(1, 0, -1, -1, -1, -1), 16777216.0f);  // float rounding
  EXPECT_EQ(a.value(1, 1, -1, -1, -1, -1), 4.0f);
  EqData shorter;
  shorter.set(0.5f);
  a.set(nullptr, &shorter, nullptr, nullptr);
  EXPECT_EQ(a.value(0, 0, -1, -1, -1, -1), 0.5f);
  EXPECT_EQ(a.value(1, 1, -1, -1, -1, -1), 4.0f);  // the rest unchanged

  K_spectrum s("SV", 3, nullptr);
  s.set_spectrum_length(2);
  s.fill_spectrum(1, 0.25f);
  EqData points;
  points.set_array(karst::kTypeDoubleArray, {9.0, 9.0, 9.0});
  s.get(nullptr, nullptr, &points, nullptr);
  EXPECT_EQ(points.type(), karst::kTypeFloatArray);
  ASSERT_EQ(points.length(), 2);
  EXPECT_EQ(points.get_double(1), 0.25);
}

TEST(PropertyState, ErrorSeverityPermission) {
  K_ustr u("U", nullptr);
  EXPECT_EQ(u.data_type(), 103);
  u.error(5);
  u.severity(2);
  u.permission(3);
  EXPECT_EQ(u.error(), 5);
  EXPECT_EQ(u.severity(), 2);
  EXPECT_EQ(u.permission(), 3);
}

TEST(Spectrum, LengthIsClampedAndFillsStayInside) {
  EqFct loc;
  K_spectrum s("SV", 4, &loc);
  EXPECT_EQ(s.spectrum_length(), 0);
  s.set_spectrum_length(3);
  s.fill_spectrum(0, 1.5f);
  s.fill_spectrum(2, 0.25f);
  s.fill_spectrum(3, 9.0f);  // beyond the length
  s.fill_spectrum(-1, 9.0f);
  EXPECT_EQ(s.spectrum_length(), 3);
  EXPECT_EQ(s.spectrum_value(0), 1.5f);
  EXPECT_EQ(s.spectrum_value(1), 0.0f);
  EXPECT_EQ(s.spectrum_value(2), 0.25f);
  EXPECT_EQ(s.spectrum_value(3), 0.0f);
  s.set_spectrum_length(10);
  EXPECT_EQ(s.spectrum_length(), 4);
  EXPECT_EQ(s.spectrum_value(0), 1.5f);
  s.set_spectrum_length(-2);
  EXPECT_EQ(s.spectrum_length(), 0);
}

TEST(Spectrum, NullNameThrows) {
  EXPECT_THROW(K_spectrum(nullptr, 3, nullptr), std::logic_error);
}

}  // namespace
