// A clock for the loader's file reading that stands `ahead` seconds ahead of
// the real one, so that a file written moments ago looks that old, and whose
// pause returns at once and is counted.
#ifndef ZUB_TESTS_SHIFTED_CLOCK_H
#define ZUB_TESTS_SHIFTED_CLOCK_H

#include <time.h>

#include "matrix_file.h"

namespace zub_test {

class shifted_clock : public zub_internal::file_clock {
 public:
  explicit shifted_clock(time_t ahead) : ahead_(ahead) {}
  struct timespec now() const override {
    struct timespec t {};
    ::clock_gettime(CLOCK_REALTIME, &t);
    t.tv_sec += ahead_;
    return t;
  }
  void pause(long) const override { ++pauses_; }
  long pauses() const { return pauses_; }

 private:
  time_t ahead_;
  mutable long pauses_ = 0;
};

}  // namespace zub_test

#endif  // ZUB_TESTS_SHIFTED_CLOCK_H
