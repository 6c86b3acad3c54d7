// The ring-buffer property: what the server stores and what remote reads
// get back.
#include <gtest/gtest.h>

#include <climits>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "log_capture.h"
#include "zub_feedback.h"

namespace {

// KARSTtime() counts up from `first`, one second per call, for the lifetime
// of the object, so that every store has a time of its own.
class CountingClock {
 public:
  explicit CountingClock(time_t first)
      : previous_(karst::set_time_source([this] { return next_++; })),
        next_(first) {}
  ~CountingClock() { karst::set_time_source(std::move(previous_)); }
  CountingClock(const CountingClock&) = delete;
  CountingClock& operator=(const CountingClock&) = delete;

 private:
  std::function<time_t()> previous_;
  time_t next_;
};

struct Entry {
  time_t tm;
  std::string text;
  bool operator==(const Entry& o) const { return tm == o.tm && text == o.text; }
};

std::ostream& operator<<(std::ostream& os, const Entry& e) {
  return os << "{" << e.tm << ", \"" << e.text << "\"}";
}

// The entries of a reply, checking that the fields the buffer does not use
// stay zero.
std::vector<Entry> entries_of(const EqData& dd) {
  std::vector<Entry> out;
  for (int i = 0; i < dd.length(); ++i) {
    const USTR* u = dd.get_ustr(i);
    if (u == nullptr) {
      ADD_FAILURE() << "reply of type " << dd.type() << " has no record " << i;
      break;
    }
    EXPECT_EQ(u->i1_data, 0);
    EXPECT_EQ(u->f1_data, 0.0f);
    EXPECT_EQ(u->f2_data, 0.0f);
    out.push_back({u->tm, u->str_data});
  }
  return out;
}

// The whole buffer, as a request without data gets it.
std::vector<Entry> all_entries(K_ringbuf& rb) {
  EqData sd;
  EqData dd;
  rb.get(nullptr, &sd, &dd, nullptr);
  return entries_of(dd);
}

// The reply to a request carrying `sd`.
std::vector<Entry> reply_to(K_ringbuf& rb, EqData& sd) {
  EqData dd;
  rb.get(nullptr, &sd, &dd, nullptr);
  return entries_of(dd);
}

const Entry kBlank{0, ""};

// Every test has rb_, a buffer of three holding, newest first, c, b and a,
// stored at 13, 12 and 11 seconds; tests of construction and of store make
// buffers of their own.
class RingBuf : public ::testing::Test {
 protected:
  RingBuf() : clock_(11), rb_("MSG", 3, &loc_) {
    rb_.store("a");
    rb_.store("b");
    rb_.store("c");
  }
  const std::vector<Entry> whole_{{13, "c"}, {12, "b"}, {11, "a"}};
  EqFct loc_{"LOC"};
  CountingClock clock_;
  K_ringbuf rb_;
};

// ---------------------------------------------------------------- construction

TEST_F(RingBuf, StartsWithBlankEntries) {
  EqFct loc("LOC");
  K_ringbuf rb("MSG", 3, &loc);
  EXPECT_EQ(rb.name(), "MSG");
  EXPECT_EQ(rb.owner(), &loc);
  EXPECT_EQ(rb.data_type(), 103);
  EqData sd;
  EqData dd;
  rb.get(nullptr, &sd, &dd, nullptr);
  EXPECT_EQ(dd.type(), 103);
  EXPECT_EQ(entries_of(dd), (std::vector<Entry>{kBlank, kBlank, kBlank}));
}

TEST_F(RingBuf, NullNameThrows) {
  EXPECT_THROW(K_ringbuf(nullptr, 3, nullptr), std::logic_error);
}

// ---------------------------------------------------------------- store

TEST_F(RingBuf, KeepsTheNewestNewestFirst) {
  CountingClock clock(100);
  K_ringbuf rb("MSG", 3, nullptr);
  rb.store("a");
  EXPECT_EQ(all_entries(rb), (std::vector<Entry>{{100, "a"}, kBlank, kBlank}));
  rb.store("b");
  rb.store("c");
  rb.store("d");
  EXPECT_EQ(all_entries(rb),
            (std::vector<Entry>{{103, "d"}, {102, "c"}, {101, "b"}}));
  // The property's own single value is not the buffer's.
  EXPECT_EQ(rb.get_string(), "");
  EXPECT_EQ(rb.get_time(), 0);
}

TEST_F(RingBuf, StoresEmptyAndLongMessagesWhole) {
  CountingClock clock(7);
  K_ringbuf rb("MSG", 3, nullptr);
  const std::string long_text(5000, 'x');
  rb.store(long_text.c_str());
  rb.store("");
  char writable[] = "from a char array";
  rb.store(writable);
  EXPECT_EQ(
      all_entries(rb),
      (std::vector<Entry>{{9, "from a char array"}, {8, ""}, {7, long_text}}));
}

TEST_F(RingBuf, SizeZeroGainsOneEntryAtFirstStore) {
  CountingClock clock(1);
  for (int size : {0, -4}) {
    K_ringbuf rb("MSG", size, nullptr);
    EXPECT_TRUE(all_entries(rb).empty()) << "size " << size;
    rb.store("first");
    rb.store("second");
    rb.store("third");
    ASSERT_EQ(all_entries(rb).size(), 1u) << "size " << size;
    EXPECT_EQ(all_entries(rb).front().text, "third");
  }
}

TEST_F(RingBuf, SizeOneKeepsOnlyTheNewest) {
  CountingClock clock(1);
  K_ringbuf rb("MSG", 1, nullptr);
  rb.store("old");
  rb.store("new");
  EXPECT_EQ(all_entries(rb), (std::vector<Entry>{{2, "new"}}));
}

TEST_F(RingBuf, NullMessageThrowsAndChangesNothing) {
  CountingClock clock(50);
  K_ringbuf rb("MSG", 3, nullptr);
  rb.store("a");
  rb.store("b");
  const std::vector<Entry> before = all_entries(rb);
  EXPECT_THROW(rb.store(nullptr), std::logic_error);
  EXPECT_EQ(all_entries(rb), before);
  // And the buffer goes on working.
  rb.store("c");
  EXPECT_EQ(all_entries(rb).front().text, "c");
  EXPECT_EQ(all_entries(rb).back().text, "a");
}

// ---------------------------------------------------------------- remote read

TEST_F(RingBuf, WithoutDataOrNegativeIndexGetsAll) {
  EqData none;
  EXPECT_EQ(reply_to(rb_, none), whole_);
  EqData minus_one;
  minus_one.set(-1);
  EXPECT_EQ(reply_to(rb_, minus_one), whole_);
  EqData short_minus_one;
  short_minus_one.set_scalar(25, -1);
  EXPECT_EQ(reply_to(rb_, short_minus_one), whole_);
  EqData nan;
  nan.set(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(reply_to(rb_, nan), whole_);
  EqData huge;
  huge.set(1e12);
  EXPECT_EQ(reply_to(rb_, huge), whole_);
  // A request without an EqData at all is one without data.
  EqData dd;
  rb_.get(nullptr, nullptr, &dd, nullptr);
  EXPECT_EQ(entries_of(dd), whole_);
}

TEST_F(RingBuf, IndexPicksOneEntry) {
  EqData sd;
  sd.set(0);
  EXPECT_EQ(reply_to(rb_, sd), (std::vector<Entry>{whole_[0]}));
  sd.set(2);
  EXPECT_EQ(reply_to(rb_, sd), (std::vector<Entry>{whole_[2]}));
  sd.set(2.9f);
  EXPECT_EQ(reply_to(rb_, sd), (std::vector<Entry>{whole_[2]}));
  sd.set(-0.5f);  // truncates to 0: the newest, not the whole buffer
  EXPECT_EQ(reply_to(rb_, sd), (std::vector<Entry>{whole_[0]}));
  sd.set(1.7);
  EXPECT_EQ(reply_to(rb_, sd), (std::vector<Entry>{whole_[1]}));
  sd.set_array(105, {1.0, 0.0});
  EXPECT_EQ(reply_to(rb_, sd), (std::vector<Entry>{whole_[1]}));
  sd.set_array(100, {2.5f});
  EXPECT_EQ(reply_to(rb_, sd), (std::vector<Entry>{whole_[2]}));
  // Codes that carry no index read as 0.
  sd.set_scalar(3, 2.0);
  EXPECT_EQ(reply_to(rb_, sd), (std::vector<Entry>{whole_[0]}));
  sd.set_scalar(200, 2.0);
  EXPECT_EQ(reply_to(rb_, sd), (std::vector<Entry>{whole_[0]}));
}

TEST_F(RingBuf, IndexBeyondTheBufferGetsNoEntry) {
  EqData dd;
  for (int i = 0; i < 4; ++i) dd.set(0, 0.0f, 0.0f, 0, "stale", i);
  EqData sd;
  sd.set(3);
  rb_.get(nullptr, &sd, &dd, nullptr);
  EXPECT_EQ(dd.length(), 0);
  EXPECT_EQ(dd.get_ustr(0), nullptr);

  sd.set(INT_MAX);
  EXPECT_TRUE(reply_to(rb_, sd).empty());
  sd.set_scalar(27, 65535);  // unsigned: a large index, never the whole
  EXPECT_TRUE(reply_to(rb_, sd).empty());
  sd.set_scalar(27, -1);
  EXPECT_TRUE(reply_to(rb_, sd).empty());

  K_ringbuf empty("EMPTY", 0, nullptr);
  sd.set(0);
  EXPECT_TRUE(reply_to(empty, sd).empty());
  EqData none;
  EXPECT_TRUE(reply_to(empty, none).empty());
}

TEST_F(RingBuf, ReplyReplacesWhatTheReplyHeld) {
  EqData dd;
  for (int i = 0; i < 5; ++i) dd.set(i, 1.0f, 2.0f, 99, "stale", i);
  EqData sd;
  sd.set(1);
  rb_.get(nullptr, &sd, &dd, nullptr);
  EXPECT_EQ(dd.type(), 103);
  EXPECT_EQ(entries_of(dd), (std::vector<Entry>{whole_[1]}));

  dd.set_array(110, {1.0, 2.0, 3.0, 4.0});
  rb_.get(nullptr, &sd, &dd, nullptr);
  EXPECT_EQ(dd.type(), 103);
  EXPECT_EQ(entries_of(dd), (std::vector<Entry>{whole_[1]}));

  for (int i = 0; i < 5; ++i) dd.set(i, 1.0f, 2.0f, 99, "stale", i);
  EqData none;
  rb_.get(nullptr, &none, &dd, nullptr);
  EXPECT_EQ(entries_of(dd), whole_);
}

TEST_F(RingBuf, RequestAndReplyInOneContainer) {
  EqData io;
  io.set(2);
  rb_.get(nullptr, &io, &io, nullptr);
  EXPECT_EQ(entries_of(io), (std::vector<Entry>{whole_[2]}));
  io.set(-1);
  rb_.get(nullptr, &io, &io, nullptr);
  EXPECT_EQ(entries_of(io), whole_);
  io.set(5);
  rb_.get(nullptr, &io, &io, nullptr);
  EXPECT_EQ(io.length(), 0);
  io.clear();
  rb_.get(nullptr, &io, &io, nullptr);
  EXPECT_EQ(entries_of(io), whole_);
}

TEST_F(RingBuf, NullReplyIsIgnored) {
  EqData sd;
  sd.set(0);
  rb_.get(nullptr, &sd, nullptr, nullptr);
  rb_.get(nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(all_entries(rb_), whole_);
}

// ---------------------------------------------------------------- other
// operations

TEST_F(RingBuf, RemoteWriteChangesNothing) {
  zub_test::LogCapture log;
  EqData sd;
  sd.set(1, 1.0f, 1.0f, 999, "intruder", 0);
  EqData dd;
  rb_.set(nullptr, &sd, &dd, nullptr);
  rb_.set(nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(all_entries(rb_), whole_);
  EXPECT_EQ(rb_.get_string(), "");
  EXPECT_EQ(log.size(), 0u);
}

TEST_F(RingBuf, ReadWriteAndConfigDoNothing) {
  zub_test::LogCapture log;
  std::ostringstream os;
  rb_.write(os);
  rb_.read();
  Config cfg;
  rb_.config(&cfg);
  rb_.config(nullptr);
  EXPECT_EQ(os.str(), "");
  EXPECT_EQ(all_entries(rb_), whole_);
  EXPECT_EQ(log.size(), 0u);
}

}  // namespace
