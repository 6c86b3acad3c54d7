// Drives a ring buffer of arbitrary size with an arbitrary sequence of
// stores, remote reads and remote writes. Remote reads carry arbitrary type
// codes and payloads, into reply containers that are fresh, already hold
// records or numbers, or are the request itself. Every reply and, after
// every step, the whole buffer are compared with a model of the entries.
#include <climits>
#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "data_provider.h"
#include "fuzz_check.h"

namespace {

struct Entry {
  time_t tm = 0;
  std::string text;
};

// Codes the index table names, and some it does not.
constexpr int kCodes[] = {0,   1,   2,   3,   4,   6,   25,      26,     27,
                          28,  29,  100, 103, 105, 109, 110,     111,    113,
                          114, 116, 117, 118, 119, -1,  INT_MIN, INT_MAX};

double number(zub_fuzz::data_provider& in) {
  static constexpr double kSpecial[] = {
      0.0,
      -0.0,
      -1.0,
      1.0,
      2.9,
      -0.5,
      65535.0,
      32767.0,
      -32768.0,
      2147483647.0,
      2147483648.0,
      -2147483648.0,
      -2147483649.0,
      1e300,
      -1e300,
      std::numeric_limits<double>::quiet_NaN(),
      std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::denorm_min()};
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return in.PickValueInArray(kSpecial);
    case 1:
      return in.ConsumeIntegralInRange(-3, 20);
    case 2:
      return in.ConsumeIntegral<std::int32_t>();
    default:
      return in.ConsumeFloatingPoint<double>();
  }
}

int type_code(zub_fuzz::data_provider& in) {
  return in.ConsumeBool() ? in.PickValueInArray(kCodes)
                          : in.ConsumeIntegral<int>();
}

void fill_request(zub_fuzz::data_provider& in, EqData& sd) {
  switch (in.ConsumeIntegralInRange(0, 6)) {
    case 0:
      sd.clear();
      break;
    case 1:
      sd.set(in.ConsumeBool() ? in.ConsumeIntegral<int>()
                              : in.ConsumeIntegralInRange(-2, 20));
      break;
    case 2:
      sd.set(static_cast<float>(number(in)));
      break;
    case 3:
      sd.set(number(in));
      break;
    case 4:
      sd.set_scalar(type_code(in), number(in));
      break;
    case 5: {
      const int code = type_code(in);
      std::vector<double> values(in.ConsumeIntegralInRange<size_t>(0, 3));
      for (double& v : values) v = number(in);
      sd.set_array(code, values);
      break;
    }
    default:
      sd.set(in.ConsumeIntegral<int>(), 1.0f, 2.0f, 3,
             in.ConsumeRandomLengthString(8), 0);
      break;
  }
}

void check_record(const USTR* got, const Entry& want, const char* what) {
  ZUB_FUZZ_CHECK(got != nullptr, "%s: no record", what);
  ZUB_FUZZ_CHECK(got->i1_data == 0 && zub_fuzz::bits_of(got->f1_data) == 0 &&
                     zub_fuzz::bits_of(got->f2_data) == 0,
                 "%s: int %d floats %g %g", what, got->i1_data, got->f1_data,
                 got->f2_data);
  ZUB_FUZZ_CHECK(got->tm == want.tm && got->str_data == want.text,
                 "%s: (%lld, \"%s\"), expected (%lld, \"%s\")", what,
                 static_cast<long long>(got->tm), got->str_data.c_str(),
                 static_cast<long long>(want.tm), want.text.c_str());
}

void check_whole(const EqData& dd, const std::deque<Entry>& model,
                 const char* what) {
  ZUB_FUZZ_CHECK(dd.length() == static_cast<int>(model.size()),
                 "%s: %d entries, expected %zu", what, dd.length(),
                 model.size());
  ZUB_FUZZ_CHECK(model.empty() || dd.type() == karst::kTypeUstr, "%s: type %d",
                 what, dd.type());
  for (size_t i = 0; i < model.size(); ++i) {
    check_record(dd.get_ustr(static_cast<int>(i)), model[i], what);
  }
}

void check_buffer(K_ringbuf& buf, const std::deque<Entry>& model) {
  EqData none;
  EqData dd;
  buf.get(nullptr, &none, &dd, nullptr);
  check_whole(dd, model, "whole buffer");
}

// Makes KARSTtime() a counter for one input.
class ScopedClock {
 public:
  ScopedClock() : previous_(karst::set_time_source([this] { return now_; })) {}
  ~ScopedClock() { karst::set_time_source(std::move(previous_)); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
  time_t tick() { return ++now_; }

 private:
  time_t now_ = 1000;
  std::function<time_t()> previous_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  zub_fuzz::data_provider in(data, size);
  ScopedClock clock;
  const int capacity = in.ConsumeIntegralInRange(-2, 12);
  EqFct loc;
  K_ringbuf buf("FUZZ.RING", capacity, &loc);
  std::deque<Entry> model(static_cast<size_t>(std::max(capacity, 0)));
  check_buffer(buf, model);

  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange(0, 2)) {
      case 0: {
        const std::string raw = in.ConsumeRandomLengthString(80);
        const time_t tm = clock.tick();
        buf.store(raw.c_str());
        if (!model.empty()) model.pop_back();
        model.push_front({tm, std::string(raw.c_str())});
        break;
      }
      case 1: {
        EqData sd;
        fill_request(in, sd);
        const bool no_data = sd.type() == karst::kTypeNone;
        const int index = sd.get_int();
        EqData reply;
        const int reply_kind = in.ConsumeIntegralInRange(0, 3);
        if (reply_kind == 1) {
          reply.set(7, 7.0f, 7.0f, 7, "stale", 0);
          reply.set(8, 8.0f, 8.0f, 8, "stale too", 1);
        } else if (reply_kind == 2) {
          reply.set_array(karst::kTypeDoubleArray, {1.0, 2.0});
        }
        // The framework may pass one container as request and reply.
        EqData* dd = reply_kind == 3 ? &sd : &reply;
        buf.get(nullptr, &sd, dd, nullptr);
        if (no_data || index < 0) {
          check_whole(*dd, model, "read of the whole buffer");
        } else if (index < static_cast<int>(model.size())) {
          ZUB_FUZZ_CHECK(dd->length() == 1, "entry %d: %d records", index,
                         dd->length());
          check_record(dd->get_ustr(0), model[static_cast<size_t>(index)],
                       "read of one entry");
        } else {
          ZUB_FUZZ_CHECK(dd->length() == 0,
                         "index %d beyond %zu entries: %d records", index,
                         model.size(), dd->length());
        }
        break;
      }
      default: {
        EqData sd;
        fill_request(in, sd);
        EqData dd;
        buf.set(nullptr, &sd, &dd, nullptr);
        break;
      }
    }
    check_buffer(buf, model);
  }
  return 0;
}
